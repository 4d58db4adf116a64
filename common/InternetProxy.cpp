#include "common/InternetProxy.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace glb::platform {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

/// The non-empty pieces of `text` between any of `separators`, trimmed.
std::vector<std::string_view> pieces(std::string_view text, std::string_view separators)
{
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        const std::string_view piece = trimmed(text.substr(0, end));
        if (!piece.empty()) {
            result.push_back(piece);
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return result;
}

bool isSet(const EnvironmentLookup& environment, const std::string& name)
{
    const char* value = environment(name.c_str());
    return value != nullptr && *value != '\0';
}

/// True when libcurl takes its proxy for `scheme` from the environment.
bool proxyVariableSet(std::string_view scheme, const EnvironmentLookup& environment)
{
    const std::string lower = lowerAscii(std::string(scheme)) + "_proxy";
    if (isSet(environment, lower)) {
        return true;
    }
    // libcurl reads HTTP_PROXY in no case: a CGI program gets it from a request header.
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return (lower != "http_proxy" && isSet(environment, upper)) || isSet(environment, "all_proxy") ||
           isSet(environment, "ALL_PROXY");
}

/// "host:port" (or a URL) as a proxy URL with a port: `defaultScheme`:// when it names no
/// scheme, `defaultPort` when it names no port.
std::string proxyUrl(std::string_view value, std::string_view defaultScheme, std::string_view defaultPort)
{
    std::string url;
    std::string_view rest = value;
    if (const std::size_t separator = rest.find("://"); separator != std::string_view::npos) {
        url = lowerAscii(std::string(rest.substr(0, separator + 3)));
        rest.remove_prefix(separator + 3);
    } else {
        url = std::string(defaultScheme) + "://";
    }
    rest = rest.substr(0, rest.find('/'));
    url += rest;
    // "[::1]:8080", "[::1]", "host:8080", "host"
    const std::size_t bracket = rest.rfind(']');
    const std::size_t colon = rest.rfind(':');
    const bool hasPort = colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
    if (!hasPort) {
        url += ":";
        url += defaultPort;
    }
    return url;
}

/// The proxy URL that the server setting names for `scheme`, or empty.
std::string serverFor(std::string_view server, std::string_view scheme)
{
    std::string_view any;
    std::string_view socks;
    for (const std::string_view entry : pieces(server, "; \t\r\n")) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos || equals > entry.find("://")) {
            if (any.empty()) {
                any = entry;
            }
            continue;
        }
        const std::string_view key = trimmed(entry.substr(0, equals));
        const std::string_view value = trimmed(entry.substr(equals + 1));
        if (value.empty()) {
            continue;
        }
        if (equalsIgnoringAsciiCase(key, scheme)) {
            return proxyUrl(value, "http", "80");
        }
        if (equalsIgnoringAsciiCase(key, "socks") && socks.empty()) {
            socks = value;
        }
    }
    if (!any.empty()) {
        return proxyUrl(any, "http", "80");
    }
    return socks.empty() ? std::string() : proxyUrl(socks, "socks4", "1080");
}

