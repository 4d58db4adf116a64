#pragma once

#include "common/Error.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace glb::backup {

/// The engine's error codes. The engine behind the farm list is our own (the table
/// reader under SQLite), so the codes and their texts are ours too; the codes keep the
/// numbering the product's users know from its messages (start failures, $2902).
namespace dbcode {
inline constexpr unsigned kFolderUnusable = 0x2101; ///< the database folder cannot be listed
inline constexpr unsigned kFileOpen = 0x2102;       ///< the table file cannot be opened
inline constexpr unsigned kFileRead = 0x2103;       ///< reading the table file failed
inline constexpr unsigned kNoSuchTable = 0x2106;    ///< the query names a table the folder lacks
inline constexpr unsigned kCorruptTable = 0x2107;   ///< the table file breaks the format
inline constexpr unsigned kLibraryMissing = 0x2108; ///< start failure: the engine is not there
inline constexpr unsigned kStartFailed = 0x2109;    ///< start failure: anything else
inline constexpr unsigned kOutOfMemory = 0x2501;
inline constexpr unsigned kNoTableRights = 0x2902;  ///< protected table, no valid password
inline constexpr unsigned kNoSuchField = 0x2E01;    ///< a field read by a name the result lacks
inline constexpr unsigned kQueryRejected = 0x2E02;  ///< the SQL engine refused the query text
inline constexpr unsigned kContextOnly = 0x2EC4;    ///< messages of this code carry only their contexts
inline constexpr unsigned kNotInitialized = 0x2F01; ///< keeps its own text even before the start
} // namespace dbcode

/// One entry of an engine error.
struct TDBError
{
    unsigned errorCode = 0; ///< the engine's code
    int nativeError = 0;    ///< the underlying system or SQL engine code, 0 when none
    std::string message;    ///< the entry's own text: the context string, or the code's text
};

/// One further entry the engine reports for a failed call: a code, a native code and a
/// context string (the file, table or folder concerned, or a lower layer's text).
struct DBContext
{
    unsigned code = 0;
    int nativeError = 0;
    std::string context;
};

/// A failed call of the database engine, with the engine's list of error entries.
class EDBEngineError : public Error
{
public:
    /// The failure of the call `code` with its further entries, message built by the
    /// engine's rules. `sessionStarted` false (the engine was starting) gives the
    /// start-failure message, except for dbcode::kNotInitialized.
    static EDBEngineError fromEngine(unsigned code, std::vector<DBContext> contexts = {}, bool sessionStarted = true);
    /// "An error occurred while attempting to initialize the Database Engine (error $XXXX)".
    static EDBEngineError startFailure(unsigned code);

    /// The entries, the failed call's own code first.
    const std::vector<TDBError>& errors() const noexcept { return *m_errors; }
    /// The failed call's code.
    unsigned errorCode() const noexcept { return m_errors->empty() ? 0 : m_errors->front().errorCode; }

private:
    EDBEngineError(std::string message, std::vector<TDBError> errors)
        : Error(std::move(message))
        , m_errors(std::make_shared<const std::vector<TDBError>>(std::move(errors)))
    {
    }
    // Shared so that copying the error never throws.
    std::shared_ptr<const std::vector<TDBError>> m_errors;
};

/// The engine's text for `code`; empty when it has none.
std::string_view dbEngineText(unsigned code);

/// The message rule over a failed call's code and its further entries: the code's text,
/// then per entry its code's text (only when it has no native code) and its context;
/// for dbcode::kContextOnly the contexts alone. Each text is trimmed and split into
/// lines, each distinct line (ignoring case) is kept once, and the lines are joined with
/// CR LF. "Engine error $XXXX" when nothing is left.
std::string dbEngineMessage(unsigned code, const std::vector<DBContext>& contexts);

} // namespace glb::backup
