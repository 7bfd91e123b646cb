#include "platform/lha/archive_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <unistd.h>

#include "platform/lha/crc16.h"

namespace kb::lha {
namespace {

constexpr int kNC = 510; // 256 characters + lengths 3..256
constexpr int kNP = 14;  // distance codes for an 8 KiB window
constexpr int kNT = 19;
constexpr int kCBits = 9;
constexpr int kPBits = 4;
constexpr int kTBits = 5;

struct Truncated {};
struct Corrupt {
    const char* what;
};

std::uint32_t le(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Buffered bytes of the source, counted.
class Input {
public:
    explicit Input(ByteSource& source) : m_source(source) {}

    bool byte(std::uint8_t& b) {
        if (m_at == m_end && !refill())
            return false;
        b = m_buffer[m_at++];
        ++m_position;
        return true;
    }
    // Exactly `n` bytes, or false at the end.
    bool read(std::uint8_t* to, std::size_t n) {
        while (n > 0) {
            if (m_at == m_end && !refill())
                return false;
            const std::size_t k = std::min(n, m_end - m_at);
            std::memcpy(to, m_buffer.data() + m_at, k);
            m_at += k;
            m_position += k;
            to += k;
            n -= k;
        }
        return true;
    }
    std::uint64_t position() const { return m_position; }

private:
    bool refill() {
        m_at = 0;
        m_end = m_source.read(m_buffer.data(), m_buffer.size());
        return m_end > 0;
    }

    ByteSource& m_source;
    std::array<std::uint8_t, 1 << 16> m_buffer{};
    std::size_t m_at = 0, m_end = 0;
    std::uint64_t m_position = 0;
};

// The bits of one member's packed data, most significant first. Reads never take a byte past the member;
// beyond it they see zeros, and using one of those bits means the data was cut short.
class BitReader {
public:
    BitReader(Input& in, std::uint32_t bytes) : m_in(in), m_left(bytes), m_total(std::uint64_t{bytes} * 8) {}

    std::uint32_t peek(int n) {
        while (m_bits < n) {
            std::uint8_t b = 0;
            if (m_left > 0) {
                if (!m_in.byte(b))
                    throw Truncated{};
                --m_left;
            }
            m_acc = (m_acc << 8) | b;
            m_bits += 8;
        }
        return static_cast<std::uint32_t>(m_acc >> (m_bits - n)) & ((1u << n) - 1);
    }
    void skip(int n) {
        m_bits -= n;
        m_used += static_cast<std::uint64_t>(n);
        if (m_used > m_total)
            throw Truncated{};
    }
    std::uint32_t get(int n) {
        if (n == 0)
            return 0;
        const std::uint32_t v = peek(n);
        skip(n);
        return v;
    }
    std::uint64_t unread() const { return m_total - m_used; }

private:
    Input& m_in;
    std::uint32_t m_left;
    std::uint64_t m_total;
    std::uint64_t m_used = 0;
    std::uint64_t m_acc = 0;
    int m_bits = 0;
};

// A canonical Huffman code: codes up to 12 bits by one table look-up, longer ones by their length's range.
class Code {
public:
    // A code of one symbol that takes no bits.
    void single(int symbol) { m_single = symbol; }

    void build(const std::uint8_t* lengths, int n) {
        m_single = -1;
        m_count.fill(0);
        for (int i = 0; i < n; ++i)
            ++m_count[lengths[i]];
        m_count[0] = 0;
        std::uint32_t space = 0;
        for (int len = 1; len <= 16; ++len)
            space += static_cast<std::uint32_t>(m_count[len]) << (16 - len);
        if (space != (1u << 16))
            throw Corrupt{"code lengths do not form a complete code"};
        m_symbols.clear();
        for (int len = 1; len <= 16; ++len)
            for (int i = 0; i < n; ++i)
                if (lengths[i] == len)
                    m_symbols.push_back(static_cast<std::uint16_t>(i));
        m_table.fill(0);
        std::uint32_t first = 0, index = 0;
        for (int len = 1; len <= 16; ++len) {
            m_first[len] = first;
            m_index[len] = index;
            for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(m_count[len]) && len <= kTableBits;
                 ++k) {
                const std::uint32_t entry = (static_cast<std::uint32_t>(m_symbols[index + k]) << 5) | len;
                const std::uint32_t from = (first + k) << (kTableBits - len);
                std::fill_n(m_table.begin() + from, 1u << (kTableBits - len), entry);
            }
            index += static_cast<std::uint32_t>(m_count[len]);
            first = (first + static_cast<std::uint32_t>(m_count[len])) << 1;
        }
    }

    int decode(BitReader& in) const {
        if (m_single >= 0)
            return m_single;
        const std::uint32_t bits = in.peek(16);
        if (const std::uint32_t entry = m_table[bits >> (16 - kTableBits)]; entry != 0) {
            in.skip(static_cast<int>(entry & 31));
            return static_cast<int>(entry >> 5);
        }
        for (int len = kTableBits + 1; len <= 16; ++len) {
            const std::uint32_t code = bits >> (16 - len);
            if (code >= m_first[len] && code - m_first[len] < static_cast<std::uint32_t>(m_count[len])) {
                in.skip(len);
                return m_symbols[m_index[len] + code - m_first[len]];
            }
        }
        throw Corrupt{"no symbol for the code"};
    }

private:
    static constexpr int kTableBits = 12;
    int m_single = -1;
    std::array<int, 17> m_count{};
    std::array<std::uint32_t, 17> m_first{}, m_index{};
    std::vector<std::uint16_t> m_symbols;
    std::array<std::uint32_t, 1u << kTableBits> m_table{};
};

void readPtLengths(BitReader& in, Code& code, int nn, int nbit, int special) {
    const int n = static_cast<int>(in.get(nbit));
    if (n == 0) {
        const int c = static_cast<int>(in.get(nbit));
        if (c >= nn)
            throw Corrupt{"single symbol out of range"};
        code.single(c);
        return;
    }
    if (n > nn)
        throw Corrupt{"too many code lengths"};
    std::array<std::uint8_t, kNT> len{};
    int i = 0;
    while (i < n) {
        int c = static_cast<int>(in.get(3));
        if (c == 7) {
            while (in.get(1) == 1) {
                if (++c > 16)
                    throw Corrupt{"code length above 16"};
            }
        }
        len[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(c);
        if (i == special) {
            const int zeros = static_cast<int>(in.get(2));
            if (i + zeros > nn)
                throw Corrupt{"zero run past the table"};
            i += zeros;
        }
    }
    code.build(len.data(), nn);
}

void readCLengths(BitReader& in, const Code& pt, Code& code) {
    const int n = static_cast<int>(in.get(kCBits));
    if (n == 0) {
        const int c = static_cast<int>(in.get(kCBits));
        if (c >= kNC)
            throw Corrupt{"single character code out of range"};
        code.single(c);
        return;
    }
    if (n > kNC)
        throw Corrupt{"too many character code lengths"};
    std::array<std::uint8_t, kNC> len{};
    int i = 0;
    while (i < n) {
        const int c = pt.decode(in);
        if (c <= 2) {
            const int zeros = c == 0   ? 1
                              : c == 1 ? static_cast<int>(in.get(4)) + 3
                                       : static_cast<int>(in.get(kCBits)) + 20;
            if (i + zeros > n)
                throw Corrupt{"zero run past the table"};
            i += zeros;
        } else {
            len[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(c - 2);
        }
    }
    code.build(len.data(), kNC);
}

// A member's decoded bytes: the last 64 KiB kept for matches (which reach 8 KiB back), handed on in pieces
// together with their CRC.
class Output {
public:
    Output(std::size_t member, const MemberData& data) : m_member(member), m_data(data) {}

    std::uint64_t produced() const { return m_pos; }
    void put(std::uint8_t b) { m_ring[m_pos++ & kMask] = b; }
    void copyMatch(std::size_t back, std::size_t length) {
        for (std::size_t k = 0; k < length; ++k, ++m_pos)
            m_ring[m_pos & kMask] = m_ring[(m_pos - back) & kMask];
    }
    // Called after each symbol, which adds at most 256 bytes.
    void maybeFlush() {
        if (m_pos - m_flushed >= kFlushAt)
            flush();
    }
    void flush() {
        while (m_flushed < m_pos) {
            const std::size_t at = m_flushed & kMask;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_pos - m_flushed, kSize - at));
            m_crc.update(m_ring.data() + at, n);
            if (m_data)
                m_data(m_member, m_ring.data() + at, n);
            m_flushed += n;
        }
    }
    std::uint16_t crc() const { return m_crc.value(); }

private:
    static constexpr std::size_t kSize = std::size_t{1} << 16;
    static constexpr std::size_t kMask = kSize - 1;
    static constexpr std::uint64_t kFlushAt = kSize / 2;

    std::size_t m_member;
    const MemberData& m_data;
    std::vector<std::uint8_t> m_ring = std::vector<std::uint8_t>(kSize);
    std::uint64_t m_pos = 0, m_flushed = 0;
    Crc16 m_crc;
};

void decodeLh5(Input& input, std::uint32_t packed, std::uint32_t original, Output& out) {
    BitReader in(input, packed);
    Code pt, c, p;
    std::uint32_t blockLeft = 0;
    while (out.produced() < original) {
        if (blockLeft == 0) {
            blockLeft = in.get(16);
            if (blockLeft == 0)
                throw Corrupt{"empty block"};
            readPtLengths(in, pt, kNT, kTBits, 3);
            readCLengths(in, pt, c);
            readPtLengths(in, p, kNP, kPBits, -1);
        }
        --blockLeft;
        const int sym = c.decode(in);
        if (sym < 256) {
            out.put(static_cast<std::uint8_t>(sym));
        } else {
            const std::size_t length = static_cast<std::size_t>(sym - 256 + 3);
            const int pc = p.decode(in);
            const std::size_t distance = pc == 0 ? 0 : (std::size_t{1} << (pc - 1)) + in.get(pc - 1);
            if (distance + 1 > out.produced())
                throw Corrupt{"match reaches before the start"};
            if (out.produced() + length > original)
                throw Corrupt{"match runs past the original size"};
            out.copyMatch(distance + 1, length);
        }
        out.maybeFlush();
    }
    if (blockLeft != 0)
        throw Corrupt{"block holds more codes than the member has bytes"};
    // bsdtar and 7-Zip take a whole byte after the last code for damage.
    if (in.unread() >= 8)
        throw Corrupt{"a spare byte after the last code"};
}

void copyStored(Input& in, std::uint32_t size, Output& out) {
    std::array<std::uint8_t, 4096> chunk{};
    for (std::uint32_t left = size; left > 0;) {
        const std::uint32_t n = std::min<std::uint32_t>(left, chunk.size());
        if (!in.read(chunk.data(), n))
            throw Truncated{};
        for (std::uint32_t i = 0; i < n; ++i)
            out.put(chunk[i]);
        out.maybeFlush();
        left -= n;
    }
}

} // namespace

std::size_t FileSource::read(std::uint8_t* to, std::size_t size) {
    for (;;) {
        const ssize_t n = ::pread(m_fd, to, size, static_cast<off_t>(m_offset));
        if (n >= 0) {
            m_offset += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR)
            throw std::system_error(errno, std::system_category(), "read");
    }
}

std::size_t MemorySource::read(std::uint8_t* to, std::size_t size) {
    const std::size_t n = std::min(size, m_left);
    std::memcpy(to, m_data, n);
    m_data += n;
    m_left -= n;
    return n;
}

bool readArchive(ByteSource& source, std::vector<ReadMember>& members, std::string& error,
                 const MemberData& data) {
    members.clear();
    Input in(source);
    std::uint64_t at = 0;
    auto fail = [&](const std::string& why) {
        error = why + " (offset " + std::to_string(at) + ")";
        return false;
    };
    try {
        for (;;) {
            at = in.position();
            std::uint8_t first = 0;
            if (!in.byte(first))
                return fail("no end mark");
            if (first == 0) {
                std::uint8_t after = 0;
                if (in.byte(after))
                    return fail("bytes after the end mark");
                return true;
            }
            std::array<std::uint8_t, 26> base{};
            base[0] = first;
            if (!in.read(base.data() + 1, base.size() - 1))
                return fail("header cut short");
            const std::size_t headerSize = le(base.data(), 2);
            if (headerSize < base.size())
                return fail("header size out of range");
            std::vector<std::uint8_t> h(headerSize);
            std::copy(base.begin(), base.end(), h.begin());
            if (!in.read(h.data() + base.size(), headerSize - base.size()))
                return fail("header cut short");
            if (h[20] != 2)
                return fail("not a level-2 header");
            ReadMember m;
            m.method.assign(reinterpret_cast<const char*>(&h[2]), 5);
            m.packedSize = le(&h[7], 4);
            m.originalSize = le(&h[11], 4);
            m.mtime = le(&h[15], 4);
            m.crc = static_cast<std::uint16_t>(le(&h[21], 2));

            bool sawCrc = false, sawName = false;
            std::size_t ext = 24;
            for (std::size_t next = le(&h[24], 2); next != 0;) {
                if (next < 3 || ext + 2 + next > headerSize)
                    return fail("extended header out of range");
                const std::uint8_t* e = &h[ext + 2];
                if (e[0] == 0x00) {
                    if (next < 5)
                        return fail("header CRC field too short");
                    sawCrc = true;
                    std::vector<std::uint8_t> copy = h;
                    copy[ext + 3] = copy[ext + 4] = 0;
                    if (Crc16::of(copy.data(), copy.size()) != le(e + 1, 2))
                        return fail("header CRC mismatch");
                } else if (e[0] == 0x01) {
                    sawName = true;
                    m.name.assign(reinterpret_cast<const char*>(e + 1), next - 3);
                }
                ext += next;
                next = le(&h[ext], 2);
            }
            // One padding byte is allowed after the last extended header.
            if (headerSize - (ext + 2) > 1)
                return fail("header longer than its parts");
            if (!sawCrc || !sawName)
                return fail("header without CRC or name");

            at = in.position();
            Output out(members.size(), data);
            if (m.method == "-lh0-") {
                if (m.packedSize != m.originalSize)
                    return fail("stored member whose sizes differ");
                copyStored(in, m.packedSize, out);
            } else if (m.method == "-lh5-") {
                try {
                    decodeLh5(in, m.packedSize, m.originalSize, out);
                } catch (const Corrupt& c) {
                    return fail("lh5 member '" + m.name + "': " + c.what);
                }
            } else {
                return fail("unknown method " + m.method);
            }
            out.flush();
            if (out.crc() != m.crc)
                return fail("data CRC mismatch in '" + m.name + "'");
            members.push_back(std::move(m));
        }
    } catch (const Truncated&) {
        return fail("member data cut short");
    } catch (const Corrupt& c) {
        return fail(c.what);
    } catch (const std::system_error& e) {
        return fail(e.what());
    }
}

} // namespace kb::lha
