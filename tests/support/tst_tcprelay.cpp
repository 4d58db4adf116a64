#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/TcpRelay.h"

#include <chrono>
#include <cstdint>
#include <curl/curl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>

using glb::test::LoopbackHttpServer;
using glb::test::TcpRelay;
using namespace std::chrono_literals;

namespace {

/// What a POST through libcurl came to.
struct Outcome
{
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string error;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out)
{
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

/// POSTs `body` to `url` on a connection of its own.
Outcome post(const std::string& url, const std::string& body)
{
    Outcome outcome;
    char error[CURL_ERROR_SIZE] = {};
    CURL* curl = curl_easy_init();
    // No "Expect: 100-continue": the request goes out whole at once.
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &outcome.body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    outcome.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
    outcome.error = error;
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return outcome;
}

std::string bytes(std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return data;
}

/// Waits up to ten seconds for `condition` of a server that offers no wait of its own.
bool waitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

/// The request's body as the answer's, reversed, with the answer made large enough to fill
/// the socket buffers on its way back.
LoopbackHttpServer::Reply echo(const LoopbackHttpServer::Request& request)
{
    const std::string body(request.body.rbegin(), request.body.rend());
    return LoopbackHttpServer::reply("200 OK", {}, body + bytes(std::size_t{1} << 20));
}

TEST(TcpRelay, PassesARequestAndItsAnswerWhole)
{
    LoopbackHttpServer server(echo);
    const TcpRelay relay(server.port());
    const std::string body = bytes(std::size_t{3} << 20);

    const Outcome outcome = post(relay.url("/web/x.php"), body);

    ASSERT_EQ(outcome.code, CURLE_OK) << outcome.error;
    EXPECT_EQ(outcome.status, 200);
    EXPECT_TRUE(outcome.body == std::string(body.rbegin(), body.rend()) + bytes(std::size_t{1} << 20));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].target, "/web/x.php");
    EXPECT_TRUE(requests[0].body == body);
    EXPECT_EQ(relay.connections(), 1U);
    EXPECT_EQ(relay.bytesUp(0), requests[0].raw.size());
    EXPECT_FALSE(relay.cut(0));
}

TEST(TcpRelay, RefusesCutsAndPassesConnectionsInTheirTurn)
{
    // Connection 0 is refused, 1 passes, 2 is cut after `cutAfter` bytes, 3 passes: the
    // server sees requests on its connections 1 and 3 only, nothing complete on 2.
    const struct
    {
        const char* name;
        std::uint64_t cutAfter;
    } cases[] = {
        {"before any byte", 0},
        {"in the request line", 10},
        {"in the body", 100000},
    };
    const std::string body = bytes(std::size_t{256} * 1024);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server(echo);
        TcpRelay::Options options;
        options.refuseFirst = 1;
        options.cutAfterBytes = {std::nullopt, std::nullopt, c.cutAfter};
        const TcpRelay relay(server.port(), options);
        const std::string url = relay.url("/up");

        // The refused and the cut one fail as at a reset, not as at an orderly end: a reset
        // that comes right after the handshake can show as a failed connect.
        const auto isReset = [](CURLcode code) {
            return code == CURLE_COULDNT_CONNECT || code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR;
        };
        const Outcome refused = post(url, body);
        EXPECT_TRUE(isReset(refused.code)) << refused.code << " " << refused.error;
        EXPECT_TRUE(relay.cut(0));
        EXPECT_EQ(relay.bytesUp(0), 0U);

        EXPECT_EQ(post(url, body).code, CURLE_OK);
        EXPECT_FALSE(relay.cut(1));

        const Outcome cut = post(url, body);
        EXPECT_TRUE(isReset(cut.code)) << cut.code << " " << cut.error;
        EXPECT_TRUE(relay.cut(2));
        EXPECT_EQ(relay.bytesUp(2), c.cutAfter);
        // The server sees the connection end with the request incomplete.
        EXPECT_TRUE(waitFor([&] { return server.closedConnections() == 2; }));
        EXPECT_EQ(server.requests().size(), 1U);

        const Outcome last = post(url, body);
        EXPECT_EQ(last.code, CURLE_OK) << last.error;
        EXPECT_FALSE(relay.cut(3));
        EXPECT_EQ(relay.connections(), 4U);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2U);
        EXPECT_EQ(requests[0].connection, 1);
        EXPECT_EQ(requests[1].connection, 3);
        EXPECT_TRUE(requests[1].body == body);
        EXPECT_EQ(relay.bytesUp(3), requests[1].raw.size());
    }
}

