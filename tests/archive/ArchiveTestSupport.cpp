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
#include <sys/wait.h>
#include <unistd.h>

namespace glb::test {

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xFFU);
    }
    return bytes;
}

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
    const std::array<timespec, 2> times{timespec{static_cast<time_t>(utcSeconds), 0},
                                        timespec{static_cast<time_t>(utcSeconds), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times.data(), 0) != 0) {
        throw std::runtime_error("utimensat failed for " + path.string());
    }
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
    return static_cast<std::int64_t>(::timegm(&t));
}

std::string describe(const std::exception& error)
{
    const auto named = [&](const char* name) { return std::string(name) + ": " + error.what(); };
    if (dynamic_cast<const archive::EZipException*>(&error) != nullptr) {
        return named("EZipException");
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

LockingProcess::LockingProcess(const std::filesystem::path& path, bool exclusive)
{
    std::array<int, 2> toChild{};
    std::array<int, 2> fromChild{};
    if (::pipe2(toChild.data(), O_CLOEXEC) != 0 || ::pipe2(fromChild.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        // flock(1) takes the lock, then runs the command: report, then hold until stdin closes.
        ::execlp("flock", "flock", exclusive ? "-x" : "-s", path.c_str(), "-c", "echo ready; read line",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_release = toChild[1];
    std::string said;
    std::array<char, 16> buffer{};
    ssize_t n = 0;
    while (said.find('\n') == std::string::npos && (n = ::read(fromChild[0], buffer.data(), buffer.size())) > 0) {
        said.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fromChild[0]);
    if (said != "ready\n") {
        ::close(m_release);
        ::waitpid(m_pid, nullptr, 0);
        throw std::runtime_error("the locking process did not take the lock on " + path.string());
    }
}

LockingProcess::~LockingProcess()
{
    ::close(m_release);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
}

TimeZone::TimeZone(const std::string& tz)
{
    if (const char* old = std::getenv("TZ"); old != nullptr) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv("TZ", tz.c_str(), 1);
    ::tzset();
}

TimeZone::~TimeZone()
{
    if (m_hadOld) {
        ::setenv("TZ", m_old.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

} // namespace glb::test
