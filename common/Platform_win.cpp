#include "common/Error.h"
#include "common/Platform.h"
#include "common/Platform_p.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <limits>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>
#include <wininet.h>

namespace glb::platform {

using detail::utf8FromWide;
using detail::wideFromUtf8;

namespace {

// 100-ns intervals between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000LL;

// WinInet keeps the texts of its own codes in its module, not in the system table.
constexpr DWORD kFirstWinInetCode = 12000;
constexpr DWORD kLastWinInetCode = 12175;

// Without the "\\?\" prefix, paths of this many UTF-16 units or more are refused.
constexpr std::size_t kMaxPathWithoutPrefix = 248;

std::int64_t ticksOf(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<std::int64_t>(value.QuadPart);
}

// Seconds since 1970, rounded towards the past so that times before 1970 stay exact.
std::int64_t unixSecondsOf(const FILETIME& time)
{
    const std::int64_t ticks = ticksOf(time) - kFileTimeUnixEpoch;
    std::int64_t seconds = ticks / kFileTimeTicksPerSecond;
    if (ticks % kFileTimeTicksPerSecond < 0) {
        --seconds;
    }
    return seconds;
}

std::optional<FILETIME> fileTimeOf(std::int64_t unixSeconds)
{
    constexpr std::int64_t kMinSeconds = -kFileTimeUnixEpoch / kFileTimeTicksPerSecond;
    constexpr std::int64_t kMaxSeconds =
        (std::numeric_limits<std::int64_t>::max() - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond;
    if (unixSeconds < kMinSeconds || unixSeconds > kMaxSeconds) {
        return std::nullopt;
    }
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(unixSeconds * kFileTimeTicksPerSecond + kFileTimeUnixEpoch);
    FILETIME time;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

HANDLE asHandle(void* handle)
{
    return static_cast<HANDLE>(handle);
}

// A text value longer than this is no proxy setting; it is taken as absent.
constexpr DWORD kMaxSettingBytes = 64 * 1024;

/// The text value `name` of `key` as UTF-8; empty when it is absent, not text or too long.
std::string registryText(HKEY key, const wchar_t* name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxSettingBytes) {
        return {};
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = size;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &read) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(std::min<std::size_t>(read / sizeof(wchar_t), value.size()));
    // A stored value may or may not end in its terminator.
    value.resize(std::wcslen(value.c_str()));
    return utf8FromWide(value).value_or(std::string());
}

} // namespace

std::wstring detail::wideFromUtf8(std::string_view text, bool strict)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int count = ::MultiByteToWideChar(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), wide.data(), count);
    return wide;
}

std::optional<std::string> detail::utf8FromWide(std::wstring_view text)
{
    if (text.empty()) {
        return std::string();
    }
    const int count =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return std::nullopt;
    }
    std::string utf8(static_cast<std::size_t>(count), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), count, nullptr, nullptr);
    return utf8;
}

std::filesystem::path executableDirectory()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::filesystem::current_path();
        }
        // A full buffer means the name may have been cut: try again with more room.
        if (length < buffer.size()) {
            return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path driveRoot(char letter)
{
    const wchar_t upper =
        (letter >= 'a' && letter <= 'z') ? static_cast<wchar_t>(letter - 'a' + 'A') : static_cast<wchar_t>(letter);
    return std::filesystem::path(std::wstring{upper, L':', L'\\'});
}

std::filesystem::path fixedPath(std::string_view windowsPath)
{
    // Windows is where the fixed paths come from: they are used as they stand.
    return std::filesystem::path(wideFromUtf8(windowsPath));
}

bool internetConnected()
{
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != FALSE;
}

bool internetAttemptConnect()
{
    return ::InternetAttemptConnect(0) == ERROR_SUCCESS;
}

std::optional<InternetProxySettings> internetProxySettings()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                        KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    InternetProxySettings settings;
    DWORD enable = 0;
    DWORD type = 0;
    DWORD size = sizeof enable;
    // A DWORD; some tools store it as four binary bytes.
    if (::RegQueryValueExW(key, L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enable), &size) ==
            ERROR_SUCCESS &&
        (type == REG_DWORD || type == REG_BINARY) && size == sizeof enable) {
        settings.enabled = enable != 0;
    }
    settings.server = registryText(key, L"ProxyServer");
    settings.bypass = registryText(key, L"ProxyOverride");
    settings.autoConfigUrl = registryText(key, L"AutoConfigURL");
    ::RegCloseKey(key);
    detail::addUserAutomaticConfiguration(settings.autoDetect, settings.autoConfigUrl);
    return settings;
}

