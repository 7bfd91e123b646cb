#include "store/store.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
// The SHA-1 block functions, deprecated but kept by OpenSSL 3, make the key derivation four times faster than
// its generic interface, which sets up a MAC for each of the 128,000 rounds.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/file_system.h"

namespace kb {

namespace {

[[noreturn]] void fail(sqlite3* db) {
    throw StoreError(sqlite3_errmsg(db), sqlite3_errcode(db));
}

[[noreturn]] void failCode(int code) {
    throw StoreError(sqlite3_errstr(code), code);
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        fail(db);
    }
    return stmt;
}

// One prepared statement; finalized whatever way the caller leaves, or, when the store keeps it, reset for
// its next use.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : m_db(db), m_stmt(prepare(db, sql)) {}
    Statement(sqlite3* db, sqlite3_stmt*& kept, const char* sql) : m_db(db), m_kept(true) {
        if (!kept)
            kept = prepare(db, sql);
        m_stmt = kept;
    }
    ~Statement() {
        if (!m_kept) {
            sqlite3_finalize(m_stmt);
            return;
        }
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& value) {
        check(
            sqlite3_bind_text(m_stmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, const Text& value) {
        if (!value)
            check(sqlite3_bind_null(m_stmt, index));
        else
            bind(index, *value);
        return *this;
    }
    Statement& bind(int index, long long value) {
        check(sqlite3_bind_int64(m_stmt, index, value));
        return *this;
    }

    // True while a row is there.
    bool step() {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(m_db);
    }
    void run() {
        while (step()) {
        }
    }

    Text text(int column) const {
        if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
            return std::nullopt;
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        if (!p)
            fail(m_db);
        return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)));
    }
    std::string textOrEmpty(int column) const { return text(column).value_or(std::string()); }
    long long integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    int type(int column) const { return sqlite3_column_type(m_stmt, column); }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            fail(m_db);
    }

    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_kept = false;
};

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(db);
}

// Closes the connection unless ownership moved on to a Store.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() {
        if (db)
            sqlite3_close_v2(db);
    }
    sqlite3* release() { return std::exchange(db, nullptr); }
};

// The engine's key settings (SQLCipher 3 defaults): PBKDF2 with HMAC-SHA1, 64,000 rounds, a 256-bit key from
// the 16 bytes of salt that open the file.
constexpr int kKdfRounds = 64000;
constexpr std::size_t kSaltBytes = 16, kKeyBytes = 32;
using Salt = std::array<unsigned char, kSaltBytes>;

// PBKDF2 with HMAC-SHA1 (RFC 8018) of a password of at most one block: the keyed inner and outer hash states
// are computed once, and each round costs two block hashes.
bool pbkdf2Sha1(std::string_view password, const Salt& salt, unsigned char (&key)[kKeyBytes]) {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    if (password.size() <= SHA_CBLOCK) {
        unsigned char inner[SHA_CBLOCK] = {}, outer[SHA_CBLOCK] = {};
        std::memcpy(inner, password.data(), password.size());
        std::memcpy(outer, password.data(), password.size());
        for (std::size_t i = 0; i < SHA_CBLOCK; ++i) {
            inner[i] ^= 0x36;
            outer[i] ^= 0x5c;
        }
        SHA_CTX innerState, outerState, work;
        SHA1_Init(&innerState);
        SHA1_Update(&innerState, inner, sizeof inner);
        SHA1_Init(&outerState);
        SHA1_Update(&outerState, outer, sizeof outer);
        for (std::uint32_t block = 1; (block - 1) * SHA_DIGEST_LENGTH < kKeyBytes; ++block) {
            unsigned char u[SHA_DIGEST_LENGTH], sum[SHA_DIGEST_LENGTH];
            const unsigned char index[4] = {
                static_cast<unsigned char>(block >> 24), static_cast<unsigned char>(block >> 16),
                static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
            work = innerState;
            SHA1_Update(&work, salt.data(), salt.size());
            SHA1_Update(&work, index, sizeof index);
            SHA1_Final(u, &work);
            work = outerState;
            SHA1_Update(&work, u, sizeof u);
            SHA1_Final(u, &work);
            std::memcpy(sum, u, sizeof sum);
            for (int round = 1; round < kKdfRounds; ++round) {
                work = innerState;
                SHA1_Update(&work, u, sizeof u);
                SHA1_Final(u, &work);
                work = outerState;
                SHA1_Update(&work, u, sizeof u);
                SHA1_Final(u, &work);
                for (std::size_t i = 0; i < sizeof sum; ++i)
                    sum[i] ^= u[i];
            }
            const std::size_t at = (block - 1) * SHA_DIGEST_LENGTH;
            std::memcpy(key + at, sum, std::min<std::size_t>(SHA_DIGEST_LENGTH, kKeyBytes - at));
        }
        OPENSSL_cleanse(&innerState, sizeof innerState);
        OPENSSL_cleanse(&outerState, sizeof outerState);
        OPENSSL_cleanse(&work, sizeof work);
        return true;
    }
#endif
    return PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                                  static_cast<int>(salt.size()), kKdfRounds, static_cast<int>(kKeyBytes),
                                  key) == 1;
}

