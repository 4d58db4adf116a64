#pragma once

#include "service/HttpTransport.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace glb::service {

/// The HTTP transport over libcurl: one blocking POST per execute() on the calling thread.
/// A body of at most kMaxSinglePostSize bytes goes out in one piece with the headers; a larger
/// one is pulled through libcurl's read callback in pieces of that size, under one declared
/// length, and rewound for a redirect that repeats the POST.
///
/// A reply counts only once the whole request went out: every byte of the body handed to
/// libcurl and written to the connection, as many as the Content-Length says. A final response
/// that starts before that is an early answer and raises ERequestNotReceivedWhole (a rejected
/// status still raises its status error). It ends the exchange at its head, except a status of
/// 500, which is read on, within the reply's time, for the SOAP fault that the error then
/// carries; when a send fails on a server that answered and closed, the answer is read from
/// the bytes that libcurl left unread (plain http, a Content-Length framing only).
/// Every redirect followed (301, 302, 307, 308) repeats the POST with its whole body; a 303,
/// whose answer is elsewhere, and the other 3xx statuses end the exchange with their status.
///
/// An upload whose connection broke before its last byte went out (the connection refused or
/// reset, the host not found, the connect timeout, the inactivity limit), with no byte of an
/// answer come, cannot have been acted on by the service: it is tried again, whole, on a new
/// connection, after each of the waits that Limits::retryDelays holds. Nothing is tried again
/// once the whole request went out, nor after any answer. The hooks' cancel ends an exchange
/// and a wait within about a second (ESendCancelled, which says whether the whole request
/// had gone out).
///
/// The proxy comes from the system's settings: the proxy variables libcurl reads
/// (http_proxy, no_proxy, ...) and, where none is set, the Internet settings of the
/// platform layer (Windows).
/// The connection is kept after a successful exchange and closed when the URL is set,
/// after a failed exchange and on destruction.
class CurlTransport : public HttpTransport
{
public:
    /// Bounds that keep a silent or hostile server from holding the program for ever.
    struct Limits
    {
        long connectTimeoutSeconds = 30;
        /// The exchange ends when fewer than lowSpeedBytesPerSecond move, in either
        /// direction, for lowSpeedSeconds on end. 1 byte/s over 120 s never cuts an upload
        /// that still moves, and leaves the service two minutes to answer once the
        /// request is in.
        long lowSpeedBytesPerSecond = 1;
        long lowSpeedSeconds = 120;
        /// Once the whole request has been sent, or once the first line of a final response
        /// came if that is earlier, the whole reply must arrive within this time, however it
        /// trickles in. The service decodes and stores what it received before it answers;
        /// five minutes leave it many times what storing a backup of gigabytes takes, and keep
        /// a server that drips its reply (before or after reading the request) from holding
        /// the send for hours. An upload that moves, unanswered, is never cut.
        long replySeconds = 300;
        /// The largest response body accepted. The service answers with a short sentence
        /// or a fault, well under 1 KiB; 64 KiB leaves a verbose fault a hundred times that
        /// and keeps decoding any reply cheap: under 5 MiB and a quarter of a second for
        /// the costliest shape (the parser's check of repeated attribute names is quadratic
        /// in the attributes of one element, so the time grows with the square of the
        /// limit: 250 s at 1 MiB). Figures: docs/bench.md, bench_response.
        std::size_t maxResponseBytes = std::size_t{64} * 1024;
        /// The waits before an upload that broke before its last byte is tried again: three
        /// attempts at most, so a metered link never pays for more, spread over two and a
        /// half minutes, which outlast a radio link's usual drop.
        std::vector<std::chrono::milliseconds> retryDelays{std::chrono::seconds(30), std::chrono::seconds(120)};
    };

    /// The agent text sent as User-Agent.
    static constexpr std::string_view kAgent = "Glebarium SOAP 1.3";
    /// The largest body sent in one piece; larger ones go in pieces of this size.
    static constexpr std::size_t kMaxSinglePostSize = 32768;