TEST(TcpRelay, ResetsTheClientOnceItsBytesAreIn)
{
    // The client's bytes have all been read when its side is closed: it sees a reset only
    // because the relay makes it one (an orderly end would read as 0 bytes).
    const struct
    {
        const char* name;
        std::size_t refuseFirst;
        std::optional<std::uint64_t> cutAfter;
        std::string sent;
    } cases[] = {
        {"refused", 1, std::nullopt, ""},
        {"cut before any byte", 0, 0, ""},
        {"cut after all it sent", 0, 16, "POST / HTTP/1.1\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LoopbackHttpServer server(echo);
        TcpRelay::Options options;
        options.refuseFirst = c.refuseFirst;
        options.cutAfterBytes = {c.cutAfter};
        const TcpRelay relay(server.port(), options);
        const glb::test::Socket client = glb::test::connectOnLoopback(relay.port());
        ASSERT_NE(client, glb::test::kNoSocket);
        EXPECT_TRUE(glb::test::sendAll(client, c.sent));
        char byte = 0;
        const std::ptrdiff_t received = glb::test::receiveSome(client, &byte, 1);
        bool reset = received == glb::test::kFailed;
#ifdef _WIN32
        // Under Wine a reset that follows the handshake at once is at times taken up by the
        // connect, and the first read shows an end of stream instead.
        reset = reset || (c.refuseFirst != 0 && received == 0);
#endif
        EXPECT_TRUE(reset) << received;
        glb::test::closeSocket(client);
        EXPECT_TRUE(relay.cut(0));
        EXPECT_EQ(relay.bytesUp(0), c.sent.size());
    }
}

TEST(TcpRelay, TakesTheClientsBytesNoFasterThanTheRate)
{
    // A client that sends 1 MiB, idles half a second once it is through, then sends 1 MiB
    // more. Each half of each part reaches the server no sooner than the rate allows from
    // when the part was sent: the idle time is no credit to catch up with. (A floor only,
    // with room for a slice of credit and the slice in hand; a busy machine may be slower.)
    constexpr std::size_t kRate = std::size_t{2} << 20;
    constexpr std::size_t kPart = std::size_t{1} << 20;
    // A short answer: this client never reads it.
    LoopbackHttpServer server([](const LoopbackHttpServer::Request& request) {
        return LoopbackHttpServer::reply("200 OK", {}, std::to_string(request.body.size()));
    });
    TcpRelay::Options options;
    options.readBytesPerSecond = kRate;
    const TcpRelay relay(server.port(), options);
    const std::string body = bytes(2 * kPart);
    const std::string head =
        "POST /up HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    // Plain sockets: a client of its own pace, that never waits on itself.
    const glb::test::Socket client = glb::test::connectOnLoopback(relay.port());
    ASSERT_NE(client, glb::test::kNoSocket);

    const auto sendPart = [&](const std::string& part, std::uint64_t passedBefore) {
        const auto started = std::chrono::steady_clock::now();
        auto sending = std::async(std::launch::async, [&] { return glb::test::sendAll(client, part); });
        for (std::size_t half = 1; half <= 2; ++half) {
            const std::size_t passed = part.size() / 2 * half;
            EXPECT_TRUE(relay.waitForBytesUp(0, passedBefore + passed, 60s)) << relay.bytesUp(0);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
            EXPECT_GE(elapsed.count(), 0.8 * static_cast<double>(passed) / kRate) << half;
        }
        EXPECT_TRUE(sending.get());
    };
    sendPart(head + body.substr(0, kPart), 0);
    std::this_thread::sleep_for(500ms); // the client idles
    sendPart(body.substr(kPart), head.size() + kPart);

    EXPECT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
    EXPECT_TRUE(server.requests().at(0).body == body);
    glb::test::closeSocket(client);
}

TEST(TcpRelay, StopsWhileAConnectionWaitsOnBothSides)
{
    // A client held back by a rate of a byte a second, and a server waiting for the rest of
    // the request: the relay still ends its connection when it is destroyed.
    LoopbackHttpServer server(echo);
    TcpRelay::Options options;
    options.readBytesPerSecond = 1;
    auto relay = std::make_optional<TcpRelay>(server.port(), options);
    const glb::test::Socket client = glb::test::connectOnLoopback(relay->port());
    ASSERT_NE(client, glb::test::kNoSocket);
    EXPECT_TRUE(glb::test::sendAll(client, "GET / HTTP/1.1\r\n"));
    EXPECT_TRUE(relay->waitForBytesUp(0, 1, 10s));
    relay.reset();

    // The client sees its connection end (most likely as a reset: bytes it sent were never
    // read).
    char byte = 0;
    const std::ptrdiff_t received = glb::test::receiveSome(client, &byte, 1);
    EXPECT_TRUE(received == 0 || received == glb::test::kFailed) << received;
    glb::test::closeSocket(client);
}

} // namespace
