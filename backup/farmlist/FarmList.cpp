#include "backup/farmlist/FarmList.h"

#include "backup/farmlist/detail/QueryRun.h"
#include "backup/farmlist/testing/FarmListTesting.h"
#include "backup/paradox/CodePage.h"
#include "backup/paradox/DBEngineError.h"
#include "common/AsciiText.h"

#include <algorithm>
#include <sqlite3.h>
#include <system_error>

namespace glb::backup {

using detail::folderContext;
using detail::QueryRun;
using detail::rejected;
using detail::Stmt;

namespace {

// Set by tests through failSessionStarts; read under the session's lock.
unsigned g_failedStartCode = 0;

} // namespace

void failSessionStarts(unsigned code)
{
    const std::lock_guard guard(TSession::defaultSession().lock());
    g_failedStartCode = code;
}

// ---- Session ------------------------------------------------------------------------------

TSession& TSession::defaultSession()
{
    static TSession session;
    return session;
}

void TSession::startLocked()
{
    if (m_started) {
        return;
    }
    if (const unsigned code = g_failedStartCode; code != 0) {
        throw EDBEngineError::startFailure(code);
    }
    if (const int rc = sqlite3_initialize(); rc != SQLITE_OK) {
        throw EDBEngineError::startFailure(rc == SQLITE_NOMEM ? dbcode::kOutOfMemory : dbcode::kStartFailed);
    }
    m_started = true;
    ++m_startCount;
}

void TSession::start()
{
    const std::lock_guard guard(m_lock);
    startLocked();
}

void TSession::addPassword(const std::string& password)
{
    const std::lock_guard guard(m_lock);
    startLocked();
    std::string kept = password.substr(0, paradox::prefixOfCharacters(password, paradox::kMaxPasswordCharacters));
    if (std::find(m_passwords.begin(), m_passwords.end(), kept) == m_passwords.end()) {
        m_passwords.push_back(std::move(kept));
    }
}

bool TSession::started() const
{
    const std::lock_guard guard(m_lock);
    return m_started;
}

int TSession::startCount() const
{
    const std::lock_guard guard(m_lock);
    return m_startCount;
}

std::vector<std::string> TSession::passwords() const
{
    const std::lock_guard guard(m_lock);
    return m_passwords;
}

// ---- Query ----------------------------------------------------------------------------------

TQuery::TQuery() = default;
TQuery::~TQuery() = default;

void TQuery::close()
{
    m_open = false;
    m_columns.clear();
    m_text.clear();
    m_text.shrink_to_fit();
    m_cells.clear();
    m_cells.shrink_to_fit();
    m_rowCount = 0;
    m_row = 0;
    m_eof = true;
}

void TQuery::setDatabaseName(const std::filesystem::path& folder)
{
    close();
    m_folder = folder;
}

void TQuery::addPassword(const std::string& password)
{
    TSession::defaultSession().addPassword(password);
}

void TQuery::setSql(const std::string& text)
{
    close();
    m_sql = text;
}

namespace {

/// Raises "folder unusable" unless the database folder names an existing folder.
void requireFolder(const std::filesystem::path& folder)
{
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) {
        std::vector<DBContext> contexts{{dbcode::kFolderUnusable, 0, folderContext(folder)}};
        if (ec) {
            contexts.push_back({dbcode::kFolderUnusable, ec.value(), ec.message()});
        }
        throw EDBEngineError::fromEngine(dbcode::kFolderUnusable, std::move(contexts));
    }
}

std::vector<std::string> columnNames(sqlite3_stmt* stmt)
{
    const int columns = sqlite3_column_count(stmt);
    std::vector<std::string> names;
    for (int i = 0; i < columns; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        names.emplace_back(name != nullptr ? name : "");
    }
    return names;
}

/// The text of column `i` of the current row up to its first zero byte.
std::string_view columnText(sqlite3_stmt* stmt, int i)
{
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    if (value == nullptr) {
        return {};
    }
    const std::string_view view(value, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
    return view.substr(0, view.find('\0'));
}

} // namespace

void TQuery::open()
{
    if (m_open) {
        return;
    }
    TSession& session = TSession::defaultSession();
    const std::lock_guard guard(session.lock());
    session.start();
    requireFolder(m_folder);

    QueryRun run(m_folder, session.passwords());
    Stmt stmt = run.prepare(m_sql);
    std::vector<std::string> names = columnNames(stmt.get());
    readResult(run.db(), stmt.get(), names.size());
    m_columns = std::move(names);
    m_open = true;
    first();
}

void TQuery::readResult(sqlite3* db, sqlite3_stmt* stmt, std::size_t columns)
{
    std::string text;
    std::vector<Cell> cells;
    std::size_t rows = 0;
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            rejected(db, rc);
        }
        for (int i = 0; i < static_cast<int>(columns); ++i) {
            Cell cell;
            if (sqlite3_column_type(stmt, i) != SQLITE_NULL) {
                const std::string_view view = columnText(stmt, i);
                cell.null = false;
                cell.offset = text.size();
                cell.length = view.size();
                text += view;
            }
            cells.push_back(cell);
        }
        ++rows;
    }
    m_text = std::move(text);
    m_cells = std::move(cells);
    m_rowCount = rows;
}

void TQuery::first()
{
    m_row = 0;
    m_eof = m_rowCount == 0;
}

void TQuery::next()
{
    if (m_eof) {
        return;
    }
    if (m_row + 1 < m_rowCount) {
        ++m_row;
    } else {
        m_eof = true;
    }
}

bool TQuery::eof() const
{
    return m_eof;
}

std::string TQuery::fieldAsText(const std::string& name) const
{
    const auto column = std::find_if(m_columns.begin(), m_columns.end(),
                                     [&](const std::string& c) { return equalsIgnoringAsciiCase(c, name); });
    if (!m_open || column == m_columns.end()) {
        throw EDBEngineError::fromEngine(dbcode::kNoSuchField, {{dbcode::kNoSuchField, 0, "Field: " + name}});
    }
    if (m_rowCount == 0) {
        return {};
    }
    const Cell& cell = m_cells[m_row * m_columns.size() + static_cast<std::size_t>(column - m_columns.begin())];
    return cell.null ? std::string() : m_text.substr(cell.offset, cell.length);
}

} // namespace glb::backup
