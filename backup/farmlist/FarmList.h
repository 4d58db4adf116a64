#pragma once

#include "backup/farmlist/FarmQuery.h"

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace glb::backup {

/// The process-wide default session of the database engine. The engine is SQLite over
/// our own read-only table reader; the session starts it on first use and keeps it, and
/// the passwords added to it, until the process ends.
class TSession
{
public:
    /// The default session (exists for the whole process).
    static TSession& defaultSession();

    /// Starts the engine if it is not running yet, then keeps `password` (its first 255
    /// characters) for every later table opening. Adding a held password again does no harm.
    void addPassword(const std::string& password);
    /// Starts the engine if it is not running yet. A failed start leaves it stopped, so
    /// the next use tries again.
    void start();

    bool started() const;
    /// How often the engine was started in this process (0 or 1).
    int startCount() const;
    /// The passwords held.
    std::vector<std::string> passwords() const;

    /// Held by every session operation for its duration.
    std::recursive_mutex& lock() const { return m_lock; }

private:
    TSession() = default;
    void startLocked();

    mutable std::recursive_mutex m_lock;
    bool m_started = false;
    int m_startCount = 0;
    std::vector<std::string> m_passwords;
};

/// TQuery: the farm-list query (qryGlebarium). Opening runs the SQL text verbatim in the
/// engine, where every table the text names is the table file of that name in the
/// database folder, found whatever the case of its name; the result is a complete
/// read-only copy made at opening, so the tables may change while it is walked.
class TQuery : public FarmQuery
{
public:
    TQuery();
    ~TQuery() override;
    TQuery(const TQuery&) = delete;
    TQuery& operator=(const TQuery&) = delete;

    /// Releases the result; harmless when closed.
    void close() override;
    void setDatabaseName(const std::filesystem::path& folder) override;
    /// Adds the password to the default session, starting the engine if needed.
    void addPassword(const std::string& password) override;
    /// Replaces the SQL text; an open query is closed first.
    void setSql(const std::string& text) override;
    /// Runs the query and positions on the first row; nothing when already open.
    void open() override;
    void first() override;
    void next() override;
    bool eof() const override;
    /// The current row's field `name` (matched ignoring case) as UTF-8 text: the value up
    /// to its first zero byte, blanks kept, null as empty text. On an empty result every
    /// field reads empty; past the last row, the last row's value.
    std::string fieldAsText(const std::string& name) const override;

    bool isOpen() const noexcept { return m_open; }
    /// Rows in the result.
    std::size_t rowCount() const noexcept { return m_rowCount; }

private:
    struct Cell
    {
        std::size_t offset = 0;
        std::size_t length = 0;
        bool null = true;
    };

    /// Steps `stmt` to its end, keeping every row; the result changes only when every row
    /// was read.
    void readResult(sqlite3* db, sqlite3_stmt* stmt, std::size_t columns);

    std::filesystem::path m_folder;
    std::string m_sql;
    bool m_open = false;
    std::vector<std::string> m_columns;
    std::string m_text;        // every non-null value of the result, back to back
    std::vector<Cell> m_cells; // row-major
    std::size_t m_rowCount = 0;
    std::size_t m_row = 0;
    bool m_eof = true;
};

} // namespace glb::backup
