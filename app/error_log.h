#pragma once

#include <filesystem>
#include <string>

namespace kb {

class Clock;
class UserInterface;

// "Err.log": a header record and a ring of 1000 fixed 323-byte records in code page 932.
class ErrorLog {
public:
    static constexpr int kRecordLength = 323;
    static constexpr int kSlots = 1000;
    static constexpr int kTextBytes = 300;

    ErrorLog(std::filesystem::path file, const Clock& clock, UserInterface& ui)
        : m_file(std::move(file)), m_clock(clock), m_ui(ui) {}

    // Writes one entry; on failure shows "Log出力エラー" and returns false.
    bool Sub_ErrLogPut(const std::string& text);

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
    const Clock& m_clock;
    UserInterface& m_ui;
};

} // namespace kb
