#include "common/Error.h"
#include "common/Platform.h"
#include "common/Platform_p.h"
#include "common/Utf8.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iconv.h>
#include <iterator>
#include <memory>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace glb::platform {

namespace {

std::string readWholeTextFile(const char* path, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    if (!ok) {
        return {};
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The code for an open of `path` that failed with `code`, told plainly where open() names
// a link (ELOOP, under O_NOFOLLOW) or an entry that is no file (ENXIO, a socket)
// with a text that would puzzle the reader.
int plainOpenError(const std::filesystem::path& path, int code, bool noLink)
{
    if (code != ELOOP && code != ENXIO) {
        return code;
    }
    struct stat st
    {
    };
    if ((noLink ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) != 0) {
        return code;
    }
    if (S_ISLNK(st.st_mode)) {
        return kErrorLink;
    }
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ? code : kErrorNotAFile;
}

} // namespace

std::filesystem::path executableDirectory()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::filesystem::current_path();
    }
    return exe.parent_path();
}

std::filesystem::path driveRoot(char letter)
{
    std::filesystem::path prefix;
    if (const char* wine = std::getenv("WINEPREFIX"); wine != nullptr && *wine != '\0') {
        prefix = wine;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        prefix = std::filesystem::path(home) / ".wine";
    } else {
        prefix = ".wine";
    }
    const char lower = (letter >= 'A' && letter <= 'Z') ? static_cast<char>(letter - 'A' + 'a') : letter;
    return prefix / "dosdevices" / (std::string(1, lower) + ":");
}

std::filesystem::path fixedPath(std::string_view windowsPath)
{
    std::filesystem::path result;
    std::string_view rest = windowsPath;
    if (rest.size() >= 2 && rest[1] == ':') {
        result = driveRoot(rest[0]);
        rest.remove_prefix(2);
    }
    std::string native(rest);
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (!native.empty() && native.front() == '/') {
        native.erase(native.begin());
    }
    if (result.empty()) {
        return native;
    }
    // Keep a trailing separator: "C:\Glebarium\Fazendas\" is a folder prefix.
    return native.empty() ? result / "" : result / native;
}

bool internetConnected()
{
    bool ok4 = false;
    bool ok6 = false;
    const std::string v4 = readWholeTextFile("/proc/net/route", ok4);
    const std::string v6 = readWholeTextFile("/proc/net/ipv6_route", ok6);
    return routeTablesHaveDefaultRoute(ok4 ? v4 : std::string(), ok6 ? v6 : std::string());
}

bool internetAttemptConnect()
{
    return true;
}

std::optional<InternetProxySettings> internetProxySettings()
{
    return std::nullopt;
}

std::optional<InternetProxySettings> automaticProxySettings(const InternetProxySettings& /*settings*/,
                                                            std::string_view /*url*/)
{
    return std::nullopt;
}

int lastErrorCode()
{
    return errno;
}

std::string detail::nativeErrorText(int code)
{
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string();
}

bool pathTooLong(const std::filesystem::path& path)
{
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX) {
        return true;
    }
    for (const auto& part : path) {
        if (part.native().size() > NAME_MAX) {
            return true;
        }
    }
    return false;
}

bool listFolder(const std::filesystem::path& folder, const std::function<bool(const std::filesystem::path&)>& visit,
                int* openError)
{
    DIR* const dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        if (openError != nullptr) {
            *openError = errno;
        }
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    for (;;) {
        // readdir() tells the end from a failure only through errno.
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                throw EFolderReadError::forFolder(folder, errno);
            }
            return true;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (!visit(folder / name)) {
            return true;
        }
    }
}

