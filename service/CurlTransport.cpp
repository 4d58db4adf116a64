#include "service/CurlTransport.h"

#include "common/AsciiText.h"
#include "common/Error.h"
#include "common/InternetProxy.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"
#include "service/ServiceErrors.h"
#include "service/Url.h"
#include "service/detail/RawResponse.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace glb::service {

namespace {

// Failures of the response headers have no libcurl code; they carry the codes and texts
// the product's Windows build reports for them, so both builds say the same.
constexpr int kHeaderNotFoundCode = 12150;
constexpr std::string_view kHeaderNotFoundText = "The requested header was not found";
constexpr int kBufferTooSmallCode = 122;
constexpr std::string_view kBufferTooSmallText = "The data area passed to a system call is too small";
// A Content-Type value must fit a buffer of 1024 bytes of UTF-16 with its terminator.
constexpr std::size_t kMaxContentTypeLength = 511;
constexpr long kMaxRedirects = 20;

struct SlistFree
{
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

CURLcode globalInit()
{
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

/// Hands a request body of more than kMaxSinglePostSize bytes to libcurl in pieces of at most
/// that size, pulled while it is sent, and counts the bytes handed over since the body's start.
/// An error of the body cannot cross libcurl: it is kept, the transfer is aborted, and the
/// error is raised once libcurl has returned.
struct BodyReader
{
    RequestBody& body;
    const SendCancel* cancel = nullptr;
    std::exception_ptr failure;
    /// Bytes handed to libcurl since the last rewind; a body sent in one piece is handed over
    /// whole before the transfer.
    std::uint64_t handedOver = 0;

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<BodyReader*>(userData);
        try {
            if (self->cancel != nullptr) {
                self->cancel->check(); // a piece still to come: the request is not out
            }
            const std::size_t got = self->body.read(buffer, std::min(size * count, CurlTransport::kMaxSinglePostSize));
            self->handedOver += got;
            return got;
        } catch (...) {
            self->failure = std::current_exception();
            return CURL_READFUNC_ABORT;
        }
    }

    // A redirect that keeps the POST sends the body again from its start.
    static int seek(void* userData, curl_off_t offset, int origin)
    {
        auto* self = static_cast<BodyReader*>(userData);
        if (origin != SEEK_SET || offset != 0) {
            return CURL_SEEKFUNC_CANTSEEK;
        }
        try {
            self->body.rewind();
            self->handedOver = 0;
            return CURL_SEEKFUNC_OK;
        } catch (...) {
            self->failure = std::current_exception();
            return CURL_SEEKFUNC_FAIL;
        }
    }
};

/// The time the reply takes: from the moment the whole request has been sent or the first line
/// of a final response came, whichever is first. Each request of a redirect starts it afresh.
/// It also ends the transfer once the send is cancelled: libcurl calls it at least once a second.
struct ReplyClock
{
    std::chrono::seconds limit;
    std::optional<std::chrono::steady_clock::time_point> startedAt;
    bool expired = false;
    const SendCancel* cancel = nullptr;
    bool cancelled = false;

    void start()
    {
        if (!startedAt) {
            startedAt = std::chrono::steady_clock::now();
        }
    }
    void restart() { startedAt.reset(); }

