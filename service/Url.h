#pragma once

#include "service/HttpTransport.h"

#include <optional>
#include <string>
#include <string_view>

namespace glb::service {

/// Splits an http or https URL into scheme, host, port and path.
///
/// - The scheme is compared without regard to letter case and returned in lower case.
/// - User information before "@" is not part of the host; an IPv6 literal loses its brackets.
/// - The port is the scheme's default (80 for http, 443 for https) when the URL names none.
/// - The path is everything after host and port up to a "#" fragment, query included;
///   "/" when the URL has none.
///
/// Empty when the text is not such a URL: another scheme, no "://", an empty host, a host
/// with blanks or control characters, or a port that is not a number from 1 to 65535.
std::optional<UrlParts> crackUrl(std::string_view url);

/// `url` without the user information ("user:password@") of its authority, so that no
/// credentials reach the wire; any other text is returned as it is.
std::string urlWithoutUserInfo(std::string_view url);

} // namespace glb::service
