#include "tests/support/LockingProcess.h"

#include <array>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace glb::test {

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
        release();
        throw std::runtime_error("the locking process did not take the lock on " + path.string());
    }
}

LockingProcess::~LockingProcess()
{
    release();
}

void LockingProcess::release()
{
    if (m_release >= 0) {
        ::close(m_release);
        m_release = -1;
    }
    if (m_pid > 0) {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

} // namespace glb::test
