#pragma once

#include <string>

namespace kb {

// The desktop shell: opening a file with its program, a folder in the file manager, a web address in the
// browser. The windows provide the real one; tests put a recording fake in its place.
class Shell {
public:
    virtual ~Shell() = default;

    // Shell-open result codes: 32 or more is success; 2 missing file, 3 missing folder, 31 no program
    // associated, 5 any other refusal.
    virtual int openFile(const std::string& path) = 0;
    // Starts the file manager on the folder without waiting; false when it could not be started.
    virtual bool openFolder(const std::string& folder) = 0;
    virtual bool openUrl(const std::string& url) = 0;
};

// The checks every shell makes before launching anything: 2 or 3 for a missing file or folder, else 0.
int shellPrecheck(const std::string& path);

} // namespace kb