int lastErrorCode()
{
    return static_cast<int>(::GetLastError());
}

std::string detail::nativeErrorText(int code)
{
    const auto systemCode = static_cast<DWORD>(code);
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE module = nullptr;
    if (systemCode >= kFirstWinInetCode && systemCode <= kLastWinInetCode) {
        module = ::GetModuleHandleW(L"wininet.dll");
        if (module != nullptr) {
            flags |= FORMAT_MESSAGE_FROM_HMODULE; // searched before the system table
        }
    }
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(flags, module, systemCode, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return {};
    }
    std::optional<std::string> utf8 = utf8FromWide(std::wstring_view(text, length));
    ::LocalFree(text);
    return utf8.value_or(std::string());
}

bool pathTooLong(const std::filesystem::path& path)
{
    const std::wstring& text = path.native();
    return text.size() >= kMaxPathWithoutPrefix && text.rfind(L"\\\\?\\", 0) != 0;
}

bool listFolder(const std::filesystem::path& folder, const std::function<bool(const std::filesystem::path&)>& visit,
                int* openError)
{
    WIN32_FIND_DATAW found;
    const std::filesystem::path pattern = folder / L"*";
    const HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        // The root of an empty drive has no "." or "..": nothing matches, yet it is a folder.
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return true;
        }
        if (openError != nullptr) {
            *openError = static_cast<int>(code);
        }
        return false;
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(find, ::FindClose);
    for (;;) {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L".." && !visit(folder / name)) {
            return true;
        }
        if (::FindNextFileW(find, &found) == FALSE) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_NO_MORE_FILES) {
                return true;
            }
            throw EFolderReadError::forFolder(folder, static_cast<int>(code));
        }
    }
}

std::string fileNameKey(std::string_view utf8)
{
    // NTFS compares names unit by unit through its table of upper cases, which the
    // invariant upper-case mapping follows.
    // Text that is not UTF-8 is its own key: with its bytes replaced, two such names would
    // share one.
    const std::wstring wide = wideFromUtf8(utf8, true);
    if (wide.empty() || wide.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::string(utf8);
    }
    const int length = static_cast<int>(wide.size());
    std::wstring upper(wide.size(), L'\0');
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), length, upper.data(), length, nullptr,
                        nullptr, 0) != length) {
        return std::string(utf8);
    }
    return utf8FromWide(upper).value_or(std::string(utf8));
}

void raiseOpenFileLimit()
{
    // Handles have no per-process limit of this kind.
}

std::optional<std::size_t> openFileRoom()
{
    return std::nullopt;
}

std::optional<LocalTime> utcToLocalWithCurrentOffset(std::int64_t utcSeconds)
{
    // FileTimeToLocalFileTime applies the bias in force now, whatever the date converted.
    const std::optional<FILETIME> utc = fileTimeOf(utcSeconds);
    if (!utc) {
        return std::nullopt;
    }
    FILETIME local;
    SYSTEMTIME civil;
    if (::FileTimeToLocalFileTime(&*utc, &local) == FALSE || ::FileTimeToSystemTime(&local, &civil) == FALSE) {
        return std::nullopt;
    }
    return LocalTime{civil.wYear, civil.wMonth, civil.wDay, civil.wHour, civil.wMinute, civil.wSecond};
}

std::optional<std::string> decodeCodePage(int codePage, std::string_view bytes)
{
    if (codePage <= 0 || ::IsValidCodePage(static_cast<UINT>(codePage)) == FALSE) {
        return std::nullopt;
    }
    if (bytes.empty()) {
        return std::string();
    }
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const auto page = static_cast<UINT>(codePage);
    const int inLength = static_cast<int>(bytes.size());
    const int count = ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), inLength, nullptr, 0);
    if (count <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    if (::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), inLength, wide.data(), count) != count) {
        return std::nullopt;
    }
    return utf8FromWide(wide);
}

