#include "platform/lha/lh5_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/lha/huffman.h"

namespace kb::lha {
namespace {

constexpr int kMinMatch = MatchFinder::kMinMatch;
constexpr int kMaxMatch = MatchFinder::kMaxMatch;
constexpr int NC = 255 + kMaxMatch + 2 - kMinMatch; // 510
constexpr int NP = 14;
constexpr int NT = 19;
constexpr int CBIT = 9;
constexpr int PBIT = 4;
constexpr int TBIT = 5;
constexpr std::size_t kBlockCodes = 65535;

constexpr std::uint32_t kBufferSize = 1u << 18;
// Room past the data for the word-wise compare of a match that runs up to kMaxMatch.
constexpr std::size_t kPad = 2 * kMaxMatch;

// The parse works on stretches of up to kStretch positions whose matches are kept, so that a stretch can be
// parsed twice.
constexpr std::uint32_t kStretch = 1u << 15;
constexpr std::size_t kMatchRoom = std::size_t{1} << 18;
// A match this long is taken without weighing the alternatives.
constexpr int kNiceLength = 128;
// Below this many positions a second parse is not worth its time.
constexpr std::uint32_t kMinSecondParse = 256;
// Costs stay far below this, so that they compare as signed numbers.
constexpr std::int32_t kUnreached = 0x3FFFFFFF;
// Prices are in sixteenths of a bit.
constexpr int kPriceScale = 16;
constexpr std::uint32_t kPriceCap = 18 * kPriceScale;

// Block splitting: no part shorter than kMinBlock codes; split points are tried every kCoarseStep codes,
// then every kSplitStep codes around the best of those.
constexpr std::size_t kMinBlock = 512;
constexpr std::size_t kCoarseStep = 2048;
constexpr std::size_t kSplitStep = 256;

constexpr std::size_t kOutChunk = 1u << 16;

// The bits of the three zero-run codes of the character table's lengths (extra bits included), guessed
// before their code is built; a code-length symbol that code leaves out is priced at kUnlistedBits.
constexpr int kGuessOneZero = 4;
constexpr int kGuessShortRun = 8;
constexpr int kGuessLongRun = 14;
constexpr int kUnlistedBits = 8;
// Rounds of trading data bits for table bits, and of the search for the Kraft multiplier within each.
constexpr int kTableRounds = 3;
constexpr int kMultiplierRounds = 10;
// A code's length moves at most this far from Huffman's in that trade.
constexpr int kLengthReach = 2;

// The prices of a stretch weigh the codes of the last stretch by kStretchWeight against those of the block
// so far, and the last block's by 1 / kLastBlockDivisor: the nearest codes tell most about the next ones.
constexpr std::uint32_t kStretchWeight = 2;
constexpr std::uint32_t kLastBlockDivisor = 2;

int positionBits(std::uint32_t q) {
    return static_cast<int>(std::bit_width(q));
}

// log2(x) in 1/65536 bits, for x >= 1: a table of the mantissa's top eight bits, interpolated.
std::uint32_t log2Fixed(std::uint32_t x) {
    static const std::array<std::uint32_t, 257> kTable = [] {
        std::array<std::uint32_t, 257> t{};
        for (std::size_t i = 0; i <= 256; ++i)
            t[i] = static_cast<std::uint32_t>(
                std::lround(65536.0 * std::log2(1.0 + static_cast<double>(i) / 256)));
        return t;
    }();
    const int b = static_cast<int>(std::bit_width(x)) - 1;
    const std::uint32_t norm = b >= 16 ? x >> (b - 16) : x << (16 - b);
    const std::uint32_t i = (norm >> 8) & 255, fraction = norm & 255;
    return (static_cast<std::uint32_t>(b) << 16) + kTable[i] +
           (((kTable[i + 1] - kTable[i]) * fraction) >> 8);
}

// log2(x) in sixteenths of a bit.
std::uint32_t log2Sixteenths(std::uint32_t x) {
    return (log2Fixed(x) + 2048) >> 12;
}

int trimmedLength(std::span<const std::uint8_t> lengths) {
    int n = static_cast<int>(lengths.size());
    while (n > 0 && lengths[static_cast<std::size_t>(n - 1)] == 0)
        --n;
    return n;
}

// One code of the character table's lengths as sent: a length k is symbol k + 2; symbol 0 is one zero
// length, symbol 1 with 4 extra bits 3 to 18 of them, symbol 2 with 9 extra bits 20 to 531.
struct Piece {
    std::uint8_t symbol;
    std::uint8_t extraBits;
    std::uint16_t extra;
};

struct Tables {
    std::array<std::uint8_t, NC> cLen{};
    std::array<std::uint16_t, NC> cCode{};
    std::array<std::uint8_t, NP> pLen{};
    std::array<std::uint16_t, NP> pCode{};
    std::array<std::uint8_t, NT> tLen{};
    std::array<std::uint16_t, NT> tCode{};
    std::array<Piece, NC> pieces{};
    int pieceCount = 0;
    int cUsed = 0, tUsed = 0, pUsed = 0;
    int cSingle = 0, tSingle = 0, pSingle = 0;
};

// Cuts the zero runs of the character-table lengths into pieces at the given bit costs of the three
// zero-run codes (extra bits included), cheapest first.
void planPieces(Tables& t, int cost0, int cost1, int cost2) {
    const int n = trimmedLength(t.cLen);
    // best[r]: the cheapest way to send r zero lengths; how[r]: the zeros its last piece covers.
    std::array<int, NC + 1> best;
    std::array<std::uint16_t, NC + 1> how;
    int known = 0, cheapest = 0;
    best[0] = 0;
    auto plan = [&](int run) {
        for (; known < run;) {
            const int r = ++known;
            best[r] = best[r - 1] + cost0;
            how[r] = 1;
            for (int k = 3; k <= std::min(r, 18); ++k) {
                if (best[r - k] + cost1 < best[r]) {
                    best[r] = best[r - k] + cost1;
                    how[r] = static_cast<std::uint16_t>(k);
                }
            }
            // Runs are shorter than 531, so symbol 2 may start anywhere from the front to r - 20.
            if (r >= 20) {
                if (best[static_cast<std::size_t>(r - 20)] < best[static_cast<std::size_t>(cheapest)])
                    cheapest = r - 20;
                if (best[static_cast<std::size_t>(cheapest)] + cost2 < best[static_cast<std::size_t>(r)]) {
                    best[static_cast<std::size_t>(r)] = best[static_cast<std::size_t>(cheapest)] + cost2;
                    how[static_cast<std::size_t>(r)] = static_cast<std::uint16_t>(r - cheapest);
                }
            }
        }
    };
    t.pieceCount = 0;
    int i = 0;
    while (i < n) {
        const int k = t.cLen[static_cast<std::size_t>(i)];
        if (k != 0) {
            t.pieces[static_cast<std::size_t>(t.pieceCount++)] = {static_cast<std::uint8_t>(k + 2), 0, 0};
            ++i;
            continue;
        }
        int run = 0;
        while (i < n && t.cLen[static_cast<std::size_t>(i)] == 0) {
            ++i;
            ++run;
        }
        plan(run);
        // The pieces come out last first; their order within a run does not matter.
        for (int r = run; r > 0; r -= how[static_cast<std::size_t>(r)]) {
            const int covered = how[static_cast<std::size_t>(r)];
            Piece p{0, 0, 0};
            if (covered >= 20)
                p = {2, CBIT, static_cast<std::uint16_t>(covered - 20)};
            else if (covered >= 3)
                p = {1, 4, static_cast<std::uint16_t>(covered - 3)};
            t.pieces[static_cast<std::size_t>(t.pieceCount++)] = p;
        }
    }
}

// The code-length code for the pieces as planned.
void buildPieceCode(Tables& t) {
    std::array<std::uint32_t, NT> tFreq{};
    for (int i = 0; i < t.pieceCount; ++i)
        ++tFreq[t.pieces[static_cast<std::size_t>(i)].symbol];
    t.tUsed = huffmanLengths(tFreq, t.tLen, kMaxCodeBits, &t.tSingle);
}

void buildTables(std::span<const std::uint32_t> cFreq, std::span<const std::uint32_t> pFreq, Tables& t) {
    t.cUsed = huffmanLengths(cFreq, t.cLen, kMaxCodeBits, &t.cSingle);
    if (t.cUsed >= 2) {
        planPieces(t, kGuessOneZero, kGuessShortRun, kGuessLongRun);
        buildPieceCode(t);
    }
    t.pUsed = huffmanLengths(pFreq, t.pLen, kMaxCodeBits, &t.pSingle);
}

void makeCodes(Tables& t) {
    if (t.cUsed >= 2)
        canonicalCodes(t.cLen, t.cCode);
    if (t.tUsed >= 2)
        canonicalCodes(t.tLen, t.tCode);
    if (t.pUsed >= 2)
        canonicalCodes(t.pLen, t.pCode);
}

// The block header's three tables; `put(bits, value)` receives every field. A table with fewer than two
// symbols in use is sent as a zero count followed by its one symbol, and its code then takes no bits.
template <typename Put> void putTables(const Tables& t, Put put) {
    // Position and code-length table lengths: up to 6 in three bits, longer ones as a run of ones. After
    // the `special`-th entry a two-bit count of zero lengths for entries special..5 follows.
    auto ptLengths = [&](std::span<const std::uint8_t> lengths, int nbit, int special) {
        const int n = trimmedLength(lengths);
        put(nbit, static_cast<std::uint32_t>(n));
        int i = 0;
        while (i < n) {
            const int k = lengths[static_cast<std::size_t>(i++)];
            if (k <= 6)
                put(3, static_cast<std::uint32_t>(k));
            else
                put(k - 3, (1u << (k - 3)) - 2);
            if (i == special) {
                while (i < 6 && i < n && lengths[static_cast<std::size_t>(i)] == 0)
                    ++i;
                put(2, static_cast<std::uint32_t>((i - special) & 3));
            }
        }
    };
    if (t.cUsed >= 2) {
        if (t.tUsed >= 2) {
            ptLengths(t.tLen, TBIT, 3);
        } else {
            put(TBIT, 0);
            put(TBIT, static_cast<std::uint32_t>(t.tSingle));
        }
        put(CBIT, static_cast<std::uint32_t>(trimmedLength(t.cLen)));
        for (int i = 0; i < t.pieceCount; ++i) {
            const Piece& p = t.pieces[static_cast<std::size_t>(i)];
            put(t.tLen[p.symbol], t.tCode[p.symbol]);
            if (p.extraBits)
                put(p.extraBits, p.extra);
        }
    } else {
        put(TBIT, 0);
        put(TBIT, 0);
        put(CBIT, 0);
        put(CBIT, static_cast<std::uint32_t>(t.cSingle));
    }
    if (t.pUsed >= 2) {
        ptLengths(t.pLen, PBIT, -1);
    } else {
        put(PBIT, 0);
        put(PBIT, static_cast<std::uint32_t>(t.pSingle));
    }
}

std::uint64_t blockBits(const Tables& t, std::span<const std::uint32_t> cFreq,
                        std::span<const std::uint32_t> pFreq) {
    std::uint64_t bits = 16;
    putTables(t, [&](int n, std::uint32_t) { bits += static_cast<std::uint64_t>(n); });
    for (std::size_t s = 0; s < cFreq.size(); ++s)
        bits += std::uint64_t{cFreq[s]} * t.cLen[s];
    for (std::size_t c = 0; c < pFreq.size(); ++c)
        bits += std::uint64_t{pFreq[c]} * (t.pLen[c] + (c > 1 ? c - 1 : 0));
    return bits;
}

std::uint64_t blockBits(std::span<const std::uint32_t> cFreq, std::span<const std::uint32_t> pFreq) {
    Tables t;
    buildTables(cFreq, pFreq, t);
    return blockBits(t, cFreq, pFreq);
}

// Lengths for the used characters and lengths minimising their data bits plus the bits of their entries
// in the table (`entry[k]` for length k): a Lagrangian search for the multiplier of the Kraft sum, then the
// code space filled by shortening the codes that gain most. False when nothing better than Huffman's
// lengths could be formed.
bool lengthsForTable(std::span<const std::uint32_t> freq, const int* entry, std::span<std::uint8_t> len) {
    constexpr std::uint64_t kFull = std::uint64_t{1} << kMaxCodeBits;
    std::array<std::uint8_t, NC> huffman;
    std::copy(len.begin(), len.end(), huffman.begin());
    auto pick = [&](double lambda) {
        std::uint64_t kraft = 0;
        for (std::size_t s = 0; s < freq.size(); ++s) {
            if (huffman[s] == 0)
                continue;
            const double f = freq[s];
            const int lo = std::max(1, huffman[s] - kLengthReach);
            const int hi = std::min(kMaxCodeBits, huffman[s] + kLengthReach);
            int bestK = lo;
            double best = 0;
            for (int k = lo; k <= hi; ++k) {
                const double v = f * k + entry[k] + lambda / static_cast<double>(1u << k);
                if (k == lo || v < best) {
                    best = v;
                    bestK = k;
                }
            }
            len[s] = static_cast<std::uint8_t>(bestK);
            kraft += kFull >> bestK;
        }
        return kraft;
    };
    // A multiplier large enough that the lengths fit the code space; none when even the longest do not.
    double lo = 0, hi = 64;
    while (pick(hi) > kFull) {
        hi *= 4;
        if (hi > 1e12)
            return false;
    }
    for (int round = 0; round < kMultiplierRounds; ++round) {
        const double mid = (lo + hi) / 2;
        (pick(mid) > kFull ? lo : hi) = mid;
    }
    std::uint64_t kraft = pick(hi);
    while (kraft < kFull) {
        std::size_t bestS = freq.size();
        for (std::size_t s = 0; s < freq.size(); ++s)
            if (len[s] > 1 && kraft + (kFull >> len[s]) <= kFull &&
                (bestS == freq.size() || freq[s] > freq[bestS]))
                bestS = s;
        if (bestS == freq.size())
            return false;
        kraft += kFull >> len[bestS];
        --len[bestS];
    }
    return true;
}

// Huffman's lengths are the cheapest for the data alone; the table that sends them costs bits of its own,
// which matter in small blocks. A few rounds trade data bits for table bits, keeping the cheapest total.
void tuneTables(std::span<const std::uint32_t> cFreq, std::span<const std::uint32_t> pFreq, Tables& t) {
    if (t.cUsed < 2 || t.tUsed < 2)
        return;
    std::uint64_t best = blockBits(t, cFreq, pFreq);
    Tables next = t;
    for (int round = 0; round < kTableRounds; ++round) {
        auto price = [&](int symbol, int missing) {
            return next.tLen[static_cast<std::size_t>(symbol)] ? next.tLen[static_cast<std::size_t>(symbol)]
                                                               : missing;
        };
        if (round > 0) {
            std::array<int, kMaxCodeBits + 1> entry{};
            for (int k = 1; k <= kMaxCodeBits; ++k)
                entry[static_cast<std::size_t>(k)] = price(k + 2, kUnlistedBits);
            if (!lengthsForTable(cFreq, entry.data(), next.cLen))
                break;
        }
        planPieces(next, price(0, kUnlistedBits), price(1, kUnlistedBits) + 4,
                   price(2, kUnlistedBits) + CBIT);
        buildPieceCode(next);
        if (next.tUsed < 2)
            break;
        const std::uint64_t bits = blockBits(next, cFreq, pFreq);
        if (bits < best) {
            best = bits;
            t = next;
        }
    }
}

} // namespace

Lh5Encoder::Lh5Encoder()
    : m_buffer(kBufferSize + kPad, 0), m_matches(kMatchRoom), m_first(kStretch + 1), m_cost(kStretch + 4),
      m_from(kStretch + 4), m_path(kStretch), m_cPrice(NC + 4), m_pPrice(NP), m_lastCFreq(NC),
      m_lastPFreq(NP), m_stretchCFreq(NC), m_stretchPFreq(NP), m_symbols(kBlockCodes), m_offsets(kBlockCodes),
      m_cFreq(NC, 0), m_pFreq(NP, 0) {
    m_out.reserve(kOutChunk + 4096);
}

void Lh5Encoder::reset(ByteSink& sink) {
    m_sink = &sink;
    m_failed = false;
    m_base = m_end = m_pos = m_found = 0;
    m_finder.reset();
    m_haveLast = false;
    m_count = 0;
    std::fill(m_cFreq.begin(), m_cFreq.end(), 0u);
    std::fill(m_pFreq.begin(), m_pFreq.end(), 0u);
    m_out.clear();
    m_bits.reset();
}

bool Lh5Encoder::write(const std::uint8_t* data, std::size_t size) {
    if (m_failed)
        return false;
    if (size > kMaxInput - m_end) {
        m_failed = true;
        return false;
    }
    while (size > 0 && !m_failed) {
        const std::size_t room = kBufferSize - (m_end - m_base);
        if (room == 0) {
            compress(false);
            slide();
            continue;
        }
        const std::size_t n = std::min(room, size);
        std::memcpy(m_buffer.data() + (m_end - m_base), data, n);
        m_end += static_cast<std::uint32_t>(n);
        data += n;
        size -= n;
    }
    return !m_failed;
}

bool Lh5Encoder::finish() {
    if (m_failed)
        return false;
    compress(true);
    if (m_count > 0 && !m_failed)
        sendCodes();
    // Zero bits fill up the last byte and no more: bsdtar and 7-Zip take a whole spare byte after the last
    // code for damaged data.
    m_bits.flush();
    return drain();
}

void Lh5Encoder::slide() {
    const std::uint32_t keep =
        std::max(m_pos > MatchFinder::kWindow ? m_pos - MatchFinder::kWindow : 0, m_base);
    std::memmove(m_buffer.data(), m_buffer.data() + (keep - m_base), m_end - keep);
    m_base = keep;
}

// Short of the end of the input, codes stop where a match could still run into bytes not yet given.
void Lh5Encoder::compress(bool final) {
    const std::uint32_t limit = final ? m_end : (m_end > kMaxMatch + 2 ? m_end - kMaxMatch - 2 : 0);
    std::array<std::uint32_t, NC> cFreq;
    std::array<std::uint32_t, NP> pFreq;
    while (m_pos < limit && !m_failed) {
        const std::uint32_t begin = m_pos;
        const std::uint32_t end = gather(limit);
        const std::uint32_t n = end - begin;
        if (n > 0) {
            if (!m_haveLast && m_count == 0) {
                priorPrices(begin, n);
            } else {
                for (std::size_t s = 0; s < NC; ++s)
                    cFreq[s] = m_cFreq[s] + (m_haveLast ? m_lastCFreq[s] / kLastBlockDivisor : 0) +
                               kStretchWeight * m_stretchCFreq[s];
                for (std::size_t c = 0; c < NP; ++c)
                    pFreq[c] = m_pFreq[c] + (m_haveLast ? m_lastPFreq[c] / kLastBlockDivisor : 0) +
                               kStretchWeight * m_stretchPFreq[c];
                setPrices(cFreq.data(), pFreq.data());
            }
            // A long stretch is parsed twice: roughly first, for its statistics, then in full at prices
            // that count its own codes.
            const bool twice = n >= kMinSecondParse;
            parse(begin, n, !twice);
            if (twice) {
                std::copy(m_cFreq.begin(), m_cFreq.end(), cFreq.begin());
                std::copy(m_pFreq.begin(), m_pFreq.end(), pFreq.begin());
                countPath(begin, n, cFreq.data(), pFreq.data());
                setPrices(cFreq.data(), pFreq.data());
                parse(begin, n, true);
            }
            std::fill(m_stretchCFreq.begin(), m_stretchCFreq.end(), 0u);
            std::fill(m_stretchPFreq.begin(), m_stretchPFreq.end(), 0u);
            countPath(begin, n, m_stretchCFreq.data(), m_stretchPFreq.data());
            emitPath(begin, n);
        }
        if (m_long.length != 0) {
            emitMatch(m_long.length, m_long.distance);
            // Its first position, and maybe the next, are in the match finder already.
            for (std::uint32_t p = m_found; p < end + m_long.length; ++p)
                if (m_end - p >= kMinMatch)
                    m_finder.skip(m_buffer.data() + (p - m_base), p,
                                  static_cast<int>(std::min<std::uint32_t>(kMaxMatch, m_end - p)));
            m_pos = m_found = end + m_long.length;
        } else {
            m_pos = end;
        }
    }
}

// Finds the matches of the positions from m_pos on, up to `limit`, a stretch's length or a match of
// kNiceLength, which is then left in m_long. Returns the end of the stretch.
std::uint32_t Lh5Encoder::gather(std::uint32_t limit) {
    const std::uint32_t begin = m_pos;
    const std::uint32_t n = std::min(limit - begin, kStretch);
    // Positions up to `full` have kMaxMatch bytes ahead of them.
    const std::uint32_t full = m_end - std::min<std::uint32_t>(m_end, kMaxMatch);
    std::uint32_t used = 0;
    m_long = {};
    Match* matches = m_matches.data();
    std::uint32_t* first = m_first.data();
    std::uint32_t j = 0;
    while (j < n && used + 3 * MatchFinder::kDepth <= kMatchRoom) {
        const std::uint32_t p = begin + j;
        const std::uint8_t* at = m_buffer.data() + (p - m_base);
        first[j] = used;
        if (j + 1 < n && p + 1 <= full) {
            Match* out = matches + used;
            Match* next = out + MatchFinder::kDepth;
            int count = 0, nextCount = 0;
            m_finder.findTwo(at, p, out, &count, next, &nextCount);
            m_found = p + 2;
            if (count > 0 && out[count - 1].length >= kNiceLength) {
                m_long = out[count - 1];
                break;
            }
            used += static_cast<std::uint32_t>(count);
            first[++j] = used;
            if (nextCount > 0 && next[nextCount - 1].length >= kNiceLength) {
                m_long = next[nextCount - 1];
                break;
            }
            std::copy(next, next + nextCount, matches + used);
            used += static_cast<std::uint32_t>(nextCount);
            ++j;
            continue;
        }
        m_found = p + 1;
        const int maxLength = static_cast<int>(std::min<std::uint32_t>(kMaxMatch, m_end - p));
        if (maxLength >= kMinMatch) {
            Match* out = matches + used;
            const int count = m_finder.find(at, p, maxLength, out);
            if (count > 0 && out[count - 1].length >= kNiceLength) {
                m_long = out[count - 1];
                break;
            }
            used += static_cast<std::uint32_t>(count);
        }
        ++j;
    }
    first[j] = used;
    return begin + j;
}

// Before any code of the stream: the stretch's own characters stand in for the literals, and lengths and
// positions take the shares typical of text and programs.
void Lh5Encoder::priorPrices(std::uint32_t begin, std::uint32_t n) {
    // Per thousand matches: lengths 3 to 18 (then 5 each up to 32, then 1), position classes 0 to 13.
    static constexpr std::uint16_t kLengthShare[16] = {110, 170, 160, 100, 75, 60, 35, 50,
                                                       20,  30,  15,  15,  15, 10, 10, 10};
    static constexpr std::uint16_t kPositionShare[NP] = {4,   1,   1,   8,   22,  55,  90,
                                                         115, 115, 115, 115, 120, 115, 120};
    std::array<std::uint32_t, NC> cFreq{};
    std::array<std::uint32_t, NP> pFreq{};
    const std::uint8_t* data = m_buffer.data() + (begin - m_base);
    for (std::uint32_t i = 0; i < n; ++i)
        cFreq[data[i]] += 1000;
    // About one match for every two characters.
    const std::uint64_t matches = std::uint64_t{n} * 1000 / 2;
    for (int l = 0; l < kMaxMatch - kMinMatch + 1; ++l) {
        const std::uint32_t share = l < 16 ? kLengthShare[l] : l < 30 ? 5 : 1;
        cFreq[static_cast<std::size_t>(256 + l)] = static_cast<std::uint32_t>(matches * share / 1000);
    }
    for (int c = 0; c < NP; ++c)
        pFreq[static_cast<std::size_t>(c)] = static_cast<std::uint32_t>(matches * kPositionShare[c] / 1000);
    setPrices(cFreq.data(), pFreq.data());
}

// A symbol's price is the information its frequency gives it; one never seen counts as half a sighting.
void Lh5Encoder::setPrices(const std::uint32_t* cFreq, const std::uint32_t* pFreq) {
    auto fill = [](const std::uint32_t* freq, std::size_t n, std::int32_t* price) {
        std::uint64_t total = 0;
        for (std::size_t s = 0; s < n; ++s)
            total += freq[s];
        const std::uint32_t whole =
            log2Sixteenths(static_cast<std::uint32_t>(std::min<std::uint64_t>(2 * total + 1, 0x7FFFFFFFu)));
        for (std::size_t s = 0; s < n; ++s) {
            const std::uint32_t own = log2Sixteenths(freq[s] ? 2 * freq[s] : 1);
            price[s] = static_cast<std::int32_t>(std::min(kPriceCap, whole > own ? whole - own : 1u));
        }
    };
    fill(cFreq, NC, m_cPrice.data());
    fill(pFreq, NP, m_pPrice.data());
    for (int c = 2; c < NP; ++c)
        m_pPrice[static_cast<std::size_t>(c)] += kPriceScale * (c - 1);
}

// The cheapest codes for the positions begin .. begin + n at the current prices: the cost of reaching each
// position, from the first on, by a character or by any length of any match found (or, when not
// `everyLength`, by each match at its full length only).
void Lh5Encoder::parse(std::uint32_t begin, std::uint32_t n, bool everyLength) {
    std::int32_t* cost = m_cost.data();
    std::uint32_t* from = m_from.data();
    cost[0] = 0;
    std::fill(cost + 1, cost + n + 4, kUnreached);
    const std::uint8_t* data = m_buffer.data() + (begin - m_base);
    const std::int32_t* cPrice = m_cPrice.data();
    const std::int32_t* lengthPrice = cPrice + 256 - kMinMatch;
    const std::int32_t* pPrice = m_pPrice.data();
    const Match* matches = m_matches.data();
    const std::uint32_t* first = m_first.data();
    for (std::uint32_t j = 0; j < n; ++j) {
        const std::int32_t here = cost[j];
        // Selects rather than branches: which way the choice goes is hard to predict.
        const std::int32_t literal = here + cPrice[data[j]];
        const bool byLiteral = literal < cost[j + 1];
        cost[j + 1] = byLiteral ? literal : cost[j + 1];
        from[j + 1] = byLiteral ? 1u : from[j + 1];
        const Match* m = matches + first[j];
        const Match* mEnd = matches + first[j + 1];
        if (m == mEnd)
            continue;
        const int room = static_cast<int>(std::min<std::uint32_t>(n - j, kMaxMatch));
        std::int32_t* c = cost + j;
        std::uint32_t* f = from + j;
        int length = kMinMatch;
        if (!everyLength) {
            // Each match at its full length only.
            for (; m != mEnd; ++m) {
                const int top = std::min<int>(m->length, room);
                if (top < kMinMatch)
                    break;
                const std::int32_t price = here + pPrice[positionBits(m->distance - 1u)] + lengthPrice[top];
                const bool better = price < c[top];
                c[top] = better ? price : c[top];
                f[top] =
                    better ? (static_cast<std::uint32_t>(m->distance) << 16) | static_cast<std::uint32_t>(top)
                           : f[top];
            }
            continue;
        }
        for (; m != mEnd && length <= room; ++m) {
            const std::int32_t base = here + pPrice[positionBits(m->distance - 1u)];
            const int top = std::min<int>(m->length, room);
            const std::uint32_t tag = static_cast<std::uint32_t>(m->distance) << 16;
#if defined(__SSE2__)
            // Four lengths at a time; lanes past the match's end keep what they had. Both arrays have
            // room for the three lanes past the stretch.
            const __m128i vBase = _mm_set1_epi32(base);
            const __m128i vTop = _mm_set1_epi32(top + 1);
            const __m128i four = _mm_set1_epi32(4);
            __m128i vLength = _mm_add_epi32(_mm_set1_epi32(length), _mm_setr_epi32(0, 1, 2, 3));
            const __m128i vTag = _mm_set1_epi32(static_cast<int>(tag));
            for (; length <= top; length += 4) {
                const __m128i price = _mm_add_epi32(
                    vBase, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lengthPrice + length)));
                __m128i* cp = reinterpret_cast<__m128i*>(c + length);
                __m128i* fp = reinterpret_cast<__m128i*>(f + length);
                const __m128i old = _mm_loadu_si128(cp);
                const __m128i better =
                    _mm_and_si128(_mm_cmpgt_epi32(old, price), _mm_cmpgt_epi32(vTop, vLength));
                _mm_storeu_si128(cp,
                                 _mm_or_si128(_mm_and_si128(better, price), _mm_andnot_si128(better, old)));
                _mm_storeu_si128(fp, _mm_or_si128(_mm_and_si128(better, _mm_or_si128(vTag, vLength)),
                                                  _mm_andnot_si128(better, _mm_loadu_si128(fp))));
                vLength = _mm_add_epi32(vLength, four);
            }
            length = top + 1;
#else
            for (; length <= top; ++length) {
                const std::int32_t price = base + lengthPrice[length];
                if (price < c[length]) {
                    c[length] = price;
                    f[length] = tag | static_cast<std::uint32_t>(length);
                }
            }
#endif
        }
    }
}

