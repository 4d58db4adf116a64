// The URL splitter: any text is split or refused, and what it gives holds together: an
// http(s) scheme named at the start of the text, a host of the text's own bytes without
// blanks, controls or delimiters, a port from 1 to 65535, a path that starts with "/" and
// has no fragment; and the parts written back as a URL split into the same parts.

#include "fuzz/support/FuzzCheck.h"
#include "service/Url.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using glb::service::crackUrl;
using glb::service::UrlParts;

namespace {

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != prefix[i])
            return false;
    }
    return true;
}

// Whether the text names `port` after a colon (leading zeros allowed).
bool namesPort(std::string_view url, std::uint16_t port)
{
    const std::string digits = std::to_string(port);
    for (auto colon = url.find(':'); colon != std::string_view::npos; colon = url.find(':', colon + 1)) {
        std::size_t at = colon + 1;
        while (at < url.size() && url[at] == '0')
            ++at;
        const std::size_t end = at + digits.size();
        if (url.substr(at, digits.size()) == digits && (end == url.size() || url[end] < '0' || url[end] > '9'))
            return true;
    }
    return false;
}

void checkParts(std::string_view url, const UrlParts& parts)
{
    GLB_FUZZ_CHECK(parts.scheme == "http" || parts.scheme == "https");
    GLB_FUZZ_CHECK(startsWithIgnoringCase(url, parts.scheme + "://"));
    GLB_FUZZ_CHECK(parts.port >= 1);
    GLB_FUZZ_CHECK(!parts.host.empty());
    GLB_FUZZ_CHECK(url.find(parts.host) != std::string_view::npos);
    for (const char c : parts.host) {
        const auto u = static_cast<unsigned char>(c);
        GLB_FUZZ_CHECK(u > 0x20 && u != 0x7F);
        GLB_FUZZ_CHECK(std::string_view("/?#@\\").find(c) == std::string_view::npos);
    }
    GLB_FUZZ_CHECK(!parts.path.empty() && parts.path.front() == '/');
    GLB_FUZZ_CHECK(parts.path.find('#') == std::string::npos);
    // The path is the text's own, except the "/" put before a bare query.
    const std::string_view ownPath =
        parts.path.size() > 1 && parts.path[1] == '?' ? std::string_view(parts.path).substr(1) : parts.path;
    GLB_FUZZ_CHECK(ownPath == "/" || url.find(ownPath) != std::string_view::npos);
    const std::uint16_t defaultPort = parts.scheme == "http" ? 80 : 443;
    GLB_FUZZ_CHECK(parts.port == defaultPort || namesPort(url, parts.port));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    const auto parts = crackUrl(url);
    if (!parts)
        return 0;
    checkParts(url, *parts);

    // Written back: brackets around a host that holds a colon or starts with "[", and the
    // port always named.
    const bool bracketed = parts->host.find(':') != std::string::npos || parts->host.front() == '[';
    const std::string again = parts->scheme + "://" + (bracketed ? "[" + parts->host + "]" : parts->host) + ":" +
                              std::to_string(parts->port) + parts->path;
    const auto reparsed = crackUrl(again);
    GLB_FUZZ_CHECK(reparsed.has_value());
    GLB_FUZZ_CHECK_TEXT(reparsed->scheme, parts->scheme, "scheme written back");
    GLB_FUZZ_CHECK_TEXT(reparsed->host, parts->host, "host written back");
    GLB_FUZZ_CHECK(reparsed->port == parts->port);
    GLB_FUZZ_CHECK_TEXT(reparsed->path, parts->path, "path written back");
    return 0;
}
