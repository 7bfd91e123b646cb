#include "platform/lha/unlha.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system.h"
#include "platform/lha/archive_writer.h"
#include "platform/lha/command.h"

namespace kb::lha {
namespace {

void putMessage(const std::string& text, char* output, std::size_t outputSize) {
    if (output == nullptr || outputSize == 0)
        return;
    std::size_t n = std::min(text.size(), outputSize - 1);
    std::memcpy(output, text.data(), n);
    output[n] = '\0';
}

} // namespace

int Unlha(std::uintptr_t window, const std::string& command, char* output, std::size_t outputSize) {
    FileSystem files;
    return Unlha(files, window, command, output, outputSize);
}

int Unlha(FileSystem& files, std::uintptr_t /*window*/, const std::string& command, char* output,
          std::size_t outputSize) {
    ArchiveResult result;
    try {
        if (auto cmd = parseAddCommand(command))
            result = writeArchive(files, cmd->archive, cmd->folder);
        else
            result = {ArchiveStatus::BadCommand, "unsupported command: " + command, 0};
    } catch (...) {
        result = {ArchiveStatus::Internal, "internal error", 0};
    }
    putMessage(result.message, output, outputSize);
    return static_cast<int>(result.status);
}

} // namespace kb::lha