// Counts the codes of the path parse() chose, read from its end.
void Lh5Encoder::countPath(std::uint32_t begin, std::uint32_t n, std::uint32_t* cFreq,
                           std::uint32_t* pFreq) const {
    const std::uint8_t* data = m_buffer.data() + (begin - m_base);
    for (std::uint32_t j = n; j > 0;) {
        const std::uint32_t step = m_from[j];
        const std::uint32_t length = step & 0xFFFF;
        j -= length;
        if (length == 1) {
            ++cFreq[data[j]];
        } else {
            ++cFreq[256 + length - kMinMatch];
            ++pFreq[positionBits((step >> 16) - 1u)];
        }
    }
}

void Lh5Encoder::emitPath(std::uint32_t begin, std::uint32_t n) {
    std::size_t steps = 0;
    for (std::uint32_t j = n; j > 0; j -= m_from[j] & 0xFFFF)
        m_path[steps++] = j;
    const std::uint8_t* data = m_buffer.data() + (begin - m_base);
    while (steps > 0 && !m_failed) {
        const std::uint32_t j = m_path[--steps];
        const std::uint32_t step = m_from[j];
        const std::uint32_t length = step & 0xFFFF;
        if (length == 1)
            emitLiteral(data[j - 1]);
        else
            emitMatch(static_cast<int>(length), step >> 16);
    }
}

