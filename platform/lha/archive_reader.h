#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kb::lha {

struct ReadMember {
    std::string method;
    std::string name; // as stored: code page 932
    std::uint32_t mtime = 0;
    std::uint32_t packedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint16_t crc = 0; // of the original bytes, which matched it
};

// The bytes of an archive, in order.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `to`; 0 at the end. Throws std::system_error when reading fails.
    virtual std::size_t read(std::uint8_t* to, std::size_t size) = 0;
};

// An open file from its start, read with pread (its position is left alone).
class FileSource : public ByteSource {
public:
    explicit FileSource(int fd) : m_fd(fd) {}
    std::size_t read(std::uint8_t* to, std::size_t size) override;

private:
    int m_fd;
    std::uint64_t m_offset = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size)
        : m_data(static_cast<const std::uint8_t*>(data)), m_left(size) {}
    std::size_t read(std::uint8_t* to, std::size_t size) override;

private:
    const std::uint8_t* m_data;
    std::size_t m_left;
};

// Receives each member's bytes as they are decoded.
using MemberData = std::function<void(std::size_t member, const std::uint8_t* data, std::size_t size)>;

// Reads a level-2 LHA archive of -lh0- and -lh5- members as it streams past, checking every header CRC,
// every member's size and data CRC, and the end mark with nothing after it; memory stays small whatever the
// archive's size. Written from the format alone, apart from the archiver's encoder and headers, so that the
// two do not share a mistake there. False with the reason in `error` on the first thing wrong.
bool readArchive(ByteSource& in, std::vector<ReadMember>& members, std::string& error,
                 const MemberData& data = {});

} // namespace kb::lha
