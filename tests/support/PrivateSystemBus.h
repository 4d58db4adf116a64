#pragma once

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

struct sd_bus;
struct sd_bus_message;

namespace glb::test {

/// A D-Bus daemon of the test's own that stands for the system bus: DBUS_SYSTEM_BUS_ADDRESS
/// points at it while the object lives. Unless `login1` is Absent, a stand-in for logind's
/// Manager owns org.freedesktop.login1 on it, served by a thread of this process, and answers
/// Inhibit as `login1` says. The constructor returns once both serve requests (the daemon
/// prints its address when it listens; the name is taken before the thread starts), and throws
/// std::runtime_error when the daemon cannot be started (it is Debian's dbus-daemon).
class PrivateSystemBus
{
public:
    enum class Login1
    {
        Absent,  ///< nobody owns the name: the bus answers that the service is unknown
        Grants,  ///< hands back the write end of a new pipe, as logind hands back its FIFO's
        Refuses, ///< answers with an access-denied error
        Silent,  ///< never answers
    };

    /// One Inhibit call as the stand-in received it.
    struct Inhibit
    {
        std::string what;
        std::string who;
        std::string why;
        std::string mode;
        /// Granted calls: the read end of the pipe, which sees end of file once every copy of
        /// the write end handed out is closed; -1 otherwise. Closed by this object.
        int farEnd = -1;
    };

    explicit PrivateSystemBus(Login1 login1);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    /// The Inhibit calls received so far, in order, once the stand-in has finished answering
    /// them (its own copies of a handed-out descriptor closed).
    std::vector<Inhibit> inhibits() const;

private:
    int answerManagerCall(sd_bus_message* call);
    void serve();
    void stop() noexcept;

    TempDir m_dir;
    std::string m_address;
    ScopedEnv m_systemBus;
    pid_t m_daemon = -1;
    Login1 m_login1;
    sd_bus* m_bus = nullptr;
    int m_stop = -1; ///< an eventfd that ends serve()
    std::thread m_server;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_answered;
    int m_answering = 0; ///< calls recorded whose answer is still being sent
    std::vector<Inhibit> m_inhibits;
};

/// Whether the far end of a granted inhibitor saw its write end closed everywhere (end of
/// file), waiting up to `timeoutMs` for it.
bool inhibitorReleased(int farEnd, int timeoutMs);

/// The descriptors of this process, `farEnd` left out, that refer to the pipe of `farEnd`.
std::vector<int> pipeEndsHeldHere(int farEnd);

} // namespace glb::test
