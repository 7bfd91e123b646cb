#include "app/reporter.h"

#include "app/error_log.h"
#include "app/user_interface.h"

namespace kb {

void Reporter::report(const std::string& caption, const std::string& context, const std::string& error) {
    critical(caption + "\r\n" + error);
    log(context + error);
}

void Reporter::critical(const std::string& text) {
    m_ui.messageBox(text, MsgIcon::Critical, MsgButtons::Ok, MsgAnswer::Ok, kAppTitle);
}

void Reporter::log(const std::string& line) {
    m_log.Sub_ErrLogPut(line);
}

} // namespace kb