    static int progress(void* userData, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded)
    {
        auto* self = static_cast<ReplyClock*>(userData);
        if (self->cancel != nullptr && self->cancel->cancelled()) {
            self->cancelled = true;
            return 1; // ends the transfer with CURLE_ABORTED_BY_CALLBACK
        }
        if (uploadTotal > 0 && uploaded >= uploadTotal) {
            self->start();
        }
        if (self->startedAt && std::chrono::steady_clock::now() - *self->startedAt > self->limit) {
            self->expired = true;
            return 1; // ends the transfer with CURLE_ABORTED_BY_CALLBACK
        }
        return 0;
    }
};

/// Whether the whole request body has gone out: every byte handed over to libcurl, and as many
/// written to the connection as libcurl counts them (its count starts again with each request).
bool requestSentWhole(CURL* curl, const BodyReader& reader, std::uint64_t size)
{
    curl_off_t uploaded = 0;
    if (curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded) != CURLE_OK || uploaded < 0) {
        return false;
    }
    return reader.handedOver == size && static_cast<std::uint64_t>(uploaded) >= size;
}

/// A Content-Type value that the exchange accepts for a SOAP response: present, fitting the
/// buffer of the product's Windows build, and neither "text/plain" nor "text/html".
bool acceptedContentType(const char* contentType)
{
    return contentType != nullptr && std::strlen(contentType) <= kMaxContentTypeLength &&
           !equalsIgnoringAsciiCase(contentType, "text/plain") && !equalsIgnoringAsciiCase(contentType, "text/html");
}

/// The status in a status line ("HTTP/1.1 404 Not Found"), 0 when it has none.
long statusOfLine(std::string_view line)
{
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) {
        return 0;
    }
    long status = 0;
    for (const char c : line.substr(space + 1, 3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        status = status * 10 + (c - '0');
    }
    return status;
}

/// The whole of a small body, which goes out in one piece with the headers.
std::string wholeBody(RequestBody& body)
{
    std::string bytes(static_cast<std::size_t>(body.size()), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t got = body.read(bytes.data() + done, bytes.size() - done);
        if (got == 0) {
            throw EReadError::streamRead();
        }
        done += got;
    }
    return bytes;
}

/// Collects the body and the status text of the last response, and judges the status as
/// soon as the response's headers are in:
/// - a status of 300 or more, other than 500 and other than a redirect that repeats the POST
///   (301, 302, 307, 308 with a target), ends the transfer there, whatever its body does;
/// - a final response whose head comes before the whole request went out is an early answer:
///   below 300 it ends the transfer at once, as nothing it says can count; a 500 is read on,
///   for the fault that says why the service refused (libcurl stops sending then).
struct ResponseCollector
{
    CURL* curl = nullptr;
    std::string* body = nullptr;
    std::size_t limit = 0;
    bool overflow = false;
    long rejectedStatus = 0;
    const BodyReader* reader = nullptr;
    std::uint64_t requestSize = 0;
    ReplyClock* replyClock = nullptr;
    /// What the connection left unread when libcurl closed it: of this request's connection only.
    std::string* unread = nullptr;

    // The current response: each request of a redirect starts these afresh.
    std::string statusText;
    bool hasLocation = false;
    /// The response's bytes as they came (its head lines and its body), to be read again with
    /// what libcurl left unread when a send fails.
    std::string received;
    /// Where the response's body starts in `body`.
    std::size_t bodyStart = 0;
    /// The status of a final response that started before the whole request went out.
    long earlyStatus = 0;

    void restart()
    {
        statusText.clear();
        hasLocation = false;
        received.clear();
        bodyStart = body->size();
        earlyStatus = 0;
    }

    bool sentWhole() const { return requestSentWhole(curl, *reader, requestSize); }

    // A new request: after a redirect, or the first one.
    static int prerequest(void* userData, char*, char*, int, int)
    {
        auto* self = static_cast<ResponseCollector*>(userData);
        self->restart();
        self->replyClock->restart();
        self->unread->clear();
        return CURL_PREREQFUNC_OK;
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<ResponseCollector*>(userData);
        const std::size_t length = size * count;
        if (length > self->limit - std::min(self->limit, self->body->size())) {
            self->overflow = true;
            return 0; // ends the transfer with CURLE_WRITE_ERROR
        }
        self->body->append(data, length);
        self->received.append(data, length);
        return length;
    }

    static std::size_t header(char* data, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<ResponseCollector*>(userData);
        const std::size_t length = size * count;
        std::string_view line(data, length);
        if (line.substr(0, 5) == "HTTP/") {
            self->restart();
        }
        self->received.append(line);
        if (line == "\r\n" || line == "\n") {
            return self->headEnded() ? length : 0; // 0 ends the transfer with CURLE_WRITE_ERROR
        }
        if (line.size() > 9 && equalsIgnoringAsciiCase(line.substr(0, 9), "location:")) {
            self->hasLocation = true;
        }
        if (line.substr(0, 5) == "HTTP/") {
            const long status = statusOfLine(line);
            if (status >= 200) {
                // The reply's time runs from its first line at the latest.
                self->replyClock->start();
                if (!self->sentWhole()) {
                    self->earlyStatus = status;
                }
            }
            // "HTTP/1.1 404 Not Found": the reason phrase after the second blank.
            const std::size_t first = line.find(' ');
            const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
            line = second == std::string_view::npos ? std::string_view{} : line.substr(second + 1);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
                line.remove_suffix(1);
            }
            self->statusText = std::string(line);
        }
        return length;
    }

