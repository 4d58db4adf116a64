// Any body a service may send: the decoder gives a result or raises one of its errors,
// and never crashes, hangs or grows without bound.
#include "common/Error.h"
#include "service/ResponseDecoder.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        (void)glb::service::ProcessResponse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const glb::Error&) {
        // every refusal of a reply is one of the decoder's errors
    }
    return 0;
}
