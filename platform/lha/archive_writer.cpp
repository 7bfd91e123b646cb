#include "platform/lha/archive_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "platform/cp932.h"
#include "platform/file_system.h"
#include "platform/lha/crc16.h"
#include "platform/lha/header.h"
#include "platform/lha/lh5_encoder.h"
#include "platform/stop_request.h"

namespace fs = std::filesystem;

namespace kb::lha {
namespace {

constexpr std::uint64_t kMaxMemberSize = 0xFFFFFFFFull;
constexpr std::size_t kIoChunk = 1u << 18;

struct Failure {
    ArchiveStatus status;
    std::string message;
};

[[noreturn]] void fail(ArchiveStatus status, const std::string& what, int err = 0) {
    throw Failure{status, err ? what + ": " + std::generic_category().message(err) : what};
}

// The archive under construction: buffered sequential writes, header patches in place, a new file beside
// the target that replaces it only when complete.
class OutFile {
public:
    OutFile(FileSystem& files, const fs::path& target) : m_file(files, target, 0666), m_target(target) {
        m_buffer.reserve(kIoChunk);
        if (m_file.error())
            fail(ArchiveStatus::WriteError, "cannot create '" + target.string() + "'",
                 m_file.error().value());
    }

    std::uint64_t position() const { return m_position; }

    void write(const std::uint8_t* data, std::size_t size) {
        if (m_buffer.size() + size > kIoChunk)
            flush();
        if (size >= kIoChunk)
            put(data, size);
        else
            m_buffer.insert(m_buffer.end(), data, data + size);
        m_position += size;
    }

    void write(const std::vector<std::uint8_t>& bytes) { write(bytes.data(), bytes.size()); }

    // Throws away everything from `offset` on; the next write goes there.
    void truncateTo(std::uint64_t offset) {
        flush();
        if (::ftruncate(m_file.fd(), static_cast<off_t>(offset)) != 0 ||
            ::lseek(m_file.fd(), static_cast<off_t>(offset), SEEK_SET) < 0)
            failWrite(errno);
        m_position = offset;
    }

    void patch(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
        flush();
        if (std::error_code ec = m_file.write(view(bytes.data(), bytes.size()), static_cast<off_t>(offset)))
            failWrite(ec.value());
    }

    // Data on disk first, then the rename, so that a crash never leaves a cut archive under the real name.
    void commit() {
        flush();
        if (std::error_code ec = m_file.commit(Durability::OnDisk))
            fail(ArchiveStatus::WriteError, "cannot replace '" + m_target.string() + "'", ec.value());
    }

private:
    static std::string_view view(const std::uint8_t* data, std::size_t size) {
        return {reinterpret_cast<const char*>(data), size};
    }

    [[noreturn]] void failWrite(int err) {
        fail(ArchiveStatus::WriteError, "cannot write '" + m_file.temporary().string() + "'", err);
    }

    void flush() {
        if (!m_buffer.empty())
            put(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
    }

    void put(const std::uint8_t* data, std::size_t size) {
        if (std::error_code ec = m_file.write(view(data, size)))
            failWrite(ec.value());
    }

    ReplacingFile m_file;
    fs::path m_target;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_position = 0;
};

// Takes the encoder's output as long as it stays smaller than the original; beyond that the member is
// stored instead and the rest of the compression would be wasted.
class CompressedSink : public ByteSink {
public:
    CompressedSink(OutFile& out, std::uint64_t limit) : m_out(out), m_limit(limit) {}
    bool put(const std::uint8_t* data, std::size_t size) override {
        m_written += size;
        if (m_written >= m_limit)
            return false;
        m_out.write(data, size);
        return true;
    }
    std::uint64_t written() const { return m_written; }

private:
    OutFile& m_out;
    std::uint64_t m_limit;
    std::uint64_t m_written = 0;
};

struct Source {
    std::string name; // UTF-8, as the folder lists it
    fs::path path;
};

class MemberWriter {
public:
    explicit MemberWriter(OutFile& out) : m_out(out), m_buffer(kIoChunk) {}

