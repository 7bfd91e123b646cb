#pragma once

#include <filesystem>
#include <string>

namespace kb {

class FileSystem;

// "Kestrelbox.ini" with the semantics of the Windows profile functions: sections and keys matched without
// regard to case, values replaced in place, new keys at the end of their section, new sections at the end
// of the file, CR LF, code page 932. Every byte the program does not write stays as it was.
class IniFile {
public:
    static constexpr std::size_t kMaxValueBytes = 1023;

    IniFile(std::filesystem::path file, FileSystem& files) : m_file(std::move(file)), m_files(files) {}

    // The stored value, or `def` when the file, section or key is missing. A present but empty value
    // yields the empty text. Values longer than 1023 bytes are cut.
    std::string Fun_ReadIni(const std::string& section, const std::string& key, const std::string& def) const;

    // Stores the value; a failure to write is not reported (the profile functions never say).
    void Fun_WriteIni(const std::string& section, const std::string& key, const std::string& value);

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
    FileSystem& m_files;
};

} // namespace kb
