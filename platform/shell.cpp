#include "platform/shell.h"

#include <filesystem>

namespace kb {

int shellPrecheck(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!path.empty() && fs::exists(fs::path(path), ec))
        return 0;
    fs::path folder = fs::path(path).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec))
        return 3;
    return 2;
}

} // namespace kb
