#pragma once

#include <ctime>
#include <string>

namespace kb {

struct LocalTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    LocalTime now() const override;
};

LocalTime toLocalTime(std::time_t t);
std::time_t fromLocalTime(const LocalTime& t);

// "YYYY/MM/DD HH:NN:SS"
std::string formatStamp(const LocalTime& t);
// "YYMMDD" and "YYMMDD_HHNN"
std::string formatDateStamp(const LocalTime& t);
std::string formatDateTimeStamp(const LocalTime& t);
// "YYYY年MM月DD日 HH:NN:SS"
std::string formatJapaneseDateTime(const LocalTime& t);

} // namespace kb
