#include "tests/support/LoopbackHttpServer.h"

#include "common/AsciiText.h"

#include <algorithm>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace glb::test {

namespace {

#ifdef _WIN32
constexpr short kPeerClosed = 0; // WSAPoll reports a closed peer as POLLHUP unasked
#else
constexpr short kPeerClosed = POLLRDHUP;
#endif

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

bool acceptsOnLoopback(std::uint16_t port)
{
    const Socket probe = connectOnLoopback(port);
    if (probe == kNoSocket) {
        return false;
    }
    closeSocket(probe);
    return true;
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
    m_thread = std::thread([this] { run(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_wake.signal();
    m_thread.join();
    closeSocket(m_listener);
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
    pollfd fds[2] = {{socket, POLLIN, 0}, {m_wake.readEnd, POLLIN, 0}};
    const int ready = pollSockets(fds, 2, -1);
    return ready > 0 && (fds[1].revents & POLLIN) == 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void LoopbackHttpServer::answerEarly(Socket socket, const Reply& reply) const
{
    if (!sendAll(socket, reply.raw) || reply.close) {
        return;
    }
    // The request's unread bytes keep the socket readable: the client's end shows as
    // POLLRDHUP (or an error), never as POLLIN.
    const auto clientGoneOrStopped = [&](int timeoutMs) {
        pollfd fds[2] = {{socket, kPeerClosed, 0}, {m_wake.readEnd, POLLIN, 0}};
        return pollSockets(fds, 2, timeoutMs) != 0;
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
        while (waitReadable(socket) && receiveSome(socket, chunk, sizeof chunk) > 0) {
        }
        return;
    }
    (void)clientGoneOrStopped(-1);
}

void LoopbackHttpServer::run()
{
    int connection = 0;
    while (waitReadable(m_listener)) {
        const Socket socket = acceptConnection(m_listener);
        if (socket == kNoSocket) {
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
            const std::ptrdiff_t received = receiveSome(socket, chunk, wanted);
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
                    pollfd wake = {m_wake.readEnd, POLLIN, 0};
                    if (pollSockets(&wake, 1, static_cast<int>(ahead.count())) != 0) {
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
                pollfd fds[2] = {{socket, POLLIN, 0}, {m_wake.readEnd, POLLIN, 0}};
                // The server's own pace: each byte waits its interval, unless the client
                // closes or the server stops meanwhile.
                if (pollSockets(fds, 2, answer.trickleIntervalMs) != 0 ||
                    !sendAll(socket, std::string_view(&byte, 1))) {
                    return;
                }
            }
            return;
        }
        if (answer.stall) {
            // Hold the connection, reading and dropping whatever comes, until it closes.
            while (waitReadable(socket) && receiveSome(socket, chunk, sizeof chunk) > 0) {
            }
            return;
        }
    }
}

} // namespace glb::test
