#include "platform/lha/archive_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <thread>
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
// The compressed members waiting for their turn are held in memory up to kMemoryBudget bytes in all, each
// reserving its size up to kMemoryMember; a larger member goes to a spill file beside the archive and
// reserves kMemoryMember all the same, which bounds the spill files that exist at once. With up to
// kMaxWorkers encoders of about 2.5 MB each, the archiver stays under 64 MB whatever it packs.
constexpr std::uint64_t kMemoryBudget = std::uint64_t{24} << 20;
constexpr std::uint64_t kMemoryMember = std::uint64_t{4} << 20;
constexpr unsigned kMaxWorkers = 8;
// Members taken but not yet written, each with a file open.
constexpr std::size_t kMaxInFlight = 64;

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

struct Source {
    std::string name; // UTF-8, as the folder lists it
    fs::path path;
    std::uint64_t size = 0; // as listed, to reserve memory before the member is read
};

// Takes the encoder's output as long as it stays smaller than the original, past which the member is stored
// instead and the rest of the compression would be wasted: into memory, or into a spill file.
class CompressedSink : public ByteSink {
public:
    CompressedSink(std::uint64_t limit, std::vector<std::uint8_t>* keep, ReplacingFile* spill)
        : m_limit(limit), m_keep(keep), m_spill(spill) {}
    bool put(const std::uint8_t* data, std::size_t size) override {
        m_written += size;
        if (m_written >= m_limit)
            return false;
        if (m_keep) {
            m_keep->insert(m_keep->end(), data, data + size);
        } else if (std::error_code ec = m_spill->write({reinterpret_cast<const char*>(data), size})) {
            m_error = ec;
            return false;
        }
        return true;
    }
    std::uint64_t written() const { return m_written; }
    std::error_code error() const { return m_error; }

private:
    std::uint64_t m_limit;
    std::vector<std::uint8_t>* m_keep;
    ReplacingFile* m_spill;
    std::uint64_t m_written = 0;
    std::error_code m_error;
};

struct Pass {
    std::uint64_t total = 0;
    std::uint16_t crc = 0;
};

// The whole file from its start, each piece handed on, with its size and CRC. `abandon` ends the read as a
// stop request does.
template <typename Use>
Pass readAll(int fd, const Source& src, std::vector<std::uint8_t>& buffer, const std::atomic<bool>& abandon,
             const Use& use) {
    if (::lseek(fd, 0, SEEK_SET) != 0)
        fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
    Crc16 crc;
    Pass pass;
    for (;;) {
        if (cutShort() || abandon.load(std::memory_order_relaxed))
            fail(ArchiveStatus::Stopped, "stopped");
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
        if (n == 0)
            break;
        const auto got = static_cast<std::size_t>(n);
        pass.total += got;
        if (pass.total > kMaxMemberSize)
            fail(ArchiveStatus::TooLarge, "'" + src.name + "' is larger than an LHA member can be");
        crc.update(buffer.data(), got);
        use(buffer.data(), got);
    }
    pass.crc = crc.value();
    return pass;
}

// One member as a worker leaves it for the writer: its header, and its compressed bytes in memory or in a
// spill file beside the archive; a stored member keeps its file open for the copy.
struct Packed {
    std::optional<Failure> failure;
    MemberHeader header;
    UniqueFd in;
    std::vector<std::uint8_t> bytes;
    std::unique_ptr<ReplacingFile> spill; // never committed: gone with the member
};

// What one worker thread owns.
class Packer {
public:
    Packer(FileSystem& files, const fs::path& archive, const std::atomic<bool>& abandon)
        : m_files(files), m_archive(archive), m_abandon(abandon), m_buffer(kIoChunk) {}

