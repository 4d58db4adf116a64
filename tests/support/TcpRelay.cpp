#include "tests/support/TcpRelay.h"

#include <algorithm>
#include <system_error>
#include <utility>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace glb::test {

namespace {

/// The most one read takes from either side.
constexpr std::size_t kChunk = 65536;

constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLHUP | POLLERR;

} // namespace

TcpRelay::TcpRelay(std::uint16_t upstreamPort, Options options)
    : m_upstreamPort(upstreamPort)
    , m_options(std::move(options))
{
    int receiveBuffer = 0;
    if (m_options.readBytesPerSecond != 0) {
        // A slice every 20 ms (more often past 3.2 MB/s), and a receive buffer of about one
        // slice: the window the client sees stays that small, so its bytes wait on its side
        // rather than in this one.
        m_slice = std::clamp<std::size_t>(m_options.readBytesPerSecond / 50, 1, kChunk);
        receiveBuffer = static_cast<int>(std::max<std::size_t>(m_slice, 4096));
    }
    m_listener = listenOnLoopback(m_port, receiveBuffer);
    m_thread = std::thread([this] { run(); });
}

TcpRelay::TcpRelay(std::uint16_t upstreamPort)
    : TcpRelay(upstreamPort, Options())
{
}

TcpRelay::~TcpRelay()
{
    m_wake.signal();
    m_thread.join();
    for (std::thread& relay : m_relays) {
        relay.join();
    }
    closeSocket(m_listener);
}

std::string TcpRelay::url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

std::size_t TcpRelay::connections() const
{
    const std::lock_guard lock(m_mutex);
    return m_connections.size();
}

std::uint64_t TcpRelay::bytesUp(std::size_t connection) const
{
    const std::lock_guard lock(m_mutex);
    return connection < m_connections.size() ? m_connections[connection].bytesUp : 0;
}

bool TcpRelay::cut(std::size_t connection) const
{
    const std::lock_guard lock(m_mutex);
    return connection < m_connections.size() && m_connections[connection].cut;
}

bool TcpRelay::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_connections.size() >= count; });
}

bool TcpRelay::waitForBytesUp(std::size_t connection, std::uint64_t bytes, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(
        lock, timeout, [&] { return connection < m_connections.size() && m_connections[connection].bytesUp >= bytes; });
}

void TcpRelay::passedUp(std::size_t index, std::size_t bytes)
{
    {
        const std::lock_guard lock(m_mutex);
        m_connections[index].bytesUp += bytes;
    }
    m_changed.notify_all();
}

void TcpRelay::markCut(std::size_t index)
{
    {
        const std::lock_guard lock(m_mutex);
        m_connections[index].cut = true;
    }
    m_changed.notify_all();
}

void TcpRelay::run()
{
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake.readEnd, POLLIN, 0}};
        if (pollSockets(fds, 2, -1) < 0 || fds[1].revents != 0) {
            return;
        }
        const Socket client = acceptConnection(m_listener);
        if (client == kNoSocket) {
            continue;
        }
        // Counted (and marked when refused) before the client can see the reset.
        std::size_t index = 0;
        const bool refused = [&] {
            const std::lock_guard lock(m_mutex);
            index = m_connections.size();
            const bool refuse = index < m_options.refuseFirst;
            m_connections.push_back({0, refuse});
            return refuse;
        }();
        m_changed.notify_all();
        if (refused) {
            resetSocket(client);
            continue;
        }
        const std::optional<std::uint64_t> cutAfter =
            index < m_options.cutAfterBytes.size() ? m_options.cutAfterBytes[index] : std::nullopt;
        m_relays.emplace_back([this, client, index, cutAfter] { relay(client, index, cutAfter); });
    }
}

