#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/lha/bit_writer.h"

namespace kb::lha {

// Receives the compressed bytes. Returning false stops the encoder (the caller has decided to store the
// member instead, or the write failed).
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool put(const std::uint8_t* data, std::size_t size) = 0;
};

// The -lh5- method: LZ77 over an 8 KiB window with matches of 3 to 256 bytes, coded in blocks of up to
// 65535 codes, each block with its own canonical Huffman tables for characters and lengths (510 symbols),
// for the tables' code lengths (19) and for the match positions (14). Input arrives in pieces; memory stays
// fixed whatever the input size.
class Lh5Encoder {
public:
    static constexpr std::uint32_t kMaxInput = 0xFFFFFFFFu;

    Lh5Encoder();
    // Starts a new member with an empty window.
    void reset(ByteSink& sink);
    // False when the sink refused output or the input would exceed kMaxInput.
    bool write(const std::uint8_t* data, std::size_t size);
    // Codes what is left and hands out the last bytes.
    bool finish();

private:
    void compress(bool final);
    void slide();
    std::uint32_t insertHash(std::uint32_t pos);
    int longestMatch(std::uint32_t pos, std::uint32_t candidate, int prevLength, int maxLength,
                     std::uint32_t* distance) const;
    void emitLiteral(std::uint8_t c);
    void emitMatch(int length, std::uint32_t distance);
    void sendBlock();
    bool drain();

    ByteSink* m_sink = nullptr;
    bool m_failed = false;

    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_base = 0; // stream position of m_buffer[0]
    std::uint32_t m_end = 0;  // stream position one past the last byte held
    std::uint32_t m_pos = 0;  // next position to code
    std::vector<std::uint32_t> m_head;
    std::vector<std::uint32_t> m_prev;

    // The lazy match state carried from one position to the next.
    int m_prevLength = 0;
    std::uint32_t m_prevDistance = 0;
    bool m_literalPending = false;

    std::vector<std::uint16_t> m_symbols;
    std::vector<std::uint16_t> m_offsets;
    std::size_t m_count = 0;
    std::vector<std::uint32_t> m_cFreq;
    std::vector<std::uint32_t> m_pFreq;

    std::vector<std::uint8_t> m_out;
    BitWriter m_bits{m_out};
};

} // namespace kb::lha
