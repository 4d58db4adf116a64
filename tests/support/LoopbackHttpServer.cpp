#include "tests/support/LoopbackHttpServer.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
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

using Socket = LoopbackHttpServer::Socket;

#ifdef _WIN32
// Winsock under the POSIX names this server uses.
constexpr int MSG_NOSIGNAL = 0;
constexpr int SOCK_CLOEXEC = 0;
constexpr short kPeerClosed = 0; // WSAPoll reports a closed peer as POLLHUP unasked
using ssize_t = int;
int poll(pollfd* fds, unsigned long count, int timeoutMs)
{
    return ::WSAPoll(fds, count, timeoutMs);
}
int closeSocket(Socket socket)
{
    return ::closesocket(socket);
}
Socket accept4(Socket listener, sockaddr* address, int* length, int /*flags*/)
{
    return ::accept(listener, address, length);
}
#else
constexpr short kPeerClosed = POLLRDHUP;
int closeSocket(Socket socket)
{
    return ::close(socket);
}
#endif

[[noreturn]] void throwSystemError(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

bool sendAll(Socket socket, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t sent =
            ::send(socket, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 30)), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

/// The chunked body that starts `data`, decoded; false while it is incomplete.
bool decodeChunked(std::string_view data, std::string& body, std::size_t& consumed)
{
    body.clear();
    std::size_t pos = 0;
    for (;;) {
        const std::size_t lineEnd = data.find("\r\n", pos);
        if (lineEnd == std::string_view::npos) {
            return false;
        }
        const std::size_t size = std::stoul(std::string(data.substr(pos, lineEnd - pos)), nullptr, 16);
        pos = lineEnd + 2;
        if (size == 0) {
            const std::size_t end = data.find("\r\n", pos);
            if (end == std::string_view::npos) {
                return false;
            }
            consumed = end + 2;
            return true;
        }
        if (data.size() < pos + size + 2) {
            return false;
        }
        body.append(data.substr(pos, size));
        pos += size + 2;
    }
}

} // namespace

std::string LoopbackHttpServer::Request::header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringAsciiCase(key, name)) {
            return value;
        }
    }
    return {};
}

bool LoopbackHttpServer::Request::hasHeader(std::string_view name) const
{
    for (const auto& entry : headers) {
        if (equalsIgnoringAsciiCase(entry.first, name)) {
            return true;
        }
    }
    return false;
}

LoopbackHttpServer::Reply LoopbackHttpServer::reply(std::string_view status, const std::vector<std::string>& headers,
                                                    std::string_view body)
{
    std::string raw = "HTTP/1.1 " + std::string(status) + "\r\n";
    for (const std::string& header : headers) {
        raw += header + "\r\n";
    }
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    raw += body;
    return {std::move(raw), false};
}

LoopbackHttpServer::Reply LoopbackHttpServer::xmlReply(std::string_view body)
{
    return reply("200 OK", {"Content-Type: text/xml; charset=utf-8"}, body);
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, EarlyHandler early)
    : LoopbackHttpServer(std::move(handler))
{
    // The server thread runs already; it reads the early handler under the mutex.
    const std::lock_guard lock(m_mutex);
    m_early = std::move(early);
}

namespace {

#ifdef _WIN32
using socklen_t = int;
#endif

sockaddr_in loopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

/// A socket bound on 127.0.0.1 at a port the system picks; the port through `port`.
Socket bindOnLoopback(std::uint16_t& port)
{
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        throwSystemError("WSAStartup");
    }
#endif
    const Socket bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bound == static_cast<Socket>(-1)) {
        throwSystemError("socket");
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throwSystemError("bind");
    }
    port = ntohs(address.sin_port);
    return bound;
}

/// A socket listening on 127.0.0.1 at a port the system picks; the port through `port`.
Socket listenOnLoopback(std::uint16_t& port)
{
    const Socket listener = bindOnLoopback(port);
    if (::listen(listener, 8) != 0) {
        throwSystemError("listen");
    }
    return listener;
}

