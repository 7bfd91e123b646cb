// Times the archive run on a corpus of about 36 MB built from this machine's own files (the copies into a
// staging folder, the compression on every core and the check of the written archive), against jlha (lh5,
// level-2 headers) and gzip -6 of the same files in the same run, and the archiver on one thread. A plain
// program: the figures are one run each, on warm caches.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_report.h"
#include "platform/file_system.h"
#include "platform/lha/archive_writer.h"
#include "platform/lha/unlha.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kPiece = 2u << 20;
constexpr int kHeaderPieces = 12;
constexpr std::uintmax_t kDocText = 6u << 20;
constexpr int kManPages = 100;
constexpr int kBinaries = 3;

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<fs::path> sortedFiles(const fs::path& root, bool recursive) {
    std::vector<fs::path> files;
    std::error_code ec;
    auto add = [&](const fs::directory_entry& e) {
        std::error_code sec;
        if (e.is_regular_file(sec) && !e.is_symlink(sec))
            files.push_back(e.path());
    };
    if (recursive) {
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
             end;
             !ec && it != end; it.increment(ec))
            add(*it);
    } else {
        for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
            add(*it);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void append(std::ofstream& out, const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    out << in.rdbuf();
}

std::uintmax_t buildCorpus(const fs::path& dir) {
    int piece = 0;
    std::ofstream out;
    std::uintmax_t inPiece = kPiece;
    for (const fs::path& h : sortedFiles("/usr/include", true)) {
        if (h.extension() != ".h")
            continue;
        if (inPiece >= kPiece) {
            if (piece == kHeaderPieces)
                break;
            out.close();
            out.open(dir / ("headers_" + std::to_string(piece++) + ".h"), std::ios::binary);
            inPiece = 0;
        }
        append(out, h);
        inPiece += fs::file_size(h);
    }
    out.close();

    std::uintmax_t doc = 0;
    int n = 0;
    for (const fs::path& d : sortedFiles("/usr/share/doc", true)) {
        if (doc >= kDocText)
            break;
        if (d.extension() == ".gz" || d.extension() == ".png" || d.extension() == ".jpg")
            continue;
        std::error_code ec;
        fs::copy_file(d, dir / ("doc_" + std::to_string(n++) + "_" + d.filename().string()), ec);
        if (!ec)
            doc += fs::file_size(d);
    }

    n = 0;
    for (const fs::path& m : sortedFiles("/usr/share/man/man1", false)) {
        if (n == kManPages)
            break;
        if (m.extension() == ".gz") {
            std::error_code ec;
            fs::copy_file(m, dir / m.filename(), ec);
            n += ec ? 0 : 1;
        }
    }

    n = 0;
    for (const fs::path& b : sortedFiles("/usr/bin", false)) {
        if (n == kBinaries)
            break;
        std::error_code ec;
        auto size = fs::file_size(b, ec);
        if (!ec && size >= (1u << 20) && size <= (5u << 19)) {
            fs::copy_file(b, dir / ("bin_" + b.filename().string()), ec);
            n += ec ? 0 : 1;
        }
    }

    std::uintmax_t total = 0;
    for (const fs::path& f : sortedFiles(dir, false))
        total += fs::file_size(f);
    return total;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main() {
    char pattern[] = "/tmp/kb_bench_lha_XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    const fs::path corpus = root / "corpus";
    fs::create_directory(corpus);
    const std::uintmax_t original = buildCorpus(corpus);
    const auto files = sortedFiles(corpus, false);
    std::printf("corpus: %zu files, %ju bytes\n", files.size(), original);

    // The run as the backup engine makes it: each file copied into the staging folder, then the archiver.
    const fs::path staging = root / "TMP";
    const fs::path ours = root / "ours.lzh";
    kb::FileSystem fileSystem;
    auto start = std::chrono::steady_clock::now();
    fs::create_directory(staging);
    for (const fs::path& f : files) {
        if (std::error_code ec = fileSystem.copyFileReplacing(f, staging / f.filename())) {
            std::printf("staging failed: %s\n", ec.message().c_str());
            fs::remove_all(root);
            return 1;
        }
    }
    const double stageTime = seconds(start);
    char message[1024];
    start = std::chrono::steady_clock::now();
    int rc = kb::lha::Unlha(0, "a -x1 -r2 \"" + ours.string() + "\" \"" + staging.string() + "/\"", message,
                            sizeof message);
    const double archiveTime = seconds(start);
    const double ourTime = stageTime + archiveTime;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024;
    if (rc != 0) {
        std::printf("Unlha failed (%d): %s\n", rc, message);
        fs::remove_all(root);
        return 1;
    }
    const auto ourSize = fs::file_size(ours);
    std::printf(
        "kestrelbox lh5: %12ju bytes  %6.2f s  (%.1f%% of original; staging %.2f s, archive %.2f s on %u "
        "cores, peak memory %.1f MB)\n",
        ourSize, ourTime, 100.0 * static_cast<double>(ourSize) / static_cast<double>(original), stageTime,
        archiveTime, std::thread::hardware_concurrency(), peakMb);
    kb::bench::benchLine("lha_archive_memory", peakMb, "MB", "-", kb::bench::kNoPeer, "<=64");

    start = std::chrono::steady_clock::now();
    const kb::lha::ArchiveResult one = kb::lha::writeArchive(fileSystem, root / "one.lzh", staging, 1);
    const double oneTime = seconds(start);
    if (one.status == kb::lha::ArchiveStatus::Ok) {
        std::printf("one thread:     %12ju bytes  %6.2f s\n", fs::file_size(root / "one.lzh"), oneTime);
        kb::bench::benchLine("lha_archive_all_cores", archiveTime, "s", "one_thread", oneTime, "-");
    }

    std::string names;
    for (const fs::path& f : files)
        names += " " + quote(f.filename().string());

    if (std::system("command -v jlha >/dev/null 2>&1") == 0) {
        const fs::path theirs = root / "jlha.lzh";
        start = std::chrono::steady_clock::now();
        int jr = std::system(("cd " + quote(corpus.string()) + " && jlha a2o5q " + quote(theirs.string()) +
                              names + " >/dev/null 2>&1")
                                 .c_str());
        const double jTime = seconds(start);
        std::error_code ec;
        const auto jSize = fs::file_size(theirs, ec);
        if (jr != 0 || ec) {
            std::printf("jlha: failed (status %d)\n", jr);
        } else {
            std::printf("jlha a2o5q:     %12ju bytes  %6.2f s  (%.1f%% of original)\n", jSize, jTime,
                        100.0 * static_cast<double>(jSize) / static_cast<double>(original));
            std::printf("ours / jlha: size %.4f, time %.3f\n",
                        static_cast<double>(ourSize) / static_cast<double>(jSize), ourTime / jTime);
            kb::bench::benchLine("lha_archive_size", static_cast<double>(ourSize), "bytes", "jlha",
                                 static_cast<double>(jSize), "ratio<=0.97");
            kb::bench::benchLine("lha_archive_run_time", ourTime, "s", "jlha", jTime, "ratio<=0.3");
        }
    } else {
        std::printf("jlha: not available on this machine (package jlha-utils)\n");
    }

    const fs::path gz = root / "all.gz";
    start = std::chrono::steady_clock::now();
    int gr = std::system(
        ("cd " + quote(corpus.string()) + " && gzip -6 -c" + names + " > " + quote(gz.string())).c_str());
    const double gTime = seconds(start);
    if (gr == 0) {
        const auto gSize = fs::file_size(gz);
        std::printf("gzip -6:        %12ju bytes  %6.2f s  (%.1f%% of original)\n", gSize, gTime,
                    100.0 * static_cast<double>(gSize) / static_cast<double>(original));
        std::printf("ours / gzip: size %.4f, time %.3f\n",
                    static_cast<double>(ourSize) / static_cast<double>(gSize), ourTime / gTime);
        kb::bench::benchLine("lha_archive_size_vs_gzip", static_cast<double>(ourSize), "bytes", "gzip_-6",
                             static_cast<double>(gSize), "-");
        kb::bench::benchLine("lha_archive_time_vs_gzip", ourTime, "s", "gzip_-6", gTime, "-");
    } else {
        std::printf("gzip: failed (status %d)\n", gr);
    }
    fs::remove_all(root);
    return 0;
}
