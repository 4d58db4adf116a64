#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The poll entry of the platform (<poll.h>, or <winsock2.h> on Windows), where the caller
// includes it.
struct pollfd;

namespace glb::test {

/// The sockets the test servers of this folder (LoopbackHttpServer, TcpRelay) run on:
/// POSIX sockets, or Winsock on Windows, all on 127.0.0.1.

/// A socket of the platform: a descriptor, or a Winsock handle.
#ifdef _WIN32
using Socket = std::uintptr_t;
#else
using Socket = int;
#endif
inline constexpr Socket kNoSocket = static_cast<Socket>(-1);

/// A socket bound on 127.0.0.1 at a port the system picks; the port through `port`.
Socket bindOnLoopback(std::uint16_t& port);
/// A socket listening on 127.0.0.1 at a port the system picks; the port through `port`.
/// A `receiveBuffer` other than 0 is the SO_RCVBUF of the connections it accepts: set
/// before listening, so the window they offer their peer is that small from the start.
Socket listenOnLoopback(std::uint16_t& port, int receiveBuffer = 0);
/// A connection to 127.0.0.1:`port`, or kNoSocket when nothing takes it.
Socket connectOnLoopback(std::uint16_t port);
/// The next connection on `listener`, or kNoSocket.
Socket acceptConnection(Socket listener);

void closeSocket(Socket socket);
/// Closes `socket` with a reset (SO_LINGER 0): the peer's next read or write fails with
/// "connection reset" instead of seeing an orderly end.
void resetSocket(Socket socket);
/// Ends the sending direction: the peer reads the end of the stream, and can still send.
void shutdownSending(Socket socket);
void setNonBlocking(Socket socket);

/// Sends all of `data` over a blocking socket; false when the connection fails.
bool sendAll(Socket socket, std::string_view data);

/// What receiveSome and sendSome return besides a byte count (and 0, the end of the stream).
inline constexpr std::ptrdiff_t kWouldBlock = -1;
inline constexpr std::ptrdiff_t kFailed = -2;
/// One recv: the bytes received, 0 at the end of the stream, kWouldBlock or kFailed.
std::ptrdiff_t receiveSome(Socket socket, char* buffer, std::size_t size);
/// One send: the bytes sent, kWouldBlock or kFailed.
std::ptrdiff_t sendSome(Socket socket, std::string_view data);

/// poll (WSAPoll on Windows), taken up again when a signal interrupts it.
int pollSockets(pollfd* fds, std::size_t count, int timeoutMs);

/// A channel that wakes every thread polling its read end once signalled: a pipe, or on
/// Windows (where only sockets can be polled) a connected pair of loopback sockets.
struct WakeChannel
{
    WakeChannel();
    ~WakeChannel();
    WakeChannel(const WakeChannel&) = delete;
    WakeChannel& operator=(const WakeChannel&) = delete;

    /// Makes `readEnd` readable for good: its byte is never taken.
    void signal() const;

    Socket readEnd = kNoSocket;
    Socket writeEnd = kNoSocket;
};

} // namespace glb::test
