#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/program_folder.h"
#include "platform/file_system.h"

namespace kb {

struct Services;

// Copies one registered file to its target under the same-name policy (staging: always overwrite, and the
// copy is not hidden). Result true with copied true: written; true with copied false: kept by the policy;
// false: a reported failure. The old target is replaced only once the new copy is complete and its data is
// on the disk.
bool Fun_FileCopy(Services& s, const std::string& source, const std::string& target, bool& copied,
                  bool staging);

// The result of one file's copy, as Fun_FileCopy gives it.
struct CopyOutcome {
    bool result = false;
    bool copied = false;
    bool stopped = false; // cut short by a stop request: nothing written, nothing reported
};

// The copies of one run. A destination's traits are tried once per folder, and only when a decision needs
// them; the kind of each file system is looked at once. With `holdReplacements`, a finished copy that
// replaces an existing file waits under its temporary name, so that one flush puts the data of many on the
// disk before their renames: its outcome is final once nothing waits any more (after commit()).
class CopyRun {
public:
    CopyRun(Services& s, bool holdReplacements);
    ~CopyRun();
    CopyRun(const CopyRun&) = delete;
    CopyRun& operator=(const CopyRun&) = delete;

    // `outcome` must stay where it is until it is final.
    void copy(const std::string& source, const std::string& target, bool staging, CopyOutcome& outcome);
    // Puts every waiting copy in place: all their data flushed, then each renamed. A failure is reported as
    // the file's copy failure.
    void commit();
    bool waiting() const { return !m_waiting.empty(); }

private:
    struct Waiting {
        std::unique_ptr<ReplacingFile> file;
        std::string source, target;
        FileSnapshot replaced;
        CopyOutcome* outcome;
    };

    const FolderTraits& traits(const std::filesystem::path& folder);
    ProgramFolder::FolderVerdict verdict(const std::filesystem::path& folder);
    bool replaceExisting(int policy, const FileSnapshot& src, const std::string& target,
                         const FileSnapshot& dst);
    // A waiting copy of that file (as source or as target) goes in place first, as a copy one by one would.
    bool commitIfWaitingOn(const FileSnapshot& file);
    void fail(const std::string& source, const std::string& target, const std::string& reason,
              CopyOutcome& outcome);

    Services& m_s;
    bool m_hold;
    std::vector<Waiting> m_waiting;
    std::uint64_t m_waitingBytes = 0;
    std::map<std::filesystem::path, FolderTraits> m_traits;
    struct KnownFolder {
        FileSnapshot reached;
        ProgramFolder::FolderVerdict verdict;
    };
    std::map<std::filesystem::path, KnownFolder> m_verdicts;
};

// The reason a copy failed, in the words of the copy report.
std::string copyFailureReason(const std::error_code& ec);
// The reason for a target that is one of the program's own files.
inline constexpr const char* kOwnFileReason = "コピー先が Kestrelbox 自身のファイルです";

} // namespace kb
