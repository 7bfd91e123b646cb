#include "app/options.h"

#include <charconv>
#include <limits>

#include "app/settings.h"

namespace kb {

std::int64_t parseOption(const std::string& text, std::int64_t min, std::int64_t max, std::int64_t def) {
    const char* first = text.data();
    const char* last = first + text.size();
    while (first < last && (*first == ' ' || *first == '\t'))
        ++first;
    while (last > first && (last[-1] == ' ' || last[-1] == '\t'))
        --last;
    // One sign at most, and a digit right after it: "+-1" and "- 1" are not integer text.
    if (first < last && *first == '+' && last - first > 1 && first[1] >= '0' && first[1] <= '9')
        ++first;
    const char* digits = (first < last && *first == '-') ? first + 1 : first;
    if (digits == last || *digits < '0' || *digits > '9')
        return def;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last || value < min || value > max)
        return def;
    return value;
}

void readOptions(const IniFile& ini, Options& state) {
    using i16 = std::numeric_limits<std::int16_t>;
    using i32 = std::numeric_limits<std::int32_t>;
    state.SameFile = static_cast<std::int16_t>(
        parseOption(ini.Fun_ReadIni("Option", "SameFile", "0"), i16::min(), i16::max(), 0));
    state.BackupLog = static_cast<std::int16_t>(
        parseOption(ini.Fun_ReadIni("Option", "BackupLog", "1"), i16::min(), i16::max(), 1));
    state.BackupLogMax = static_cast<std::int32_t>(
        parseOption(ini.Fun_ReadIni("Option", "BackupLogMax", "1000"), i32::min(), i32::max(), 1000));
}

} // namespace kb
