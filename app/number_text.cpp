#include "app/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace kb {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number at the start of [p, last), found by the syntax alone; std::from_chars then converts exactly
// that span, so it never sees a '+', an "inf" or a hex form.
struct Scan {
    const char* first = nullptr; // the number with its '-' (from_chars takes no '+')
    const char* end = nullptr;   // just past it; nullptr when the text starts with no number
    bool integer = true;         // no '.' and no exponent
    // Decimal order of the first significant digit: it tells an overflow from an underflow when
    // from_chars answers out of range.
    long long order = 0;
};

Scan scan(const char* p, const char* last) {
    Scan s;
    s.first = p;
    if (p < last && (*p == '+' || *p == '-')) {
        if (*p == '+')
            s.first = p + 1;
        ++p;
    }
    long long integerDigits = 0, zerosAfterPoint = 0, digits = 0;
    bool nonzero = false;
    for (; p < last && isDigit(*p); ++p, ++digits)
        if (nonzero || *p != '0') {
            nonzero = true;
            ++integerDigits;
        }
    if (p < last && *p == '.') {
        s.integer = false;
        for (++p; p < last && isDigit(*p); ++p, ++digits)
            if (!nonzero && *p == '0')
                ++zerosAfterPoint;
            else
                nonzero = true;
    }
    if (digits == 0)
        return {};
    s.order = integerDigits > 0 ? integerDigits : -zerosAfterPoint;
    if (p < last && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        const bool negative = q < last && *q == '-';
        if (q < last && (*q == '+' || *q == '-'))
            ++q;
        if (q < last && isDigit(*q)) {
            constexpr long long kCap = 1'000'000'000'000'000; // beyond any text's length
            long long exponent = 0;
            for (; q < last && isDigit(*q); ++q)
                if (exponent < kCap)
                    exponent = exponent * 10 + (*q - '0');
            s.order += negative ? -exponent : exponent;
            s.integer = false;
            p = q;
        }
    }
    s.end = p;
    return s;
}

// A whole text: blanks around one number and nothing else.
Scan whole(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && isBlank(*first))
        ++first;
    while (last > first && isBlank(last[-1]))
        --last;
    Scan s = scan(first, last);
    return s.end == last ? s : Scan{};
}

enum class Overflow { Refuse, Infinity };

template <typename T> std::optional<T> convert(const Scan& s, Overflow overflow) {
    if (!s.end)
        return std::nullopt;
    T value = 0;
    auto [ptr, ec] = std::from_chars(s.first, s.end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        if (s.order <= 0)
            return T(0);
        if (overflow == Overflow::Refuse)
            return std::nullopt;
        return *s.first == '-' ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    }
    if (ec != std::errc() || ptr != s.end)
        return std::nullopt;
    return value + T(0); // -0 becomes 0
}

} // namespace

std::optional<float> singleNumber(std::string_view text) {
    return convert<float>(whole(text), Overflow::Refuse);
}

std::optional<double> wholeNumber(std::string_view text) {
    return convert<double>(whole(text), Overflow::Refuse);
}

std::optional<std::int64_t> integerNumber(std::string_view text, std::int64_t min, std::int64_t max) {
    const Scan s = whole(text);
    if (!s.end || !s.integer)
        return std::nullopt;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(s.first, s.end, value);
    if (ec != std::errc() || ptr != s.end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::int32_t> roundedInt32(double value) {
    // nearbyint rounds an exact half to the even number under the default rounding mode.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max()))
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

double leadingNumber(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && isBlank(*first))
        ++first;
    return convert<double>(scan(first, last), Overflow::Infinity).value_or(0);
}

} // namespace kb
