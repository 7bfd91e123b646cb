#include "lha_reader.h"

#include <array>

namespace kb::fuzz {
namespace {

constexpr int kDicBits = 13;
constexpr int kNC = 510; // 256 characters + lengths 3..256
constexpr int kNP = kDicBits + 1;
constexpr int kNT = 19;
constexpr int kCBits = 9;
constexpr int kPBits = 4;
constexpr int kTBits = 5;

std::uint16_t crc16(const std::uint8_t* p, std::size_t n, std::uint16_t crc = 0) {
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

std::uint32_t le(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

struct Truncated {};
struct Corrupt {
    const char* what;
};

class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint32_t peek(int n) {
        fill(n);
        return static_cast<std::uint32_t>(m_acc >> (m_bits - n)) & ((1u << n) - 1);
    }
    void skip(int n) {
        fill(n);
        m_bits -= n;
    }
    // Bits fetched but not used, plus the bytes never fetched.
    std::size_t unread() const { return static_cast<std::size_t>(m_bits) + 8 * (m_size - m_pos); }
    std::uint32_t get(int n) {
        if (n == 0)
            return 0;
        std::uint32_t v = peek(n);
        skip(n);
        return v;
    }

private:
    void fill(int n) {
        while (m_bits < n) {
            if (m_pos >= m_size)
                throw Truncated{};
            m_acc = (m_acc << 8) | m_data[m_pos++];
            m_bits += 8;
        }
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    std::uint64_t m_acc = 0;
    int m_bits = 0;
};

// A canonical Huffman code, read one bit at a time: short, plain, and slow enough to be obviously right.
class Code {
public:
    // A code of one symbol that takes no bits.
    void single(int symbol) {
        m_single = symbol;
        m_count.fill(0);
    }

    void build(const std::uint8_t* lengths, int n) {
        m_single = -1;
        m_count.fill(0);
        m_symbols.clear();
        for (int i = 0; i < n; ++i)
            ++m_count[lengths[i]];
        m_count[0] = 0;
        std::uint32_t space = 0;
        for (int len = 1; len <= 16; ++len)
            space += static_cast<std::uint32_t>(m_count[len]) << (16 - len);
        if (space != (1u << 16))
            throw Corrupt{"code lengths do not form a complete code"};
        for (int len = 1; len <= 16; ++len)
            for (int i = 0; i < n; ++i)
                if (lengths[i] == len)
                    m_symbols.push_back(i);
    }

    int decode(BitReader& in) const {
        if (m_single >= 0)
            return m_single;
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= 16; ++len) {
            code |= static_cast<int>(in.get(1));
            int count = m_count[len];
            if (code - first < count)
                return m_symbols[static_cast<std::size_t>(index + code - first)];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        throw Corrupt{"no symbol for the code"};
    }

private:
    int m_single = -1;
    std::array<int, 17> m_count{};
    std::vector<int> m_symbols;
};

void readPtLengths(BitReader& in, Code& code, int nn, int nbit, int special) {
    int n = static_cast<int>(in.get(nbit));
    if (n == 0) {
        int c = static_cast<int>(in.get(nbit));
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
            int zeros = static_cast<int>(in.get(2));
            if (i + zeros > nn)
                throw Corrupt{"zero run past the table"};
            i += zeros;
        }
    }
    code.build(len.data(), nn);
}

void readCLengths(BitReader& in, const Code& pt, Code& code) {
    int n = static_cast<int>(in.get(kCBits));
    if (n == 0) {
        int c = static_cast<int>(in.get(kCBits));
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
        int c = pt.decode(in);
        if (c <= 2) {
            int zeros = c == 0   ? 1
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

} // namespace

bool decodeLh5(const std::uint8_t* data, std::size_t size, std::size_t originalSize, std::string& out,
               std::string& error) {
    out.clear();
    out.reserve(originalSize);
    BitReader in(data, size);
    Code pt, c, p;
    try {
        std::uint32_t blockLeft = 0;
        while (out.size() < originalSize) {
            if (blockLeft == 0) {
                blockLeft = in.get(16);
                if (blockLeft == 0)
                    throw Corrupt{"empty block"};
                readPtLengths(in, pt, kNT, kTBits, 3);
                readCLengths(in, pt, c);
                readPtLengths(in, p, kNP, kPBits, -1);
            }
            --blockLeft;
            int sym = c.decode(in);
            if (sym < 256) {
                out.push_back(static_cast<char>(sym));
                continue;
            }
            std::size_t length = static_cast<std::size_t>(sym - 256 + 3);
            int pc = p.decode(in);
            std::size_t distance = pc == 0 ? 0 : (std::size_t{1} << (pc - 1)) + in.get(pc - 1);
            if (distance + 1 > out.size())
                throw Corrupt{"match reaches before the start"};
            if (out.size() + length > originalSize)
                throw Corrupt{"match runs past the original size"};
            std::size_t from = out.size() - distance - 1;
            for (std::size_t k = 0; k < length; ++k)
                out.push_back(out[from + k]);
        }
        if (blockLeft != 0)
            throw Corrupt{"block holds more codes than the member has bytes"};
        // bsdtar and 7-Zip take a whole byte after the last code for damage.
        if (in.unread() >= 8)
            throw Corrupt{"a spare byte after the last code"};
    } catch (Truncated) {
        error = "compressed data ends early";
        return false;
    } catch (const Corrupt& e) {
        error = e.what;
        return false;
    }
    return true;
}

bool readArchive(const std::string& bytes, std::vector<ArchiveMember>& members, std::string& error) {
    members.clear();
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t at = 0;
    auto fail = [&](const std::string& why) {
        error = why + " (offset " + std::to_string(at) + ")";
        return false;
    };
    for (;;) {
        if (at >= bytes.size())
            return fail("no end mark");
        if (b[at] == 0) {
            if (at + 1 != bytes.size())
                return fail("bytes after the end mark");
            return true;
        }
        if (bytes.size() - at < 26)
            return fail("header cut short");
        const std::uint8_t* h = b + at;
        const std::size_t headerSize = le(h, 2);
        if (headerSize < 26 || headerSize > bytes.size() - at)
            return fail("header size out of range");
        if (h[20] != 2)
            return fail("not a level-2 header");
        ArchiveMember m;
        m.method.assign(reinterpret_cast<const char*>(h + 2), 5);
        const std::uint32_t packed = le(h + 7, 4);
        const std::uint32_t original = le(h + 11, 4);
        m.mtime = le(h + 15, 4);
        const auto dataCrc = static_cast<std::uint16_t>(le(h + 21, 2));

        std::vector<std::uint8_t> copy(h, h + headerSize);
        bool sawCrc = false, sawName = false;
        std::size_t ext = 24;
        for (std::size_t next = le(h + 24, 2); next != 0;) {
            if (next < 3 || ext + 2 + next > headerSize)
                return fail("extended header out of range");
            const std::uint8_t* e = h + ext + 2;
            if (e[0] == 0x00) {
                if (next < 5)
                    return fail("header CRC field too short");
                sawCrc = true;
                copy[ext + 3] = copy[ext + 4] = 0;
                if (crc16(copy.data(), copy.size()) != le(e + 1, 2))
                    return fail("header CRC mismatch");
            } else if (e[0] == 0x01) {
                sawName = true;
                m.name.assign(reinterpret_cast<const char*>(e + 1), next - 3);
            }
            ext += next;
            next = le(h + ext, 2);
        }
        // One padding byte is allowed after the last extended header.
        if (headerSize - (ext + 2) > 1)
            return fail("header longer than its parts");
        if (!sawCrc || !sawName)
            return fail("header without CRC or name");
        at += headerSize;
        if (packed > bytes.size() - at)
            return fail("member data cut short");
        const std::uint8_t* payload = b + at;
        if (m.method == "-lh0-") {
            if (packed != original)
                return fail("stored member whose sizes differ");
            m.data.assign(reinterpret_cast<const char*>(payload), packed);
        } else if (m.method == "-lh5-") {
            std::string why;
            if (!decodeLh5(payload, packed, original, m.data, why))
                return fail("lh5 member '" + m.name + "': " + why);
        } else {
            return fail("unknown method " + m.method);
        }
        if (crc16(reinterpret_cast<const std::uint8_t*>(m.data.data()), m.data.size()) != dataCrc)
            return fail("data CRC mismatch in '" + m.name + "'");
        at += packed;
        members.push_back(std::move(m));
    }
}

} // namespace kb::fuzz
