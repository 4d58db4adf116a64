#include "service/ResponseDecoder.h"

#include "common/Error.h"

// Placeholder until the decoder lands: no reply is taken for a result.
namespace glb::service {

std::string ProcessResponse(std::string_view)
{
    throw Error("The response decoder is not built yet");
}

} // namespace glb::service
