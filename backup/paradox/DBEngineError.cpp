#include "backup/paradox/DBEngineError.h"

#include "common/AsciiText.h"

#include <algorithm>

namespace glb::backup {

namespace {

// Adds each line of `text` that is not there yet.
void addLines(std::vector<std::string_view>& lines, std::string_view text)
{
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        const std::string_view line = trimmedBlanks(text.substr(0, end));
        if (!line.empty() && std::none_of(lines.begin(), lines.end(),
                                          [&](std::string_view seen) { return equalsIgnoringAsciiCase(seen, line); })) {
            lines.push_back(line);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

std::string engineErrorFallback(unsigned code)
{
    return "Engine error $" + hexUpper(code, 4);
}

} // namespace

std::string_view dbEngineText(unsigned code)
{
    switch (code) {
    case dbcode::kFolderUnusable:
        return "The database folder cannot be used.";
    case dbcode::kFileOpen:
        return "The table file cannot be opened.";
    case dbcode::kFileRead:
        return "The table file cannot be read.";
    case dbcode::kNoSuchTable:
        return "The table does not exist.";
    case dbcode::kCorruptTable:
        return "The table file is corrupt.";
    case dbcode::kLibraryMissing:
        return "The database engine cannot be found.";
    case dbcode::kStartFailed:
        return "The database engine could not be started.";
    case dbcode::kOutOfMemory:
        return "Not enough memory for this operation.";
    case dbcode::kNoTableRights:
        return "Insufficient rights to read the table: it is protected and no valid password was given.";
    case dbcode::kNoSuchField:
        return "The field does not exist in the result.";
    case dbcode::kQueryRejected:
        return "The query cannot be run.";
    case dbcode::kNotInitialized:
        return "The database engine is not initialized.";
    default:
        return {};
    }
}

std::string dbEngineMessage(unsigned code, const std::vector<DBContext>& contexts)
{
    const bool withCodeTexts = code != dbcode::kContextOnly;
    std::vector<std::string_view> lines;
    if (withCodeTexts) {
        addLines(lines, dbEngineText(code));
    }
    for (const DBContext& entry : contexts) {
        if (withCodeTexts && entry.nativeError == 0) {
            addLines(lines, dbEngineText(entry.code));
        }
        addLines(lines, entry.context);
    }
    if (lines.empty()) {
        return engineErrorFallback(code);
    }
    std::string message;
    for (std::string_view line : lines) {
        if (!message.empty()) {
            message += "\r\n";
        }
        message += line;
    }
    return message;
}

EDBEngineError EDBEngineError::fromEngine(unsigned code, std::vector<DBContext> contexts, bool sessionStarted)
{
    if (!sessionStarted && code != dbcode::kNotInitialized) {
        return startFailure(code);
    }
    std::string message = dbEngineMessage(code, contexts);
    std::vector<TDBError> errors;
    errors.reserve(contexts.size() + 1);
    errors.push_back({code, 0, std::string(dbEngineText(code))});
    for (DBContext& entry : contexts) {
        errors.push_back({entry.code, entry.nativeError, std::move(entry.context)});
    }
    return EDBEngineError(std::move(message), std::move(errors));
}

EDBEngineError EDBEngineError::startFailure(unsigned code)
{
    return EDBEngineError("An error occurred while attempting to initialize the Database Engine (error $" +
                              hexUpper(code, 4) + ")",
                          {{code, 0, std::string(dbEngineText(code))}});
}

} // namespace glb::backup