/// The two ends of the server's wake-up channel: a pipe, or on Windows (where only sockets
/// can be polled) a connected pair of loopback sockets.
void makeWakeChannel(Socket& readEnd, Socket& writeEnd)
{
#ifdef _WIN32
    std::uint16_t port = 0;
    const Socket listener = listenOnLoopback(port);
    writeEnd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(writeEnd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throwSystemError("connect");
    }
    readEnd = ::accept(listener, nullptr, nullptr);
    closeSocket(listener);
#else
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throwSystemError("pipe2");
    }
    readEnd = pipeEnds[0];
    writeEnd = pipeEnds[1];
#endif
}

} // namespace

bool acceptsOnLoopback(std::uint16_t port)
{
    std::uint16_t own = 0;
    const Socket probe = bindOnLoopback(own);
    const sockaddr_in address = loopbackAddress(port);
    const bool connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    closeSocket(probe);
    return connected;
}

UnusedPort::UnusedPort()
{
    m_socket = bindOnLoopback(m_port);
}

UnusedPort::~UnusedPort()
{
    closeSocket(m_socket);
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, std::size_t readBytesPerSecond)
    : m_handler(std::move(handler))
    , m_readBytesPerSecond(readBytesPerSecond)
{
    m_listener = listenOnLoopback(m_port);
    makeWakeChannel(m_wakeRead, m_wakeWrite);
    m_thread = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    const char stop = 'x';
#ifdef _WIN32
    (void)!::send(m_wakeWrite, &stop, 1, 0);
#else
    (void)!::write(m_wakeWrite, &stop, 1);
#endif
    m_thread.join();
    closeSocket(m_listener);
    closeSocket(m_wakeRead);
    closeSocket(m_wakeWrite);
}

std::string LoopbackHttpServer::url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

int LoopbackHttpServer::closedConnections() const
{
    const std::lock_guard lock(m_mutex);
    return m_closed;
}

