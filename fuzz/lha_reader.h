#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kb::fuzz {

struct ArchiveMember {
    std::string method;
    std::string name; // as stored: code page 932
    std::uint32_t mtime = 0;
    std::string data; // decoded, CRC checked
};

// Reads a level-2 LHA archive of -lh0- and -lh5- members, checking every header CRC, every data CRC, every
// size and the end mark. Written apart from the archiver, from the format alone, so that both cannot share
// a mistake. Returns false with a reason in `error` on the first thing wrong.
bool readArchive(const std::string& bytes, std::vector<ArchiveMember>& members, std::string& error);

// Decodes one -lh5- stream of `originalSize` bytes.
bool decodeLh5(const std::uint8_t* data, std::size_t size, std::size_t originalSize, std::string& out,
               std::string& error);

} // namespace kb::fuzz