// The key of the password for `salt` in the engine's raw form x'<key><salt>', derived once per salt: a start,
// the compaction's open, its attached copy (which takes the store's salt) and the check of that copy would
// each spend a twelfth of a second on the same derivation. The file still opens with the password.
std::string rawKey(const Salt& salt) {
    static std::mutex mutex;
    static std::map<Salt, std::string> keys;
    const std::lock_guard lock(mutex);
    auto it = keys.find(salt);
    if (it != keys.end())
        return it->second;
    unsigned char key[kKeyBytes];
    if (!pbkdf2Sha1(kStorePassword, salt, key))
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string raw = "x'";
    for (unsigned char b : key)
        raw += {hex[b >> 4], hex[b & 15]};
    for (unsigned char b : salt)
        raw += {hex[b >> 4], hex[b & 15]};
    raw += "'";
    return keys.emplace(salt, raw).first->second;
}

// The raw key for the salt that opens the database `schema` of `db`, or empty when it holds none yet (a new,
// empty file). Read through the engine's own descriptor: closing another one of the same file would drop the
// engine's locks on it.
std::string rawKeyOf(sqlite3* db, const char* schema) {
    sqlite3_file* file = nullptr;
    Salt salt{};
    if (sqlite3_file_control(db, schema, SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods ||
        file->pMethods->xRead(file, salt.data(), static_cast<int>(salt.size()), 0) != SQLITE_OK)
        return {};
    return rawKey(salt);
}

void openKeyed(Connection& c, const std::filesystem::path& file, int flags, int pageSize) {
    int rc = sqlite3_open_v2(file.c_str(), &c.db, flags, nullptr);
    if (!c.db)
        failCode(rc);
    if (rc != SQLITE_OK)
        fail(c.db);
    const std::string raw = rawKeyOf(c.db, "main");
    const std::string key = raw.empty() ? std::string(kStorePassword) : raw;
    if (sqlite3_key(c.db, key.data(), static_cast<int>(key.size())) != SQLITE_OK)
        fail(c.db);
    exec(c.db, ("PRAGMA cipher_page_size = " + std::to_string(pageSize)).c_str());
    // Held until the connection closes: no other process reads or writes the store meanwhile.
    Statement(c.db, "PRAGMA locking_mode = EXCLUSIVE").run();
}

constexpr const char* kSchema = R"sql(
CREATE TABLE T_Tab (TabNo TEXT, TabName TEXT, NameType TEXT, FolderPath TEXT);
CREATE TABLE T_CopyData (CpTabNo TEXT, CpPath TEXT);
CREATE INDEX IX_CopyData_Path ON T_CopyData (CpTabNo, CpPath);
CREATE INDEX IX_CopyData_Order ON T_CopyData (CpTabNo, CpPath COLLATE NOCASE, CpPath);
CREATE TABLE T_CopyLog (DateTime TEXT, TabNo TEXT, TabName TEXT, SeqNo INTEGER, CopyAns TEXT,
                        FileName TEXT, FolderPath TEXT);
CREATE INDEX IX_CopyLog_Order ON T_CopyLog (DateTime DESC, TabNo DESC, SeqNo);
)sql";

