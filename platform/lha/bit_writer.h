#pragma once

#include <cstdint>
#include <vector>

namespace kb::lha {

// Bits most significant first, as the lh5 decoders read them.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : m_out(out) {}

    // n <= 16; value holds no bits above n.
    void put(int n, std::uint32_t value) {
        m_acc = (m_acc << n) | value;
        m_bits += n;
        if (m_bits >= 32) {
            m_bits -= 32;
            auto w = static_cast<std::uint32_t>(m_acc >> m_bits);
            m_out.push_back(static_cast<std::uint8_t>(w >> 24));
            m_out.push_back(static_cast<std::uint8_t>(w >> 16));
            m_out.push_back(static_cast<std::uint8_t>(w >> 8));
            m_out.push_back(static_cast<std::uint8_t>(w));
        }
    }

    void reset() {
        m_acc = 0;
        m_bits = 0;
    }

    // Writes out whole bytes; the last partial byte is padded with zero bits.
    void flush() {
        while (m_bits >= 8) {
            m_bits -= 8;
            m_out.push_back(static_cast<std::uint8_t>(m_acc >> m_bits));
        }
        if (m_bits > 0)
            m_out.push_back(static_cast<std::uint8_t>(m_acc << (8 - m_bits)));
        m_bits = 0;
        m_acc = 0;
    }

private:
    std::vector<std::uint8_t>& m_out;
    std::uint64_t m_acc = 0;
    int m_bits = 0;
};

} // namespace kb::lha
