#pragma once

#include <cstdint>
#include <vector>

namespace kb::lha {

struct Match {
    std::uint16_t length;
    std::uint16_t distance;
};

// Finds earlier occurrences of the bytes at a position within the last 8191 bytes. Every position of the
// window sits in a binary tree of its hash bucket, ordered by the bytes that follow it and with newer
// positions above older ones, so that one walk down the tree meets the nearest match of every length.
class MatchFinder {
public:
    static constexpr int kMinMatch = 3;
    static constexpr int kMaxMatch = 256;
    static constexpr std::uint32_t kWindow = 8192;
    // Short of the window by one, since a few decoders read the source byte after writing the ring slot,
    // and by one more, so that the walks of two neighbouring positions never meet the same node.
    static constexpr std::uint32_t kMaxDistance = kWindow - 2;
    // The walk visits at most this many earlier positions, so a call reports at most this many matches.
    static constexpr int kDepth = 32;

    MatchFinder();
    // Forgets every position: the next one added is the first of a new stream.
    void reset();

    // Adds position `pos`, whose bytes start at `cur`, and writes to `out` the matches of increasing length,
    // each at the nearest distance met; returns their count. `maxLength` (at least kMinMatch) bytes are
    // readable at `cur`, and the whole window before it; 8 bytes past cur + maxLength may be read but do not
    // count.
    int find(const std::uint8_t* cur, std::uint32_t pos, int maxLength, Match* out);
    // Adds the position without reporting its matches.
    void skip(const std::uint8_t* cur, std::uint32_t pos, int maxLength);
    // find() for pos and pos + 1, both with kMaxMatch bytes ahead.
    void findTwo(const std::uint8_t* cur, std::uint32_t pos, Match* first, int* firstCount, Match* second,
                 int* secondCount);

private:
    std::vector<std::uint32_t> m_head; // per hash bucket, its newest position plus one; 0 for none
    std::vector<std::uint16_t> m_tree; // two children per window slot: bytes ordered above, below
};

} // namespace kb::lha