void insertDefaultTab(sqlite3* db, int i) {
    Statement s(db, "INSERT INTO T_Tab (TabNo, TabName, NameType) VALUES (?1, ?2, '0')");
    std::string n = std::to_string(i);
    s.bind(1, n).bind(2, "設定" + n).run();
}

TabRow readTab(const Statement& s) {
    return TabRow{s.textOrEmpty(0), s.textOrEmpty(1), s.textOrEmpty(2), s.text(3)};
}

// Up to this size, reading every page at open takes a few hundredths of a second.
constexpr std::uintmax_t kFullCheckBytes = 16u << 20;

constexpr const char* kLogColumns =
    "SELECT DateTime, TabNo, TabName, SeqNo, CopyAns, FileName, FolderPath, rowid FROM T_CopyLog ";
constexpr const char* kLogOrder = "ORDER BY DateTime DESC, TabNo DESC, SeqNo, rowid ";

HistoryEntry readEntry(const Statement& s) {
    return HistoryEntry{{s.text(0), s.text(1), s.text(2), s.integer(3), s.text(4), s.text(5), s.text(6)},
                        s.integer(7),
                        s.type(0) == SQLITE_TEXT && s.type(1) == SQLITE_TEXT && s.type(3) == SQLITE_INTEGER};
}

} // namespace

Store::Store(sqlite3* db) : m_db(db) {
    // A rollback takes back what the transaction did to the history; the next use counts again.
    sqlite3_rollback_hook(
        m_db,
        [](void* store) {
            static_cast<Store*>(store)->m_historyRows.reset();
            static_cast<Store*>(store)->forgetCutoff();
        },
        this);
}

std::unique_ptr<Store> Store::open(const std::filesystem::path& file) {
    // Without SQLITE_OPEN_CREATE the engine refuses a missing file itself; the check also turns away a
    // folder or a device given in the store's place.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        failCode(SQLITE_CANTOPEN);
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    const bool sized = !ec;
    std::filesystem::path log = file;
    log += "-wal";
    // Every page is read and checked where that is quick, and after a session that did not close the store
    // (its log is still beside it). A larger store proves here its key, its tables and its length; the
    // pages of its history are checked as they are read, every row by the compaction at each close.
    const bool fullCheck = !sized || size <= kFullCheckBytes || std::filesystem::exists(log, ec);
    // This version's pages first, whatever the length: a fold-back of the log cut short by a full disk can
    // leave part of a page at the end, while the log beside the store still holds the whole of it. Only a
    // store of an earlier version fails to decrypt with them, and an open that fails changes nothing.
    try {
        return openWithPageSize(file, kStorePageSize, fullCheck);
    } catch (const StoreError& e) {
        if (e.code() != SQLITE_NOTADB)
            throw;
    }
    return openWithPageSize(file, kLegacyPageSize, fullCheck);
}

