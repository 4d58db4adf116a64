#pragma once

// The proxy of an HTTP exchange from the system's Internet settings, in the forms the HTTP
// library takes. Portable: the settings come from the platform layer (Platform.h).

#include "common/Platform.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace glb::platform {

/// The proxy of one exchange, as libcurl takes it.
struct ProxyChoice
{
    std::string proxy;   ///< CURLOPT_PROXY: "http://host:port" or "socks4://host:port"
    std::string noProxy; ///< CURLOPT_NOPROXY: hosts, domains and address ranges joined by ","; empty: none
};

/// Reads an environment variable; null when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

/// The proxy that `settings` name for a request to `scheme`://`host`; none when they name
/// none, or when a proxy variable of the environment that libcurl reads for `scheme` is set
/// (http_proxy; for other schemes <scheme>_proxy or its upper-case form; all_proxy,
/// ALL_PROXY): those decide then, as libcurl applies them itself.
///
/// The server: "host:port" serves every scheme; "http=host:port;https=host:port;..." one
/// each, an entry without "=" the schemes without one of their own, and "socks=host:port"
/// (a SOCKS 4 proxy) the schemes without any. A missing port is 80 (1080 for SOCKS).
///
/// The bypass list becomes the no-proxy list: a name or address stays as it is (libcurl
/// then also bypasses the name's subdomains), "*.domain" becomes "domain" (which covers the
/// domain itself too), "10.*" and "192.168.1.*" become "10.0.0.0/8" and "192.168.1.0/24",
/// "*" alone bypasses every host. What libcurl cannot express ("<local>": names without a
/// dot; other wildcards) is decided here for `host`, which joins the list when it matches.
/// Loopback names and addresses are bypassed unless the list holds "<-loopback>". Entries
/// that name a port are not applied. When no_proxy or NO_PROXY is set, the list is left to
/// it (noProxy empty).
std::optional<ProxyChoice> proxyChoiceFor(const std::optional<InternetProxySettings>& settings, std::string_view scheme,
                                          std::string_view host, const EnvironmentLookup& environment);

/// Finds the proxy that automatic configuration names for a URL (automaticProxySettings()).
using AutomaticLookup =
    std::function<std::optional<InternetProxySettings>(const InternetProxySettings&, std::string_view url)>;

/// The settings that decide the proxy of a request to `url`. Where `settings` ask for
/// automatic configuration (a script's address, or auto-detection) and `automatic` finds
/// the answer for `url`, that answer; where it finds none (no script found, fetched or
/// run), the user's static settings, so that with no static proxy enabled the request goes
/// direct. Otherwise `settings` as they are.
std::optional<InternetProxySettings> effectiveProxySettings(const std::optional<InternetProxySettings>& settings,
                                                            std::string_view url, const AutomaticLookup& automatic);

/// proxyChoiceFor() with the system's settings (after automatic configuration for `url`)
/// and this process's environment; with a proxy variable set, no script is looked for.
std::optional<ProxyChoice> systemProxyChoice(std::string_view url, std::string_view scheme, std::string_view host);

} // namespace glb::platform