    CurlTransport();
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    void setUrl(const std::string& url) override;
    const std::string& url() const override { return m_url; }
    const UrlParts& urlParts() const override { return m_urlParts; }

    void setSoapAction(const std::string& action) override { m_soapAction = action; }
    const std::string& soapAction() const override { return m_soapAction; }

    using HttpTransport::execute;
    void execute(RequestBody& request, std::string& response) override;

    void setSendHooks(const SendHooks& hooks) override { m_hooks = hooks; }

    void setLimits(const Limits& limits) { m_limits = limits; }
    /// The limits a new transport starts with: Limits{} unless a test or a benchmark that
    /// cannot wait minutes changed them (e.g. the retries' waits). Not thread-safe: set them
    /// before any transport is made.
    static void setDefaultLimits(const Limits& limits);
    static const Limits& defaultLimits();
    const Limits& limits() const noexcept { return m_limits; }

    /// True while a connection from an earlier exchange is kept open.
    bool connected() const noexcept { return static_cast<bool>(m_handle); }
    /// The Content-Type value of the last response.
    const std::string& contentType() const noexcept { return m_contentType; }

private:
    struct HandleFree
    {
        void operator()(void* handle) const noexcept;
    };
    using Handle = std::unique_ptr<void, HandleFree>;
    struct MultiFree
    {
        void operator()(void* multi) const noexcept;
    };
    using Multi = std::unique_ptr<void, MultiFree>;

    void connect();
    void disconnect() noexcept
    {
        m_handle.reset();
        m_multi.reset();
    }
    /// Runs the transfer to its end, or until the hooks' cancel (which wakes it at once): the
    /// library's result, CURLE_ABORTED_BY_CALLBACK with `cancelled` set for a cancel.
    int transfer(bool& cancelled);
    /// What libcurl points into while one exchange runs.
    struct Exchange;
    /// Sends the request and judges the response: setOptions, the transfer, judgeTransfer,
    /// judgeResponse. `mayRetry` is set, before anything is raised, when the request may be
    /// sent again: its connection broke before its last byte and no answer came.
    void exchange(RequestBody& request, std::string& response, bool& mayRetry);
    /// Waits `delay` before attempt `attempt` of `attempts`, telling the retry observer;
    /// raises ESendCancelled when the send is cancelled meanwhile.
    void waitToRetry(int attempt, int attempts, std::chrono::milliseconds delay) const;
    void setOptions(Exchange& exchange);
    /// Raises what ended the transfer early (the body's own error, a status judged at the
    /// headers, an answer before the whole request went out, the reply's time limit, the size
    /// limit, libcurl's error), then for a rejected status of the complete response and for a
    /// request that did not go out whole.
    void judgeTransfer(const Exchange& exchange, int result) const;
    /// Raises for a final response that started before the whole request went out, read by
    /// libcurl or, when a send failed, from the bytes libcurl left unread: its status error
    /// for a rejected status, else ERequestNotReceivedWhole, which carries the body of a whole
    /// status-500 response (the fault that says why the service refused).
    void judgeEarlyAnswer(const Exchange& exchange, int result) const;
    /// Keeps the response's Content-Type; raises when it is missing, too long or not XML.
    void judgeResponse();

    std::string m_url;
    UrlParts m_urlParts;
    std::string m_soapAction;
    std::string m_contentType;
    Limits m_limits;
    SendHooks m_hooks;
    /// Reads what a connection left unread when libcurl closes it; outlives the handle.
    struct UnreadBytes;
    std::unique_ptr<UnreadBytes> m_unread;
    /// The transfers run in a multi handle of their own, which a cancel can wake from its wait
    /// and which keeps the connection between exchanges; destroyed after the easy handle.
    Multi m_multi;
    Handle m_handle;
};

} // namespace glb::service
