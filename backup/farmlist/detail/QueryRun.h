#pragma once

// The engine side of the farm-list query: an SQLite connection of its own in which every
// table the query names is a table file of the database folder, read through the table
// reader. Private to the farm-list library, which links SQLite.

#include <filesystem>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace glb::backup::detail {

struct StmtFinalizer
{
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

/// "Folder: <folder>", the context line of an engine error about the folder.
std::string folderContext(const std::filesystem::path& folder);

/// Raises the engine error for `rc` with the connection's own message.
[[noreturn]] void rejected(sqlite3* db, int rc);

struct OpenContext;

/// One run of the query: an in-memory connection that may read this run's tables only (no
/// attached databases, no extensions, no double-quoted strings). A table the query names
/// is loaded the first time preparing the query finds it missing: the table file of that
/// name in the folder, read whole with the passwords, becomes a virtual table whose
/// alpha columns sort in the table's own order.
class QueryRun
{
public:
    QueryRun(std::filesystem::path folder, std::vector<std::string> passwords);
    ~QueryRun();
    QueryRun(const QueryRun&) = delete;
    QueryRun& operator=(const QueryRun&) = delete;

    /// Prepares `sql`, one statement that only reads, loading the tables it names.
    Stmt prepare(const std::string& sql);

    sqlite3* db() const { return m_db.get(); }

private:
    struct DbCloser
    {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };

    static constexpr std::size_t kMaxTables = 64;

    void load(const std::string& name);

    std::filesystem::path m_folder;
    std::vector<std::string> m_passwords;
    // Declared before the connection: the connection's tables point into it.
    std::unique_ptr<OpenContext> m_context;
    std::unique_ptr<sqlite3, DbCloser> m_db;
};

} // namespace glb::backup::detail
