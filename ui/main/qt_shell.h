#pragma once

#include "platform/shell.h"

namespace kb::ui {

// The desktop's own handlers: xdg-open for files (the program associated with the file's type), the file
// manager for folders and the browser for web addresses. Nothing waits for a started program.
class QtShell final : public Shell {
public:
    int openFile(const std::string& path) override;
    bool openFolder(const std::string& folder) override;
    bool openUrl(const std::string& url) override;
};

} // namespace kb::ui