    // `reserved`: the bytes of memory the member may take for its compressed form.
    void pack(const Source& src, std::uint64_t reserved, Packed& out) {
        out.in = UniqueFd(::open(src.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!out.in)
            fail(ArchiveStatus::ReadError, "cannot open '" + src.name + "'", errno);
        struct stat st {};
        if (::fstat(out.in.get(), &st) != 0)
            fail(ArchiveStatus::ReadError, "cannot read '" + src.name + "'", errno);
        if (!S_ISREG(st.st_mode))
            fail(ArchiveStatus::ReadError, "'" + src.name + "' is not a regular file");
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size > kMaxMemberSize)
            fail(ArchiveStatus::TooLarge,
                 "'" + src.name + "' is larger than an LHA member can be (4 GiB - 1)");

        MemberHeader& h = out.header;
        h.name = cp932::fromUtf8(src.name);
        if (h.name.size() > maxLevel2NameBytes())
            fail(ArchiveStatus::Internal, "name too long: '" + src.name + "'");
        h.mtime = static_cast<std::uint32_t>(std::clamp<std::int64_t>(st.st_mtim.tv_sec, 0, 0xFFFFFFFF));
        // The compressed form never reaches the original's size (the sink stops there), so a member that
        // fits its reservation stays within it.
        const bool inMemory = size <= reserved;
        if (inMemory) {
            out.bytes.reserve(size);
        } else {
            out.spill = std::make_unique<ReplacingFile>(m_files, m_archive, 0600);
            if (out.spill->error())
                fail(ArchiveStatus::WriteError, "cannot create a file beside '" + m_archive.string() + "'",
                     out.spill->error().value());
        }
        CompressedSink sink(size, inMemory ? &out.bytes : nullptr, out.spill.get());
        bool going = size > 0;
        if (going)
            m_encoder.reset(sink);
        const Pass pass =
            readAll(out.in.get(), src, m_buffer, m_abandon, [&](const std::uint8_t* d, std::size_t n) {
                if (going)
                    going = m_encoder.write(d, n);
            });
        if (going)
            going = m_encoder.finish();
        if (sink.error())
            fail(ArchiveStatus::WriteError, "cannot write '" + out.spill->temporary().string() + "'",
                 sink.error().value());
        h.originalSize = static_cast<std::uint32_t>(pass.total);
        h.crc = pass.crc;
        if (going && sink.written() < pass.total) {
            h.method = "-lh5-";
            h.compressedSize = static_cast<std::uint32_t>(sink.written());
            out.in.reset();
        } else {
            h.method = "-lh0-";
            h.compressedSize = h.originalSize;
            out.bytes = {};
            out.spill.reset();
        }
    }

private:
    FileSystem& m_files;
    const fs::path& m_archive;
    const std::atomic<bool>& m_abandon;
    std::vector<std::uint8_t> m_buffer;
    Lh5Encoder m_encoder;
};

// Compresses the members on worker threads, as many as there are cores up to kMaxWorkers, taken in order;
// the writer takes them in the same order, so the archive is the same whatever the number of threads.
// Memory stays bounded: a member is taken only when its reservation fits kMemoryBudget beside those of the
// members not yet written (the writer's member was taken first, so it always finishes), and larger members
// go through a spill file.
class PackPool {
public:
    PackPool(FileSystem& files, const fs::path& archive, const std::vector<Source>& sources,
             std::size_t threads)
        : m_sources(sources), m_packed(kMaxInFlight), m_done(kMaxInFlight, false) {
        for (std::size_t i = 0; i < threads; ++i)
            m_packers.push_back(std::make_unique<Packer>(files, archive, m_abandon));
        for (auto& packer : m_packers) {
            try {
                m_threads.emplace_back([this, p = packer.get()] { work(*p); });
            } catch (const std::system_error&) {
                break; // fewer threads do the same work
            }
        }
        if (m_threads.empty())
            fail(ArchiveStatus::Internal, "cannot start a thread");
    }

    ~PackPool() {
        {
            std::lock_guard lock(m_mutex);
            m_abandon = true;
        }
        m_changed.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

    PackPool(const PackPool&) = delete;
    PackPool& operator=(const PackPool&) = delete;

    // Waits for member i; the caller gives it back with release() once written.
    Packed& take(std::size_t i) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done[i % kMaxInFlight]; });
        return m_packed[i % kMaxInFlight];
    }

    void release(std::size_t i) {
        m_packed[i % kMaxInFlight] = {};
        {
            std::lock_guard lock(m_mutex);
            m_done[i % kMaxInFlight] = false;
            m_reserved -= reservation(i);
            --m_inFlight;
        }
        m_changed.notify_all();
    }

