#include "backup/farmlist/detail/QueryRun.h"

#include "backup/paradox/DBEngineError.h"
#include "backup/paradox/Table.h"
#include "common/AsciiText.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>

namespace glb::backup::detail {

namespace {

using paradox::FieldType;
using paradox::Table;
using paradox::Value;

std::string quotedIdentifier(std::string_view identifier)
{
    std::string text = "\"";
    for (char c : identifier) {
        text += c;
        if (c == '"') {
            text += '"';
        }
    }
    return text + '"';
}

// ---- The virtual table: one table file, read whole when it is created ----------------

struct LoadedTable
{
    explicit LoadedTable(Table t)
        : table(std::move(t))
    {
    }
    Table table;
    std::string collation;
    // Rows in the table's sort order of one alpha column, made on first use.
    std::vector<std::optional<std::vector<std::uint32_t>>> orders;

    const std::vector<std::uint32_t>& orderBy(std::size_t field)
    {
        std::optional<std::vector<std::uint32_t>>& order = orders[field];
        if (!order) {
            const std::size_t rows = table.recordCount();
            std::vector<std::string> keys(rows);
            std::vector<char> blank(rows, 0);
            std::string text;
            for (std::size_t row = 0; row < rows; ++row) {
                text.clear();
                if (table.alphaText(row, field, text)) {
                    table.sortOrder().keyInto(text, keys[row]);
                } else {
                    blank[row] = 1;
                }
            }
            std::vector<std::uint32_t> index(rows);
            for (std::size_t row = 0; row < rows; ++row) {
                index[row] = static_cast<std::uint32_t>(row);
            }
            // Blanks first; stable, so equal values keep table order.
            std::stable_sort(index.begin(), index.end(), [&](std::uint32_t a, std::uint32_t b) {
                if (blank[a] != blank[b]) {
                    return blank[a] > blank[b];
                }
                return keys[a] < keys[b];
            });
            order = std::move(index);
        }
        return *order;
    }
};

} // namespace

/// The tables of one run, in the order they were loaded; a virtual table's argument is
/// its index here.
struct OpenContext
{
    std::vector<std::unique_ptr<LoadedTable>> tables;
};

namespace {

struct VTab
{
    sqlite3_vtab base{};
    LoadedTable* loaded = nullptr;
};

struct VCursor
{
    sqlite3_vtab_cursor base{};
    LoadedTable* loaded = nullptr;
    const std::vector<std::uint32_t>* order = nullptr;
    std::size_t position = 0;
    Value value;
};

const char* sqlType(FieldType type)
{
    switch (type) {
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::AutoInc:
    case FieldType::Logical:
        return "INTEGER";
    case FieldType::Number:
    case FieldType::Currency:
        return "REAL";
    case FieldType::Bytes:
        return "BLOB";
    default:
        return "TEXT";
    }
}

// No exception may cross SQLite's C frames: each callback turns one into a result code.
int vtConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** error)
{
    try {
        auto* context = static_cast<OpenContext*>(aux);
        const std::size_t index = argc > 3 ? std::stoul(argv[3]) : context->tables.size();
        if (index >= context->tables.size()) {
            *error = sqlite3_mprintf("no table file for this table");
            return SQLITE_ERROR;
        }
        LoadedTable& loaded = *context->tables[index];
        std::string schema = "CREATE TABLE x(";
        const auto& fields = loaded.table.fields();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            schema += (i == 0 ? "" : ", ") + quotedIdentifier(fields[i].name) + ' ' + sqlType(fields[i].type);
            if (fields[i].type == FieldType::Alpha) {
                schema += " COLLATE " + loaded.collation;
            }
        }
        schema += ")";
        if (const int rc = sqlite3_declare_vtab(db, schema.c_str()); rc != SQLITE_OK) {
            *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
            return rc;
        }
        auto vtab = std::make_unique<VTab>();
        vtab->loaded = &loaded;
        *out = &vtab.release()->base;
        return SQLITE_OK;
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    } catch (const std::exception& e) {
        *error = sqlite3_mprintf("%s", e.what());
        return SQLITE_ERROR;
    }
}

int vtDisconnect(sqlite3_vtab* vtab)
{
    delete reinterpret_cast<VTab*>(vtab);
    return SQLITE_OK;
}

int vtBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    const LoadedTable& loaded = *reinterpret_cast<VTab*>(vtab)->loaded;
    info->estimatedRows = static_cast<sqlite3_int64>(loaded.table.recordCount());
    info->estimatedCost = static_cast<double>(loaded.table.recordCount()) + 1;
    // SQLite offers the ORDER BY only when it uses the column's own collation; an
    // ascending order on one alpha column is ours to deliver, with ties in table order.
    if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn >= 0 && info->aOrderBy[0].desc == 0) {
        const auto column = static_cast<std::size_t>(info->aOrderBy[0].iColumn);
        if (column < loaded.table.fields().size() && loaded.table.fields()[column].type == FieldType::Alpha) {
            info->idxNum = static_cast<int>(column) + 1;
            info->orderByConsumed = 1;
        }
    }
    return SQLITE_OK;
}

int vtOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out)
{
    auto* cursor = new (std::nothrow) VCursor();
    if (cursor == nullptr) {
        return SQLITE_NOMEM;
    }
    cursor->loaded = reinterpret_cast<VTab*>(vtab)->loaded;
    *out = &cursor->base;
    return SQLITE_OK;
}

int vtClose(sqlite3_vtab_cursor* cursor)
{
    delete reinterpret_cast<VCursor*>(cursor);
    return SQLITE_OK;
}

int vtFilter(sqlite3_vtab_cursor* base, int idxNum, const char*, int, sqlite3_value**)
{
    auto* cursor = reinterpret_cast<VCursor*>(base);
    try {
        cursor->order = idxNum > 0 ? &cursor->loaded->orderBy(static_cast<std::size_t>(idxNum - 1)) : nullptr;
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
    cursor->position = 0;
    return SQLITE_OK;
}

int vtNext(sqlite3_vtab_cursor* cursor)
{
    ++reinterpret_cast<VCursor*>(cursor)->position;
    return SQLITE_OK;
}

int vtEof(sqlite3_vtab_cursor* base)
{
    const auto* cursor = reinterpret_cast<VCursor*>(base);
    return cursor->position >= cursor->loaded->table.recordCount() ? 1 : 0;
}

std::size_t currentRow(const VCursor& cursor)
{
    return cursor.order != nullptr ? (*cursor.order)[cursor.position] : cursor.position;
}

int vtColumn(sqlite3_vtab_cursor* base, sqlite3_context* context, int column)
{
    auto* cursor = reinterpret_cast<VCursor*>(base);
    try {
        cursor->loaded->table.value(currentRow(*cursor), static_cast<std::size_t>(column), cursor->value);
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
    const Value& value = cursor->value;
    switch (value.kind) {
    case Value::Kind::Null:
        sqlite3_result_null(context);
        break;
    case Value::Kind::Integer:
        sqlite3_result_int64(context, value.integer);
        break;
    case Value::Kind::Real:
        sqlite3_result_double(context, value.real);
        break;
    case Value::Kind::Text:
        sqlite3_result_text64(context, value.text.data(), value.text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
    case Value::Kind::Blob:
        sqlite3_result_blob64(context, value.text.data(), value.text.size(), SQLITE_TRANSIENT);
        break;
    }
    return SQLITE_OK;
}

int vtRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    *rowid = static_cast<sqlite3_int64>(currentRow(*reinterpret_cast<VCursor*>(base))) + 1;
    return SQLITE_OK;
}

sqlite3_module makeModule()
{
    sqlite3_module module{};
    module.iVersion = 1;
    module.xCreate = vtConnect;
    module.xConnect = vtConnect;
    module.xBestIndex = vtBestIndex;
    module.xDisconnect = vtDisconnect;
    module.xDestroy = vtDisconnect;
    module.xOpen = vtOpen;
    module.xClose = vtClose;
    module.xFilter = vtFilter;
    module.xNext = vtNext;
    module.xEof = vtEof;
    module.xColumn = vtColumn;
    module.xRowid = vtRowid;
    return module;
}

const sqlite3_module kModule = makeModule();

int collate(void* order, int lengthA, const void* a, int lengthB, const void* b)
{
    return static_cast<const paradox::SortOrder*>(order)->compare(
        std::string_view(static_cast<const char*>(a), static_cast<std::size_t>(lengthA)),
        std::string_view(static_cast<const char*>(b), static_cast<std::size_t>(lengthB)));
}

/// The file of table `name` in `folder`: "<name>.DB" matched ignoring case, an exact
/// match preferred, else the first in name order, so the choice never depends on the
/// order in which the folder lists its entries.
std::optional<std::filesystem::path> findTableFile(const std::filesystem::path& folder, const std::string& name)
{
    const std::string wanted = name + ".DB";
    std::optional<std::filesystem::path> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string fileName = pathText(it->path().filename());
        if (!equalsIgnoringAsciiCase(fileName, wanted)) {
            continue;
        }
        if (fileName == wanted) {
            return it->path();
        }
        if (!found || it->path() < *found) {
            found = it->path();
        }
    }
    if (ec) {
        throw EDBEngineError::fromEngine(
            dbcode::kFolderUnusable,
            {{dbcode::kFolderUnusable, 0, folderContext(folder)}, {dbcode::kFolderUnusable, ec.value(), ec.message()}});
    }
    return found;
}

} // namespace

