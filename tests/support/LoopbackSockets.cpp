#include "tests/support/LoopbackSockets.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace glb::test {

namespace {

#ifdef _WIN32
// Winsock under the POSIX names used here.
constexpr int MSG_NOSIGNAL = 0;
constexpr int SOCK_CLOEXEC = 0;
constexpr int SHUT_WR = SD_SEND;
using socklen_t = int;

int lastError()
{
    return ::WSAGetLastError();
}
bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK;
}
bool interrupted(int error)
{
    return error == WSAEINTR;
}
[[noreturn]] void throwSocketError(const char* what)
{
    throw std::system_error(lastError(), std::system_category(), what);
}
#else
int lastError()
{
    return errno;
}
bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}
bool interrupted(int error)
{
    return error == EINTR;
}
[[noreturn]] void throwSocketError(const char* what)
{
    throw std::system_error(lastError(), std::generic_category(), what);
}
#endif

sockaddr_in loopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

/// The largest piece one send or recv call is given (Winsock counts in int).
int pieceSize(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, std::size_t{1} << 30));
}

} // namespace

Socket bindOnLoopback(std::uint16_t& port)
{
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        throwSocketError("WSAStartup");
    }
#endif
    const Socket bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bound == kNoSocket) {
        throwSocketError("socket");
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throwSocketError("bind");
    }
    port = ntohs(address.sin_port);
    return bound;
}

Socket listenOnLoopback(std::uint16_t& port, int receiveBuffer)
{
    const Socket listener = bindOnLoopback(port);
    if (receiveBuffer != 0 && ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF,
                                           reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer) != 0) {
        throwSocketError("setsockopt SO_RCVBUF");
    }
    if (::listen(listener, 8) != 0) {
        throwSocketError("listen");
    }
    return listener;
}

Socket connectOnLoopback(std::uint16_t port)
{
    std::uint16_t own = 0;
    const Socket socket = bindOnLoopback(own);
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closeSocket(socket);
        return kNoSocket;
    }
    return socket;
}

Socket acceptConnection(Socket listener)
{
#ifdef _WIN32
    return ::accept(listener, nullptr, nullptr);
#else
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

void closeSocket(Socket socket)
{
#ifdef _WIN32
    ::closesocket(socket);
#else
    ::close(socket);
#endif
}

void resetSocket(Socket socket)
{
    const linger abort{1, 0};
    (void)::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closeSocket(socket);
}

void shutdownSending(Socket socket)
{
    (void)::shutdown(socket, SHUT_WR);
}

void setNonBlocking(Socket socket)
{
#ifdef _WIN32
    u_long on = 1;
    const bool set = ::ioctlsocket(socket, FIONBIO, &on) == 0;
#else
    const int flags = ::fcntl(socket, F_GETFL);
    const bool set = flags != -1 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
    if (!set) {
        throwSocketError("non-blocking socket");
    }
}

bool sendAll(Socket socket, std::string_view data)
{
    while (!data.empty()) {
        const auto sent = ::send(socket, data.data(), pieceSize(data.size()), MSG_NOSIGNAL);
        if (sent < 0 && interrupted(lastError())) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

std::ptrdiff_t receiveSome(Socket socket, char* buffer, std::size_t size)
{
    for (;;) {
        const auto received = ::recv(socket, buffer, pieceSize(size), 0);
        if (received >= 0) {
            return received;
        }
        const int error = lastError();
        if (!interrupted(error)) {
            return wouldBlock(error) ? kWouldBlock : kFailed;
        }
    }
}

std::ptrdiff_t sendSome(Socket socket, std::string_view data)
{
    for (;;) {
        const auto sent = ::send(socket, data.data(), pieceSize(data.size()), MSG_NOSIGNAL);
        if (sent >= 0) {
            return sent;
        }
        const int error = lastError();
        if (!interrupted(error)) {
            return wouldBlock(error) ? kWouldBlock : kFailed;
        }
    }
}

int pollSockets(pollfd* fds, std::size_t count, int timeoutMs)
{
    for (;;) {
#ifdef _WIN32
        const int ready = ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
#else
        const int ready = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
#endif
        if (ready >= 0 || !interrupted(lastError())) {
            return ready;
        }
    }
}

WakeChannel::WakeChannel()
{
#ifdef _WIN32
    std::uint16_t port = 0;
    const Socket listener = listenOnLoopback(port);
    writeEnd = connectOnLoopback(port);
    if (writeEnd == kNoSocket) {
        closeSocket(listener);
        throwSocketError("connect");
    }
    readEnd = ::accept(listener, nullptr, nullptr);
    closeSocket(listener);
#else
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throwSocketError("pipe2");
    }
    readEnd = pipeEnds[0];
    writeEnd = pipeEnds[1];
#endif
}

WakeChannel::~WakeChannel()
{
    closeSocket(readEnd);
    closeSocket(writeEnd);
}

void WakeChannel::signal() const
{
    const char wake = 'x';
#ifdef _WIN32
    (void)!::send(writeEnd, &wake, 1, 0);
#else
    (void)!::write(writeEnd, &wake, 1);
#endif
}

} // namespace glb::test
