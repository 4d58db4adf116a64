#include "common/Error.h"
#include "service/HttpTransport.h"

// Placeholder until the libcurl transport lands: a proxy cannot be made without it.
namespace glb::service {

std::unique_ptr<HttpTransport> makeDefaultTransport()
{
    throw Error("The HTTP transport is not built yet");
}

} // namespace glb::service
