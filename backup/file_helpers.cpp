#include "backup/file_helpers.h"

#include <charconv>
#include <cmath>

#include "app/number_text.h"
#include "app/reporter.h"
#include "platform/file_system.h"

namespace kb {
namespace {

constexpr char kSeparator = '/';

void reportNameError(Reporter& reporter, const std::string& description) {
    reporter.report("ファイル名取得エラー", "[mdlCommon]-[Fun_GetFileNm] ", description);
}

std::string shortestFixed(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (res.ec != std::errc())
        return {};
    return std::string(buf, res.ptr);
}

} // namespace

std::string Fun_GetFileNm(Reporter& reporter, const std::string& path, int mode) {
    if (path.empty())
        return {};
    // Positions counted from 1, 0 when absent, as the cutting rules are stated.
    const size_t dotIndex = path.rfind('.');
    const size_t sepIndex = path.rfind(kSeparator);
    const size_t dot = dotIndex == std::string::npos ? 0 : dotIndex + 1;
    const size_t sep = sepIndex == std::string::npos ? 0 : sepIndex + 1;

    switch (mode) {
    case 1:
        if (dot == 0 || dot <= sep) {
            reportNameError(reporter, "拡張子のないパスです: " + path);
            return {};
        }
        return path.substr(sep, dot - sep - 1);
    case 2:
        if (dot == 0) {
            reportNameError(reporter, "拡張子のないパスです: " + path);
            return {};
        }
        return path.substr(dot - 1);
    case 3:
        return path.substr(sep);
    case 4:
        if (sep == 0) {
            reportNameError(reporter, "フォルダを含まないパスです: " + path);
            return {};
        }
        return path.substr(0, sep - 1);
    default:
        return {};
    }
}

int Fun_GetAttr(FileSystem& files, const std::string& path) {
    if (path.empty())
        return 0;
    return files.attributes(path);
}

std::string Fun_GetFileSize(FileSystem& files, Reporter& reporter, const std::string& path) {
    if (path.empty())
        return {};
    std::error_code ec;
    auto size = files.fileSize(path, ec);
    if (size)
        return std::to_string(*size);
    if (ec) {
        const std::string description =
            ec == std::errc::invalid_argument ? "通常のファイルではありません" : ec.message();
        reporter.critical("ファイルサイズ取得エラー\r\n" + description);
        reporter.log("[mdlCommon]-[Fun_GetFileSize] " + description + " " + path);
    }
    return {};
}

std::string Fun_SizeText(const std::string& size) {
    const double value = leadingNumber(size);
    if (!std::isfinite(value))
        return size;
    if (value < 1024) {
        std::string text = shortestFixed(value);
        return text.empty() ? size : text + "ﾊﾞｲﾄ";
    }
    struct Unit {
        double divisor;
        const char* name;
    };
    static constexpr Unit kUnits[] = {
        {1099511627776.0, "TB"}, {1073741824.0, "GB"}, {1048576.0, "MB"}, {1024.0, "KB"}};
    for (const Unit& unit : kUnits) {
        if (value >= unit.divisor) {
            // nearbyint rounds an exact half to the even digit under the default rounding mode.
            const double rounded = std::nearbyint(value / unit.divisor * 100.0) / 100.0;
            std::string text = shortestFixed(rounded);
            return text.empty() ? size : text + unit.name;
        }
    }
    return size;
}

NameParts splitFileName(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos)
        return {fileName, {}};
    return {fileName.substr(0, dot), fileName.substr(dot)};
}

} // namespace kb
