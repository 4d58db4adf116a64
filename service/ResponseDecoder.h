#pragma once

#include <string>
#include <string_view>

namespace glb::service {

/// ProcessResponse: decodes the body of the service's response into the result text of
/// UploadBackup, or raises the error the response carries (SOAP fault, malformed reply).
std::string ProcessResponse(std::string_view body);

} // namespace glb::service
