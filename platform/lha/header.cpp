#include "platform/lha/header.h"

#include <stdexcept>

#include "platform/lha/crc16.h"

namespace kb::lha {
namespace {

constexpr std::size_t kBaseSize = 26;
constexpr std::size_t kCrcExtSize = 5;
constexpr std::size_t kNameExtOverhead = 3;
constexpr std::size_t kAttributeExtSize = 5;
constexpr std::size_t kHeaderCrcOffset = kBaseSize + 1;

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

std::size_t plainSize(std::size_t nameBytes) {
    return kBaseSize + kCrcExtSize + kNameExtOverhead + nameBytes;
}

bool needsAttributeExt(std::size_t nameBytes) {
    return (plainSize(nameBytes) & 0xFF) == 0;
}

} // namespace

std::size_t level2HeaderSize(std::size_t nameBytes) {
    return plainSize(nameBytes) + (needsAttributeExt(nameBytes) ? kAttributeExtSize : 0);
}

std::size_t maxLevel2NameBytes() {
    return 0xFFFF - plainSize(0) - kAttributeExtSize;
}

std::vector<std::uint8_t> level2Header(const MemberHeader& h) {
    if (h.method.size() != 5)
        throw std::invalid_argument("method id must have five characters");
    if (h.name.size() > maxLevel2NameBytes())
        throw std::length_error("file name too long for an LHA header");
    const std::size_t size = level2HeaderSize(h.name.size());
    std::vector<std::uint8_t> b(size, 0);
    put16(b, 0, static_cast<std::uint32_t>(size));
    for (std::size_t i = 0; i < 5; ++i)
        b[2 + i] = static_cast<std::uint8_t>(h.method[i]);
    put32(b, 7, h.compressedSize);
    put32(b, 11, h.originalSize);
    put32(b, 15, h.mtime);
    b[19] = 0x20; // MS-DOS attribute: archive
    b[20] = 0x02; // header level
    put16(b, 21, h.crc);
    b[23] = 'W'; // Windows NT: extractors keep the name's letter case (MS-DOS names come out in lower case)
    put16(b, 24, kCrcExtSize);

    // Each extended header: type, data, size of the next one (0 after the last).
    std::size_t at = kBaseSize;
    b[at] = 0x00; // header CRC, filled in last
    put16(b, at + 3, static_cast<std::uint32_t>(kNameExtOverhead + h.name.size()));
    at += kCrcExtSize;
    b[at] = 0x01;
    for (std::size_t i = 0; i < h.name.size(); ++i)
        b[at + 1 + i] = static_cast<std::uint8_t>(h.name[i]);
    at += kNameExtOverhead + h.name.size();
    if (needsAttributeExt(h.name.size())) {
        put16(b, at - 2, kAttributeExtSize);
        b[at] = 0x40;
        put16(b, at + 1, 0x20);
        at += kAttributeExtSize;
    }
    put16(b, at - 2, 0);

    put16(b, kHeaderCrcOffset, Crc16::of(b.data(), b.size()));
    return b;
}

} // namespace kb::lha