    /// Judges a response whose head is in; false ends the transfer.
    bool headEnded()
    {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        bodyStart = body->size();
        if (status < 200) {
            return true; // an interim response: the final one follows
        }
        const bool followed = hasLocation && (status == 301 || status == 302 || status == 307 || status == 308);
        if (status >= 300 && status != 500 && !followed) {
            rejectedStatus = status;
            return false;
        }
        if (followed) {
            // The POST is repeated, whole, at the target, whose reply has a time of its own;
            // a redirect's body, if libcurl reads it, is bounded from the whole request on.
            earlyStatus = 0;
            replyClock->restart();
            return true;
        }
        if (earlyStatus != 0 || !sentWhole()) {
            earlyStatus = status;
            return status == 500;
        }
        return true;
    }
};

} // namespace

void CurlTransport::HandleFree::operator()(void* handle) const noexcept
{
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

void CurlTransport::MultiFree::operator()(void* multi) const noexcept
{
    curl_multi_cleanup(static_cast<CURLM*>(multi));
}

/// The bytes a server sent that libcurl had not read when it closed the connection: a send that
/// fails on a server that answered and closed without reading the rest of the request leaves
/// the answer unread behind it. libcurl closes its sockets through closeSocket, which reads
/// what is left first while an exchange runs, without waiting for more.
struct CurlTransport::UnreadBytes
{
    std::string* into = nullptr; ///< set while an exchange runs
    std::size_t limit = 0;

    static int closeSocket(void* userData, curl_socket_t socket)
    {
        auto* self = static_cast<UnreadBytes*>(userData);
        if (self->into != nullptr) {
            self->read(socket);
        }
#ifdef _WIN32
        return closesocket(socket);
#else
        return ::close(socket);
#endif
    }

    void read(curl_socket_t socket) const
    {
        char buffer[16384];
        while (into->size() < limit) {
            const std::size_t wanted = std::min(sizeof buffer, limit - into->size());
            // libcurl's sockets do not block; MSG_DONTWAIT says so again where it exists.
#ifdef _WIN32
            const int got = ::recv(socket, buffer, static_cast<int>(wanted), 0);
#else
            const ssize_t got = ::recv(socket, buffer, wanted, MSG_DONTWAIT);
#endif
            if (got <= 0) {
                return;
            }
            into->append(buffer, static_cast<std::size_t>(got));
        }
    }
};

namespace {

CurlTransport::Limits& defaultLimitsOfNewTransports()
{
    static CurlTransport::Limits limits;
    return limits;
}

} // namespace

void CurlTransport::setDefaultLimits(const Limits& limits)
{
    defaultLimitsOfNewTransports() = limits;
}

const CurlTransport::Limits& CurlTransport::defaultLimits()
{
    return defaultLimitsOfNewTransports();
}

CurlTransport::CurlTransport()
    : m_limits(defaultLimits())
    , m_unread(std::make_unique<UnreadBytes>())
{
}

CurlTransport::~CurlTransport() = default;

void CurlTransport::setUrl(const std::string& url)
{
    m_url = url;
    m_urlParts = crackUrl(url).value_or(UrlParts{});
    disconnect();
}

void CurlTransport::connect()
{
    if (const CURLcode init = globalInit(); init != CURLE_OK) {
        throw ESOAPHTTPException::forLibraryError(curl_easy_strerror(init), init, m_url, m_soapAction);
    }
    // The pre-connection step: the platform is asked to make a connection available.
    if (!platform::internetAttemptConnect()) {
        throw EAbort();
    }
    m_multi.reset(curl_multi_init());
    m_handle.reset(curl_easy_init());
    if (!m_handle || !m_multi) {
        throw ESOAPHTTPException::forLibraryError(curl_easy_strerror(CURLE_FAILED_INIT), CURLE_FAILED_INIT, m_url,
                                                  m_soapAction);
    }
}

void CurlTransport::execute(RequestBody& request, std::string& response)
{
    const std::size_t responseStart = response.size();
    const int attempts = static_cast<int>(m_limits.retryDelays.size()) + 1;
    for (int attempt = 1;; ++attempt) {
        bool mayRetry = false;
        try {
            if (!m_handle) {
                connect();
            }
            exchange(request, response, mayRetry);
            return;
        } catch (...) {
            // Any failure leaves the transport disconnected; a retry starts on a new connection.
            disconnect();
            if (!mayRetry || attempt == attempts) {
                throw;
            }
        }
        response.resize(responseStart);
        waitToRetry(attempt + 1, attempts, m_limits.retryDelays[static_cast<std::size_t>(attempt - 1)]);
        request.rewind();
    }
}

void CurlTransport::waitToRetry(int attempt, int attempts, std::chrono::milliseconds delay) const
{
    if (m_hooks.onRetry) {
        m_hooks.onRetry(attempt, attempts, std::chrono::steady_clock::now() + delay);
    }
    if (m_hooks.cancel != nullptr) {
        if (!m_hooks.cancel->waitFor(delay)) {
            throw ESendCancelled::beforeRequestSent();
        }
    } else {
        std::this_thread::sleep_for(delay);
    }
}

namespace {

/// The request's headers: the action and the content type, and none of libcurl's own.
Slist requestHeaders(const std::string& soapAction)
{
    Slist headers;
    for (const std::string& line :
         {"SOAPAction: \"" + soapAction + "\"", std::string("Content-Type: text/xml; charset=\"utf-8\""),
          // libcurl's own additions that this client never sends
          std::string("Accept:"), std::string("Expect:")}) {
        curl_slist* appended = curl_slist_append(headers.get(), line.c_str());
        if (appended == nullptr) {
            throw std::bad_alloc();
        }
        (void)headers.release();
        headers.reset(appended);
    }
    return headers;
}

} // namespace

struct CurlTransport::Exchange
{
    Exchange(RequestBody& body, std::string& response, const Limits& limits, const SendCancel* cancel)
        : request(body)
        , size(body.size())
        , reader{body, cancel, nullptr}
        , replyClock{std::chrono::seconds(limits.replySeconds), std::nullopt, false, cancel, false}
    {
        collector.body = &response;
        collector.bodyStart = response.size();
        collector.limit = limits.maxResponseBytes;
        collector.reader = &reader;
        collector.requestSize = size;
        collector.replyClock = &replyClock;
        collector.unread = &unread;
    }

    RequestBody& request;
    std::uint64_t size; ///< the declared length, Content-Length
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Slist headers;
    std::string wireUrl;
    std::string agent{kAgent};
    std::string onePiece; ///< the whole body, when it goes out with the headers
    BodyReader reader;
    ReplyClock replyClock;
    ResponseCollector collector;
    std::string unread; ///< what the last request's connection left unread (UnreadBytes)
};

namespace {

/// The library's failures of a connection that broke or never came about: the host or the
/// proxy not found, the connection refused, reset or cut, the connect timeout, the inactivity
/// limit.
bool connectionFailure(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return true;
    default:
        return false;
    }
}

} // namespace