/// `pattern` against `text`, ignoring ASCII case; "*" stands for any run of characters.
bool wildcardMatch(std::string_view pattern, std::string_view text)
{
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && lowerAscii(pattern[p]) == lowerAscii(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

bool isDecimalOctet(std::string_view text)
{
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    return std::stoi(std::string(text)) <= 255;
}

/// "10.*", "192.168.1.*", "172.16.*.*" as an address range ("10.0.0.0/8"); empty otherwise.
std::string addressRange(std::string_view pattern)
{
    std::vector<std::string_view> octets;
    for (std::string_view rest = pattern;;) {
        const std::size_t dot = rest.find('.');
        octets.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(dot + 1);
    }
    std::size_t fixed = 0;
    while (fixed < octets.size() && isDecimalOctet(octets[fixed])) {
        ++fixed;
    }
    if (fixed == 0 || fixed == octets.size() || octets.size() > 4 ||
        !std::all_of(octets.begin() + static_cast<std::ptrdiff_t>(fixed), octets.end(),
                     [](std::string_view octet) { return octet == "*"; })) {
        return {};
    }
    std::string range;
    for (std::size_t i = 0; i < 4; ++i) {
        range += i < fixed ? std::string(octets[i]) : std::string("0");
        range += i < 3 ? "." : "";
    }
    return range + "/" + std::to_string(fixed * 8);
}

/// The bypass entry in libcurl's no-proxy form, or empty when it has none.
std::string noProxyForm(std::string_view entry)
{
    if (entry.find('?') != std::string_view::npos) {
        return {};
    }
    if (entry.find('*') == std::string_view::npos) {
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') {
            return lowerAscii(std::string(entry.substr(1, entry.size() - 2)));
        }
        // A single ":" names a port, which the list cannot hold.
        return std::count(entry.begin(), entry.end(), ':') == 1 ? std::string() : lowerAscii(std::string(entry));
    }
    if (entry.substr(0, 2) == "*." && entry.find_first_of("*:", 2) == std::string_view::npos && entry.size() > 2) {
        return lowerAscii(std::string(entry.substr(2)));
    }
    return addressRange(entry);
}

std::string noProxyList(std::string_view bypass, std::string_view host)
{
    std::vector<std::string> names;
    const auto add = [&names](std::string name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
    };
    bool hostBypassed = false;
    bool loopbackViaProxy = false;
    for (std::string_view entry : pieces(bypass, ";, \t\r\n")) {
        if (equalsIgnoringAsciiCase(entry, "<local>")) {
            // Names without a dot: intranet hosts (an IPv6 address is no name).
            hostBypassed = hostBypassed || (!host.empty() && host.find_first_of(".:") == std::string_view::npos);
            continue;
        }
        if (equalsIgnoringAsciiCase(entry, "<-loopback>")) {
            loopbackViaProxy = true;
            continue;
        }
        if (const std::size_t separator = entry.find("://"); separator != std::string_view::npos) {
            entry.remove_prefix(separator + 3);
        }
        if (entry == "*") {
            return "*";
        }
        add(noProxyForm(entry));
        hostBypassed =
            hostBypassed || wildcardMatch(entry, host) ||
            (entry.size() > 2 && entry.front() == '[' && wildcardMatch(entry.substr(1, entry.size() - 2), host));
    }
    if (hostBypassed) {
        add(lowerAscii(std::string(host)));
    }
    if (!loopbackViaProxy) {
        for (const char* name : {"localhost", "127.0.0.0/8", "::1"}) {
            add(name);
        }
    }
    std::string list;
    for (const std::string& name : names) {
        list += list.empty() ? "" : ",";
        list += name;
    }
    return list;
}

} // namespace

std::optional<ProxyChoice> proxyChoiceFor(const std::optional<InternetProxySettings>& settings, std::string_view scheme,
                                          std::string_view host, const EnvironmentLookup& environment)
{
    if (!settings || !settings->enabled || proxyVariableSet(scheme, environment)) {
        return std::nullopt;
    }
    std::string proxy = serverFor(settings->server, scheme);
    if (proxy.empty()) {
        return std::nullopt;
    }
    ProxyChoice choice{std::move(proxy), {}};
    if (!isSet(environment, "no_proxy") && !isSet(environment, "NO_PROXY")) {
        choice.noProxy = noProxyList(settings->bypass, host);
    }
    return choice;
}

std::optional<InternetProxySettings> effectiveProxySettings(const std::optional<InternetProxySettings>& settings,
                                                            std::string_view url, const AutomaticLookup& automatic)
{
    if (!settings || (!settings->autoDetect && settings->autoConfigUrl.empty())) {
        return settings;
    }
    std::optional<InternetProxySettings> found = automatic(*settings, url);
    if (!found) {
        return settings;
    }
    return found;
}

std::optional<ProxyChoice> systemProxyChoice(std::string_view url, std::string_view scheme, std::string_view host)
{
    const EnvironmentLookup environment = [](const char* name) { return std::getenv(name); };
    if (proxyVariableSet(scheme, environment)) {
        return std::nullopt;
    }
    return proxyChoiceFor(effectiveProxySettings(internetProxySettings(), url, automaticProxySettings), scheme, host,
                          environment);
}

} // namespace glb::platform