void Lh5Encoder::emitLiteral(std::uint8_t c) {
    m_symbols[m_count] = c;
    m_offsets[m_count] = 0;
    ++m_cFreq[c];
    if (++m_count == kBlockCodes)
        sendCodes();
}

void Lh5Encoder::emitMatch(int length, std::uint32_t distance) {
    const int symbol = length - kMinMatch + 256;
    const std::uint32_t q = distance - 1;
    m_symbols[m_count] = static_cast<std::uint16_t>(symbol);
    m_offsets[m_count] = static_cast<std::uint16_t>(q);
    ++m_cFreq[static_cast<std::size_t>(symbol)];
    ++m_pFreq[static_cast<std::size_t>(positionBits(q))];
    if (++m_count == kBlockCodes)
        sendCodes();
}

// Sends the codes held as one or more blocks; their statistics become the next prices' starting point.
void Lh5Encoder::sendCodes() {
    std::vector<std::size_t>& cuts = m_cuts;
    cuts.clear();
    planBlocks(0, m_count, m_cFreq.data(), m_pFreq.data(), cuts);
    cuts.push_back(m_count);
    std::array<std::uint32_t, NC> cFreq;
    std::array<std::uint32_t, NP> pFreq;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        countCodes(at, cut, cFreq.data(), pFreq.data());
        sendBlock(at, cut, cFreq.data(), pFreq.data());
        at = cut;
    }
    m_lastCFreq = m_cFreq;
    m_lastPFreq = m_pFreq;
    m_haveLast = true;
    m_count = 0;
    std::fill(m_cFreq.begin(), m_cFreq.end(), 0u);
    std::fill(m_pFreq.begin(), m_pFreq.end(), 0u);
}

