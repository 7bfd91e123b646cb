#include "platform/lha/lh5_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <span>

#include "platform/lha/huffman.h"

namespace kb::lha {
namespace {

constexpr std::uint32_t kWindow = 8192;
// One short of the window: a few decoders read the source byte after writing the ring slot.
constexpr std::uint32_t kMaxDistance = kWindow - 1;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
constexpr int NC = 255 + kMaxMatch + 2 - kMinMatch; // 510
constexpr int NP = 14;
constexpr int NT = 19;
constexpr int CBIT = 9;
constexpr int PBIT = 4;
constexpr int TBIT = 5;
constexpr std::size_t kBlockCodes = 65535;
constexpr std::size_t kMinBlock = 2048;

constexpr std::uint32_t kBufferSize = 1u << 18;
// Room past the data for the word-wise compare of a match that runs up to kMaxMatch.
constexpr std::size_t kPad = 2 * kMaxMatch;
constexpr int kHashBits = 14;
constexpr int kHash3Bits = 12;

// Search effort: a chain walk stops after kMaxChain candidates, a quarter of that when the match in hand is
// already kGoodLength long; a match of kMaxLazy bytes is taken without looking further.
constexpr int kMaxChain = 64;
constexpr int kGoodLength = 32;
constexpr int kMaxLazy = 256;
// A three-byte match farther back than this costs more bits than three characters.
constexpr std::uint32_t kTooFar = 4096;
// A match's worth in rough bits: its length weighed against the extra bits of its distance. A later match
// must beat the one in hand by a margin, since taking it costs the characters in between.
constexpr int kLengthWeight = 5;
constexpr int kNextMargin = 1;
constexpr int kSecondNextMargin = 4;

constexpr std::size_t kOutChunk = 1u << 16;

std::uint32_t hash3(const std::uint8_t* p) {
    const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - kHash3Bits);
}

std::uint32_t hash4(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return (v * 2654435761u) >> (32 - kHashBits);
}

int matchLength(const std::uint8_t* a, const std::uint8_t* b, int maxLength) {
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

int worth(int length, std::uint32_t distance) {
    return length * kLengthWeight - static_cast<int>(std::bit_width(distance));
}

int positionBits(std::uint32_t q) {
    return static_cast<int>(std::bit_width(q));
}

int trimmedLength(std::span<const std::uint8_t> lengths) {
    int n = static_cast<int>(lengths.size());
    while (n > 0 && lengths[static_cast<std::size_t>(n - 1)] == 0)
        --n;
    return n;
}

// Walks the character-table lengths the way they are sent: zero runs become code-length symbols 0..2,
// a length k becomes symbol k + 2. `emit(symbol, extraBits, extraValue)` gets every piece.
template <typename Emit> void walkCLengths(std::span<const std::uint8_t> cLen, Emit emit) {
    const int n = trimmedLength(cLen);
    int i = 0;
    while (i < n) {
        const int k = cLen[static_cast<std::size_t>(i++)];
        if (k != 0) {
            emit(k + 2, 0, 0);
            continue;
        }
        int run = 1;
        while (i < n && cLen[static_cast<std::size_t>(i)] == 0) {
            ++i;
            ++run;
        }
        if (run <= 2) {
            for (int r = 0; r < run; ++r)
                emit(0, 0, 0);
        } else if (run <= 18) {
            emit(1, 4, run - 3);
        } else if (run == 19) {
            emit(0, 0, 0);
            emit(1, 4, 15);
        } else {
            emit(2, CBIT, run - 20);
        }
    }
}

struct Tables {
    std::array<std::uint8_t, NC> cLen{};
    std::array<std::uint16_t, NC> cCode{};
    std::array<std::uint8_t, NP> pLen{};
    std::array<std::uint16_t, NP> pCode{};
    std::array<std::uint8_t, NT> tLen{};
    std::array<std::uint16_t, NT> tCode{};
    int cUsed = 0, tUsed = 0, pUsed = 0;
    int cSingle = 0, tSingle = 0, pSingle = 0;
};

void buildTables(std::span<const std::uint32_t> cFreq, std::span<const std::uint32_t> pFreq, Tables& t) {
    t.cUsed = huffmanLengths(cFreq, t.cLen, kMaxCodeBits, &t.cSingle);
    if (t.cUsed >= 2) {
        canonicalCodes(t.cLen, t.cCode);
        std::array<std::uint32_t, NT> tFreq{};
        walkCLengths(t.cLen, [&](int symbol, int, int) { ++tFreq[static_cast<std::size_t>(symbol)]; });
        t.tUsed = huffmanLengths(tFreq, t.tLen, kMaxCodeBits, &t.tSingle);
        if (t.tUsed >= 2)
            canonicalCodes(t.tLen, t.tCode);
    }
    t.pUsed = huffmanLengths(pFreq, t.pLen, kMaxCodeBits, &t.pSingle);
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
        walkCLengths(t.cLen, [&](int symbol, int extraBits, int extra) {
            put(t.tLen[static_cast<std::size_t>(symbol)], t.tCode[static_cast<std::size_t>(symbol)]);
            if (extraBits)
                put(extraBits, static_cast<std::uint32_t>(extra));
        });
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

std::uint64_t blockBits(std::span<const std::uint32_t> cFreq, std::span<const std::uint32_t> pFreq) {
    Tables t;
    buildTables(cFreq, pFreq, t);
    std::uint64_t bits = 16;
    putTables(t, [&](int n, std::uint32_t) { bits += static_cast<std::uint64_t>(n); });
    for (std::size_t s = 0; s < cFreq.size(); ++s)
        bits += std::uint64_t{cFreq[s]} * t.cLen[s];
    for (std::size_t c = 0; c < pFreq.size(); ++c)
        bits += std::uint64_t{pFreq[c]} * (t.pLen[c] + (c > 1 ? c - 1 : 0));
    return bits;
}

} // namespace

Lh5Encoder::Lh5Encoder()
    : m_buffer(kBufferSize + kPad, 0), m_head(std::size_t{1} << kHashBits, 0), m_prev(kWindow, 0),
      m_head3(std::size_t{1} << kHash3Bits, 0), m_symbols(kBlockCodes), m_offsets(kBlockCodes),
      m_cFreq(NC, 0), m_pFreq(NP, 0) {
    m_out.reserve(kOutChunk + 4096);
}

void Lh5Encoder::reset(ByteSink& sink) {
    m_sink = &sink;
    m_failed = false;
    m_base = m_end = m_pos = 0;
    std::fill(m_head.begin(), m_head.end(), 0u);
    std::fill(m_head3.begin(), m_head3.end(), 0u);
    m_near = 0;
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
    const std::uint32_t keep = std::max(m_pos > kWindow ? m_pos - kWindow : 0, m_base);
    std::memmove(m_buffer.data(), m_buffer.data() + (keep - m_base), m_end - keep);
    m_base = keep;
}

// Needs three bytes at pos; the four-byte chain only gets positions that have four.
std::uint32_t Lh5Encoder::insert(std::uint32_t pos) {
    const std::uint8_t* p = m_buffer.data() + (pos - m_base);
    const std::uint32_t h3 = hash3(p);
    m_near = m_head3[h3];
    m_head3[h3] = pos + 1;
    if (m_end - pos < 4)
        return 0;
    const std::uint32_t h = hash4(p);
    const std::uint32_t candidate = m_head[h];
    m_head[h] = pos + 1;
    m_prev[pos & (kWindow - 1)] = candidate;
    return candidate;
}

// Inserts pos and returns the most worthwhile match there (0 when none), shortening the walk when the
// match in hand (`current` bytes) is already good.
int Lh5Encoder::search(std::uint32_t pos, int current, std::uint32_t* distance) {
    const std::uint32_t avail = m_end - pos;
    if (avail < kMinMatch)
        return 0;
    std::uint32_t candidate = insert(pos);
    const int maxLength = static_cast<int>(std::min<std::uint32_t>(kMaxMatch, avail));
    const std::uint8_t* scan = m_buffer.data() + (pos - m_base);
    int best = kMinMatch - 1;
    int bestWorth = 0;
    for (int chain = current >= kGoodLength ? kMaxChain / 4 : kMaxChain; candidate != 0 && chain > 0;
         --chain) {
        const std::uint32_t at = candidate - 1;
        if (pos - at > kMaxDistance)
            break;
        const std::uint8_t* m = m_buffer.data() + (at - m_base);
        if (m[best] == scan[best] && m[0] == scan[0] && m[1] == scan[1]) {
            const int len = matchLength(scan, m, maxLength);
            if (len > best && (best < kMinMatch || worth(len, pos - at) > bestWorth)) {
                best = len;
                bestWorth = worth(len, pos - at);
                *distance = pos - at;
                if (len >= maxLength)
                    break;
            }
        }
        candidate = m_prev[at & (kWindow - 1)];
    }
    if (best < kMinMatch && m_near != 0 && pos - (m_near - 1) <= kTooFar) {
        const std::uint32_t d = pos - (m_near - 1);
        const int len = matchLength(scan, scan - d, maxLength);
        if (len >= kMinMatch) {
            best = len;
            *distance = d;
        }
    }
    if (best < kMinMatch || (best == kMinMatch && *distance > kTooFar))
        return 0;
    return best;
}

// Lazy matching two positions deep: a match found is held while the next position, and the one after,
// offer a clearly better one.
void Lh5Encoder::compress(bool final) {
    const std::uint32_t limit = final ? m_end : (m_end > kMaxMatch + 2 ? m_end - kMaxMatch - 2 : 0);
    while (m_pos < limit && !m_failed) {
        std::uint32_t distance = 0;
        int length = search(m_pos, 0, &distance);
        if (length == 0) {
            emitLiteral(m_buffer[m_pos - m_base]);
            ++m_pos;
            continue;
        }
        std::uint32_t start = m_pos;
        std::uint32_t searched = m_pos;
        while (length < kMaxLazy && searched + 1 < m_end) {
            std::uint32_t d = 0;
            int l = search(++searched, length, &d);
            if (l && worth(l, d) > worth(length, distance) + kNextMargin) {
                length = l;
                distance = d;
                start = searched;
                continue;
            }
            if (searched + 1 >= m_end)
                break;
            l = search(++searched, length, &d);
            if (l && worth(l, d) > worth(length, distance) + kSecondNextMargin) {
                length = l;
                distance = d;
                start = searched;
                continue;
            }
            break;
        }
        for (std::uint32_t p = m_pos; p < start; ++p)
            emitLiteral(m_buffer[p - m_base]);
        emitMatch(length, distance);
        const std::uint32_t stop = start + static_cast<std::uint32_t>(length);
        for (std::uint32_t p = searched + 1; p < stop; ++p)
            if (m_end - p >= kMinMatch)
                insert(p);
        m_pos = stop;
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

void Lh5Encoder::sendCodes() {
    sendBlocks(0, m_count, m_cFreq.data(), m_pFreq.data());
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

// Where the statistics change within the codes, a second set of tables pays for itself: the halves are
// coded as blocks of their own when that takes fewer bits.
void Lh5Encoder::sendBlocks(std::size_t begin, std::size_t end, const std::uint32_t* cFreq,
                            const std::uint32_t* pFreq) {
    if (end - begin >= 2 * kMinBlock) {
        const std::size_t mid = begin + (end - begin) / 2;
        std::array<std::uint32_t, NC> leftC, rightC;
        std::array<std::uint32_t, NP> leftP, rightP;
        countCodes(begin, mid, leftC.data(), leftP.data());
        for (std::size_t s = 0; s < NC; ++s)
            rightC[s] = cFreq[s] - leftC[s];
        for (std::size_t c = 0; c < NP; ++c)
            rightP[c] = pFreq[c] - leftP[c];
        if (blockBits(leftC, leftP) + blockBits(rightC, rightP) < blockBits({cFreq, NC}, {pFreq, NP})) {
            sendBlocks(begin, mid, leftC.data(), leftP.data());
            sendBlocks(mid, end, rightC.data(), rightP.data());
            return;
        }
    }
    Tables t;
    buildTables({cFreq, NC}, {pFreq, NP}, t);
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