namespace {

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0U | (c >> 6U));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0U | (c >> 12U));
        out += static_cast<char>(0x80U | ((c >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    } else {
        out += static_cast<char>(0xF0U | (c >> 18U));
        out += static_cast<char>(0x80U | ((c >> 12U) & 0x3FU));
        out += static_cast<char>(0x80U | ((c >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (c & 0x3FU));
    }
}

/// The C library's Unicode case tables, whatever locale the program runs in; none where the
/// system lacks them (then only ASCII letters fold).
locale_t unicodeCaseLocale()
{
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

std::string fileNameKey(std::string_view utf8)
{
    const locale_t locale = unicodeCaseLocale();
    std::string key;
    key.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        const Utf8Step step = readUtf8(utf8, at);
        if (!step.wellFormed()) {
            return std::string(utf8);
        }
        at += step.length;
        char32_t c = step.codePoint;
        if (c == U'\u00DF' || c == U'\u1E9E') { // ß and ẞ fold to "ss" where folding is full
            key += "ss";
            continue;
        }
        if (locale != nullptr) {
            c = static_cast<char32_t>(::towlower_l(::towupper_l(static_cast<wint_t>(c), locale), locale));
        } else if (c >= U'A' && c <= U'Z') {
            c = c - U'A' + U'a';
        }
        appendUtf8(key, c);
    }
    return key;
}

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::optional<std::size_t> openFileRoom()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    // The descriptors in use: the entries of /proc/self/fd, but for the one that lists them.
    std::size_t open = 0;
    if (DIR* const fds = ::opendir("/proc/self/fd"); fds != nullptr) {
        while (const dirent* entry = ::readdir(fds)) {
            open += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(fds);
        open -= open > 0 ? 1 : 0;
    }
    const auto cap = static_cast<std::size_t>(limit.rlim_cur);
    return cap > open ? cap - open : 0;
}

std::optional<LocalTime> utcToLocalWithCurrentOffset(std::int64_t utcSeconds)
{
    const std::time_t now = std::time(nullptr);
    std::tm nowLocal{};
    if (localtime_r(&now, &nowLocal) == nullptr) {
        return std::nullopt;
    }
    const std::int64_t shifted = utcSeconds + nowLocal.tm_gmtoff;
    const auto asTime = static_cast<std::time_t>(shifted);
    std::tm broken{};
    if (gmtime_r(&asTime, &broken) == nullptr) {
        return std::nullopt;
    }
    return LocalTime{broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday,
                     broken.tm_hour,        broken.tm_min,     broken.tm_sec};
}

std::optional<std::string> decodeCodePage(int codePage, std::string_view bytes)
{
    if (codePage <= 0) {
        return std::nullopt;
    }
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    // iconv_open reports failure as (iconv_t)-1.
    if (cd == reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr)
        return std::nullopt;
    }
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<std::size_t>(-1)) {
        return std::nullopt;
    }
    out.resize(out.size() - outLeft);
    return out;
}

File File::open(const std::filesystem::path& path, OpenMode mode, Sharing sharing, int& errorCode)
{
    errorCode = 0;
    const bool createNew = mode == OpenMode::CreateNewRW;
    const bool writing = mode == OpenMode::CreateOrTruncateRW || createNew;
    const bool noLink = mode != OpenMode::Read;
    // Without waiting: opening a FIFO for reading would wait for a writer. The archive is
    // never created or emptied through a link, which could point anywhere; with O_EXCL
    // nothing that exists is opened at all, a link included.
    const int flags = (writing ? (O_RDWR | O_CREAT) : O_RDONLY) | (createNew ? O_EXCL : 0) | (noLink ? O_NOFOLLOW : 0) |
                      O_NONBLOCK | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        errorCode = plainOpenError(path, errno, noLink);
        return File();
    }
    File file(fd);
    // Told by the open file itself, so nothing can be swapped in between.
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        errorCode = errno;
        return File();
    }
    // open() lets a folder be opened for reading; Windows refuses that, and so do we, so a
    // folder is never taken for a file's contents.
    if (S_ISDIR(st.st_mode)) {
        errorCode = EISDIR;
        return File();
    }
    if (!S_ISREG(st.st_mode)) {
        errorCode = kErrorNotAFile;
        return File();
    }
    if (writing && st.st_nlink > 1) {
        errorCode = kErrorOtherNames;
        return File();
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        errorCode = errno;
        return File();
    }
    // Never truncate before the lock is ours: a file another process holds stays untouched.
    const int lock = (sharing == Sharing::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (sharing != Sharing::ReadWrite && ::flock(fd, lock) != 0) {
        errorCode = errno;
        return File();
    }
    // A file this call created is empty already; truncating it anyway would make ext4 write it
    // out on close (its guard for files rewritten from empty), which costs every archive's
    // close and removal tens of milliseconds.
    if (writing && !createNew && ::ftruncate(fd, 0) != 0) {
        errorCode = errno;
        return File();
    }
    return file;
}

