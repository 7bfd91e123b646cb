#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kb::lha {

struct MemberHeader {
    std::string method; // "-lh5-" or "-lh0-"
    std::uint32_t compressedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint32_t mtime = 0; // seconds since the epoch
    std::uint16_t crc = 0;   // of the original data
    std::string name;        // code page 932, bare file name
};

// Size of the level-2 header for a name of that many bytes.
std::size_t level2HeaderSize(std::size_t nameBytes);
// Largest name a level-2 header can carry (its size field has 16 bits).
std::size_t maxLevel2NameBytes();

// The level-2 header: base header with OS id 'W', the header-CRC extended header and the file-name
// extended header. A header whose size would be a multiple of 256 starts with a 0 byte, which readers take
// for the end of the archive; such a header also carries the MS-DOS attribute extended header. The usual
// remedy, one dummy byte after the extended headers, makes readers that walk the extended headers (7-Zip)
// start the member's data one byte early.
std::vector<std::uint8_t> level2Header(const MemberHeader& h);

} // namespace kb::lha
