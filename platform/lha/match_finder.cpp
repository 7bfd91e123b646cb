#include "platform/lha/match_finder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kb::lha {
namespace {

constexpr int kHashBits = 14;
constexpr std::uint32_t kSlotMask = MatchFinder::kWindow - 1;

std::uint32_t hash3(const std::uint8_t* p) {
    const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

// One walk down a bucket's tree. The new position becomes the root: the walk splits the old tree into
// the part whose bytes sort above the new position's and the part below, which become its two subtrees.
// Branches older than the window, or beyond the depth limit, are cut off.
//
// A link holds the low 16 bits of a position. Every link was written while its node was in the window and
// points into the window of that moment, so seen from a walk that meets the node it is less than 2 * kWindow
// back and the low bits name it exactly; an empty link names a position already out of the window when it
// was written.
struct Walk {
    const std::uint8_t* cur;
    std::uint32_t pos;
    int maxLength;
    Match* out;
    std::uint32_t candidate;
    // link[1] receives the next node met that sorts below the new position, link[0] the next above;
    // linkLength says how many bytes the nodes on that side share with it.
    std::uint16_t* link[2];
    int linkLength[2];
    int best;
    int count;
    int depth;
};

[[gnu::always_inline]] inline void begin(Walk& w, std::uint32_t* head, std::uint16_t* tree,
                                         const std::uint8_t* cur, std::uint32_t pos, int maxLength,
                                         Match* out) {
    std::uint32_t* root = &head[hash3(cur)];
    w.cur = cur;
    w.pos = pos;
    w.maxLength = maxLength;
    w.out = out;
    // Positions plus one in the heads, 0 for none: a bucket's head may be older than any link.
    w.candidate = *root != 0 ? *root - 1 : pos - MatchFinder::kWindow;
    *root = pos + 1;
    w.link[0] = &tree[2 * (pos & kSlotMask)];
    w.link[1] = w.link[0] + 1;
    w.linkLength[0] = w.linkLength[1] = 0;
    w.best = MatchFinder::kMinMatch - 1;
    w.count = 0;
    w.depth = MatchFinder::kDepth;
}

// Visits one node; false when the walk is over.
template <bool Report> [[gnu::always_inline]] inline bool step(Walk& w, std::uint16_t* tree) {
    const std::uint32_t at = w.candidate;
    const std::uint32_t distance = w.pos - at;
    if (distance > MatchFinder::kMaxDistance || w.depth-- == 0) {
        *w.link[0] = *w.link[1] = static_cast<std::uint16_t>(w.pos - MatchFinder::kWindow);
        return false;
    }
    const std::uint8_t* m = w.cur - distance;
    std::uint16_t* node = &tree[2 * (at & kSlotMask)];
    int len = std::min(w.linkLength[0], w.linkLength[1]);
    // The first differing byte's order comes from the words compared, so the bytes are read once.
    int below = 0;
    for (;;) {
        std::uint64_t x, y;
        std::memcpy(&x, w.cur + len, 8);
        std::memcpy(&y, m + len, 8);
        if (x != y) {
            constexpr bool kLittle = std::endian::native == std::endian::little;
            const int index = (kLittle ? std::countr_zero(x ^ y) : std::countl_zero(x ^ y)) / 8;
            const int shift = kLittle ? 8 * index : 56 - 8 * index;
            len += index;
            below = ((y >> shift) & 0xFF) < ((x >> shift) & 0xFF);
            break;
        }
        len += 8;
        if (len >= w.maxLength)
            break;
    }
    if (len >= w.maxLength)
        len = w.maxLength;
    // Written whether or not it is longer than the last, and counted only then: the test is hard to predict.
    if constexpr (Report) {
        const bool longer = len > w.best;
        w.out[w.count] = {static_cast<std::uint16_t>(len), static_cast<std::uint16_t>(distance)};
        w.count += longer;
        w.best = longer ? len : w.best;
    }
    if (len == w.maxLength) {
        // The same bytes as far as they count: the new position takes the old one's place.
        *w.link[0] = node[0];
        *w.link[1] = node[1];
        return false;
    }
    *w.link[below] = static_cast<std::uint16_t>(at);
    w.link[below] = &node[1 - below];
    w.linkLength[below] = len;
    w.candidate = w.pos - static_cast<std::uint16_t>(w.pos - node[1 - below]);
    return true;
}

} // namespace

MatchFinder::MatchFinder() : m_head(std::size_t{1} << kHashBits, 0), m_tree(2 * kWindow, 0) {}

void MatchFinder::reset() {
    std::fill(m_head.begin(), m_head.end(), 0u);
}

int MatchFinder::find(const std::uint8_t* cur, std::uint32_t pos, int maxLength, Match* out) {
    Walk w;
    begin(w, m_head.data(), m_tree.data(), cur, pos, maxLength, out);
    while (step<true>(w, m_tree.data())) {
    }
    return w.count;
}

void MatchFinder::skip(const std::uint8_t* cur, std::uint32_t pos, int maxLength) {
    Walk w;
    begin(w, m_head.data(), m_tree.data(), cur, pos, maxLength, nullptr);
    while (step<false>(w, m_tree.data())) {
    }
}

// Two neighbours usually fall into different buckets, whose trees share no node: their walks then run
// side by side, each one's memory reads overlapping the other's.
void MatchFinder::findTwo(const std::uint8_t* cur, std::uint32_t pos, Match* first, int* firstCount,
                          Match* second, int* secondCount) {
    if (hash3(cur) == hash3(cur + 1)) {
        *firstCount = find(cur, pos, kMaxMatch, first);
        *secondCount = find(cur + 1, pos + 1, kMaxMatch, second);
        return;
    }
    std::uint16_t* tree = m_tree.data();
    Walk a, b;
    begin(a, m_head.data(), tree, cur, pos, kMaxMatch, first);
    begin(b, m_head.data(), tree, cur + 1, pos + 1, kMaxMatch, second);
    bool goingA = true, goingB = true;
    while (goingA && goingB) {
        goingA = step<true>(a, tree);
        goingB = step<true>(b, tree);
    }
    while (goingA)
        goingA = step<true>(a, tree);
    while (goingB)
        goingB = step<true>(b, tree);
    *firstCount = a.count;
    *secondCount = b.count;
}

} // namespace kb::lha
