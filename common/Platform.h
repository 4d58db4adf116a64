#pragma once

// The platform layer: everything the core needs from the operating system, behind one
// small interface with one implementation per platform (Platform_linux.cpp,
// Platform_win.cpp). Nothing outside this layer includes a system header.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace glb::platform {

/// The directory of the running program file.
std::filesystem::path executableDirectory();

/// The folder that stands for the root of drive `letter` ("C" -> C:\). On Windows the
/// drive itself; elsewhere `$WINEPREFIX/dosdevices/<letter>:` (`$HOME/.wine` when
/// WINEPREFIX is unset), where Windows programs on this system find their drives.
std::filesystem::path driveRoot(char letter);

/// Maps one of the system's fixed Windows paths ("C:\Glebarium\Fazendas\") to a native
/// path: the drive becomes driveRoot(), every "\" the native separator. A trailing
/// separator is kept.
std::filesystem::path fixedPath(std::string_view windowsPath);

/// True when the system reports an Internet connection. Linux: a default route exists
/// in /proc/net/route or /proc/net/ipv6_route; anything unreadable counts as none.
bool internetConnected();

/// The pre-connection step of an HTTP exchange: asks the system to make an Internet
/// connection available (Windows: InternetAttemptConnect, which may dial a connection).
/// False when it cannot. Linux has no such facility: always true.
bool internetAttemptConnect();

/// The current user's Internet proxy settings as the system keeps them, as UTF-8 text: on
/// Windows the values ProxyEnable, ProxyServer, ProxyOverride and AutoConfigURL of the key
/// HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings, and what WinHTTP
/// reports of the user's automatic configuration.
struct InternetProxySettings
{
    bool enabled = false;      ///< ProxyEnable
    std::string server;        ///< ProxyServer: "host:port", or "http=host:port;https=host:port;..."
    std::string bypass;        ///< ProxyOverride: "<local>;*.example.com;10.*;..."
    bool autoDetect = false;   ///< "Automatically detect settings" (WPAD)
    std::string autoConfigUrl; ///< AutoConfigURL: the address of a proxy auto-config script
};

/// The proxy that automatic configuration (a PAC script, WPAD) names for `url` under
/// `settings`, as settings of their own: `enabled` with the proxies in `server` (the first
/// one is used) and the script's bypass list joined to the user's, or not `enabled` when it
/// says to go direct. None when the settings ask for no automatic configuration, or when the
/// script cannot be found, fetched or run (Windows: WinHTTP's WinHttpGetProxyForUrl; Linux
/// has none of this: always none).
std::optional<InternetProxySettings> automaticProxySettings(const InternetProxySettings& settings,
                                                            std::string_view url);

/// The current user's Internet proxy settings; none where the system keeps none for
/// programs to read (Linux: programs read the proxy variables of their environment).
std::optional<InternetProxySettings> internetProxySettings();

/// The route-table rule of internetConnected(), over the texts of /proc/net/route and
/// /proc/net/ipv6_route. Exposed for tests.
bool routeTablesHaveDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes);

/// The system's error code of the last failed call of this thread (errno / GetLastError).
int lastErrorCode();

/// The system's text for an error code, untrimmed (see glb::systemErrorText). The codes
/// of this layer's own refusals below get their texts here too.
std::string rawSystemErrorText(int code);

// Codes of this layer's own refusals, given where a system code would be. Bit 29 marks
// them: Windows leaves it to applications, and errno values never reach it.
/// "Não é um arquivo comum": a FIFO, a socket, a device, a console or a pipe.
inline constexpr int kErrorNotAFile = 0x20000001;
/// "É um link; links não são seguidos": a symbolic link (Windows: any reparse point).
inline constexpr int kErrorLink = 0x20000002;
/// "O arquivo tem outros nomes (links físicos)": a file that other names (hard links) share.
inline constexpr int kErrorOtherNames = 0x20000003;
/// "O arquivo terminou antes do tamanho que tinha ao ser aberto": a read found the end early.
inline constexpr int kErrorEndedEarly = 0x20000004;

