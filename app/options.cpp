#include "app/options.h"

#include <cstdint>
#include <limits>
#include <string>

#include "app/number_text.h"
#include "app/settings.h"

namespace kb {

void readOptions(const IniFile& ini, Options& state) {
    using i16 = std::numeric_limits<std::int16_t>;
    using i32 = std::numeric_limits<std::int32_t>;
    auto read = [&ini](const char* key, std::int64_t def, std::int64_t min, std::int64_t max) {
        return integerNumber(ini.Fun_ReadIni("Option", key, std::to_string(def)), min, max).value_or(def);
    };
    state.SameFile = static_cast<std::int16_t>(read("SameFile", 0, i16::min(), i16::max()));
    state.BackupLog = static_cast<std::int16_t>(read("BackupLog", 1, i16::min(), i16::max()));
    state.BackupLogMax = static_cast<std::int32_t>(read("BackupLogMax", 1000, i32::min(), i32::max()));
}

} // namespace kb