std::unique_ptr<Store> Store::openWithPageSize(const std::filesystem::path& file, int pageSize,
                                               bool fullCheck) {
    Connection c;
    openKeyed(c, file, SQLITE_OPEN_READWRITE, pageSize);
    if (sqlite3_db_readonly(c.db, "main") == 1)
        failCode(SQLITE_READONLY);

    // The exclusive lock is taken now rather than at the first statement, so that a second process fails
    // here with "database is locked". Reading the schema proves the key; writing user_version back
    // unchanged proves that the file and its journal beside it can be written, before anything else is.
    exec(c.db, "BEGIN EXCLUSIVE");
    try {
        long long version = 0;
        {
            Statement check(c.db, "SELECT count(*) FROM sqlite_master");
            check.step();
            // A file that decrypts but lacks a table or column, or whose pages do not hold together, is no
            // store either; the engine's own description says which.
            for (const char* sql : {"SELECT TabNo, TabName, NameType, FolderPath FROM T_Tab LIMIT 0",
                                    "SELECT CpTabNo, CpPath FROM T_CopyData LIMIT 0",
                                    "SELECT DateTime, TabNo, TabName, SeqNo, CopyAns, FileName, FolderPath "
                                    "FROM T_CopyLog LIMIT 0"})
                Statement(c.db, sql).run();
            if (fullCheck) {
                Statement integrity(c.db, "PRAGMA quick_check(1)");
                if (integrity.step() && integrity.textOrEmpty(0) != "ok")
                    failCode(SQLITE_CORRUPT);
            }
            Statement read(c.db, "PRAGMA user_version");
            if (read.step())
                version = read.integer(0);
        }
        exec(c.db, ("PRAGMA user_version = " + std::to_string(version)).c_str());
        exec(c.db, "COMMIT");
    } catch (...) {
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // A run records one history row per file. With a rollback journal every commit waits for the disk
    // several times; with a write-ahead log it waits for none, and a crash still keeps every committed row
    // (the log is replayed at the next open; a clean close folds it back and removes it).
    Statement(c.db, "PRAGMA journal_mode = WAL").run();
    exec(c.db, "PRAGMA synchronous = NORMAL");
    return std::unique_ptr<Store>(new Store(c.release()));
}

void Store::create(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec))
        throw StoreError(std::string(file) + ": " + std::strerror(EEXIST));

    // Built under a temporary name and linked into place, so that an interrupted build never leaves a
    // half-made store that a later build would take for the user's.
    FileSystem files;
    const std::filesystem::path temp = temporarySibling(file);
    try {
        {
            Connection c;
            openKeyed(c, temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kStorePageSize);
            Store s(c.release());
            exec(s.m_db, "BEGIN");
            exec(s.m_db, kSchema);
            for (int i = 1; i <= 4; ++i)
                insertDefaultTab(s.m_db, i);
            exec(s.m_db, "COMMIT");
        }
        if (const std::error_code ec = files.syncPath(temp))
            throw StoreError(ec.message());
        if (::link(temp.c_str(), file.c_str()) != 0) {
            int err = errno;
            if (err == EEXIST || !(err == EPERM || err == EOPNOTSUPP || err == EXDEV))
                throw StoreError(std::string(file) + ": " + std::strerror(err));
            // A file system without hard links: a plain rename, after the existence check above.
            if (::rename(temp.c_str(), file.c_str()) != 0)
                throw StoreError(std::string(file) + ": " + std::strerror(errno));
        }
        std::filesystem::remove(temp, ec);
        files.syncFolder(file.parent_path().empty() ? "." : file.parent_path());
    } catch (...) {
        std::filesystem::remove(temp, ec);
        std::filesystem::path journal = temp;
        journal += "-journal";
        std::filesystem::remove(journal, ec);
        throw;
    }
}

Store::~Store() {
    // Held rows are the user's history: the close commits them rather than let the engine roll them back.
    if (m_heldSince)
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    for (sqlite3_stmt* kept : {m_insertLog, m_cutoff, m_deleteBefore, m_countUpTo, m_rowidBounds})
        sqlite3_finalize(kept);
    if (m_db)
        sqlite3_close_v2(m_db);
}

bool Store::countInStep() const {
    return m_historyRows && sqlite3_total_changes(m_db) == m_changesSeen;
}

void Store::changed(bool inStep, int historySign) {
    // Rows that a trigger of a hand-edited store changed count in the total but not in the statement's
    // own changes: what they did to the history is unknown, so it is counted again.
    if (inStep && sqlite3_total_changes(m_db) - m_changesSeen == sqlite3_changes(m_db))
        historyCountIs(*m_historyRows + historySign * sqlite3_changes(m_db));
    else {
        m_historyRows.reset();
        forgetCutoff();
    }
}

void Store::historyCountIs(long long rows) {
    m_historyRows = rows;
    m_changesSeen = sqlite3_total_changes(m_db);
}

long long Store::historyRows() {
    if (!countInStep()) {
        forgetCutoff();
        historyCountIs(countCopyLog());
    }
    return *m_historyRows;
}

// Rows that a count reads in a few milliseconds.
constexpr long long kCheapCount = 65536;

bool Store::historyExceeds(long long limit) {
    if (!countInStep()) {
        Statement bounds(m_db, m_rowidBounds,
                         "SELECT (SELECT max(rowid) FROM T_CopyLog), (SELECT min(rowid) FROM T_CopyLog)");
        // As many distinct integers lie between the two: the rows can be no more. An empty or small history
        // is counted all the same, once, so that the next rows need not ask again.
        if (bounds.step() && bounds.type(0) != SQLITE_NULL) {
            const long long highest = bounds.integer(0), lowest = bounds.integer(1);
            if (lowest >= 1 && highest - lowest < limit && highest - lowest >= kCheapCount)
                return false;
        }
    }
    return historyRows() > limit;
}