/// True when `path` is longer than the platform allows for a file to be opened: on
/// Windows 248 characters or more without the "\\?\" prefix; on Linux PATH_MAX bytes
/// or more, or a name longer than NAME_MAX.
bool pathTooLong(const std::filesystem::path& path);

/// Visits every entry directly inside `folder` once, in the order the file system lists
/// them, "." and ".." left out. `visit` gets the entry's path (`folder` / its name), as
/// listed: nothing is followed or looked up, so the caller asks what the entry is; it
/// returns false to end the listing there. Returns false, having visited nothing, when the
/// folder cannot be opened at all (missing, not a folder, access refused); true otherwise.
/// Once the folder is open, a failure to read further raises EFolderReadError naming
/// `folder` with the system's text, after the entries before it were visited: a listing
/// that breaks off never passes for the whole folder. Errors raised by `visit` pass
/// through. The folder is closed in every case. When it cannot be opened, `openError` (if
/// given) gets the system's code.
bool listFolder(const std::filesystem::path& folder, const std::function<bool(const std::filesystem::path&)>& visit,
                int* openError = nullptr);

/// listFolder for a folder that is to be read whole: one that does not exist visits nothing
/// and returns false, but one that exists (or whose existence cannot be told) and cannot be
/// opened raises EFolderReadError naming it, as a listing that breaks off does.
bool listExistingFolder(const std::filesystem::path& folder,
                        const std::function<bool(const std::filesystem::path&)>& visit);

/// The key under which the file systems this program writes to may take the file name
/// `utf8` for the same name: two names with one key may be one file. Windows: the name in
/// upper case as NTFS compares names (each UTF-16 unit mapped by the invariant upper case).
/// Linux, where case-insensitive file systems fold in various ways (NTFS and exFAT mounts,
/// ext4 with casefold, shares of Windows servers): every character to the lower case of its
/// upper case, and "ß" to "ss", which makes one key of all the spellings any of them folds
/// to one name. Text that is not UTF-8 is its own key.
std::string fileNameKey(std::string_view utf8);

/// Raises this process's limit of open files to the most the system allows it (Linux: the
/// soft limit to the hard one). Windows has no such limit: nothing to do.
void raiseOpenFileLimit();

/// How many more files this process can hold open at once now; none when the system sets no
/// such limit (Windows).
std::optional<std::size_t> openFileRoom();

/// What a KeepAwake object asks of the system and gives back, as an observer set with
/// setKeepAwakeObserver() sees it.
struct KeepAwakeEvent
{
    enum class Kind
    {
        Requested, ///< an object asked the system not to sleep
        Released,  ///< the object went: what it held, if anything, is given back
    };
    Kind kind = Kind::Requested;
    /// Requested: whether the system granted it. Released: whether the object had held it.
    bool granted = false;
};

using KeepAwakeObserver = std::function<void(const KeepAwakeEvent&)>;

/// Sets the function that sees every request and release of a KeepAwake object, in this
/// process and on any thread (an empty one sees nothing); returns the one set before. The
/// observer runs under a lock, on the thread of the object: it must not throw, make a
/// KeepAwake or set the observer. Made for tests.
KeepAwakeObserver setKeepAwakeObserver(KeepAwakeObserver observer);

/// Keeps the system from sleeping while the object lives; the display may still turn off.
/// The request is made by the constructor and given back by the destructor, however the
/// scope is left. The system may refuse: nothing is held then, and nothing is raised.
/// Windows: the thread's execution state (SetThreadExecutionState, ES_SYSTEM_REQUIRED), which
/// belongs to the thread: the object must be destroyed on the thread that made it; objects
/// of one thread nest, the state staying set until the last of them goes. Linux: a "sleep"
/// inhibitor of logind, asked for over the system D-Bus within about two seconds, held as a
/// file descriptor until the object goes; with no system bus, no logind, or a refusal,
/// nothing is held.
class KeepAwake
{
public:
    KeepAwake();
    ~KeepAwake();
    KeepAwake(const KeepAwake&) = delete;
    KeepAwake& operator=(const KeepAwake&) = delete;

    /// Whether the system granted the request.
    bool held() const noexcept { return m_held; }

private:
    bool m_held = false;
    std::intptr_t m_handle = -1; ///< Linux: the inhibitor's file descriptor
};

