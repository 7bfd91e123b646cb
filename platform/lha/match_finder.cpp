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

inline int matchLength(const std::uint8_t* a, const std::uint8_t* b, int maxLength) {
    int n = 0;
    while (n < maxLength) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) {
            const int diff = std::endian::native == std::endian::little ? std::countr_zero(x ^ y)
                                                                        : std::countl_zero(x ^ y);
            return std::min(maxLength, n + diff / 8);
        }
        n += 8;
    }
    return maxLength;
}

// One walk down a bucket's tree. The new position becomes the root: the walk splits the old tree into
// the part whose bytes sort above the new position's and the part below, which become its two subtrees.
// Branches older than the window, or beyond the depth limit, are cut off.
struct Walk {
    const std::uint8_t* cur;
    std::uint32_t pos;
    int maxLength;
    Match* out;
    std::uint32_t candidate;
    // link[1] receives the next node met that sorts below the new position, link[0] the next above;
    // linkLength says how many bytes the nodes on that side share with it.
    std::uint32_t* link[2];
    int linkLength[2];
    int best;
    int count;
    int depth;
};

[[gnu::always_inline]] inline void begin(Walk& w, std::uint32_t* head, std::uint32_t* tree,
                                         const std::uint8_t* cur, std::uint32_t pos, int maxLength,
                                         Match* out) {
    std::uint32_t* root = &head[hash3(cur)];
    w.cur = cur;
    w.pos = pos;
    w.maxLength = maxLength;
    w.out = out;
    w.candidate = *root;
    *root = pos + 1;
    w.link[0] = &tree[2 * (pos & kSlotMask)];
    w.link[1] = w.link[0] + 1;
    w.linkLength[0] = w.linkLength[1] = 0;
    w.best = MatchFinder::kMinMatch - 1;
    w.count = 0;
    w.depth = MatchFinder::kDepth;
}

// Visits one node; false when the walk is over.
template <bool Report> [[gnu::always_inline]] inline bool step(Walk& w, std::uint32_t* tree) {
    const std::uint32_t candidate = w.candidate;
    if (candidate == 0 || w.pos - (candidate - 1) > MatchFinder::kMaxDistance || w.depth-- == 0) {
        *w.link[0] = *w.link[1] = 0;
        return false;
    }
    const std::uint32_t at = candidate - 1;
    const std::uint8_t* m = w.cur - (w.pos - at);
    std::uint32_t* node = &tree[2 * (at & kSlotMask)];
    int len = std::min(w.linkLength[0], w.linkLength[1]);
    len += matchLength(w.cur + len, m + len, w.maxLength - len);
    if (len > w.best) {
        w.best = len;
        if constexpr (Report)
            w.out[w.count++] = {static_cast<std::uint16_t>(len), static_cast<std::uint16_t>(w.pos - at)};
        if (len == w.maxLength) {
            // The same bytes as far as they count: the new position takes the old one's place.
            *w.link[0] = node[0];
            *w.link[1] = node[1];
            return false;
        }
    }
    const int below = m[len] < w.cur[len];
    *w.link[below] = candidate;
    w.link[below] = &node[1 - below];
    w.linkLength[below] = len;
    w.candidate = node[1 - below];
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
    std::uint32_t* tree = m_tree.data();
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
