#include "service/Url.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace glb::service {

namespace {

bool isHostChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && c != '/' && c != '?' && c != '#' && c != '@' && c != '\\';
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
    std::uint16_t defaultPort = 0;
    if (parts.scheme == "http")
        defaultPort = 80;
    else if (parts.scheme == "https")
        defaultPort = 443;
    else
        return std::nullopt;

    std::string_view rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);

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
    if (host.empty())
        return std::nullopt;
    for (const char c : host) {
        if (!isHostChar(c))
            return std::nullopt;
    }
    parts.host = std::string(host);

    parts.port = defaultPort;
    if (!portText.empty()) {
        unsigned long value = 0;
        for (const char c : portText) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535)
                return std::nullopt;
        }
        if (value == 0)
            return std::nullopt;
        parts.port = static_cast<std::uint16_t>(value);
    }

    // The fragment names a place inside the reply; it never goes on the wire.
    tail = tail.substr(0, tail.find('#'));
    if (tail.empty())
        parts.path = "/";
    else if (tail.front() == '?')
        parts.path = "/" + std::string(tail);
    else
        parts.path = std::string(tail);
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
