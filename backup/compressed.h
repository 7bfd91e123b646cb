#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kb {

struct Services;

// The archiver's entry point (kb::lha::Unlha by default); replaceable so that a failing call can be
// exercised.
using ArchiverCall = std::function<int(std::uintptr_t, const std::string&, char*, std::size_t)>;

// Builds the archive from the staging folder under the same-name policy, with the result convention of
// Fun_FileCopy. The new archive is complete before an old one of that name is replaced.
bool Fun_FileCopyPrs(Services& s, const std::string& archive, bool& copied);
bool Fun_FileCopyPrs(Services& s, const std::string& archive, bool& copied, const ArchiverCall& archiver);

// Builds the archiver's command text and calls it; true when it returned 0.
bool Fun_LhaPress(Services& s, const std::string& sourceFolder, const std::string& archive, int window);
bool Fun_LhaPress(Services& s, const std::string& sourceFolder, const std::string& archive, int window,
                  const ArchiverCall& archiver);

// Removes every file (read-only and hidden ones too) directly in the folder; sub-folders stay.
bool Fun_DelDirFile(Services& s, const std::string& folder);

} // namespace kb
