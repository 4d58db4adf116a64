#pragma once

#include <string_view>

namespace glb::service {

/// The namespaces of SOAP 1.1's envelope and encoding, which the request is written in and
/// a reply is expected in.
inline constexpr std::string_view kSoap11EnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kSoapEncodingNamespace = "http://schemas.xmlsoap.org/soap/encoding/";
/// SOAP 1.2's envelope, which a reply may also be in.
inline constexpr std::string_view kSoap12EnvelopeNamespace = "http://www.w3.org/2003/05/soap-envelope";

} // namespace glb::service