bool LoopbackHttpServer::waitReadable(Socket socket) const
{
    pollfd fds[2] = {{socket, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && (fds[1].revents & POLLIN) == 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
}

void LoopbackHttpServer::answerEarly(Socket socket, const Reply& reply) const
{
    if (!sendAll(socket, reply.raw) || reply.close) {
        return;
    }
    // The request's unread bytes keep the socket readable: the client's end shows as
    // POLLRDHUP (or an error), never as POLLIN.
    const auto clientGoneOrStopped = [&](int timeoutMs) {
        pollfd fds[2] = {{socket, kPeerClosed, 0}, {m_wakeRead, POLLIN, 0}};
        for (;;) {
            const int ready = poll(fds, 2, timeoutMs);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            return ready != 0;
        }
    };
    if (!reply.trickle.empty()) {
        for (const char byte : reply.trickle) {
            if (clientGoneOrStopped(reply.trickleIntervalMs) || !sendAll(socket, std::string_view(&byte, 1))) {
                return;
            }
        }
        return;
    }
    if (reply.stall) {
        char chunk[65536];
        while (waitReadable(socket) && ::recv(socket, chunk, sizeof chunk, 0) > 0) {
        }
        return;
    }
    (void)clientGoneOrStopped(-1);
}

void LoopbackHttpServer::run()
{
    int connection = 0;
    while (waitReadable(m_listener)) {
        const Socket socket = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket == static_cast<Socket>(-1)) {
            continue;
        }
        serve(socket, ++connection);
        closeSocket(socket);
        const std::lock_guard lock(m_mutex);
        ++m_closed;
    }
}

void LoopbackHttpServer::serve(Socket socket, int connection)
{
    std::string buffer;
    char chunk[65536];
    const auto started = std::chrono::steady_clock::now();
    std::size_t receivedInAll = 0;
    for (;;) {
        // One request: the head up to the blank line, then a body of the declared length.
        Request request;
        request.connection = connection;
        std::size_t headEnd = std::string::npos;
        std::size_t total = std::string::npos;
        bool askedEarly = false;
        for (;;) {
            if (headEnd == std::string::npos) {
                headEnd = buffer.find("\r\n\r\n");
                if (headEnd != std::string::npos) {
                    headEnd += 4;
                    request.head = buffer.substr(0, headEnd);
                    std::size_t lineStart = request.head.find("\r\n") + 2;
                    const std::string requestLine = request.head.substr(0, lineStart - 2);
                    const std::size_t space1 = requestLine.find(' ');
                    const std::size_t space2 = requestLine.find(' ', space1 + 1);
                    request.method = requestLine.substr(0, space1);
                    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
                    while (lineStart + 2 < headEnd) {
                        const std::size_t lineEnd = request.head.find("\r\n", lineStart);
                        const std::string line = request.head.substr(lineStart, lineEnd - lineStart);
                        const std::size_t colon = line.find(':');
                        std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
                        value.erase(0, value.find_first_not_of(' '));
                        request.headers.emplace_back(line.substr(0, colon), value);
                        lineStart = lineEnd + 2;
                    }
                }
            }
            if (headEnd != std::string::npos && !askedEarly) {
                askedEarly = true;
                EarlyHandler early;
                {
                    const std::lock_guard lock(m_mutex);
                    early = m_early;
                }
                if (early) {
                    Request seen = request;
                    seen.body = buffer.substr(headEnd);
                    seen.raw = buffer;
                    seen.answeredEarly = true;
                    if (const std::optional<Reply> answer = early(seen)) {
                        {
                            const std::lock_guard lock(m_mutex);
                            m_requests.push_back(seen);
                        }
                        answerEarly(socket, *answer);
                        return;
                    }
                }
            }
            if (headEnd != std::string::npos) {
                if (equalsIgnoringAsciiCase(request.header("Transfer-Encoding"), "chunked")) {
                    std::size_t consumed = 0;
                    if (decodeChunked(std::string_view(buffer).substr(headEnd), request.body, consumed)) {
                        total = headEnd + consumed;
                        break;
                    }
                } else {
                    const std::string length = request.header("Content-Length");
                    total = headEnd + (length.empty() ? 0 : std::stoul(length));
                    if (buffer.size() >= total) {
                        request.body = buffer.substr(headEnd, total - headEnd);
                        break;
                    }
                }
            }
            if (buffer.size() > kMaxRequestBytes || !waitReadable(socket)) {
                return;
            }
            const std::size_t wanted =
                m_readBytesPerSecond != 0 ? std::min(sizeof chunk, m_readBytesPerSecond / 20 + 1) : sizeof chunk;
            const ssize_t received = ::recv(socket, chunk, static_cast<int>(wanted), 0);
            if (received <= 0) {
                return;
            }
            buffer.append(chunk, static_cast<std::size_t>(received));
            receivedInAll += static_cast<std::size_t>(received);
            if (m_readBytesPerSecond != 0) {
                // The link's pace: the next read waits until these bytes were due, unless the
                // server stops meanwhile.
                const auto due = started + std::chrono::microseconds(receivedInAll * 1000000 / m_readBytesPerSecond);
                const auto ahead =
                    std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
                if (ahead.count() > 0) {
                    pollfd wake = {m_wakeRead, POLLIN, 0};
                    if (poll(&wake, 1, static_cast<int>(ahead.count())) != 0) {
                        return;
                    }
                }
            }
        }
        request.raw = buffer.substr(0, total);
        buffer.erase(0, total);
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        const Reply answer = m_handler(request);
        if (!sendAll(socket, answer.raw)) {
            return;
        }
        if (answer.close) {
            return;
        }
        if (!answer.trickle.empty()) {
            for (const char byte : answer.trickle) {
                pollfd fds[2] = {{socket, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
                // The server's own pace: each byte waits its interval, unless the client
                // closes or the server stops meanwhile.
                if (poll(fds, 2, answer.trickleIntervalMs) != 0 || !sendAll(socket, std::string_view(&byte, 1))) {
                    return;
                }
            }
            return;
        }
        if (answer.stall) {
            // Hold the connection, reading and dropping whatever comes, until it closes.
            while (waitReadable(socket) && ::recv(socket, chunk, sizeof chunk, 0) > 0) {
            }
            return;
        }
    }
}

} // namespace glb::test