void Store::holdHistory(std::chrono::milliseconds upTo) {
    m_holdUpTo = upTo;
}

void Store::joinHeld() {
    if (!m_holdUpTo || m_heldSince || !sqlite3_get_autocommit(m_db))
        return;
    exec(m_db, "BEGIN IMMEDIATE");
    m_heldSince = std::chrono::steady_clock::now();
}

void Store::commitHeldIfDue() {
    if (m_heldSince && std::chrono::steady_clock::now() - *m_heldSince >= *m_holdUpTo)
        commitHeld();
}

void Store::commitHeld() {
    if (!m_heldSince)
        return;
    m_heldSince.reset();
    // The engine may already have rolled the transaction back after a failed statement (a full disk).
    if (!sqlite3_get_autocommit(m_db) && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return;
    const std::string error = sqlite3_errmsg(m_db);
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    heldLost();
    throw StoreError(error);
}

void Store::heldGoneAfterFailure() {
    if (m_heldSince && sqlite3_get_autocommit(m_db))
        heldLost();
}

void Store::heldLost() {
    m_heldSince.reset();
    m_historyRows.reset();
    forgetCutoff();
    m_heldLost = true;
}

void Store::releaseHistory() {
    m_holdUpTo.reset();
    commitHeld();
}

std::vector<TabRow> Store::selectTabs() {
    Statement s(m_db, "SELECT TabNo, TabName, NameType, FolderPath FROM T_Tab ORDER BY TabNo, rowid");
    std::vector<TabRow> rows;
    while (s.step())
        rows.push_back(readTab(s));
    return rows;
}

std::optional<TabRow> Store::selectTab(const std::string& n) {
    Statement s(m_db,
                "SELECT TabNo, TabName, NameType, FolderPath FROM T_Tab WHERE TabNo = ?1 ORDER BY rowid");
    s.bind(1, n);
    if (!s.step())
        return std::nullopt;
    return readTab(s);
}

std::vector<std::string> Store::selectCopyData(const std::string& n) {
    Statement s(m_db, "SELECT CpPath FROM T_CopyData WHERE CpTabNo = ?1 "
                      "ORDER BY CpPath COLLATE NOCASE, CpPath, rowid");
    s.bind(1, n);
    std::vector<std::string> paths;
    while (s.step())
        paths.push_back(s.textOrEmpty(0));
    return paths;
}

bool Store::copyDataExists(const std::string& n, const std::string& path) {
    Statement s(m_db, "SELECT 1 FROM T_CopyData WHERE CpTabNo = ?1 AND CpPath = ?2 LIMIT 1");
    s.bind(1, n).bind(2, path);
    return s.step();
}

void Store::insertCopyData(const std::string& n, const std::string& path) {
    commitHeld();
    Statement s(m_db, "INSERT INTO T_CopyData (CpTabNo, CpPath) VALUES (?1, ?2)");
    const bool inStep = countInStep();
    s.bind(1, n).bind(2, path).run();
    changed(inStep, 0);
}

void Store::deleteCopyData(const std::string& n, const std::string& path) {
    commitHeld();
    Statement s(m_db, "DELETE FROM T_CopyData WHERE CpTabNo = ?1 AND CpPath = ?2");
    const bool inStep = countInStep();
    s.bind(1, n).bind(2, path).run();
    changed(inStep, 0);
}

void Store::updateFolderPath(const std::string& n, const std::string& folder) {
    commitHeld();
    Statement s(m_db, "UPDATE T_Tab SET FolderPath = ?1 WHERE TabNo = ?2");
    const bool inStep = countInStep();
    s.bind(1, folder).bind(2, n).run();
    changed(inStep, 0);
}

void Store::updateTab(const std::string& row, const std::string& name, const std::string& code) {
    commitHeld();
    Statement s(m_db, "UPDATE T_Tab SET TabName = ?1, NameType = ?2 WHERE TabNo = ?3");
    const bool inStep = countInStep();
    s.bind(1, name).bind(2, code).bind(3, row).run();
    changed(inStep, 0);
}

long long Store::insertCopyLog(const CopyLogRow& row) {
    joinHeld();
    Statement s(m_db, m_insertLog,
                "INSERT INTO T_CopyLog (DateTime, TabNo, TabName, SeqNo, CopyAns, FileName, FolderPath) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    const bool inStep = countInStep();
    s.bind(1, row.DateTime)
        .bind(2, row.TabNo)
        .bind(3, row.TabName)
        .bind(4, row.SeqNo)
        .bind(5, row.CopyAns)
        .bind(6, row.FileName)
        .bind(7, row.FolderPath);
    try {
        s.run();
    } catch (const StoreError&) {
        heldGoneAfterFailure();
        throw;
    }
    changed(inStep, 1);
    if (m_cutoffKnown && row.DateTime && *row.DateTime > m_cutoffKnown->dateTime)
        ++m_cutoffKnown->newer;
    return m_lastHistoryRowid = sqlite3_last_insert_rowid(m_db);
}

long long Store::countCopyLog() {
    Statement s(m_db, "SELECT count(*) FROM T_CopyLog");
    s.step();
    return s.integer(0);
}

std::optional<std::string> Store::cutoffDateTime(long long limit) {
    if (limit <= 0)
        return std::nullopt;
    const long long rows = historyRows();
    // Rows were added only before the known cut-off or after it, fewer than `limit` after it: the
    // limit-th row from the top still has its DateTime.
    if (m_cutoffKnown && m_cutoffKnown->limit == limit && m_cutoffKnown->newer < limit)
        return m_cutoffKnown->dateTime;
    forgetCutoff();
    // The limit-th row from the top is the (rows - limit + 1)-th from the bottom.
    const long long beyond = std::max(0LL, rows - limit);
    Statement s(
        m_db, m_cutoff,
        "SELECT DateTime FROM T_CopyLog ORDER BY DateTime, TabNo, SeqNo DESC, rowid DESC LIMIT 1 OFFSET ?1");
    s.bind(1, beyond);
    if (!s.step())
        return std::nullopt;
    Text cutoff = s.text(0);
    // Kept only for what the comparisons here order as the engine does: text, and a row that is the
    // limit-th (not merely the oldest of fewer).
    if (cutoff && s.type(0) == SQLITE_TEXT && rows >= limit) {
        // The rows after it are counted from the oldest side (what the trim deletes and the cut-off's own
        // run), not from the newest through the whole history. A row without a DateTime counts as newer:
        // that can only bring the next walk sooner.
        Statement upTo(m_db, m_countUpTo, "SELECT count(*) FROM T_CopyLog WHERE DateTime <= ?1");
        upTo.bind(1, *cutoff);
        upTo.step();
        m_cutoffKnown = KnownCutoff{limit, *cutoff, rows - upTo.integer(0)};
    }
    return cutoff;
}

void Store::deleteCopyLogBefore(const std::string& time) {
    joinHeld();
    Statement s(m_db, m_deleteBefore, "DELETE FROM T_CopyLog WHERE DateTime < ?1");
    const bool inStep = countInStep();
    try {
        s.bind(1, time).run();
    } catch (const StoreError&) {
        heldGoneAfterFailure();
        throw;
    }
    changed(inStep, -1);
    // Rows before the known cut-off leave it as it is; any others may move it.
    if (sqlite3_changes(m_db) > 0 && m_cutoffKnown && time > m_cutoffKnown->dateTime)
        forgetCutoff();
}

void Store::forEachCopyLog(const std::function<void(const CopyLogRow&)>& visit) {
    Statement s(m_db, "SELECT DateTime, TabNo, TabName, SeqNo, CopyAns, FileName, FolderPath FROM T_CopyLog "
                      "ORDER BY DateTime DESC, TabNo DESC, SeqNo, rowid");
    while (s.step()) {
        CopyLogRow row{s.text(0), s.text(1), s.text(2), s.integer(3), s.text(4), s.text(5), s.text(6)};
        visit(row);
    }
}

void Store::historyPage(const HistoryEntry* after, long long position, long long limit,
                        std::vector<HistoryEntry>& out) {
    if (!after || !after->plain) {
        Statement s(m_db, (std::string(kLogColumns) + kLogOrder + "LIMIT ?1 OFFSET ?2").c_str());
        s.bind(1, limit).bind(2, after ? position : 0LL);
        while (s.step())
            out.push_back(readEntry(s));
        return;
    }
    // What follows a row: the rest of its set's run, the lower sets of its DateTime and those without a
    // set, then the older DateTimes and those without one. Each part is one range of the history index.
    static const char* const kParts[] = {
        "WHERE DateTime = ?1 AND TabNo = ?2 AND (SeqNo, rowid) > (?3, ?4) ORDER BY SeqNo, rowid LIMIT ?5",
        "WHERE DateTime = ?1 AND TabNo < ?2 ORDER BY TabNo DESC, SeqNo, rowid LIMIT ?5",
        "WHERE DateTime = ?1 AND TabNo IS NULL ORDER BY SeqNo, rowid LIMIT ?5",
        "WHERE DateTime < ?1 ORDER BY DateTime DESC, TabNo DESC, SeqNo, rowid LIMIT ?5",
        "WHERE DateTime IS NULL ORDER BY TabNo DESC, SeqNo, rowid LIMIT ?5"};
    const HistoryEntry from = *after; // `after` may be an element of `out`
    const std::size_t end = out.size() + static_cast<std::size_t>(std::max(0LL, limit));
    for (const char* part : kParts) {
        if (out.size() >= end)
            return;
        Statement s(m_db, (std::string(kLogColumns) + part).c_str());
        s.bind(1, from.row.DateTime)
            .bind(2, from.row.TabNo)
            .bind(3, from.row.SeqNo)
            .bind(4, from.rowid)
            .bind(5, static_cast<long long>(end - out.size()));
        while (s.step())
            out.push_back(readEntry(s));
    }
}

void Store::deleteAllCopyLog() {
    commitHeld();
    Statement(m_db, "DELETE FROM T_CopyLog").run();
    forgetCutoff();
    // Counting what a trigger of a hand-edited store may have left costs nothing on an emptied table.
    historyCountIs(countCopyLog());
}

void Store::resetToDefaults() {
    commitHeld();
    exec(m_db, "BEGIN IMMEDIATE");
    try {
        Statement(m_db, "DELETE FROM T_CopyData").run();
        Statement(m_db, "DELETE FROM T_CopyLog").run();
        Statement(m_db, "DELETE FROM T_Tab").run();
        for (int i = 1; i <= 4; ++i)
            insertDefaultTab(m_db, i);
        exec(m_db, "COMMIT");
        forgetCutoff();
        historyCountIs(countCopyLog());
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Store::exportCompactCopy(const std::filesystem::path& target) {
    commitHeld();
    // An empty file is an empty database to the engine; making it here refuses an existing target the way
    // a compaction must, and lets a connection opened without the create flag attach it.
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw StoreError(std::string(target) + ": " + std::strerror(errno));
    ::close(fd);

    Statement attach(m_db, "ATTACH DATABASE ?1 AS kb_compact KEY ?2");
    // The store's own salt and derived key: the copy opens with the password all the same.
    std::string key = rawKeyOf(m_db, "main");
    if (key.empty())
        key = kStorePassword;
    attach.bind(1, std::string(target)).bind(2, key).run();
    try {
        // A store of an earlier version is rewritten with the pages of this one.
        exec(m_db, ("PRAGMA kb_compact.cipher_page_size = " + std::to_string(kStorePageSize)).c_str());
        // The copy is nobody's store until it is complete and synced below; an interrupted export leaves
        // garbage that the next compaction removes, so it needs neither a journal nor a sync per step.
        exec(m_db, "PRAGMA kb_compact.journal_mode = OFF");
        exec(m_db, "PRAGMA kb_compact.synchronous = OFF");
        Statement(m_db, "SELECT sqlcipher_export('kb_compact')").run();
    } catch (...) {
        sqlite3_exec(m_db, "DETACH DATABASE kb_compact", nullptr, nullptr, nullptr);
        throw;
    }
    exec(m_db, "DETACH DATABASE kb_compact");
}

} // namespace kb
