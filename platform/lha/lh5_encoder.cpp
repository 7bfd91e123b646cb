#include "platform/lha/lh5_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

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

constexpr std::uint32_t kBufferSize = 1u << 18;
// Room past the data for the word-wise compare of a match that runs up to kMaxMatch.
constexpr std::size_t kPad = 2 * kMaxMatch;
constexpr int kHashBits = 15;

// Search effort: chains are cut at kMaxChain candidates (a quarter of it once the previous position already
// has a kGoodLength match), and a match of kNiceLength ends the search.
constexpr int kMaxChain = 128;
constexpr int kGoodLength = 32;
constexpr int kNiceLength = 256;
// A three-byte match this far back costs more bits than three characters.
constexpr std::uint32_t kTooFar = 4096;

constexpr std::size_t kOutChunk = 1u << 16;

std::uint32_t hash3(const std::uint8_t* p) {
    std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                      (static_cast<std::uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

int matchLength(const std::uint8_t* a, const std::uint8_t* b, int maxLength) {
    int n = 0;
    while (n < maxLength) {
        std::uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y)
            return std::min(maxLength, n + std::countr_zero(x ^ y) / 8);
        n += 8;
    }
    return maxLength;
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

// Lengths of the position and code-length tables: up to 6 in three bits, longer ones as a run of ones.
// After the `special`-th entry a two-bit count of zero lengths for entries special..5 follows.
void writePtLengths(BitWriter& bits, std::span<const std::uint8_t> lengths, int nbit, int special) {
    const int n = trimmedLength(lengths);
    bits.put(nbit, static_cast<std::uint32_t>(n));
    int i = 0;
    while (i < n) {
        int k = lengths[static_cast<std::size_t>(i++)];
        if (k <= 6)
            bits.put(3, static_cast<std::uint32_t>(k));
        else
            bits.put(k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && i < n && lengths[static_cast<std::size_t>(i)] == 0)
                ++i;
            bits.put(2, static_cast<std::uint32_t>((i - special) & 3));
        }
    }
}

// Walks the character-table lengths the way they are sent: zero runs become code-length symbols 0..2,
// a length k becomes symbol k + 2. `emit(symbol, extraBits, extraValue)` gets every piece.
template <typename Emit> void walkCLengths(std::span<const std::uint8_t> cLen, Emit emit) {
    const int n = trimmedLength(cLen);
    int i = 0;
    while (i < n) {
        int k = cLen[static_cast<std::size_t>(i++)];
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

} // namespace

Lh5Encoder::Lh5Encoder()
    : m_buffer(kBufferSize + kPad, 0), m_head(std::size_t{1} << kHashBits, 0), m_prev(kWindow, 0),
      m_symbols(kBlockCodes), m_offsets(kBlockCodes), m_cFreq(NC, 0), m_pFreq(NP, 0) {
    m_out.reserve(kOutChunk + 4096);
}

void Lh5Encoder::reset(ByteSink& sink) {
    m_sink = &sink;
    m_failed = false;
    m_base = m_end = m_pos = 0;
    std::fill(m_head.begin(), m_head.end(), 0u);
    m_prevLength = 0;
    m_prevDistance = 0;
    m_literalPending = false;
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
        std::size_t room = kBufferSize - (m_end - m_base);
        if (room == 0) {
            compress(false);
            slide();
            continue;
        }
        std::size_t n = std::min(room, size);
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
    if (m_count > 0)
        sendBlock();
    m_bits.flush();
    return drain();
}

void Lh5Encoder::slide() {
    std::uint32_t keep = m_pos > kWindow ? m_pos - kWindow : 0;
    keep = std::max(keep, m_base);
    std::memmove(m_buffer.data(), m_buffer.data() + (keep - m_base), m_end - keep);
    m_base = keep;
}

std::uint32_t Lh5Encoder::insertHash(std::uint32_t pos) {
    std::uint32_t h = hash3(m_buffer.data() + (pos - m_base));
    std::uint32_t candidate = m_head[h];
    m_head[h] = pos + 1;
    m_prev[pos & (kWindow - 1)] = candidate;
    return candidate;
}

// Candidates are stored as position + 1 (0 ends a chain). Returns the best length found, or a value not
// above prevLength when nothing longer exists here.
int Lh5Encoder::longestMatch(std::uint32_t pos, std::uint32_t candidate, int prevLength, int maxLength,
                             std::uint32_t* distance) const {
    int best = std::max(prevLength, kMinMatch - 1);
    if (best >= maxLength)
        return best;
    int chain = prevLength >= kGoodLength ? kMaxChain / 4 : kMaxChain;
    const std::uint8_t* scan = m_buffer.data() + (pos - m_base);
    while (candidate != 0 && chain-- > 0) {
        std::uint32_t at = candidate - 1;
        if (pos - at > kMaxDistance)
            break;
        const std::uint8_t* m = m_buffer.data() + (at - m_base);
        if (m[best] == scan[best] && m[0] == scan[0] && m[1] == scan[1]) {
            int len = matchLength(scan, m, maxLength);
            if (len > best) {
                best = len;
                *distance = pos - at;
                if (len >= kNiceLength || len >= maxLength)
                    break;
            }
        }
        candidate = m_prev[at & (kWindow - 1)];
    }
    return best;
}

void Lh5Encoder::compress(bool final) {
    const std::uint32_t limit = final ? m_end : (m_end > kMaxMatch ? m_end - kMaxMatch : 0);
    while (m_pos < limit && !m_failed) {
        const std::uint32_t avail = m_end - m_pos;
        const int maxLength = static_cast<int>(std::min<std::uint32_t>(kMaxMatch, avail));
        int length = 0;
        std::uint32_t distance = 0;
        if (avail >= kMinMatch) {
            std::uint32_t candidate = insertHash(m_pos);
            if (candidate != 0)
                length = longestMatch(m_pos, candidate, m_prevLength, maxLength, &distance);
            if (length == kMinMatch && distance > kTooFar)
                length = 0;
        }
        if (m_prevLength >= kMinMatch && length <= m_prevLength) {
            // The match found one position back is at least as long: take it.
            emitMatch(m_prevLength, m_prevDistance);
            const std::uint32_t stop = m_pos - 1 + static_cast<std::uint32_t>(m_prevLength);
            for (std::uint32_t p = m_pos + 1; p < stop; ++p)
                if (m_end - p >= kMinMatch)
                    insertHash(p);
            m_pos = stop;
            m_prevLength = 0;
            m_literalPending = false;
            continue;
        }
        if (m_literalPending)
            emitLiteral(m_buffer[m_pos - 1 - m_base]);
        m_literalPending = true;
        m_prevLength = length;
        m_prevDistance = distance;
        ++m_pos;
    }
    if (final && m_literalPending && !m_failed) {
        emitLiteral(m_buffer[m_pos - 1 - m_base]);
        m_literalPending = false;
    }
}

void Lh5Encoder::emitLiteral(std::uint8_t c) {
    m_symbols[m_count] = c;
    m_offsets[m_count] = 0;
    ++m_cFreq[c];
    if (++m_count == kBlockCodes)
        sendBlock();
}

void Lh5Encoder::emitMatch(int length, std::uint32_t distance) {
    const int symbol = length - kMinMatch + 256;
    const std::uint32_t q = distance - 1;
    m_symbols[m_count] = static_cast<std::uint16_t>(symbol);
    m_offsets[m_count] = static_cast<std::uint16_t>(q);
    ++m_cFreq[static_cast<std::size_t>(symbol)];
    ++m_pFreq[static_cast<std::size_t>(positionBits(q))];
    if (++m_count == kBlockCodes)
        sendBlock();
}

void Lh5Encoder::sendBlock() {
    std::array<std::uint8_t, NC> cLen{};
    std::array<std::uint16_t, NC> cCode{};
    std::array<std::uint8_t, NP> pLen{};
    std::array<std::uint16_t, NP> pCode{};
    std::array<std::uint8_t, NT> tLen{};
    std::array<std::uint16_t, NT> tCode{};

    m_bits.put(16, static_cast<std::uint32_t>(m_count));

    int cSingle = 0;
    if (huffmanLengths(m_cFreq, cLen, kMaxCodeBits, &cSingle) >= 2) {
        canonicalCodes(cLen, cCode);
        std::array<std::uint32_t, NT> tFreq{};
        walkCLengths(cLen, [&](int symbol, int, int) { ++tFreq[static_cast<std::size_t>(symbol)]; });
        int tSingle = 0;
        if (huffmanLengths(tFreq, tLen, kMaxCodeBits, &tSingle) >= 2) {
            canonicalCodes(tLen, tCode);
            writePtLengths(m_bits, tLen, TBIT, 3);
        } else {
            m_bits.put(TBIT, 0);
            m_bits.put(TBIT, static_cast<std::uint32_t>(tSingle));
        }
        m_bits.put(CBIT, static_cast<std::uint32_t>(trimmedLength(cLen)));
        walkCLengths(cLen, [&](int symbol, int extraBits, int extra) {
            m_bits.put(tLen[static_cast<std::size_t>(symbol)], tCode[static_cast<std::size_t>(symbol)]);
            if (extraBits)
                m_bits.put(extraBits, static_cast<std::uint32_t>(extra));
        });
    } else {
        m_bits.put(TBIT, 0);
        m_bits.put(TBIT, 0);
        m_bits.put(CBIT, 0);
        m_bits.put(CBIT, static_cast<std::uint32_t>(cSingle));
    }

    int pSingle = 0;
    if (huffmanLengths(m_pFreq, pLen, kMaxCodeBits, &pSingle) >= 2) {
        canonicalCodes(pLen, pCode);
        writePtLengths(m_bits, pLen, PBIT, -1);
    } else {
        m_bits.put(PBIT, 0);
        m_bits.put(PBIT, static_cast<std::uint32_t>(pSingle));
    }

    for (std::size_t i = 0; i < m_count; ++i) {
        const std::uint16_t s = m_symbols[i];
        m_bits.put(cLen[s], cCode[s]);
        if (s >= 256) {
            const std::uint32_t q = m_offsets[i];
            const int c = positionBits(q);
            m_bits.put(pLen[static_cast<std::size_t>(c)], pCode[static_cast<std::size_t>(c)]);
            if (c > 1)
                m_bits.put(c - 1, q & ((1u << (c - 1)) - 1));
        }
        if (m_out.size() >= kOutChunk && !drain())
            break;
    }

    m_count = 0;
    std::fill(m_cFreq.begin(), m_cFreq.end(), 0u);
    std::fill(m_pFreq.begin(), m_pFreq.end(), 0u);
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
