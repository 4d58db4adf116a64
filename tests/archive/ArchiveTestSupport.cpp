#include "tests/archive/ArchiveTestSupport.h"

#include "archive/ZipFile.h"
#include "common/Error.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#endif

namespace glb::test {

std::string textBytes(std::size_t size)
{
    static constexpr std::array<const char*, 8> kWords = {"fazenda ", "safra ", "gado ", "colheita ",
                                                          "talhão ",  "2026 ",  "lote ", "pasto\n"};
    std::mt19937 generator(7);
    std::string text;
    while (text.size() < size) {
        text += kWords[generator() % kWords.size()];
    }
    text.resize(size);
    return text;
}

void setLastWriteTime(const std::filesystem::path& path, std::int64_t utcSeconds)
{
#ifdef _WIN32
    // FILETIME counts 100-ns steps from 1601-01-01.
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>((utcSeconds + 11644473600LL) * 10000000LL);
    const FILETIME time{ticks.LowPart, ticks.HighPart};
    const HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool set = file != INVALID_HANDLE_VALUE && ::SetFileTime(file, nullptr, &time, &time) != FALSE;
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
    }
    if (!set) {
        throw std::runtime_error("SetFileTime failed for " + pathText(path));
    }
#else
    const std::array<timespec, 2> times{timespec{static_cast<time_t>(utcSeconds), 0},
                                        timespec{static_cast<time_t>(utcSeconds), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times.data(), 0) != 0) {
        throw std::runtime_error("utimensat failed for " + path.string());
    }
#endif
}

std::int64_t utcSeconds(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
#ifdef _WIN32
    return static_cast<std::int64_t>(::_mkgmtime64(&t));
#else
    return static_cast<std::int64_t>(::timegm(&t));
#endif
}

std::string describe(const std::exception& error)
{
    const auto named = [&](const char* name) { return std::string(name) + ": " + error.what(); };
    if (dynamic_cast<const archive::EZipException*>(&error) != nullptr) {
        return named("EZipException");
    }
    if (dynamic_cast<const archive::EZipStopped*>(&error) != nullptr) {
        return named("EZipStopped");
    }
    if (dynamic_cast<const archive::EZCompressionError*>(&error) != nullptr) {
        return named("EZCompressionError");
    }
    if (dynamic_cast<const EFCreateError*>(&error) != nullptr) {
        return named("EFCreateError");
    }
    if (dynamic_cast<const EFOpenError*>(&error) != nullptr) {
        return named("EFOpenError");
    }
    if (dynamic_cast<const EReadError*>(&error) != nullptr) {
        return named("EReadError");
    }
    if (dynamic_cast<const EWriteError*>(&error) != nullptr) {
        return named("EWriteError");
    }
    if (dynamic_cast<const EPathTooLongException*>(&error) != nullptr) {
        return named("EPathTooLongException");
    }
    return named("std::exception");
}

} // namespace glb::test