void CurlTransport::exchange(RequestBody& request, std::string& response, bool& mayRetry)
{
    Exchange state(request, response, m_limits, m_hooks.cancel);
    setOptions(state);
    // Room for a head besides the largest body accepted.
    constexpr std::size_t kHeadRoom = std::size_t{64} * 1024;
    m_unread->into = &state.unread;
    m_unread->limit = m_limits.maxResponseBytes + kHeadRoom;
    const ScopeExit stopReading([this] { m_unread->into = nullptr; });
    bool cancelled = false;
    const auto result = static_cast<CURLcode>(transfer(cancelled));
    state.replyClock.cancelled = state.replyClock.cancelled || cancelled;
    // A request that did not go out whole, on a connection that gave no byte of an answer, is
    // one the service cannot have acted on.
    mayRetry = connectionFailure(result) && !state.reader.failure && !state.replyClock.cancelled &&
               state.collector.received.empty() && state.unread.empty() && !state.collector.sentWhole();
    judgeTransfer(state, result);
    judgeResponse();
}

int CurlTransport::transfer(bool& cancelled)
{
    CURLM* multi = m_multi.get();
    CURL* curl = m_handle.get();
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    // Taken out on every way; a transfer still running is ended there, its connection closed.
    const ScopeExit remove([multi, curl] { curl_multi_remove_handle(multi, curl); });
    std::optional<SendCancel::Wake> wake;
    if (m_hooks.cancel != nullptr) {
        wake.emplace(*m_hooks.cancel, [multi] { curl_multi_wakeup(multi); });
    }
    // The poll's longest wait; the library shortens it to its own timers.
    constexpr int kPollMilliseconds = 1000;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        if (running == 0) {
            break;
        }
        if (m_hooks.cancel != nullptr && m_hooks.cancel->cancelled()) {
            cancelled = true;
            return CURLE_ABORTED_BY_CALLBACK;
        }
        if (curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
    }
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
            return message->data.result;
        }
    }
    return CURLE_FAILED_INIT;
}