std::string folderContext(const std::filesystem::path& folder)
{
    return "Folder: " + pathText(folder);
}

[[noreturn]] void rejected(sqlite3* db, int rc)
{
    throw EDBEngineError::fromEngine(
        rc == SQLITE_NOMEM ? dbcode::kOutOfMemory : dbcode::kQueryRejected,
        {{dbcode::kQueryRejected, sqlite3_extended_errcode(db) != 0 ? sqlite3_extended_errcode(db) : rc,
          sqlite3_errmsg(db)}});
}

QueryRun::QueryRun(std::filesystem::path folder, std::vector<std::string> passwords)
    : m_folder(std::move(folder))
    , m_passwords(std::move(passwords))
    , m_context(std::make_unique<OpenContext>())
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    m_db.reset(raw);
    if (rc != SQLITE_OK) {
        rejected(raw, rc);
    }
    // The query may read our tables only: no other database files, no extensions; a
    // misspelt "column" is an error, never silently a string literal.
    sqlite3_limit(m_db.get(), SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_db_config(m_db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(m_db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_db.get(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(m_db.get(), SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    if (sqlite3_create_module_v2(m_db.get(), "paradox", &kModule, m_context.get(), nullptr) != SQLITE_OK) {
        rejected(m_db.get(), sqlite3_errcode(m_db.get()));
    }
}

QueryRun::~QueryRun() = default;

Stmt QueryRun::prepare(const std::string& sql)
{
    static constexpr std::string_view kNoSuchTable = "no such table: ";
    for (;;) {
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v2(m_db.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, &tail);
        Stmt stmt(raw);
        if (rc == SQLITE_OK) {
            if (stmt == nullptr) {
                throw EDBEngineError::fromEngine(dbcode::kQueryRejected,
                                                 {{dbcode::kQueryRejected, 0, "The query text is empty."}});
            }
            if (std::string_view(tail).find_first_not_of(" \t\r\n;") != std::string_view::npos) {
                throw EDBEngineError::fromEngine(
                    dbcode::kQueryRejected,
                    {{dbcode::kQueryRejected, 0, "The query text holds more than one statement."}});
            }
            if (sqlite3_stmt_readonly(stmt.get()) == 0) {
                throw EDBEngineError::fromEngine(dbcode::kQueryRejected,
                                                 {{dbcode::kQueryRejected, 0, "The query may only read tables."}});
            }
            return stmt;
        }
        const std::string message = sqlite3_errmsg(m_db.get());
        if (message.rfind(kNoSuchTable, 0) != 0 || m_context->tables.size() >= kMaxTables) {
            rejected(m_db.get(), rc);
        }
        const std::string name = message.substr(kNoSuchTable.size());
        if (name.find('.') != std::string::npos) {
            rejected(m_db.get(), rc);
        }
        load(name);
    }
}

void QueryRun::load(const std::string& name)
{
    const std::optional<std::filesystem::path> file = findTableFile(m_folder, name);
    if (!file) {
        throw EDBEngineError::fromEngine(dbcode::kNoSuchTable, {{dbcode::kNoSuchTable, 0, "Table: " + name},
                                                                {dbcode::kNoSuchTable, 0, folderContext(m_folder)}});
    }
    auto loaded = std::make_unique<LoadedTable>(Table::open(*file));
    loaded->table.readRecords(m_passwords);
    loaded->orders.resize(loaded->table.fields().size());
    const std::size_t index = m_context->tables.size();
    loaded->collation = "paradox_order_" + std::to_string(index);
    if (sqlite3_create_collation_v2(m_db.get(), loaded->collation.c_str(), SQLITE_UTF8,
                                    const_cast<paradox::SortOrder*>(&loaded->table.sortOrder()), collate,
                                    nullptr) != SQLITE_OK) {
        rejected(m_db.get(), sqlite3_errcode(m_db.get()));
    }
    m_context->tables.push_back(std::move(loaded));
    const std::string create =
        "CREATE VIRTUAL TABLE temp." + quotedIdentifier(name) + " USING paradox(" + std::to_string(index) + ")";
    char* error = nullptr;
    if (sqlite3_exec(m_db.get(), create.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string detail = error != nullptr ? error : sqlite3_errmsg(m_db.get());
        sqlite3_free(error);
        throw EDBEngineError::fromEngine(dbcode::kCorruptTable,
                                         {{dbcode::kCorruptTable, 0, "File: " + pathText(*file)}, {0, 0, detail}});
    }
}

} // namespace glb::backup::detail
