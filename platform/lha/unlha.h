#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kb {
class FileSystem;
}

namespace kb::lha {

// Stands in for the archiver library's Unlha call. Takes the command text
//   a -x1 -r2 "<archive>" "<folder>/"
// (paths in the platform's own encoding, UTF-8), packs every regular file of the folder (flat, bare names)
// into a level-2 LHA archive, synchronously, and returns 0 only when the archive is complete. The archive is
// written under a temporary name and renamed into place, so a failure leaves no partial archive and an older
// archive of that name stays until the new one is complete. A short message goes into `output`
// (NUL-terminated, cut to outputSize).
int Unlha(std::uintptr_t window, const std::string& command, char* output, std::size_t outputSize);
// The same through the program's file layer, which keeps the record of its temporary files.
int Unlha(FileSystem& files, std::uintptr_t window, const std::string& command, char* output,
          std::size_t outputSize);

} // namespace kb::lha
