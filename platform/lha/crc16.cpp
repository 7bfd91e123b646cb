#include "platform/lha/crc16.h"

#include <array>

namespace kb::lha {
namespace {

// Eight tables so that the loop consumes eight bytes per step; the CRC runs over every byte of every member.
constexpr std::array<std::array<std::uint16_t, 256>, 8> makeTables() {
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t c = static_cast<std::uint16_t>(i);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001) : static_cast<std::uint16_t>(c >> 1);
        t[0][i] = c;
    }
    for (unsigned i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}

constexpr auto kTables = makeTables();

} // namespace

void Crc16::update(const std::uint8_t* p, std::size_t n) {
    std::uint16_t c = m_crc;
    while (n >= 8) {
        c = static_cast<std::uint16_t>(kTables[7][(p[0] ^ c) & 0xFF] ^ kTables[6][(p[1] ^ (c >> 8)) & 0xFF] ^
                                       kTables[5][p[2]] ^ kTables[4][p[3]] ^ kTables[3][p[4]] ^
                                       kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]]);
        p += 8;
        n -= 8;
    }
    while (n--)
        c = static_cast<std::uint16_t>((c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF]);
    m_crc = c;
}

} // namespace kb::lha
