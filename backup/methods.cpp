#include "backup/methods.h"

#include <array>

namespace kb {
namespace {
constexpr std::array<const char*, kMethodCount> kMethods = {"標準",      "日付",     "日時",    "日付ﾌｫﾙﾀﾞ",
                                                            "日時ﾌｫﾙﾀﾞ", "日付圧縮", "日時圧縮"};
constexpr std::array<const char*, kPolicyCount> kPolicies = {
    "上書きしない", "常に上書きする", "読取専用以外の場合は上書きする", "更新日時が新しい場合は上書きする",
    "確認メッセージを表示する"};
} // namespace

std::string methodDisplayName(const std::string& code) {
    if (code.size() == 1 && code[0] >= '0' && code[0] < '0' + kMethodCount)
        return kMethods[static_cast<size_t>(code[0] - '0')];
    return {};
}

std::string methodCode(const std::string& displayName) {
    for (size_t i = 0; i < kMethods.size(); ++i)
        if (displayName == kMethods[i])
            return std::string(1, static_cast<char>('0' + i));
    return {};
}

std::string sameFilePolicyName(int code) {
    if (code >= 0 && code < kPolicyCount)
        return kPolicies[static_cast<size_t>(code)];
    return {};
}

std::string tabCaption(const std::string& name, const std::string& code) {
    return name + " 【" + methodDisplayName(code) + "】";
}

} // namespace kb
