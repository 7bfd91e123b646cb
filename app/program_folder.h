#pragma once

#include <filesystem>

namespace kb {

// The folder of the executable: everything the program keeps lies here. Built once from the executable's
// folder in Main; tests build it on a temporary folder.
class ProgramFolder {
public:
    explicit ProgramFolder(std::filesystem::path dir) : m_dir(std::move(dir)) {}

    const std::filesystem::path& dir() const { return m_dir; }
    std::filesystem::path executable() const { return m_dir / "Kestrelbox"; }
    std::filesystem::path store() const { return m_dir / "Kestrelbox.mdb"; }
    std::filesystem::path safetyCopy() const { return m_dir / "BKKestrelbox.mdb"; }
    std::filesystem::path compactCopy() const { return m_dir / "COMKestrelbox.mdb"; }
    std::filesystem::path settings() const { return m_dir / "Kestrelbox.ini"; }
    std::filesystem::path errorLog() const { return m_dir / "Err.log"; }
    std::filesystem::path staging() const { return m_dir / "TMP"; }
    std::filesystem::path readme() const { return m_dir / "Readme.txt"; }
    // The program's record of the temporary files it has made and not yet put in place or removed.
    std::filesystem::path temporaryRecord() const { return m_dir / "Kestrelbox.tmp"; }

    // Whether writing `target` would replace one of the program's own files: the executable, the store with
    // its companions and safety copies, the settings file, the error log, the record of temporaries, the
    // staging folder or anything inside it. Decided by what the path reaches (through links, "..", doubled
    // separators), not by its spelling.
    bool ownsFile(const std::filesystem::path& target) const;
    // What ownsFile decides from the folder alone, so that a run writing many files into one folder
    // resolves that folder once.
    struct FolderVerdict {
        bool staging = false;       // the staging folder or inside it
        bool programFolder = false; // the program folder itself, by identity or resolved path
    };
    FolderVerdict folderVerdict(const std::filesystem::path& folder) const;
    // ownsFile with the verdict of the target's folder; `targetAbsent`: the target was just found missing
    // when followed, so no other name of an own file can lie there.
    bool ownsFile(const std::filesystem::path& target, const FolderVerdict& folder, bool targetAbsent) const;
    // Whether `folder` is the staging folder or lies inside it.
    bool inStaging(const std::filesystem::path& folder) const;

private:
    std::filesystem::path m_dir;
};

} // namespace kb