void Lh5Encoder::countCodes(std::size_t begin, std::size_t end, std::uint32_t* cFreq,
                            std::uint32_t* pFreq) const {
    std::fill(cFreq, cFreq + NC, 0u);
    std::fill(pFreq, pFreq + NP, 0u);
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t s = m_symbols[i];
        ++cFreq[s];
        if (s >= 256)
            ++pFreq[positionBits(m_offsets[i])];
    }
}

// Where the statistics change within the codes, a second set of tables pays for itself. The split point
// is the one where the two halves' symbols carry the least information (their entropy, plus a few bits
// for each symbol a table lists); it is taken when the two blocks cost fewer bits than one, and the halves
// are looked at in turn.
void Lh5Encoder::planBlocks(std::size_t begin, std::size_t end, const std::uint32_t* cFreq,
                            const std::uint32_t* pFreq, std::vector<std::size_t>& cuts) const {
    if (end - begin < 2 * kMinBlock)
        return;
    // f * log2(f).
    auto weight = [](std::uint32_t f) { return std::uint64_t{f} * log2Fixed(f | 1); };
    constexpr std::uint64_t kListed = 9u << 15; // 4.5 bits
    std::array<std::uint16_t, NC> used;
    std::size_t usedCount = 0;
    for (std::size_t s = 0; s < NC; ++s)
        if (cFreq[s] != 0)
            used[usedCount++] = static_cast<std::uint16_t>(s);
    std::array<std::uint32_t, NC> leftC{};
    std::array<std::uint32_t, NP> leftP{};
    // Information = total * log2(total) - sum f * log2(f), per table and side, in 1/65536 bits.
    auto score = [&] {
        std::int64_t total = 0;
        std::uint32_t lc = 0, rc = 0, lp = 0, rp = 0;
        for (std::size_t i = 0; i < usedCount; ++i) {
            const std::uint32_t l = leftC[used[i]], r = cFreq[used[i]] - l;
            total += static_cast<std::int64_t>((l ? kListed : 0) + (r ? kListed : 0)) -
                     static_cast<std::int64_t>(weight(l) + weight(r));
            lc += l;
            rc += r;
        }
        for (std::size_t c = 0; c < NP; ++c) {
            const std::uint32_t l = leftP[c], r = pFreq[c] - l;
            total -= static_cast<std::int64_t>(weight(l) + weight(r));
            lp += l;
            rp += r;
        }
        return total + static_cast<std::int64_t>(weight(lc) + weight(rc) + weight(lp) + weight(rp));
    };
    std::size_t at = begin;
    auto advance = [&](std::size_t to) {
        for (; at < to; ++at) {
            const std::uint16_t s = m_symbols[at];
            ++leftC[s];
            if (s >= 256)
                ++leftP[positionBits(m_offsets[at])];
        }
    };
    // Coarse steps first, then fine ones around the best of them.
    std::int64_t bestScore = 0;
    std::size_t bestMid = 0;
    const std::size_t lowest = begin + kMinBlock, highest = end - kMinBlock;
    for (std::size_t mid = lowest; mid <= highest; mid += kCoarseStep) {
        advance(mid);
        const std::int64_t v = score();
        if (bestMid == 0 || v < bestScore) {
            bestScore = v;
            bestMid = mid;
        }
    }
    const std::size_t from = std::max(lowest, bestMid > kCoarseStep ? bestMid - kCoarseStep + kSplitStep : 0);
    countCodes(begin, from, leftC.data(), leftP.data());
    at = from;
    for (std::size_t mid = from; mid <= std::min(highest, bestMid + kCoarseStep - kSplitStep);
         mid += kSplitStep) {
        advance(mid);
        const std::int64_t v = score();
        if (v < bestScore) {
            bestScore = v;
            bestMid = mid;
        }
    }
    std::array<std::uint32_t, NC> rightC;
    std::array<std::uint32_t, NP> rightP;
    countCodes(begin, bestMid, leftC.data(), leftP.data());
    for (std::size_t s = 0; s < NC; ++s)
        rightC[s] = cFreq[s] - leftC[s];
    for (std::size_t c = 0; c < NP; ++c)
        rightP[c] = pFreq[c] - leftP[c];
    if (blockBits(leftC, leftP) + blockBits(rightC, rightP) >= blockBits({cFreq, NC}, {pFreq, NP}))
        return;
    planBlocks(begin, bestMid, leftC.data(), leftP.data(), cuts);
    cuts.push_back(bestMid);
    planBlocks(bestMid, end, rightC.data(), rightP.data(), cuts);
}

