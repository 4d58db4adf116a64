#include "tests/support/PrivateSystemBus.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace glb::test {

namespace {

std::string busConfig(const std::filesystem::path& socket)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <listen>unix:path=" +
           socket.string() +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

// Starts the daemon and returns once it listens: it prints its address then.
pid_t startDaemon(const std::filesystem::path& config)
{
    std::array<int, 2> fromChild{};
    if (::pipe2(fromChild.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const std::string configArgument = "--config-file=" + config.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Should the test die, the daemon ends too.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(fromChild[1], STDOUT_FILENO);
        // It warns that it may not raise its limit of open files, which is no matter here.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execl(GLB_DBUS_DAEMON, GLB_DBUS_DAEMON, configArgument.c_str(), "--nofork", "--nopidfile", "--print-address",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fromChild[1]);
    std::string said;
    std::array<char, 128> buffer{};
    ssize_t n = 0;
    while (said.find('\n') == std::string::npos && (n = ::read(fromChild[0], buffer.data(), buffer.size())) > 0) {
        said.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fromChild[0]);
    if (said.find('\n') == std::string::npos) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        throw std::runtime_error(std::string("could not start ") + GLB_DBUS_DAEMON +
                                 " (Debian package dbus-daemon) as a private system bus");
    }
    return pid;
}

std::uint64_t monotonicMicroseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    constexpr std::uint64_t kMicro = 1000000;
    constexpr std::uint64_t kNanoPerMicro = 1000;
    return static_cast<std::uint64_t>(now.tv_sec) * kMicro + static_cast<std::uint64_t>(now.tv_nsec) / kNanoPerMicro;
}

} // namespace

PrivateSystemBus::PrivateSystemBus(Login1 login1)
    : m_address("unix:path=" + (m_dir / "bus").string())
    , m_systemBus("DBUS_SYSTEM_BUS_ADDRESS", m_address)
    , m_login1(login1)
{
    writeFile(m_dir / "bus.conf", busConfig(m_dir / "bus"));
    m_daemon = startDaemon(m_dir / "bus.conf");
    if (login1 == Login1::Absent) {
        return;
    }
    try {
        if (sd_bus_new(&m_bus) < 0 || sd_bus_set_address(m_bus, m_address.c_str()) < 0 ||
            sd_bus_set_bus_client(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0 ||
            sd_bus_add_object(
                m_bus, nullptr, "/org/freedesktop/login1",
                [](sd_bus_message* call, void* self, sd_bus_error* /*error*/) {
                    return static_cast<PrivateSystemBus*>(self)->answerManagerCall(call);
                },
                this) < 0 ||
            sd_bus_request_name(m_bus, "org.freedesktop.login1", 0) < 0) {
            throw std::runtime_error("the stand-in for logind could not take its name on the private bus");
        }
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0) {
            throw std::runtime_error("eventfd failed");
        }
        m_server = std::thread([this] { serve(); });
    } catch (...) {
        stop();
        throw;
    }
}

PrivateSystemBus::~PrivateSystemBus()
{
    stop();
}

std::vector<PrivateSystemBus::Inhibit> PrivateSystemBus::inhibits() const
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_answered.wait_for(lock, std::chrono::seconds(5), [this] { return m_answering == 0; });
    return m_inhibits;
}

int PrivateSystemBus::answerManagerCall(sd_bus_message* call)
{
    if (sd_bus_message_is_method_call(call, "org.freedesktop.login1.Manager", "Inhibit") <= 0) {
        return 0; // the bus library answers that there is no such method
    }
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) {
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS, "Inhibit takes four strings");
    }
    int writeEnd = -1;
    Inhibit inhibit{what, who, why, mode, -1};
    if (m_login1 == Login1::Grants) {
        std::array<int, 2> ends{};
        if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
            return -errno;
        }
        inhibit.farEnd = ends[0];
        writeEnd = ends[1];
    }
    {
        // Recorded before the answer goes, which may be read at once; inhibits() waits for
        // the rest, the copies of the write end that this side holds while it answers.
        const std::lock_guard<std::mutex> guard(m_lock);
        m_inhibits.push_back(std::move(inhibit));
        ++m_answering;
    }
    int answered = 0;
    switch (m_login1) {
    case Login1::Grants:
        // The reply carries a copy of the write end; ours goes at once, as logind keeps only
        // the read end.
        answered = sd_bus_reply_method_return(call, "h", writeEnd);
        ::close(writeEnd);
        break;
    case Login1::Refuses:
        answered = sd_bus_reply_method_errorf(call, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
        break;
    case Login1::Silent:
    case Login1::Absent:
        break;
    }
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        --m_answering;
    }
    m_answered.notify_all();
    return answered < 0 ? answered : 1;
}

void PrivateSystemBus::serve()
{
    for (;;) {
        const int processed = sd_bus_process(m_bus, nullptr);
        if (processed < 0) {
            return;
        }
        if (processed > 0) {
            continue;
        }
        std::uint64_t until = UINT64_MAX;
        int timeoutMs = -1;
        if (sd_bus_get_timeout(m_bus, &until) > 0 && until != UINT64_MAX) {
            const std::uint64_t now = monotonicMicroseconds();
            constexpr std::uint64_t kMicroPerMilli = 1000;
            timeoutMs = until <= now ? 0 : static_cast<int>((until - now + kMicroPerMilli - 1) / kMicroPerMilli);
        }
        std::array<pollfd, 2> watched{};
        watched[0] = {sd_bus_get_fd(m_bus), static_cast<short>(sd_bus_get_events(m_bus)), 0};
        watched[1] = {m_stop, POLLIN, 0};
        if (::poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
    }
}

void PrivateSystemBus::stop() noexcept
{
    if (m_server.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_stop, &one, sizeof one);
        m_server.join();
    }
    if (m_stop >= 0) {
        ::close(m_stop);
        m_stop = -1;
    }
    if (m_bus != nullptr) {
        m_bus = sd_bus_close_unref(m_bus);
    }
    if (m_daemon > 0) {
        ::kill(m_daemon, SIGTERM);
        int status = 0;
        ::waitpid(m_daemon, &status, 0);
        m_daemon = -1;
    }
    for (const auto& inhibit : m_inhibits) {
        if (inhibit.farEnd >= 0) {
            ::close(inhibit.farEnd);
        }
    }
    m_inhibits.clear();
}

bool inhibitorReleased(int farEnd, int timeoutMs)
{
    pollfd watched{farEnd, POLLIN, 0};
    return ::poll(&watched, 1, timeoutMs) == 1 && (watched.revents & POLLHUP) != 0;
}

std::vector<int> pipeEndsHeldHere(int farEnd)
{
    struct stat pipe
    {
    };
    std::vector<int> held;
    if (::fstat(farEnd, &pipe) != 0) {
        return held;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int descriptor = std::atoi(entry.path().filename().c_str());
        struct stat other
        {
        };
        if (descriptor != farEnd && ::fstat(descriptor, &other) == 0 && other.st_dev == pipe.st_dev &&
            other.st_ino == pipe.st_ino) {
            held.push_back(descriptor);
        }
    }
    return held;
}

} // namespace glb::test
