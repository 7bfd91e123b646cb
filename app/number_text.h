#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kb {

// Numbers as the settings file and the history size box carry them. A number is an optional sign ('+' or
// '-'), digits with at most one '.', at least one digit, then an optional exponent ('e' or 'E', an optional
// sign, digits). No "inf", "nan" or hex form, no grouping, no locale. Blanks are the ASCII white space
// characters. A value too small for its type reads as 0, and -0 reads as 0.

// The whole text, blanks around it allowed, as a single-precision number; nullopt for anything else and
// for a value beyond the range of float. Every layout key of the settings file is read by this.
std::optional<float> singleNumber(std::string_view text);

// The same as a double: the typed history size, before it is rounded by roundedInt32.
std::optional<double> wholeNumber(std::string_view text);

// The whole text as integer text (sign and digits, blanks around) within [min, max]; nullopt otherwise.
std::optional<std::int64_t> integerNumber(std::string_view text, std::int64_t min, std::int64_t max);

// The value rounded to a whole number, an exact half to the even one; nullopt outside the 32-bit range.
std::optional<std::int32_t> roundedInt32(double value);

// The value of the number the text starts with, after leading blanks; 0 when it starts with none ("12a"
// gives 12, "a12" gives 0). A number beyond the range of double gives an infinity of its sign.
double leadingNumber(std::string_view text);

} // namespace kb