private:
    std::uint64_t reservation(std::size_t i) const { return std::min(m_sources[i].size, kMemoryMember); }

    void work(Packer& packer) {
        for (;;) {
            std::size_t i;
            std::uint64_t reserved;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] {
                    return m_abandon || m_next == m_sources.size() ||
                           (m_inFlight < kMaxInFlight && m_reserved + reservation(m_next) <= kMemoryBudget);
                });
                if (m_abandon || m_next == m_sources.size())
                    return;
                i = m_next++;
                reserved = reservation(i);
                m_reserved += reserved;
                ++m_inFlight;
            }
            // The slot is the writer's again only once done is set, under the lock.
            Packed& out = m_packed[i % kMaxInFlight];
            try {
                packer.pack(m_sources[i], reserved, out);
            } catch (const Failure& f) {
                out.failure = f;
            } catch (const std::exception& e) {
                out.failure = Failure{ArchiveStatus::Internal, e.what()};
            }
            {
                std::lock_guard lock(m_mutex);
                m_done[i % kMaxInFlight] = true;
            }
            m_changed.notify_all();
        }
    }

    const std::vector<Source>& m_sources;
    // Members in flight, member i in slot i % kMaxInFlight.
    std::vector<Packed> m_packed;
    std::vector<bool> m_done;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_abandon{false};
    std::size_t m_next = 0;
    std::size_t m_inFlight = 0;
    std::uint64_t m_reserved = 0;
    std::vector<std::unique_ptr<Packer>> m_packers;
    std::vector<std::thread> m_threads;
};

// Writes the members in order as the workers finish them. Every byte of the archive is written once and in
// order, the header before the data with the sizes and the CRC of the first read before it: some file systems
// (fusefat) misplace a write into the middle of a file.
class MemberWriter {
public:
    MemberWriter(OutFile& out) : m_out(out), m_buffer(kIoChunk) {}

    const std::vector<MemberHeader>& written() const { return m_written; }

    void add(const Source& src, Packed& p) {
        if (p.failure)
            throw *p.failure;
        const MemberHeader& h = p.header;
        m_out.write(level2Header(h));
        if (p.in) {
            const Pass second = readAll(p.in.get(), src, m_buffer, m_never,
                                        [&](const std::uint8_t* d, std::size_t n) { m_out.write(d, n); });
            if (second.total != h.originalSize || second.crc != h.crc)
                fail(ArchiveStatus::ReadError, "'" + src.name + "' changed while it was archived");
        } else if (p.spill) {
            copySpill(*p.spill, h.compressedSize);
        } else {
            m_out.write(p.bytes);
        }
        m_written.push_back(h);
    }

private:
    void copySpill(const ReplacingFile& spill, std::uint64_t size) {
        const std::string name = spill.temporary().string();
        // A handle of its own, as for the check: fusefat reads wrong through the one that wrote.
        UniqueFd fd(::open(spill.temporary().c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            fail(ArchiveStatus::ReadError, "cannot open '" + name + "'", errno);
        std::uint64_t total = 0;
        for (;;) {
            if (cutShort())
                fail(ArchiveStatus::Stopped, "stopped");
            const ssize_t n = ::read(fd.get(), m_buffer.data(), m_buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(ArchiveStatus::ReadError, "cannot read '" + name + "'", errno);
            if (n == 0)
                break;
            total += static_cast<std::uint64_t>(n);
            m_out.write(m_buffer.data(), static_cast<std::size_t>(n));
        }
        if (total != size)
            fail(ArchiveStatus::ReadError, "'" + name + "' reads back short");
    }

    OutFile& m_out;
    std::vector<std::uint8_t> m_buffer;
    const std::atomic<bool> m_never{false};
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
        // A link is not followed out of the folder. Every regular file is packed whatever its name; only an
        // older archive of the same name inside the folder is not packed into its successor.
        std::error_code sec;
        if (!fs::is_regular_file(it->symlink_status(sec)))
            continue;
        const std::string name = it->path().filename().string();
        if (fs::equivalent(it->path(), archive, sec))
            continue;
        sources.push_back({name, it->path(), it->file_size(sec)});
    }
    if (ec)
        fail(ArchiveStatus::NoSource, "cannot list '" + folder.string() + "': " + ec.message());
    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.name < b.name; });
    return sources;
}

} // namespace

ArchiveResult writeArchive(FileSystem& files, const fs::path& archive, const fs::path& folder,
                           unsigned threads) {
    ArchiveResult result;
    try {
        std::vector<Source> sources = listSources(folder, archive);
        if (sources.empty())
            fail(ArchiveStatus::NoFiles, "no files in '" + folder.string() + "'");
        if (threads == 0)
            threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
        OutFile out(files, archive);
        MemberWriter writer(out);
        {
            PackPool pool(files, archive, sources, std::min<std::size_t>(threads, sources.size()));
            for (std::size_t i = 0; i < sources.size(); ++i) {
                writer.add(sources[i], pool.take(i));
                pool.release(i);
            }
        }
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
