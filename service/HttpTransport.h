#pragma once

#include "service/RequestBody.h"

#include <cstdint>
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
