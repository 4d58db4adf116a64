#pragma once

#include "tests/support/LoopbackSockets.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace glb::test {

/// An HTTP/1.1 server on 127.0.0.1 (ephemeral port) inside the test process, on a thread
/// of its own. It records every request byte for byte and answers as the test says.
/// Connections are served one at a time and kept open between requests.
class LoopbackHttpServer
{
public:
    struct Request
    {
        std::string raw;  ///< the request as it came: request line, headers, body
        std::string head; ///< request line and header lines, up to and with the blank line
        std::string method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers; ///< in their order
        std::string body;
        int connection = 0; ///< 1 for the first connection accepted, 2 for the next, ...
        /// Answered by the early handler as soon as the head was in: `body` holds the part of
        /// the body that had come by then, and `raw` the head with that part.
        bool answeredEarly = false;

        /// The value of the first header of that name (any letter case), empty if none.
        std::string header(std::string_view name) const;
        bool hasHeader(std::string_view name) const;
    };

    struct Reply
    {
        /// The bytes sent back as they stand: status line, headers, body.
        std::string raw;
        /// After sending `raw`, send nothing more and keep the connection open until the
        /// client closes it or the server stops.
        bool stall = false;
        /// After sending `raw`, close the connection (a body cut short).
        bool close = false;
        /// After sending `raw`, send these bytes one at a time, `trickleIntervalMs` apart,
        /// then close; stops early when the client closes or the server stops.
        std::string trickle{};
        int trickleIntervalMs = 0;
    };
    using Handler = std::function<Reply(const Request&)>;
    /// Sees each request as soon as its head is in, before its body is read. A reply it
    /// returns is sent at once, and the rest of the request is never taken as one: after the
    /// reply (and its trickle) the connection is closed when `close` or `trickle` says so;
    /// with `stall` what comes is read and dropped until the client closes it, as a server's
    /// lingering close does; otherwise it is held, unread, until the client closes it or the
    /// server stops. (A client that closes with bytes still unsent shows it to a server that
    /// never reads only by a reset, so a held connection may stay held.)
    /// std::nullopt lets the request be read whole and answered by the handler.
    using EarlyHandler = std::function<std::optional<Reply>(const Request&)>;

    /// A complete response with the given status line tail ("404 Not Found"), headers
    /// ("Name: value" lines, without line ends) and body; Content-Length is added.
    static Reply reply(std::string_view status, const std::vector<std::string>& headers, std::string_view body);
    /// 200 OK, Content-Type text/xml; charset=utf-8, with `body`.
    static Reply xmlReply(std::string_view body);

    /// Starts listening; every request is answered by `handler`. With `readBytesPerSecond`,
    /// requests are read no faster than that, as over a slow link.
    explicit LoopbackHttpServer(Handler handler, std::size_t readBytesPerSecond = 0);
    /// Starts listening; every request is shown to `early` when its head is in, and those it
    /// does not answer are read whole and answered by `handler`.
    LoopbackHttpServer(Handler handler, EarlyHandler early);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    /// "http://127.0.0.1:<port>" followed by `path`.
    std::string url(std::string_view path) const;

    /// The requests received so far.
    std::vector<Request> requests() const;
    /// The number of connections the client has closed so far.
    int closedConnections() const;

    /// Requests larger than this are refused by closing the connection.
    static constexpr std::size_t kMaxRequestBytes = std::size_t{64} * 1024 * 1024;

    using Socket = test::Socket;

private:
    void run();
    void serve(Socket socket, int connection);
    bool waitReadable(Socket socket) const;
    /// Sends an early reply and its trickle, then closes the connection, or holds it (unread,
    /// or read and dropped with `stall`) until the client closes it or the server stops.
    void answerEarly(Socket socket, const Reply& reply) const;

    Handler m_handler;
    EarlyHandler m_early;
    std::size_t m_readBytesPerSecond = 0;
    Socket m_listener{};
    WakeChannel m_wake; // signalled once the server is to stop
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    int m_closed = 0;
    std::thread m_thread;
};

/// True when something listening on 127.0.0.1:`port` takes a connection.
bool acceptsOnLoopback(std::uint16_t port);

/// A port on 127.0.0.1 with no listener: bound, never listened on.
class UnusedPort
{
public:
    UnusedPort();
    ~UnusedPort();
    UnusedPort(const UnusedPort&) = delete;
    UnusedPort& operator=(const UnusedPort&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    LoopbackHttpServer::Socket m_socket{};
    std::uint16_t m_port = 0;
};

} // namespace glb::test