void Lh5Encoder::sendBlock(std::size_t begin, std::size_t end, const std::uint32_t* cFreq,
                           const std::uint32_t* pFreq) {
    Tables t;
    buildTables({cFreq, NC}, {pFreq, NP}, t);
    tuneTables({cFreq, NC}, {pFreq, NP}, t);
    makeCodes(t);
    m_bits.put(16, static_cast<std::uint32_t>(end - begin));
    putTables(t, [&](int n, std::uint32_t v) { m_bits.put(n, v); });
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t s = m_symbols[i];
        m_bits.put(t.cLen[s], t.cCode[s]);
        if (s >= 256) {
            const std::uint32_t q = m_offsets[i];
            const int c = positionBits(q);
            m_bits.put(t.pLen[static_cast<std::size_t>(c)], t.pCode[static_cast<std::size_t>(c)]);
            if (c > 1)
                m_bits.put(c - 1, q & ((1u << (c - 1)) - 1));
        }
        if (m_out.size() >= kOutChunk && !drain())
            return;
    }
}

bool Lh5Encoder::drain() {
    if (m_failed)
        return false;
    if (!m_out.empty() && !m_sink->put(m_out.data(), m_out.size()))
        m_failed = true;
    m_out.clear();
    return !m_failed;
}

} // namespace kb::lha