void CurlTransport::setOptions(Exchange& exchange)
{
    CURL* curl = m_handle.get();
    exchange.headers = requestHeaders(m_soapAction);
    const std::uint64_t size = exchange.size;
    const bool inOnePiece = size <= kMaxSinglePostSize;
    if (inOnePiece) {
        exchange.onePiece = wholeBody(exchange.request);
        exchange.reader.handedOver = size;
    }
    exchange.collector.curl = curl;
    // No credentials go on the wire: libcurl would send user information as Basic auth.
    exchange.wireUrl = urlWithoutUserInfo(m_url);

    bool optionsSet = true;
    auto set = [&](CURLoption option, auto value) {
        optionsSet = optionsSet && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    set(CURLOPT_ERRORBUFFER, exchange.errorBuffer);
    set(CURLOPT_URL, exchange.wireUrl.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_USERAGENT, exchange.agent.c_str());
    set(CURLOPT_HTTPHEADER, exchange.headers.get());
    // The library follows redirects, and every redirect it follows repeats the POST with its
    // whole body: a POST is not a thing to be fetched elsewhere, so 301 and 302 never turn it
    // into a GET as browsers do. A 303 (the answer is elsewhere) is never followed: the header
    // judgement ends the transfer at its head.
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    // With no proxy variable set, the proxy the system's Internet settings name for the URL
    // (Windows: the static proxy, or the one a proxy auto-config script names).
    const std::optional<platform::ProxyChoice> systemProxy =
        platform::systemProxyChoice(m_url, m_urlParts.scheme, m_urlParts.host);
    set(CURLOPT_PROXY, systemProxy ? systemProxy->proxy.c_str() : nullptr);
    set(CURLOPT_NOPROXY, systemProxy && !systemProxy->noProxy.empty() ? systemProxy->noProxy.c_str() : nullptr);
    set(CURLOPT_CONNECTTIMEOUT, m_limits.connectTimeoutSeconds);
    // A link that died while the reply is awaited is found by the system's probes, not only
    // by the reply's time limit.
    set(CURLOPT_TCP_KEEPALIVE, 1L);
    set(CURLOPT_TCP_KEEPIDLE, 60L);
    set(CURLOPT_TCP_KEEPINTVL, 30L);
    set(CURLOPT_LOW_SPEED_LIMIT, m_limits.lowSpeedBytesPerSecond);
    set(CURLOPT_LOW_SPEED_TIME, m_limits.lowSpeedSeconds);
    set(CURLOPT_POST, 1L);
    // A declared length keeps the body out of chunked encoding.
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
    if (inOnePiece) {
        set(CURLOPT_POSTFIELDS, exchange.onePiece.c_str());
    } else {
        set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
        set(CURLOPT_READFUNCTION, &BodyReader::read);
        set(CURLOPT_READDATA, &exchange.reader);
        set(CURLOPT_SEEKFUNCTION, &BodyReader::seek);
        set(CURLOPT_SEEKDATA, &exchange.reader);
    }
    set(CURLOPT_WRITEFUNCTION, &ResponseCollector::write);
    set(CURLOPT_WRITEDATA, &exchange.collector);
    set(CURLOPT_HEADERFUNCTION, &ResponseCollector::header);
    set(CURLOPT_HEADERDATA, &exchange.collector);
    // A proxy's answer to CONNECT (https through a proxy) is no response of the service.
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(CURLOPT_PREREQFUNCTION, &ResponseCollector::prerequest);
    set(CURLOPT_PREREQDATA, &exchange.collector);
    // A connection keeps the callback's data from when it was opened: the transport's own.
    set(CURLOPT_CLOSESOCKETFUNCTION, &UnreadBytes::closeSocket);
    set(CURLOPT_CLOSESOCKETDATA, m_unread.get());
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &ReplyClock::progress);
    set(CURLOPT_XFERINFODATA, &exchange.replyClock);
    if (!optionsSet) {
        throw ESOAPHTTPException::forLibraryError(curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT),
                                                  CURLE_BAD_FUNCTION_ARGUMENT, m_url, m_soapAction);
    }
}

