#pragma once

#include "common/SendCancel.h"
#include "service/RequestBody.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace glb::service {

/// The parts of an endpoint URL that the transport connects with.
struct UrlParts
{
    std::string scheme; ///< "http" or "https"
    std::string host;
    std::uint16_t port = 0; ///< the scheme's default when the URL names none
    std::string path;       ///< everything after host and port ("/" when empty)
};

/// Told, on the thread that sends, that an upload which broke before its last byte waits to be
/// tried again: the attempt to come (2 or 3), of how many, and when it starts.
using RetryObserver = std::function<void(int attempt, int attempts, std::chrono::steady_clock::time_point at)>;

/// What one send hands its transport besides the request: whom to tell how far it is, and the
/// user's cancel.
struct SendHooks
{
    /// How much of the request has been handed to the HTTP library.
    SendObserver onSent;
    /// A broken upload's wait before it is tried again.
    RetryObserver onRetry;
    /// When set, the send stops (ESendCancelled) within about a second of its cancel.
    const SendCancel* cancel = nullptr;
};

/// The HTTP transport of a service proxy: posts one request document and collects the
/// response body. Implementations: CurlTransport (the wire), and fakes in tests.
class HttpTransport
{
public:
    virtual ~HttpTransport() = default;

    /// Records the address, splits it into its parts and closes any open connection.
    /// Nothing is sent.
    virtual void setUrl(const std::string& url) = 0;
    virtual const std::string& url() const = 0;
    virtual const UrlParts& urlParts() const = 0;

    /// BeforeExecute: the SOAPAction of the operation about to be called.
    virtual void setSoapAction(const std::string& action) = 0;
    virtual const std::string& soapAction() const = 0;

    /// Posts `request`, pulling its bytes while they are sent, and appends the response body
    /// to `response`; raises on failure, also when the body cannot be produced as counted, and
    /// with ERequestNotReceivedWhole when the service answered before the whole request went
    /// out (a reply counts only once it has).
    virtual void execute(RequestBody& request, std::string& response) = 0;

    /// The hooks of the sends to come (the retry observer and the cancel; onSent is the
    /// proxy's). A transport without retries or cancel ignores them.
    virtual void setSendHooks(const SendHooks& hooks) { (void)hooks; }

    /// Posts a body held in memory.
    void execute(std::string_view request, std::string& response)
    {
        MemoryBody body(request);
        execute(body, response);
    }
};

/// The transport a new service proxy gets: libcurl over the system's proxy settings.
std::unique_ptr<HttpTransport> makeDefaultTransport();

} // namespace glb::service