std::ptrdiff_t File::read(void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(m_handle, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

std::ptrdiff_t File::write(const void* buffer, std::size_t size)
{
    std::size_t done = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (done < size) {
        const ssize_t n = ::write(m_handle, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<std::ptrdiff_t>(done) : -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::ptrdiff_t>(done);
}

bool File::seek(std::int64_t offset)
{
    return ::lseek(m_handle, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

std::int64_t File::position() const
{
    return ::lseek(m_handle, 0, SEEK_CUR);
}

std::int64_t File::size() const
{
    struct stat st
    {
    };
    if (::fstat(m_handle, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

std::optional<std::int64_t> File::lastWriteTimeUtc() const
{
    struct stat st
    {
    };
    if (::fstat(m_handle, &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

std::optional<FileIdentity> File::identity() const
{
    struct stat st
    {
    };
    if (::fstat(m_handle, &st) != 0) {
        return std::nullopt;
    }
    constexpr std::int64_t kNanoseconds = 1000000000;
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::int64_t>(st.st_size),
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * kNanoseconds + st.st_mtim.tv_nsec,
                        static_cast<std::int64_t>(st.st_ctim.tv_sec) * kNanoseconds + st.st_ctim.tv_nsec};
}

void File::close() noexcept
{
    if (m_handle != kInvalid) {
        ::close(m_handle);
        m_handle = kInvalid;
    }
}

namespace {

// How long the request to logind may hold the caller, connection included: a bus that hangs
// must not delay the send it is to keep awake.
constexpr std::chrono::microseconds kInhibitTimeout = std::chrono::seconds(2);

// logind's answer to Inhibit: the descriptor that holds the inhibitor, ours to keep.
struct InhibitAnswer
{
    bool answered = false;
    int descriptor = -1;
};

int takeInhibitAnswer(sd_bus_message* reply, void* userData, sd_bus_error* /*error*/)
{
    auto& answer = *static_cast<InhibitAnswer*>(userData);
    answer.answered = true;
    int descriptor = -1;
    // The descriptor belongs to the reply and is closed with it: ours is a copy.
    if (sd_bus_message_is_method_error(reply, nullptr) == 0 && sd_bus_message_read(reply, "h", &descriptor) > 0) {
        answer.descriptor = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    }
    return 0;
}

} // namespace

namespace detail {

bool acquireKeepAwake(std::intptr_t& handle)
{
    const auto deadline = std::chrono::steady_clock::now() + kInhibitTimeout;
    sd_bus* rawBus = nullptr;
    if (sd_bus_open_system(&rawBus) < 0) {
        return false;
    }
    const std::unique_ptr<sd_bus, decltype(&sd_bus_close_unref)> bus(rawBus, &sd_bus_close_unref);
    sd_bus_set_method_call_timeout(bus.get(), static_cast<std::uint64_t>(kInhibitTimeout.count()));
    InhibitAnswer answer;
    sd_bus_slot* rawSlot = nullptr;
    if (sd_bus_call_method_async(bus.get(), &rawSlot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", &takeInhibitAnswer, &answer, "ssss",
                                 "sleep", "Backup Glebarium", "Enviando backup", "block") < 0) {
        return false;
    }
    // Given up before the bus: an answer that comes late is never handed to `answer`.
    const std::unique_ptr<sd_bus_slot, decltype(&sd_bus_slot_unref)> slot(rawSlot, &sd_bus_slot_unref);
    // The connection, its authentication and the call, all within the one deadline: the bus
    // library would wait on the first two for as long as the bus keeps silent.
    while (!answer.answered) {
        const int processed = sd_bus_process(bus.get(), nullptr);
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (processed < 0 || left.count() <= 0) {
            break;
        }
        if (processed == 0 && sd_bus_wait(bus.get(), static_cast<std::uint64_t>(left.count())) < 0) {
            break;
        }
    }
    if (answer.descriptor < 0) {
        return false;
    }
    handle = answer.descriptor;
    return true;
}

void releaseKeepAwake(std::intptr_t handle) noexcept
{
    ::close(static_cast<int>(handle));
}

} // namespace detail

} // namespace glb::platform
