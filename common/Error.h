#pragma once

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace glb {

/// Base of every error the system raises. Holds its message as UTF-8 text.
/// Errors travel up to the window's single guard (app/CommandGuard.h), which shows
/// the message; nothing in between catches them.
class Error : public std::exception
{
public:
    explicit Error(std::string message)
        : m_message(std::make_shared<const std::string>(std::move(message)))
    {
    }

    const char* what() const noexcept override { return m_message->c_str(); }
    const std::string& message() const noexcept { return *m_message; }

private:
    // Shared so that copying an error never throws.
    std::shared_ptr<const std::string> m_message;
};

/// The silent abort error: reaches the guard like any other error, which shows nothing for it.
class EAbort : public Error
{
public:
    EAbort()
        : Error("Operation aborted")
    {
    }
};

/// A file could not be created (or truncated) for writing.
class EFCreateError : public Error
{
public:
    using Error::Error;
    /// "Cannot create file "%s". %s" with the full path and the system's text for `systemCode`.
    static EFCreateError forPath(const std::filesystem::path& path, int systemCode);
};

/// A file could not be opened for reading.
class EFOpenError : public Error
{
public:
    using Error::Error;
    /// "Cannot open file "%s". %s" with the full path and the system's text for `systemCode`.
    static EFOpenError forPath(const std::filesystem::path& path, int systemCode);
};

/// A folder's listing failed after it had started, so what it yielded is not the whole folder.
class EFolderReadError : public Error
{
public:
    using Error::Error;
    /// "Não foi possível ler a pasta "%s". %s" with the folder's path and the system's text for `systemCode`.
    static EFolderReadError forFolder(const std::filesystem::path& folder, int systemCode);
};

/// A stream yielded fewer bytes than required.
class EReadError : public Error
{
public:
    using Error::Error;
    /// "Stream read error", for a stream that is no file.
    static EReadError streamRead() { return EReadError("Stream read error"); }
    /// "Stream read error on file "%s". %s" with the full path and the system's text for
    /// `systemCode` (left out when it is 0).
    static EReadError forFile(const std::filesystem::path& path, int systemCode);
};

/// A stream accepted fewer bytes than given.
class EWriteError : public Error
{
public:
    using Error::Error;
    /// "Stream write error on file "%s". %s" with the full path and the system's text for
    /// `systemCode` (left out when it is 0).
    static EWriteError forFile(const std::filesystem::path& path, int systemCode);
};

/// A path longer than the platform allows.
class EPathTooLongException : public Error
{
public:
    EPathTooLongException()
        : Error("The specified path is too long")
    {
    }
};

/// The path as UTF-8 text, for messages and names.
std::string pathText(const std::filesystem::path& path);

/// The path that UTF-8 text names. Text that is not UTF-8: on Linux its bytes as they
/// stand; on Windows, whose names are UTF-16, each ill-formed sequence as U+FFFD, so such
/// text names no file but one that has U+FFFD in its name.
std::filesystem::path pathFromText(std::string_view utf8);

/// `value` as upper-case hexadecimal with at least `digits` digits ("%.4X" style).
std::string hexUpper(unsigned long value, int digits);

} // namespace glb
