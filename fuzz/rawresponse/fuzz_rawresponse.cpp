// Any bytes as what a server sent that libcurl left unread: readWholeResponse gives nothing,
// or a final status of three digits with a reason phrase and a Content-Type of one line each
// and a body that the bytes hold; and that response, written back with its Content-Length,
// reads back as the same parts.

#include "fuzz/support/FuzzCheck.h"
#include "service/detail/RawResponse.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using glb::service::detail::RawResponse;
using glb::service::detail::readWholeResponse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<RawResponse> response = readWholeResponse(bytes);
    if (!response) {
        return 0;
    }
    GLB_FUZZ_CHECK(bytes.substr(0, 7) == "HTTP/1.");
    GLB_FUZZ_CHECK(response->status >= 200 && response->status <= 999);
    GLB_FUZZ_CHECK(response->statusText.find('\n') == std::string::npos);
    GLB_FUZZ_CHECK(!response->contentType || response->contentType->find('\n') == std::string::npos);
    GLB_FUZZ_CHECK(response->body.size() <= bytes.size());
    GLB_FUZZ_CHECK(bytes.find(response->body) != std::string_view::npos);
    if (response->status == 204 || response->status == 304) {
        GLB_FUZZ_CHECK(response->body.empty());
        return 0;
    }

    std::string written = "HTTP/1.1 " + std::to_string(response->status) + " " + response->statusText + "\r\n";
    if (response->contentType) {
        written += "Content-Type: " + *response->contentType + "\r\n";
    }
    written += "Content-Length: " + std::to_string(response->body.size()) + "\r\n\r\n" + response->body;
    const std::optional<RawResponse> again = readWholeResponse(written);
    GLB_FUZZ_CHECK(again.has_value());
    GLB_FUZZ_CHECK(again->status == response->status);
    GLB_FUZZ_CHECK_TEXT(again->statusText, response->statusText, "the reason phrase written back");
    GLB_FUZZ_CHECK(again->contentType == response->contentType);
    GLB_FUZZ_CHECK_TEXT(again->body, response->body, "the body written back");
    // One byte short of its body, the response is cut short.
    GLB_FUZZ_CHECK(response->body.empty() ||
                   !readWholeResponse(std::string_view(written).substr(0, written.size() - 1)));
    return 0;
}