void TcpRelay::relay(Socket client, std::size_t index, std::optional<std::uint64_t> cutAfter)
{
    Socket server = kNoSocket;
    try {
        server = connectOnLoopback(m_upstreamPort);
    } catch (const std::system_error&) {
    }
    if (server == kNoSocket) {
        resetSocket(client); // no way to the server: the client sees a reset
        return;
    }
    setNonBlocking(client);
    setNonBlocking(server);

    // The pace of the client's bytes: the next read is due when the bytes read so far have
    // had their time at the rate. A client that sends nothing for a while builds up no more
    // than a slice of credit, as a link carries no more than its rate whatever came before.
    using Clock = std::chrono::steady_clock;
    const std::size_t rate = m_options.readBytesPerSecond;
    const auto timeFor = [rate](std::size_t bytes) { return std::chrono::nanoseconds(bytes * 1000000000 / rate); };
    Clock::time_point nextRead = Clock::now();
    // The milliseconds until the client's next bytes are due; 0 when due.
    const auto untilDue = [&]() -> int {
        if (rate == 0) {
            return 0;
        }
        const auto ahead = std::chrono::ceil<std::chrono::milliseconds>(nextRead - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, ahead.count()));
    };

    std::uint64_t taken = 0;  // read from the client
    std::uint64_t passed = 0; // given to the server
    std::string up;           // read from the client, not yet given to the server
    std::string down;         // read from the server, not yet given to the client
    bool clientEnded = false; // the client's end of stream came
    bool serverEnded = false;
    bool upShut = false; // the client's end of stream passed on to the server
    bool downShut = false;
    bool failed = false;
    char chunk[kChunk];
    for (;;) {
        if (cutAfter && passed >= *cutAfter) {
            // Marked before the client can see the reset; the server's side closed first, so
            // the server has the end of its request by then.
            markCut(index);
            closeSocket(server);
            resetSocket(client);
            return;
        }
        if (clientEnded && up.empty() && !upShut) {
            shutdownSending(server);
            upShut = true;
        }
        if (serverEnded && down.empty() && !downShut) {
            shutdownSending(client);
            downShut = true;
        }
        if (upShut && downShut) {
            break;
        }

        // Each side is polled only for what it is wanted for, so a side that shows an end or
        // an error is always acted on, never polled again unchanged.
        int timeoutMs = -1;
        bool readClient = false;
        if (!clientEnded && up.empty()) {
            timeoutMs = untilDue();
            readClient = timeoutMs == 0;
            if (readClient) {
                timeoutMs = -1;
            }
        }
        const bool writeServer = !up.empty();
        const bool readServer = !serverEnded && down.empty();
        const bool writeClient = !down.empty();
        const auto clientEvents = static_cast<short>((readClient ? POLLIN : 0) | (writeClient ? POLLOUT : 0));
        const auto serverEvents = static_cast<short>((readServer ? POLLIN : 0) | (writeServer ? POLLOUT : 0));
        pollfd fds[3] = {{m_wake.readEnd, POLLIN, 0}, {}, {}};
        std::size_t count = 1;
        std::size_t clientAt = 0;
        std::size_t serverAt = 0;
        if (clientEvents != 0) {
            clientAt = count;
            fds[count++] = {client, clientEvents, 0};
        }
        if (serverEvents != 0) {
            serverAt = count;
            fds[count++] = {server, serverEvents, 0};
        }
        if (pollSockets(fds, count, timeoutMs) < 0) {
            failed = true;
            break;
        }
        if (fds[0].revents != 0) {
            break; // the relay stops
        }
        short clientShows = 0;
        short serverShows = 0;
        if (clientAt != 0) {
            clientShows = fds[clientAt].revents;
        }
        if (serverAt != 0) {
            serverShows = fds[serverAt].revents;
        }

        if (readClient && (clientShows & kReadable) != 0) {
            std::size_t wanted = m_slice != 0 ? m_slice : kChunk;
            if (cutAfter) {
                wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, *cutAfter - taken));
            }
            const std::ptrdiff_t received = receiveSome(client, chunk, wanted);
            if (received > 0) {
                up.assign(chunk, static_cast<std::size_t>(received));
                taken += static_cast<std::uint64_t>(received);
                if (rate != 0) {
                    nextRead = std::max(nextRead, Clock::now() - timeFor(m_slice)) + timeFor(up.size());
                }
            } else if (received == 0) {
                clientEnded = true;
            } else if (received == kFailed) {
                failed = true;
                break;
            }
        }
        if (writeServer && (serverShows & kWritable) != 0) {
            const std::ptrdiff_t sent = sendSome(server, up);
            if (sent > 0) {
                up.erase(0, static_cast<std::size_t>(sent));
                passed += static_cast<std::uint64_t>(sent);
                passedUp(index, static_cast<std::size_t>(sent));
            } else if (sent == kFailed) {
                failed = true;
                break;
            }
        }
        if (readServer && (serverShows & kReadable) != 0) {
            const std::ptrdiff_t received = receiveSome(server, chunk, sizeof chunk);
            if (received > 0) {
                down.assign(chunk, static_cast<std::size_t>(received));
            } else if (received == 0) {
                serverEnded = true;
            } else if (received == kFailed) {
                failed = true;
                break;
            }
        }
        if (writeClient && (clientShows & kWritable) != 0) {
            const std::ptrdiff_t sent = sendSome(client, down);
            if (sent > 0) {
                down.erase(0, static_cast<std::size_t>(sent));
            } else if (sent == kFailed) {
                failed = true;
                break;
            }
        }
    }
    // A side that failed shows as a reset on the other.
    if (failed) {
        resetSocket(client);
        resetSocket(server);
    } else {
        closeSocket(client);
        closeSocket(server);
    }
}

} // namespace glb::test