    void add(const Source& src) {
        UniqueFd in(::open(src.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (in.get() < 0)
            fail(ArchiveStatus::ReadError, "cannot open '" + src.name + "'", errno);
        struct stat st {};
        if (::fstat(in.get(), &st) != 0)
            fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
        if (!S_ISREG(st.st_mode))
            fail(ArchiveStatus::ReadError, "'" + src.name + "' is not a regular file");
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size > kMaxMemberSize)
            fail(ArchiveStatus::TooLarge,
                 "'" + src.name + "' is larger than an LHA member can be (4 GiB - 1)");

        MemberHeader h;
        h.name = cp932::fromUtf8(src.name);
        if (h.name.size() > maxLevel2NameBytes())
            fail(ArchiveStatus::Internal, "name too long: '" + src.name + "'");
        h.mtime = static_cast<std::uint32_t>(std::clamp<std::int64_t>(st.st_mtim.tv_sec, 0, 0xFFFFFFFF));
        h.method = "-lh0-";
        const std::uint64_t headerAt = m_out.position();
        m_out.write(level2Header(h));
        const std::uint64_t dataAt = m_out.position();

        bool stored = size == 0;
        if (!stored) {
            CompressedSink sink(m_out, size);
            m_encoder.reset(sink);
            Crc16 crc;
            std::uint64_t total = 0;
            bool going = true;
            while (going) {
                std::size_t n = readSome(in.get(), src);
                if (n == 0)
                    break;
                total += n;
                if (total > kMaxMemberSize)
                    fail(ArchiveStatus::TooLarge, "'" + src.name + "' is larger than an LHA member can be");
                crc.update(m_buffer.data(), n);
                going = m_encoder.write(m_buffer.data(), n);
            }
            if (going)
                going = m_encoder.finish();
            if (going && sink.written() < total) {
                h.method = "-lh5-";
                h.compressedSize = static_cast<std::uint32_t>(sink.written());
                h.originalSize = static_cast<std::uint32_t>(total);
                h.crc = crc.value();
            } else {
                stored = true;
            }
        }
        if (stored) {
            if (::lseek(in.get(), 0, SEEK_SET) != 0)
                fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
            m_out.truncateTo(dataAt);
            Crc16 crc;
            std::uint64_t total = 0;
            for (std::size_t n; (n = readSome(in.get(), src)) != 0;) {
                total += n;
                if (total > kMaxMemberSize)
                    fail(ArchiveStatus::TooLarge, "'" + src.name + "' is larger than an LHA member can be");
                crc.update(m_buffer.data(), n);
                m_out.write(m_buffer.data(), n);
            }
            h.method = "-lh0-";
            h.compressedSize = h.originalSize = static_cast<std::uint32_t>(total);
            h.crc = crc.value();
        }
        m_out.patch(headerAt, level2Header(h));
    }

private:
    std::size_t readSome(int fd, const Source& src) {
        if (cutShort())
            fail(ArchiveStatus::Stopped, "stopped");
        for (;;) {
            ssize_t n = ::read(fd, m_buffer.data(), m_buffer.size());
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
        }
    }

    OutFile& m_out;
    std::vector<std::uint8_t> m_buffer;
    Lh5Encoder m_encoder;
};

std::vector<Source> listSources(const fs::path& folder, const fs::path& archive) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        fail(ArchiveStatus::NoSource, "'" + folder.string() + "' is not a folder");
    std::vector<Source> sources;
    fs::directory_iterator it(folder, ec);
    if (ec)
        fail(ArchiveStatus::NoSource, "cannot list '" + folder.string() + "': " + ec.message());
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        std::error_code sec;
        if (!it->is_regular_file(sec))
            continue;
        // An older archive of the same name inside the folder is not packed into its successor, nor is what
        // a killed writer left behind.
        const std::string name = it->path().filename().string();
        if (fs::equivalent(it->path(), archive, sec) || isTemporarySiblingName(name))
            continue;
        sources.push_back({name, it->path()});
    }
    if (ec)
        fail(ArchiveStatus::NoSource, "cannot list '" + folder.string() + "': " + ec.message());
    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.name < b.name; });
    return sources;
}

} // namespace

ArchiveResult writeArchive(FileSystem& files, const fs::path& archive, const fs::path& folder) {
    ArchiveResult result;
    try {
        std::vector<Source> sources = listSources(folder, archive);
        if (sources.empty())
            fail(ArchiveStatus::NoFiles, "no files in '" + folder.string() + "'");
        OutFile out(files, archive);
        MemberWriter writer(out);
        for (const Source& s : sources)
            writer.add(s);
        const std::uint8_t end = 0;
        out.write(&end, 1);
        out.commit();
        result.members = static_cast<int>(sources.size());
        result.message = std::to_string(result.members) + " files archived";
    } catch (const Failure& f) {
        result.status = f.status;
        result.message = f.message;
    } catch (const std::exception& e) {
        result.status = ArchiveStatus::Internal;
        result.message = e.what();
    }
    return result;
}

} // namespace kb::lha
