#pragma once

#include <cstddef>
#include <cstdint>

namespace kb::lha {

// CRC-16 of the ARC family (polynomial 0x8005 reflected, i.e. 0xA001; start value 0), as LHA members carry
// it.
class Crc16 {
public:
    void update(const std::uint8_t* data, std::size_t size);
    std::uint16_t value() const { return m_crc; }

    static std::uint16_t of(const std::uint8_t* data, std::size_t size) {
        Crc16 c;
        c.update(data, size);
        return c.value();
    }

private:
    std::uint16_t m_crc = 0;
};

} // namespace kb::lha
