#pragma once

#include <string>

namespace kb {

// Display names of the backup methods "0" to "6"; the empty text for any other code.
std::string methodDisplayName(const std::string& code);
// The code of a display name, or the empty text.
std::string methodCode(const std::string& displayName);
// Display names of the same-name policies 0 to 4; the empty text outside.
std::string sameFilePolicyName(int code);
// "設定1 【標準】"
std::string tabCaption(const std::string& name, const std::string& code);

inline constexpr int kMethodCount = 7;
inline constexpr int kPolicyCount = 5;

} // namespace kb
