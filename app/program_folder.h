#pragma once

#include <filesystem>

namespace kb {

// The folder of the executable: everything the program keeps lies here. Built once from the executable's
// folder in Main; tests build it on a temporary folder.
class ProgramFolder {
public:
    explicit ProgramFolder(std::filesystem::path dir) : m_dir(std::move(dir)) {}

    const std::filesystem::path& dir() const { return m_dir; }
    std::filesystem::path store() const { return m_dir / "Kestrelbox.mdb"; }
    std::filesystem::path safetyCopy() const { return m_dir / "BKKestrelbox.mdb"; }
    std::filesystem::path compactCopy() const { return m_dir / "COMKestrelbox.mdb"; }
    std::filesystem::path settings() const { return m_dir / "Kestrelbox.ini"; }
    std::filesystem::path errorLog() const { return m_dir / "Err.log"; }
    std::filesystem::path staging() const { return m_dir / "TMP"; }
    std::filesystem::path readme() const { return m_dir / "Readme.txt"; }

private:
    std::filesystem::path m_dir;
};

} // namespace kb
