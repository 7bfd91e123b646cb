#pragma once

#include <cstdint>
#include <span>

namespace kb::lha {

inline constexpr int kMaxCodeBits = 16;

// Code lengths of a Huffman code over freq, none longer than maxBits, forming a complete prefix code
// (the decoders reject codes whose lengths do not fill the code space). Symbols with frequency 0 get
// length 0. Returns the number of symbols in use; when it is below 2 the lengths are all 0 and the
// caller writes the one-symbol form of the table instead (`*single` is then the symbol, 0 when none).
int huffmanLengths(std::span<const std::uint32_t> freq, std::span<std::uint8_t> lengths, int maxBits,
                   int* single);

// Canonical codes for the lengths: shorter codes first, equal lengths in symbol order.
void canonicalCodes(std::span<const std::uint8_t> lengths, std::span<std::uint16_t> codes);

} // namespace kb::lha
