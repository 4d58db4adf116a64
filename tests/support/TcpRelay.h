#pragma once

#include "tests/support/LoopbackSockets.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace glb::test {

/// A TCP relay on 127.0.0.1 (ephemeral port) inside the test process, in front of a server
/// on 127.0.0.1:<upstream port>: each connection it accepts gets a connection of its own to
/// the server, and the bytes pass both ways on a thread of that connection. It plays an
/// unstable or slow link: it can cut a connection part-way, refuse connections, and take
/// the client's bytes no faster than a given rate. A connection the server does not take
/// is reset as a refused one is (but not counted as cut).
class TcpRelay
{
public:
    struct Options
    {
        /// For connection n (0-based, in the order accepted, refused ones included), when
        /// set: once that many client-to-server bytes have reached the server, the client's
        /// side is reset (the client sees "connection reset") and the server's side is closed
        /// (the server sees the request end there). Connections past the end pass whole.
        std::vector<std::optional<std::uint64_t>> cutAfterBytes;
        /// Client-to-server bytes are read from the client no faster than this, in slices
        /// about 20 ms apart, with a receive buffer of about one slice so the client is held
        /// back as over a slow uplink; 0 for no limit. A client that sends nothing for a while
        /// gains no more than a slice to catch up with.
        std::size_t readBytesPerSecond = 0;
        /// The first this many connections are reset as soon as accepted, before anything is
        /// read, and never reach the server. The client's connect itself succeeds (the system
        /// completes the handshake before the accept); what follows fails with a reset.
        std::size_t refuseFirst = 0;
    };

    /// Starts listening, relaying to 127.0.0.1:`upstreamPort`.
    TcpRelay(std::uint16_t upstreamPort, Options options);
    /// Starts listening, relaying to 127.0.0.1:`upstreamPort` and passing every byte.
    explicit TcpRelay(std::uint16_t upstreamPort);
    /// Stops accepting, ends every connection and joins the threads.
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    /// "http://127.0.0.1:<port>" followed by `path`.
    std::string url(std::string_view path) const;

    /// The connections accepted so far.
    std::size_t connections() const;
    /// The client-to-server bytes passed on connection `connection` so far.
    std::uint64_t bytesUp(std::size_t connection) const;
    /// True when connection `connection` was refused or cut.
    bool cut(std::size_t connection) const;

    /// Waits until `count` connections were accepted; false if `timeout` passed first.
    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
    /// Waits until connection `connection` passed `bytes` client-to-server bytes; false if
    /// `timeout` passed first.
    bool waitForBytesUp(std::size_t connection, std::uint64_t bytes, std::chrono::milliseconds timeout) const;

private:
    struct Connection
    {
        std::uint64_t bytesUp = 0;
        bool cut = false;
    };

    void run();
    void relay(Socket client, std::size_t index, std::optional<std::uint64_t> cutAfter);
    void passedUp(std::size_t index, std::size_t bytes);
    void markCut(std::size_t index);

    std::uint16_t m_upstreamPort;
    Options m_options;
    std::size_t m_slice = 0; // the most one paced read takes
    Socket m_listener = kNoSocket;
    std::uint16_t m_port = 0;
    WakeChannel m_wake; // signalled once the relay is to stop
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Connection> m_connections;
    std::vector<std::thread> m_relays; // the accepting thread's alone until it is joined
    std::thread m_thread;
};

} // namespace glb::test
