#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/records.h"

struct sqlite3;

namespace kb {

// A failing statement or open; what() is the engine's own description (sqlite3_errmsg).
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kStorePassword = "pinwheel";

// The SQLCipher store "Kestrelbox.mdb": one exclusive connection, every statement with bound values.
class Store {
public:
    // Opens an existing store exclusively with the built-in key; throws StoreError when the file is
    // missing, damaged, wrongly keyed or held by another process. Never creates a store.
    static std::unique_ptr<Store> open(const std::filesystem::path& file);
    // Creates a new store with the three tables and the four rows of a reset (the build's tool only).
    static void create(const std::filesystem::path& file);

    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::vector<TabRow> selectTabs();                                                         // 1
    std::optional<TabRow> selectTab(const std::string& n);                                    // 2
    std::vector<std::string> selectCopyData(const std::string& n);                            // 3
    bool copyDataExists(const std::string& n, const std::string& path);                       // 4
    void insertCopyData(const std::string& n, const std::string& path);                       // 5
    void deleteCopyData(const std::string& n, const std::string& path);                       // 6
    void updateFolderPath(const std::string& n, const std::string& folder);                   // 7
    void updateTab(const std::string& row, const std::string& name, const std::string& code); // 8
    void insertCopyLog(const CopyLogRow& row);                                                // 9
    long long countCopyLog();                                                                 // 10
    // 11: the DateTime of the last of the first `limit` rows, newest first; nullopt when there are none.
    std::optional<std::string> cutoffDateTime(long long limit);
    void deleteCopyLogBefore(const std::string& time); // 12
    // 13: every history row, newest run first, higher set first, then in recording order.
    void forEachCopyLog(const std::function<void(const CopyLogRow&)>& visit);
    void deleteAllCopyLog(); // 14
    // 15, 14, 16 and 17 for each set: every registered file and history row deleted and the four sets in
    // their first state, in one transaction, so a failure half-way leaves the store as it was.
    void resetToDefaults();

    // Writes a compact, keyed copy of the whole store to `target` (which must not exist).
    void exportCompactCopy(const std::filesystem::path& target);

    sqlite3* handle() { return m_db; }

private:
    explicit Store(sqlite3* db) : m_db(db) {}
    sqlite3* m_db;
};

} // namespace kb
