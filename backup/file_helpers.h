#pragma once

#include <string>

namespace kb {

class FileSystem;
class Reporter;

// Path cutting by the last "." and the last separator. Mode 1 name without extension, 2 extension with its
// dot, 3 file name, 4 folder. Modes 1, 2 and 4 report "ファイル名取得エラー" when the part does not exist.
std::string Fun_GetFileNm(Reporter& reporter, const std::string& path, int mode);

// Attribute flags (read-only 1, hidden 2, folder 16, archive 32); 0 when the path does not exist.
int Fun_GetAttr(FileSystem& files, const std::string& path);

// Size in bytes as decimal text; the empty text when the file cannot be opened, silently, or when its size
// cannot be read, reported as "ファイルサイズ取得エラー".
std::string Fun_GetFileSize(FileSystem& files, Reporter& reporter, const std::string& path);

// A byte count with its unit: "512ﾊﾞｲﾄ", "1.5KB", "4.77MB" (two decimals, half to even).
std::string Fun_SizeText(const std::string& size);

// Splits a file name the way the backup names its targets: a name without any "." keeps the whole
// name and an empty extension, without an error.
struct NameParts {
    std::string name;
    std::string ext;
};
NameParts splitFileName(const std::string& fileName);

} // namespace kb
