#pragma once

#include <string>

namespace kb {

class ErrorLog;
class UserInterface;

// The reporting convention: a critical box "caption CR LF error" titled with the program's name,
// then one log line "context" + error.
class Reporter {
public:
    Reporter(UserInterface& ui, ErrorLog& log) : m_ui(ui), m_log(log) {}

    void report(const std::string& caption, const std::string& context, const std::string& error);
    // A critical box with exactly this text (routines that compose their own message).
    void critical(const std::string& text);
    void log(const std::string& line);

    UserInterface& ui() { return m_ui; }

private:
    UserInterface& m_ui;
    ErrorLog& m_log;
};

} // namespace kb
