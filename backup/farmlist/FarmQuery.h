#pragma once

#include <filesystem>
#include <string>

namespace glb::backup {

/// The operations of the farm-list query (qryGlebarium) that the window and the send
/// command use. TQuery is the real one; tests may stand in for it.
class FarmQuery
{
public:
    virtual ~FarmQuery() = default;
    /// Releases the result; harmless when already closed.
    virtual void close() = 0;
    /// The database location: a folder holding the table files.
    virtual void setDatabaseName(const std::filesystem::path& folder) = 0;
    /// Adds a table password to the query's session (starting the engine if needed).
    virtual void addPassword(const std::string& password) = 0;
    /// Replaces the SQL text, closing an open query.
    virtual void setSql(const std::string& text) = 0;
    /// Runs the query and positions on the first row.
    virtual void open() = 0;
    virtual void first() = 0;
    virtual void next() = 0;
    /// True past the last row, and at once for an empty result.
    virtual bool eof() const = 0;
    /// The current row's field `name` as text (UTF-8); null reads as empty text.
    virtual std::string fieldAsText(const std::string& name) const = 0;
};

} // namespace glb::backup
