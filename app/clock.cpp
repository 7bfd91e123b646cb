#include "app/clock.h"

#include <cstdio>

namespace kb {

LocalTime toLocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::time_t fromLocalTime(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

LocalTime SystemClock::now() const {
    return toLocalTime(std::time(nullptr));
}

std::string formatStamp(const LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

std::string formatDateStamp(const LocalTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", t.year % 100, t.month, t.day);
    return buf;
}

std::string formatDateTimeStamp(const LocalTime& t) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d_%02d%02d", t.year % 100, t.month, t.day, t.hour, t.minute);
    return buf;
}

std::string formatJapaneseDateTime(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d年%02d月%02d日 %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

} // namespace kb
