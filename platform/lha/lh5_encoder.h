#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/lha/bit_writer.h"
#include "platform/lha/match_finder.h"

namespace kb::lha {

// Receives the compressed bytes. Returning false stops the encoder (the caller has decided to store the
// member instead).
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool put(const std::uint8_t* data, std::size_t size) = 0;
};

// The -lh5- method: LZ77 over an 8 KiB window with matches of 3 to 256 bytes, coded in blocks of up to
// 65535 codes, each block with its own canonical Huffman tables for characters and lengths (510 symbols),
// for the tables' code lengths (19) and for the match positions (14). Input arrives in pieces; memory stays
// fixed whatever the input size (about 2.3 MB).
//
// The codes are chosen by cost: every position's matches are found, and the cheapest sequence of
// characters and matches is worked out at bit prices taken from the codes already made, then again at
// prices that include the new codes themselves. The output depends on the member's bytes alone, not on how
// they are handed in.
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
    std::uint32_t gather(std::uint32_t limit);
    void priorPrices(std::uint32_t begin, std::uint32_t n);
    void setPrices(const std::uint32_t* cFreq, const std::uint32_t* pFreq);
    void parse(std::uint32_t begin, std::uint32_t n, bool everyLength);
    void countPath(std::uint32_t begin, std::uint32_t n, std::uint32_t* cFreq, std::uint32_t* pFreq) const;
    void emitPath(std::uint32_t begin, std::uint32_t n);
    void emitLiteral(std::uint8_t c);
    void emitMatch(int length, std::uint32_t distance);
    void sendCodes();
    void planBlocks(std::size_t begin, std::size_t end, const std::uint32_t* cFreq,
                    const std::uint32_t* pFreq, std::vector<std::size_t>& cuts) const;
    void sendBlock(std::size_t begin, std::size_t end, const std::uint32_t* cFreq,
                   const std::uint32_t* pFreq);
    void countCodes(std::size_t begin, std::size_t end, std::uint32_t* cFreq, std::uint32_t* pFreq) const;
    bool drain();

    ByteSink* m_sink = nullptr;
    bool m_failed = false;

    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_base = 0;  // stream position of m_buffer[0]
    std::uint32_t m_end = 0;   // stream position one past the last byte held
    std::uint32_t m_pos = 0;   // next position to code
    std::uint32_t m_found = 0; // next position to add to the match finder

    MatchFinder m_finder;
    // The matches of the positions of one stretch, m_first[i] the index of position i's first.
    std::vector<Match> m_matches;
    std::vector<std::uint32_t> m_first;
    Match m_long{}; // a match long enough to be taken as it is, ending the stretch
    // Per position of the stretch: the cost of the cheapest codes reaching it, and the last of those codes
    // (its length, 1 for a character, plus its distance << 16).
    std::vector<std::int32_t> m_cost;
    std::vector<std::uint32_t> m_from;
    std::vector<std::uint32_t> m_path;

    // Prices in sixteenths of a bit: characters and lengths, and position classes with their extra bits.
    std::vector<std::int32_t> m_cPrice;
    std::vector<std::int32_t> m_pPrice;
    std::vector<std::uint32_t> m_lastCFreq; // the last block's statistics
    std::vector<std::uint32_t> m_lastPFreq;
    std::vector<std::uint32_t> m_stretchCFreq; // the last stretch's codes
    std::vector<std::uint32_t> m_stretchPFreq;
    bool m_haveLast = false;

    // Codes waiting for their block: symbol 0..255 a character, 256.. a match length; offset = distance - 1.
    std::vector<std::uint16_t> m_symbols;
    std::vector<std::uint16_t> m_offsets;
    std::size_t m_count = 0;
    std::vector<std::uint32_t> m_cFreq;
    std::vector<std::uint32_t> m_pFreq;
    std::vector<std::size_t> m_cuts;

    std::vector<std::uint8_t> m_out;
    BitWriter m_bits{m_out};
};

} // namespace kb::lha
