#include "test_support.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <numeric>
#include <sstream>

namespace kb::test {

MsgAnswer ScriptedUi::messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer, const std::string&) {
    messages.push_back({text, icon, buttons, defaultAnswer});
    return buttons == MsgButtons::Ok ? MsgAnswer::Ok : next(answers, MsgAnswer::Yes);
}

TempDir::TempDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    std::string name = tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    m_path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only files and folders made by tests must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::chmod(it->path().c_str(), it->is_directory(ec) ? 0755 : 0644);
    ::chmod(m_path.c_str(), 0755);
    std::filesystem::remove_all(m_path, ec);
}

void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void setMtime(const std::filesystem::path& p, std::int64_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    if (::utimensat(AT_FDCWD, p.c_str(), times, 0) != 0)
        ADD_FAILURE() << "cannot set the time of " << p;
}

void makeSparse(const std::filesystem::path& p, std::uint64_t size) {
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        ADD_FAILURE() << "cannot make " << p;
    ::close(fd);
}

std::string repeated(const std::string& s, std::size_t n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

std::string randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(gen() & 0xFF);
    return out;
}

std::vector<std::string> listFolder(const std::filesystem::path& dir, bool recursive) {
    std::vector<std::string> out;
    auto add = [&](const fs::directory_entry& e) { out.push_back(fs::relative(e.path(), dir).string()); };
    if (recursive)
        std::for_each(fs::recursive_directory_iterator(dir), fs::recursive_directory_iterator(), add);
    else
        std::for_each(fs::directory_iterator(dir), fs::directory_iterator(), add);
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

const std::string kBsdtar = "LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 ";

// Every regular file below dir by its path relative to dir; names in CP932 become UTF-8 when asked.
std::map<std::string, std::string> readTree(const std::filesystem::path& dir, bool fromCp932) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) {
            std::string name = std::filesystem::relative(e.path(), dir).string();
            files[fromCp932 ? cp932::toUtf8(name) : name] = readFile(e.path());
        }
    return files;
}

} // namespace

std::string archiveListing(const std::filesystem::path& archive) {
    std::string out;
    EXPECT_EQ(runCommand(kBsdtar + "-tf " + shellQuote(archive.string()), &out), 0) << archive;
    return out;
}

void expectExtractorsAgree(const std::filesystem::path& archive,
                           const std::map<std::string, std::string>& members,
                           const std::filesystem::path& work) {
    std::string names;
    bool ascii = true;
    for (const auto& [name, data] : members) {
        names += name + "\n";
        ascii = ascii && std::all_of(name.begin(), name.end(), [](char c) { return c > 0; });
    }
    // In any order, each name once.
    std::istringstream listing(archiveListing(archive));
    std::string listed;
    std::vector<std::string> sorted;
    while (std::getline(listing, listed))
        sorted.push_back(listed + "\n");
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::accumulate(sorted.begin(), sorted.end(), std::string()), names) << "bsdtar names";
    const std::string a = shellQuote(archive.string());
    const std::string sevenZip = runCommand("command -v 7z >/dev/null 2>&1") == 0 ? "7z" : "7zz";

    // Each extractor's command around the folder it extracts to. Their exit status may miss damaged data
    // (lhasa's does), so the extracted bytes are compared.
    for (const auto& [name, before, after] :
         {std::tuple<std::string, std::string, std::string>{"bsdtar", kBsdtar + "-xf " + a + " -C ", ""},
          {"lhasa", "lhasa -xfq2w=", " " + a},
          {"7z", sevenZip + " x -y -o", " " + a}}) {
        const std::filesystem::path dir = work / name;
        std::filesystem::create_directories(dir);
        EXPECT_EQ(runCommand(before + shellQuote(dir.string()) + after + " >/dev/null 2>&1"), 0) << name;
        const std::map<std::string, std::string> got = readTree(dir, name == "lhasa");
        if (ascii || name != "7z") {
            EXPECT_TRUE(got == members) << name << " contents";
            continue;
        }
        std::multiset<std::string> want, have;
        for (const auto& [n, d] : members)
            want.insert(d);
        for (const auto& [n, d] : got)
            have.insert(d);
        EXPECT_EQ(have, want) << "7z contents";
    }
}

int statusOfChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::array<char, 4096> buf{};
    std::string out;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    int status = ::pclose(pipe);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool logHolds(const std::filesystem::path& log, const std::string& text) {
    return cp932::toUtf8(readFile(log)).find(text) != std::string::npos;
}

std::string rowText(const CopyLogRow& r) {
    std::string out = std::to_string(r.SeqNo);
    for (const Text& t : {r.DateTime, r.TabNo, r.TabName, r.CopyAns, r.FileName, r.FolderPath})
        out += "|" + t.value_or("<null>");
    return out;
}

std::string sqlcipher(const std::filesystem::path& file, const std::string& sql, const std::string& key) {
    std::string out;
    std::string script = key.empty() ? sql : "PRAGMA key='" + key + "'; PRAGMA cipher_page_size=4096; " + sql;
    runCommand("sqlcipher " + shellQuote(file) + " " + shellQuote(script) + " 2>&1", &out);
    return out;
}

std::string copyError(const std::filesystem::path& source, const std::string& reason) {
    return "下記のファイルをコピーできませんでした (" + reason + ")\r\n\r\n" + source.string();
}

std::string copyError(const std::filesystem::path& source, int err) {
    return copyError(source, std::error_code(err, std::system_category()).message());
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace kb::test
