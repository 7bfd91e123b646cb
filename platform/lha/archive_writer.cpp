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
#include "platform/lha/archive_reader.h"
#include "platform/lha/crc16.h"
#include "platform/lha/header.h"
#include "platform/lha/lh5_encoder.h"
#include "platform/stop_request.h"

namespace fs = std::filesystem;

namespace kb::lha {
namespace {

constexpr std::uint64_t kMaxMemberSize = 0xFFFFFFFFull;
constexpr std::size_t kIoChunk = 1u << 18;
constexpr std::uint64_t kMemoryMember = std::uint64_t{32} << 20;

struct Failure {
    ArchiveStatus status;
    std::string message;
};

[[noreturn]] void fail(ArchiveStatus status, const std::string& what, int err = 0) {
    throw Failure{status, err ? what + ": " + std::generic_category().message(err) : what};
}

// Reads the written archive back, from the disk rather than from the cache where the system allows, and
// compares every member with what was written; the reader checks each CRC and size. Empty when all agree.
std::string checkArchive(const fs::path& file, const std::vector<MemberHeader>& written) {
    // A handle of its own: fusefat reads wrong through the one that wrote.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::string("cannot open it again: ") + std::strerror(errno);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    FileSource source(fd.get());
    std::vector<ReadMember> read;
    std::string error;
    if (!readArchive(source, read, error))
        return error;
    if (read.size() != written.size())
        return std::to_string(read.size()) + " members instead of " + std::to_string(written.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        const MemberHeader& w = written[i];
        const ReadMember& r = read[i];
        if (r.name != w.name || r.method != w.method || r.originalSize != w.originalSize || r.crc != w.crc)
            return "member " + std::to_string(i + 1) + " differs from what was written";
    }
    return {};
}

// The archive under construction: buffered writes, each byte once and in order, a new file beside
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

    // Data on disk first, then the check, then the rename, so that neither a crash nor a bad write ever
    // leaves a damaged archive under the real name.
    void commit(const std::vector<MemberHeader>& written) {
        flush();
        std::string problem;
        const std::error_code ec = m_file.commit(Durability::OnDisk, [&] {
            problem = checkArchive(m_file.temporary(), written);
            return problem.empty() ? std::error_code() : std::make_error_code(std::errc::io_error);
        });
        if (!problem.empty())
            fail(ArchiveStatus::CheckFailed, "'" + m_target.string() + "' reads back wrong: " + problem);
        if (ec)
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

// Counts the encoder's output as long as it stays smaller than the original, past which the member is stored
// instead and the rest of the compression would be wasted; keeps it too where asked.
class CompressedSink : public ByteSink {
public:
    CompressedSink(std::uint64_t limit, std::vector<std::uint8_t>* keep) : m_limit(limit), m_keep(keep) {}
    bool put(const std::uint8_t* data, std::size_t size) override {
        m_written += size;
        if (m_written >= m_limit)
            return false;
        if (m_keep)
            m_keep->insert(m_keep->end(), data, data + size);
        return true;
    }
    std::uint64_t written() const { return m_written; }

private:
    std::uint64_t m_limit;
    std::vector<std::uint8_t>* m_keep;
    std::uint64_t m_written = 0;
};

// The second pass of a large member: straight into the archive.
class ArchiveSink : public ByteSink {
public:
    explicit ArchiveSink(OutFile& out) : m_out(out) {}
    bool put(const std::uint8_t* data, std::size_t size) override {
        m_out.write(data, size);
        m_written += size;
        return true;
    }
    std::uint64_t written() const { return m_written; }

private:
    OutFile& m_out;
    std::uint64_t m_written = 0;
};

struct Source {
    std::string name; // UTF-8, as the folder lists it
    fs::path path;
};

class MemberWriter {
public:
    explicit MemberWriter(OutFile& out) : m_out(out), m_buffer(kIoChunk) {}

    const std::vector<MemberHeader>& written() const { return m_written; }

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
        // Every byte of the archive is written once and in order, the header before the data with the sizes
        // and the CRC of a pass before it: some file systems (fusefat) misplace a write into the middle of a
        // file. A member that compresses is kept in memory up to kMemoryMember bytes and coded twice beyond.
        const bool inMemory = size <= kMemoryMember;
        m_packed.clear();
        CompressedSink sink(size, inMemory ? &m_packed : nullptr);
        bool going = size > 0;
        if (going)
            m_encoder.reset(sink);
        const Pass first = readAll(in.get(), src, [&](const std::uint8_t* data, std::size_t n) {
            if (going)
                going = m_encoder.write(data, n);
        });
        if (going)
            going = m_encoder.finish();
        h.originalSize = static_cast<std::uint32_t>(first.total);
        h.crc = first.crc;
        if (going && sink.written() < first.total) {
            h.method = "-lh5-";
            h.compressedSize = static_cast<std::uint32_t>(sink.written());
            m_out.write(level2Header(h));
            if (inMemory) {
                m_out.write(m_packed);
            } else {
                ArchiveSink direct(m_out);
                m_encoder.reset(direct);
                const Pass second = readAll(in.get(), src, [&](const std::uint8_t* data, std::size_t n) {
                    m_encoder.write(data, n);
                });
                m_encoder.finish();
                if (second.total != first.total || second.crc != first.crc ||
                    direct.written() != sink.written())
                    fail(ArchiveStatus::ReadError, "'" + src.name + "' changed while it was archived");
            }
        } else {
            h.method = "-lh0-";
            h.compressedSize = h.originalSize;
            m_out.write(level2Header(h));
            const Pass second = readAll(
                in.get(), src, [&](const std::uint8_t* data, std::size_t n) { m_out.write(data, n); });
            if (second.total != first.total || second.crc != first.crc)
                fail(ArchiveStatus::ReadError, "'" + src.name + "' changed while it was archived");
        }
        m_written.push_back(h);
    }

private:
    struct Pass {
        std::uint64_t total = 0;
        std::uint16_t crc = 0;
    };

    // The whole file from its start, each piece handed on, with its size and CRC.
    template <typename Use> Pass readAll(int fd, const Source& src, const Use& use) {
        if (::lseek(fd, 0, SEEK_SET) != 0)
            fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
        Crc16 crc;
        Pass pass;
        for (std::size_t n; (n = readSome(fd, src)) != 0;) {
            pass.total += n;
            if (pass.total > kMaxMemberSize)
                fail(ArchiveStatus::TooLarge, "'" + src.name + "' is larger than an LHA member can be");
            crc.update(m_buffer.data(), n);
            use(m_buffer.data(), n);
        }
        pass.crc = crc.value();
        return pass;
    }

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
    std::vector<std::uint8_t> m_packed;
    std::vector<MemberHeader> m_written;
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
        out.commit(writer.written());
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
