#include "service/CurlTransport.h"

#include "common/AsciiText.h"
#include "common/Error.h"
#include "common/InternetProxy.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"
#include "service/ServiceErrors.h"
#include "service/Url.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <exception>
#include <mutex>
#include <optional>

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
/// that size, pulled while it is sent. An error of the body cannot cross libcurl: it is kept,
/// the transfer is aborted, and the error is raised once libcurl has returned.
struct BodyReader
{
    RequestBody& body;
    std::exception_ptr failure;

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<BodyReader*>(userData);
        try {
            return self->body.read(buffer, std::min(size * count, CurlTransport::kMaxSinglePostSize));
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
            return CURL_SEEKFUNC_OK;
        } catch (...) {
            self->failure = std::current_exception();
            return CURL_SEEKFUNC_FAIL;
        }
    }
};

/// The time the reply takes once the whole request has been sent; a redirect that repeats the
/// POST starts the request, and the clock, afresh.
struct ReplyClock
{
    std::chrono::seconds limit;
    std::optional<std::chrono::steady_clock::time_point> sentAt;
    bool expired = false;

    static int progress(void* userData, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded)
    {
        auto* self = static_cast<ReplyClock*>(userData);
        if (uploadTotal <= 0 || uploaded < uploadTotal) {
            self->sentAt.reset();
            return 0;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!self->sentAt) {
            self->sentAt = now;
        } else if (now - *self->sentAt > self->limit) {
            self->expired = true;
            return 1; // ends the transfer with CURLE_ABORTED_BY_CALLBACK
        }
        return 0;
    }
};

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
/// soon as the response's headers are in: a status of 300 or more, other than 500 and other
/// than a redirect that libcurl follows, ends the transfer there, whatever its body does.
struct ResponseCollector
{
    CURL* curl = nullptr;
    std::string* body = nullptr;
    std::size_t limit = 0;
    bool overflow = false;
    std::string statusText;
    bool hasLocation = false;
    long rejectedStatus = 0;

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<ResponseCollector*>(userData);
        const std::size_t length = size * count;
        if (length > self->limit - std::min(self->limit, self->body->size())) {
            self->overflow = true;
            return 0; // ends the transfer with CURLE_WRITE_ERROR
        }
        self->body->append(data, length);
        return length;
    }

    static std::size_t header(char* data, std::size_t size, std::size_t count, void* userData)
    {
        auto* self = static_cast<ResponseCollector*>(userData);
        const std::size_t length = size * count;
        std::string_view line(data, length);
        if (line == "\r\n" || line == "\n") {
            long status = 0;
            curl_easy_getinfo(self->curl, CURLINFO_RESPONSE_CODE, &status);
            const bool followed = status < 400 && self->hasLocation;
            if (status >= 300 && status != 500 && !followed) {
                self->rejectedStatus = status;
                return 0; // ends the transfer with CURLE_WRITE_ERROR
            }
            return length;
        }
        if (line.size() > 9 && equalsIgnoringAsciiCase(line.substr(0, 9), "location:")) {
            self->hasLocation = true;
        }
        if (line.substr(0, 5) == "HTTP/") {
            self->hasLocation = false;
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
};

} // namespace

void CurlTransport::HandleFree::operator()(void* handle) const noexcept
{
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

CurlTransport::CurlTransport() = default;
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
    m_handle.reset(curl_easy_init());
    if (!m_handle) {
        throw ESOAPHTTPException::forLibraryError(curl_easy_strerror(CURLE_FAILED_INIT), CURLE_FAILED_INIT, m_url,
                                                  m_soapAction);
    }
}

void CurlTransport::execute(RequestBody& request, std::string& response)
{
    // Any failure leaves the transport disconnected.
    const ScopeFailure disconnectOnFailure([this] { disconnect(); });

    if (!m_handle) {
        connect();
    }
    exchange(request, response);
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
    Exchange(RequestBody& body, std::string& response, const Limits& limits)
        : request(body)
        , reader{body, nullptr}
        , replyClock{std::chrono::seconds(limits.replySeconds), std::nullopt, false}
    {
        collector.body = &response;
        collector.limit = limits.maxResponseBytes;
    }

    RequestBody& request;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Slist headers;
    std::string wireUrl;
    std::string agent{kAgent};
    std::string onePiece; ///< the whole body, when it goes out with the headers
    BodyReader reader;
    ReplyClock replyClock;
    ResponseCollector collector;
};

void CurlTransport::exchange(RequestBody& request, std::string& response)
{
    Exchange state(request, response, m_limits);
    setOptions(state);
    const CURLcode result = curl_easy_perform(m_handle.get());
    judgeTransfer(state, result);
    judgeResponse();
}

void CurlTransport::setOptions(Exchange& exchange)
{
    CURL* curl = m_handle.get();
    exchange.headers = requestHeaders(m_soapAction);
    const std::uint64_t size = exchange.request.size();
    const bool inOnePiece = size <= kMaxSinglePostSize;
    if (inOnePiece) {
        exchange.onePiece = wholeBody(exchange.request);
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
    // The library follows redirects; 307 and 308 repeat the POST with its body, 301 to
    // 303 turn it into a GET, as browsers do.
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    // With no proxy variable set, the proxy the system's Internet settings name (Windows).
    const std::optional<platform::ProxyChoice> systemProxy =
        platform::systemProxyChoice(m_urlParts.scheme, m_urlParts.host);
    set(CURLOPT_PROXY, systemProxy ? systemProxy->proxy.c_str() : nullptr);
    set(CURLOPT_NOPROXY, systemProxy && !systemProxy->noProxy.empty() ? systemProxy->noProxy.c_str() : nullptr);
    set(CURLOPT_CONNECTTIMEOUT, m_limits.connectTimeoutSeconds);
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
    if (collector.rejectedStatus != 0) {
        throw ESOAPHTTPException::forStatus(collector.statusText, static_cast<int>(collector.rejectedStatus), m_url);
    }
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