void CurlTransport::judgeTransfer(const Exchange& exchange, int result) const
{
    if (exchange.reader.failure) {
        std::rethrow_exception(exchange.reader.failure);
    }
    const ResponseCollector& collector = exchange.collector;
    if (exchange.replyClock.cancelled) {
        if (collector.sentWhole()) {
            throw ESendCancelled::afterRequestSent();
        }
        throw ESendCancelled::beforeRequestSent();
    }
    if (collector.rejectedStatus != 0) {
        throw ESOAPHTTPException::forStatus(collector.statusText, static_cast<int>(collector.rejectedStatus), m_url);
    }
    judgeEarlyAnswer(exchange, result);
    if (exchange.replyClock.expired) {
        throw ESOAPHTTPException::forReplyTimeout(m_limits.replySeconds, CURLE_OPERATION_TIMEDOUT, m_url, m_soapAction);
    }
    if (result != CURLE_OK) {
        const auto code = static_cast<CURLcode>(result);
        if (collector.overflow) {
            throw ESOAPHTTPException::forResponseTooLarge(m_limits.maxResponseBytes, code, m_url, m_soapAction);
        }
        const std::string_view text = exchange.errorBuffer[0] != '\0' ? std::string_view(exchange.errorBuffer)
                                                                      : std::string_view(curl_easy_strerror(code));
        throw ESOAPHTTPException::forLibraryError(text, code, m_url, m_soapAction);
    }
    long status = 0;
    curl_easy_getinfo(m_handle.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300 && status != 500) {
        throw ESOAPHTTPException::forStatus(collector.statusText, static_cast<int>(status), m_url);
    }
    // A reply counts only once the whole request went out.
    if (!collector.sentWhole()) {
        throw ERequestNotReceivedWhole::forEarlyAnswer();
    }
}

void CurlTransport::judgeEarlyAnswer(const Exchange& exchange, int result) const
{
    const ResponseCollector& collector = exchange.collector;
    if (result == CURLE_SEND_ERROR) {
        // A server that answers and closes without reading the rest of the request makes the
        // next send fail, often before libcurl has read the answer waiting behind it.
        if (const std::optional<detail::RawResponse> answer =
                detail::readWholeResponse(collector.received + exchange.unread)) {
            if (answer->status >= 300 && answer->status != 500) {
                throw ESOAPHTTPException::forStatus(answer->statusText, answer->status, m_url);
            }
            const bool fault = answer->status == 500 &&
                               acceptedContentType(answer->contentType ? answer->contentType->c_str() : nullptr);
            throw ERequestNotReceivedWhole::forEarlyAnswer(fault ? answer->body : std::string());
        }
    }
    if (collector.earlyStatus == 0) {
        return;
    }
    std::string fault;
    if (collector.earlyStatus == 500 && result == CURLE_OK) {
        const char* contentType = nullptr;
        if (curl_easy_getinfo(m_handle.get(), CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK &&
            acceptedContentType(contentType)) {
            fault = collector.body->substr(collector.bodyStart);
        }
    }
    throw ERequestNotReceivedWhole::forEarlyAnswer(std::move(fault));
}

void CurlTransport::judgeResponse()
{
    const char* contentType = nullptr;
    if (curl_easy_getinfo(m_handle.get(), CURLINFO_CONTENT_TYPE, &contentType) != CURLE_OK || contentType == nullptr) {
        throw ESOAPHTTPException::forLibraryError(kHeaderNotFoundText, kHeaderNotFoundCode, m_url, m_soapAction);
    }
    if (std::strlen(contentType) > kMaxContentTypeLength) {
        throw ESOAPHTTPException::forLibraryError(kBufferTooSmallText, kBufferTooSmallCode, m_url, m_soapAction);
    }
    m_contentType = contentType;
    if (equalsIgnoringAsciiCase(m_contentType, "text/plain") || equalsIgnoringAsciiCase(m_contentType, "text/html")) {
        throw ESOAPHTTPException::forContentType(m_contentType);
    }
}

std::unique_ptr<HttpTransport> makeDefaultTransport()
{
    return std::make_unique<CurlTransport>();
}

} // namespace glb::service
