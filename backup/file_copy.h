#pragma once

#include <string>

namespace kb {

struct Services;

// Copies one registered file to its target under the same-name policy (staging: always overwrite, and the
// copy is not hidden). Result true with copied true: written; true with copied false: kept by the policy;
// false: a reported failure. The old target is replaced only once the new copy is complete.
bool Fun_FileCopy(Services& s, const std::string& source, const std::string& target, bool& copied,
                  bool staging);

} // namespace kb
