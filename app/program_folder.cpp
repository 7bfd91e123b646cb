#include "app/program_folder.h"

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace kb {
namespace {

namespace fs = std::filesystem;

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
    bool operator==(const Identity& o) const {
        return known && o.known && device == o.device && inode == o.inode;
    }
};

Identity identityOf(const fs::path& p, bool followLink = true) {
    struct stat st {};
    if ((followLink ? ::stat(p.c_str(), &st) : ::lstat(p.c_str(), &st)) != 0)
        return {};
    return {st.st_dev, st.st_ino, true};
}

// The path with every link and ".." resolved as far as it exists, or as written where nothing exists.
fs::path resolved(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::weakly_canonical(p, ec);
    if (ec)
        r = fs::absolute(p, ec).lexically_normal();
    // "a/b/" names the folder "a/b".
    if (r.has_relative_path() && r.filename().empty())
        r = r.parent_path();
    return r;
}

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool within(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty())
            continue; // the empty last part of a trailing separator
        if (i == inner.end() || *i != *o)
            return false;
    }
    return true;
}

} // namespace

bool ProgramFolder::inStaging(const fs::path& folder) const {
    const fs::path tmp = staging();
    // As written, and as resolved: a link to the staging folder, or the folder reached through a link to
    // the program folder.
    if (within(fs::absolute(folder).lexically_normal(), fs::absolute(tmp).lexically_normal()) ||
        within(resolved(folder), resolved(m_dir) / "TMP"))
        return true;
    // A real staging folder reached under another name (a bind mount, a case-insensitive file system).
    struct stat st {};
    if (::lstat(tmp.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    const Identity real{st.st_dev, st.st_ino, true};
    for (fs::path p = resolved(folder); !p.empty(); p = p.parent_path()) {
        if (identityOf(p) == real)
            return true;
        if (p == p.root_path())
            break;
    }
    return false;
}

ProgramFolder::FolderVerdict ProgramFolder::folderVerdict(const fs::path& folder) const {
    const fs::path parent = folder.empty() ? fs::path(".") : folder;
    FolderVerdict v;
    v.staging = inStaging(parent);
    if (!v.staging)
        v.programFolder = identityOf(parent) == identityOf(m_dir) || resolved(parent) == resolved(m_dir);
    return v;
}

bool ProgramFolder::ownsFile(const fs::path& target) const {
    return ownsFile(target, folderVerdict(target.parent_path()), false);
}

bool ProgramFolder::ownsFile(const fs::path& target, const FolderVerdict& folder, bool targetAbsent) const {
    const fs::path name = target.filename();
    if (folder.staging)
        return true;
    // The program folder may lie on a FAT stick, where names differing only in case are one file; a
    // variant is refused on every file system alike.
    const bool inProgramFolder = folder.programFolder;
    if (inProgramFolder) {
        for (const fs::path& own : {executable(), settings(), errorLog(), staging(), temporaryRecord()})
            if (sameLetters(name.native(), own.filename().native()))
                return true;
        for (const fs::path& db : {store(), safetyCopy(), compactCopy()})
            for (const char* suffix : {"", "-wal", "-shm", "-journal"})
                if (sameLetters(name.native(), db.filename().native() + suffix))
                    return true;
    }
    // Another name of one of them, such as FAT's short name, or the running executable wherever it lies.
    // A name that reaches nothing is no other name of a file.
    if (targetAbsent)
        return false;
    const Identity reached = identityOf(target, false);
    if (!reached.known)
        return false;
    if (reached == identityOf("/proc/self/exe"))
        return true;
    if (!inProgramFolder)
        return false;
    for (const fs::path& own : {executable(), store(), safetyCopy(), compactCopy(), settings(), errorLog(),
                                staging(), temporaryRecord()})
        if (reached == identityOf(own, false))
            return true;
    return false;
}

} // namespace kb
