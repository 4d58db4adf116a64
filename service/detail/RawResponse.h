#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace glb::service::detail {

/// A whole HTTP/1.x response read from its own bytes.
struct RawResponse
{
    int status = 0;
    std::string statusText;                 ///< the reason phrase, without the line end
    std::optional<std::string> contentType; ///< the value of the first Content-Type header
    std::string body;
};

/// Reads the final response at the start of `bytes` (interim 1xx heads before it are passed
/// over), for the bytes a server sent that libcurl never read: when a send fails on a server
/// that answered and closed without reading the rest of the request.
///
/// Only a response known to be whole is returned: a well-formed head and a body of exactly
/// its one Content-Length (none for 204 and 304); a response without Content-Length, or with
/// a Transfer-Encoding or Content-Lengths that disagree, could be cut anywhere and gives
/// std::nullopt, like a head or body cut short. Bytes after the body are left alone.
std::optional<RawResponse> readWholeResponse(std::string_view bytes);

} // namespace glb::service::detail
