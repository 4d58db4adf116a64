#include "service/Url.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace glb::service {

namespace {

bool isHostChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && c != '/' && c != '?' && c != '#' && c != '@' && c != '\\';
}

/// The default port of a scheme this client speaks (compared in lower case), or 0.
std::uint16_t defaultPortOf(std::string_view scheme)
{
    if (scheme == "http")
        return 80;
    if (scheme == "https")
        return 443;
    return 0;
}

/// The host and the port text of an authority without user information: "host",
/// "host:port", "[v6]" or "[v6]:port". Nothing for an unclosed bracket or text after it.
std::optional<std::pair<std::string_view, std::string_view>> splitAuthority(std::string_view authority)
{
    std::string_view host;
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return std::nullopt;
            portText = after.substr(1);
        }
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            portText = authority.substr(colon + 1);
    }
    return std::pair{host, portText};
}

/// A port of 1 to 65535 in decimal digits only.
std::optional<std::uint16_t> parsePort(std::string_view text)
{
    unsigned long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

/// The path and query of what follows the authority; the fragment names a place inside the
/// reply and never goes on the wire.
std::string pathOf(std::string_view tail)
{
    tail = tail.substr(0, tail.find('#'));
    if (tail.empty())
        return "/";
    if (tail.front() == '?')
        return "/" + std::string(tail);
    return std::string(tail);
}

} // namespace

std::optional<UrlParts> crackUrl(std::string_view url)
{
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return std::nullopt;

    UrlParts parts;
    for (const char c : url.substr(0, schemeEnd))
        parts.scheme.push_back(lowerAscii(c));
    parts.port = defaultPortOf(parts.scheme);
    if (parts.port == 0)
        return std::nullopt;

    const std::string_view rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);

    const auto hostAndPort = splitAuthority(authority);
    if (!hostAndPort)
        return std::nullopt;
    const auto [host, portText] = *hostAndPort;
    if (host.empty() || !std::all_of(host.begin(), host.end(), isHostChar))
        return std::nullopt;
    parts.host = std::string(host);
    if (!portText.empty()) {
        const std::optional<std::uint16_t> port = parsePort(portText);
        if (!port)
            return std::nullopt;
        parts.port = *port;
    }

    parts.path = pathOf(authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd));
    return parts;
}

std::string urlWithoutUserInfo(std::string_view url)
{
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return std::string(url);
    const std::size_t authorityStart = schemeEnd + 3;
    const std::size_t authorityEnd = std::min(url.find_first_of("/?#", authorityStart), url.size());
    const std::size_t at = url.substr(0, authorityEnd).rfind('@');
    if (at == std::string_view::npos || at < authorityStart)
        return std::string(url);
    return std::string(url.substr(0, authorityStart)) + std::string(url.substr(at + 1));
}

} // namespace glb::service