/// A local civil time, as the archive writer stores it.
struct LocalTime
{
    int year = 0;
    int month = 0; ///< 1..12
    int day = 0;   ///< 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

/// Converts a UTC time (seconds since 1970-01-01) to local time with the time-zone
/// offset in force now, not the one in force at that date.
std::optional<LocalTime> utcToLocalWithCurrentOffset(std::int64_t utcSeconds);

/// Decodes single-byte text in Windows/DOS code page `codePage` (437, 850, 1252, ...)
/// into UTF-8. Empty when the code page is unknown to the platform or a byte has no
/// character in it.
std::optional<std::string> decodeCodePage(int codePage, std::string_view bytes);

/// How other processes may use a file while we hold it open.
enum class Sharing
{
    Exclusive,   ///< no other process may have it open (Windows share mode 0; Linux: exclusive flock)
    ReadersOnly, ///< others may read, nobody may write (Linux: shared flock)
    ReadWrite,   ///< others may read and write (Windows read+write share modes; Linux: no lock)
};

/// What File::open opens. Either way only a plain file is opened, and never by waiting:
/// a folder is refused with the folder error (EISDIR; Windows: access denied), anything
/// else that is no file (a FIFO, a socket, a device) with kErrorNotAFile.
enum class OpenMode
{
    /// An existing file, for reading; a link to it is followed (a farm's own files may be
    /// links, or on Windows placeholders of a cloud folder).
    Read,
    /// The same, but never through a link (kErrorLink; Windows: any reparse point): for the
    /// files of the staging folder, where a link can only have been planted.
    ReadNoLink,
    /// Created, or emptied when it exists, for reading and writing. Never through a link,
    /// dangling or not (kErrorLink; nothing is created where it points), and never a file
    /// that other names share (kErrorOtherNames), which would be emptied under them too.
    CreateOrTruncateRW,
    /// Created anew for reading and writing: an entry of that name that exists already (a
    /// file, a link, dangling or not) is refused with the system's "file exists" code and
    /// left as it is, so nothing is ever emptied or written through.
    CreateNewRW,
};

/// What tells one state of an open file from another: the file itself (device and file
/// number), its size and the times the system sets on every change of its content. A file
/// rewritten in place, even with the same size, gets another change time.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::int64_t size = 0;
    std::int64_t writeTime = 0;  ///< in the system's finest unit
    std::int64_t changeTime = 0; ///< in the system's finest unit

    bool operator==(const FileIdentity&) const = default;
};

/// An open file. POSIX locks are advisory: on Linux the sharing rules hold only against
/// processes that lock too; a plain open() elsewhere is not stopped.
class File
{
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    /// Opens `path`; on failure returns a closed File and stores the system code in `errorCode`.
    /// A file that another process holds against `sharing` is refused, never waited for.
    static File open(const std::filesystem::path& path, OpenMode mode, Sharing sharing, int& errorCode);

    bool isOpen() const noexcept { return m_handle != kInvalid; }

    /// Reads up to `size` bytes; the count read, 0 at end of file, -1 on error (see lastErrorCode()).
    std::ptrdiff_t read(void* buffer, std::size_t size);
    /// Writes up to `size` bytes; the count written (fewer when the device is full), -1 on error.
    std::ptrdiff_t write(const void* buffer, std::size_t size);
    /// Moves to an absolute offset; false on error.
    bool seek(std::int64_t offset);
    /// The current offset, or -1.
    std::int64_t position() const;
    /// The size in bytes, or -1.
    std::int64_t size() const;
    /// The last-write time in seconds since 1970-01-01 UTC, when it can be read.
    std::optional<std::int64_t> lastWriteTimeUtc() const;
    /// The file's identity as it stands now, when it can be read.
    std::optional<FileIdentity> identity() const;

    void close() noexcept;

private:
#ifdef _WIN32
    using Handle = void*;
    static inline Handle const kInvalid = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
    using Handle = int;
    static constexpr Handle kInvalid = -1;
#endif
    explicit File(Handle handle)
        : m_handle(handle)
    {
    }
    Handle m_handle = kInvalid;
};

} // namespace glb::platform
