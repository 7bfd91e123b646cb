#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kb::cp932 {

// UTF-8 to code page 932. A character the code page cannot hold becomes '?'.
std::string fromUtf8(std::string_view utf8);

// Code page 932 to UTF-8. A byte sequence that is not valid CP932 becomes U+FFFD,
// so hand-edited files never stop a reader.
std::string toUtf8(std::string_view cp932);

// Length of the longest prefix of a CP932 byte string that holds at most maxBytes bytes
// and does not end inside a double-byte character.
std::size_t safeCut(std::string_view cp932, std::size_t maxBytes);

// True when b is a lead byte of a CP932 double-byte character.
bool isLeadByte(unsigned char b);

} // namespace kb::cp932