File File::open(const std::filesystem::path& path, OpenMode mode, Sharing sharing, int& errorCode)
{
    errorCode = 0;
    const bool createNew = mode == OpenMode::CreateNewRW;
    const bool writing = mode == OpenMode::CreateOrTruncateRW || createNew;
    const bool noLink = mode != OpenMode::Read;
    const DWORD access = GENERIC_READ | (writing ? GENERIC_WRITE : 0);
    const DWORD share = sharing == Sharing::Exclusive     ? 0
                        : sharing == Sharing::ReadersOnly ? FILE_SHARE_READ
                                                          : FILE_SHARE_READ | FILE_SHARE_WRITE;
    // OPEN_ALWAYS, not CREATE_ALWAYS: a file held by another process is refused before
    // a single byte of it is lost; it is emptied only once the handle is ours and has
    // been looked at. Where no link may be followed, a reparse point (a link, a junction) is
    // opened as itself and refused, so nothing is created, emptied or read where it points.
    // CREATE_NEW opens nothing that exists (ERROR_FILE_EXISTS), a link included.
    const DWORD disposition = createNew ? CREATE_NEW : writing ? OPEN_ALWAYS : OPEN_EXISTING;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (noLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE handle = ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errorCode = lastErrorCode();
        return File();
    }
    File file(handle);
    // Devices, consoles and pipes are no files (and may never end).
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        errorCode = kErrorNotAFile;
        return File();
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileInformationByHandle(handle, &info) == FALSE) {
        errorCode = lastErrorCode();
        return File();
    }
    if (noLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        errorCode = kErrorLink;
        return File();
    }
    if (writing && info.nNumberOfLinks > 1) {
        errorCode = kErrorOtherNames;
        return File();
    }
    if (writing && ::SetEndOfFile(handle) == FALSE) {
        errorCode = lastErrorCode();
        return File();
    }
    return file;
}

std::ptrdiff_t File::read(void* buffer, std::size_t size)
{
    const DWORD wanted = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (::ReadFile(asHandle(m_handle), buffer, wanted, &got, nullptr) == FALSE) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t File::write(const void* buffer, std::size_t size)
{
    std::size_t done = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (done < size) {
        const std::size_t rest = size - done;
        const DWORD piece = rest > MAXDWORD ? MAXDWORD : static_cast<DWORD>(rest);
        DWORD written = 0;
        if (::WriteFile(asHandle(m_handle), bytes + done, piece, &written, nullptr) == FALSE) {
            return done > 0 ? static_cast<std::ptrdiff_t>(done) : -1;
        }
        if (written == 0) {
            break;
        }
        done += written;
    }
    return static_cast<std::ptrdiff_t>(done);
}

bool File::seek(std::int64_t offset)
{
    if (offset < 0) {
        return false;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return ::SetFilePointerEx(asHandle(m_handle), distance, nullptr, FILE_BEGIN) != FALSE;
}

std::int64_t File::position() const
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER current;
    if (::SetFilePointerEx(asHandle(m_handle), zero, &current, FILE_CURRENT) == FALSE) {
        return -1;
    }
    return current.QuadPart;
}

std::int64_t File::size() const
{
    LARGE_INTEGER bytes;
    if (::GetFileSizeEx(asHandle(m_handle), &bytes) == FALSE) {
        return -1;
    }
    return bytes.QuadPart;
}

std::optional<std::int64_t> File::lastWriteTimeUtc() const
{
    FILETIME written;
    if (::GetFileTime(asHandle(m_handle), nullptr, nullptr, &written) == FALSE) {
        return std::nullopt;
    }
    return unixSecondsOf(written);
}

std::optional<FileIdentity> File::identity() const
{
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO times;
    if (::GetFileInformationByHandle(asHandle(m_handle), &info) == FALSE ||
        ::GetFileInformationByHandleEx(asHandle(m_handle), FileBasicInfo, &times, sizeof times) == FALSE) {
        return std::nullopt;
    }
    ULARGE_INTEGER index;
    index.LowPart = info.nFileIndexLow;
    index.HighPart = info.nFileIndexHigh;
    ULARGE_INTEGER size;
    size.LowPart = info.nFileSizeLow;
    size.HighPart = info.nFileSizeHigh;
    return FileIdentity{info.dwVolumeSerialNumber, index.QuadPart, static_cast<std::int64_t>(size.QuadPart),
                        times.LastWriteTime.QuadPart, times.ChangeTime.QuadPart};
}

void File::close() noexcept
{
    if (m_handle != kInvalid) {
        ::CloseHandle(asHandle(m_handle));
        m_handle = kInvalid;
    }
}

namespace {

// The KeepAwake objects alive on this thread: the execution state is the thread's, and the
// first object sets it for them all, the last one clears it.
thread_local int t_keepAwakeObjects = 0;

} // namespace

namespace detail {

bool acquireKeepAwake(std::intptr_t& /*handle*/)
{
    if (t_keepAwakeObjects == 0 && ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        return false;
    }
    ++t_keepAwakeObjects;
    return true;
}

void releaseKeepAwake(std::intptr_t /*handle*/) noexcept
{
    if (--t_keepAwakeObjects == 0) {
        ::SetThreadExecutionState(ES_CONTINUOUS);
    }
}

} // namespace detail

} // namespace glb::platform
