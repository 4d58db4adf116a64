#pragma once

#include <string>
#include <string_view>

namespace glb::service {

/// ProcessResponse: decodes the body of the service's response into the result text of
/// UploadBackup, or raises the error the response carries (SOAP fault, malformed reply).
///
/// The body is parsed without network access, DTD loading or entity declarations: a
/// reference to an entity other than the five built-in ones is a parse error, so no reply
/// can make the parser expand text without bound. Nesting is held to the parser's default
/// depth limit. The whole document is held while it is decoded, so its memory follows the
/// size of the body (under 80 bytes per byte of body), which the transport bounds.
std::string ProcessResponse(std::string_view body);

} // namespace glb::service
