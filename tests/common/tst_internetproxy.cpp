// The proxy of an exchange from the system's Internet settings: the translation into
// libcurl's proxy and no-proxy strings, and the proxy variables that take precedence.
// Runs on every platform; the Windows leg reads the settings from the registry.

#include "common/InternetProxy.h"

#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>

namespace {

using glb::platform::InternetProxySettings;
using glb::platform::ProxyChoice;

constexpr const char* kLoopback = "localhost,127.0.0.0/8,::1";

struct Case
{
    const char* what;
    std::optional<InternetProxySettings> settings;
    const char* scheme;
    const char* host;
    std::map<std::string, std::string> environment;
    std::optional<ProxyChoice> expected;
};

InternetProxySettings on(const char* server, const char* bypass = "")
{
    return {true, server, bypass, false, {}};
}

ProxyChoice via(const std::string& proxy, const std::string& noProxy = kLoopback)
{
    return {proxy, noProxy};
}

const char* const kHost = "www.glebarium.com.br";
const std::string kLoopbackList = kLoopback;

// clang-format off
const Case kCases[] = {
    {"no settings",                 std::nullopt,                                 "http", kHost, {}, std::nullopt},
    {"proxy not enabled",           InternetProxySettings{false, "p:3128", "", false, {}}, "http", kHost, {}, std::nullopt},
    {"enabled without a server",    on(""),                                       "http", kHost, {}, std::nullopt},
    {"one proxy for every scheme",  on("proxy.fazenda:3128"),                     "http", kHost, {}, via("http://proxy.fazenda:3128")},
    {"port 80 when none is given",  on("proxy.fazenda"),                          "http", kHost, {}, via("http://proxy.fazenda:80")},
    {"IPv6 proxy",                  on("[fd00::1]:8080"),                         "http", kHost, {}, via("http://[fd00::1]:8080")},
    {"IPv6 proxy without port",     on("[fd00::1]"),                              "http", kHost, {}, via("http://[fd00::1]:80")},
    {"a scheme in the value",       on("http=http://p1:8080"),                    "http", kHost, {}, via("http://p1:8080")},
    {"per scheme: http",            on("http=p1:8080;https=p2:8443"),             "http", kHost, {}, via("http://p1:8080")},
    {"per scheme, blank separated: https via an HTTP proxy", on("http=p1:8080 https=p2:8443 "), "https", kHost, {}, via("http://p2:8443")},
    {"per scheme, none for http",   on("https=p2:8443;ftp=f:21"),                 "http", kHost, {}, std::nullopt},
    {"entry without a scheme for the rest", on("p0:3128;https=p2:8443"),          "http", kHost, {}, via("http://p0:3128")},
    {"SOCKS for schemes without their own", on("ftp=f:21;socks=s.fazenda"),       "http", kHost, {}, via("socks4://s.fazenda:1080")},
    {"own entry before SOCKS",      on("socks=s:1081;HTTP=p1:8080"),              "http", kHost, {}, via("http://p1:8080")},

    {"bypass list",  on("p:3128", "*.Interno.br;10.*;192.168.1.*;172.16.*.*;intranet;[fd00::2];*corp*;<local>"), "http", kHost, {},
     via("http://p:3128", "interno.br,10.0.0.0/8,192.168.1.0/24,172.16.0.0/16,intranet,fd00::2," + kLoopbackList)},
    {"<local> bypasses a name without a dot",  on("p:3128", "<local>"),         "http", "servidor", {},
     via("http://p:3128", "servidor," + kLoopbackList)},
    {"<local> leaves names with a dot",        on("p:3128", "<local>"),         "http", kHost, {}, via("http://p:3128")},
    {"other wildcards decided for the host",   on("p:3128", "www.glebarium.*"), "http", "WWW.Glebarium.com.br", {},
     via("http://p:3128", "www.glebarium.com.br," + kLoopbackList)},
    {"an entry with a port is not applied",    on("p:3128", "www.glebarium.com.br:8080"), "http", kHost, {}, via("http://p:3128")},
    {"scheme in an entry",                     on("p:3128", "http://intranet"), "http", "intranet", {},
     via("http://p:3128", "intranet," + kLoopbackList)},
    {"* alone bypasses everything",            on("p:3128", "a.b;*"),           "http", kHost, {}, via("http://p:3128", "*")},
    {"<-loopback>: loopback via the proxy",    on("p:3128", "<-loopback>;a.b"), "http", kHost, {}, via("http://p:3128", "a.b")},

    {"http_proxy set: the environment decides", on("p:3128"), "http", kHost, {{"http_proxy", "http://q:1"}}, std::nullopt},
    {"HTTP_PROXY is not read for http",         on("p:3128"), "http", kHost, {{"HTTP_PROXY", "http://q:1"}}, via("http://p:3128")},
    {"HTTPS_PROXY for https",                   on("p:3128"), "https", kHost, {{"HTTPS_PROXY", "http://q:1"}}, std::nullopt},
    {"all_proxy",                               on("p:3128"), "http", kHost, {{"all_proxy", "socks5://q:1"}}, std::nullopt},
    {"an empty variable is not set",            on("p:3128"), "http", kHost, {{"http_proxy", ""}}, via("http://p:3128")},
    {"no_proxy set: the list is left to it",    on("p:3128", "a.b"), "http", kHost, {{"no_proxy", "c.d"}}, via("http://p:3128", "")},
};
// clang-format on

TEST(InternetProxy, SettingsBecomeLibcurlsProxyAndNoProxyStrings)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const auto environment = [&c](const char* name) -> const char* {
            const auto found = c.environment.find(name);
            return found == c.environment.end() ? nullptr : found->second.c_str();
        };
        const std::optional<ProxyChoice> choice =
            glb::platform::proxyChoiceFor(c.settings, c.scheme, c.host, environment);
        ASSERT_EQ(choice.has_value(), c.expected.has_value());
        if (choice) {
            EXPECT_EQ(choice->proxy, c.expected->proxy);
            EXPECT_EQ(choice->noProxy, c.expected->noProxy);
        }
    }
}

TEST(InternetProxy, AutomaticConfigurationDecidesWhereItFindsAnAnswer)
{
    InternetProxySettings staticProxy = on("estatico:8080");
    InternetProxySettings script = staticProxy;
    script.autoConfigUrl = "http://wpad.fazenda/proxy.pac";
    InternetProxySettings detect = staticProxy;
    detect.autoDetect = true;
    const InternetProxySettings named = on("pac:3128");
    const InternetProxySettings direct{};
    struct AutoCase
    {
        const char* what;
        std::optional<InternetProxySettings> settings;
        std::optional<InternetProxySettings> found; // what the lookup answers
        bool looksUp;
        std::optional<InternetProxySettings> expected;
    };
    // clang-format off
    const AutoCase cases[] = {
        {"no settings",                          std::nullopt, named,        false, std::nullopt},
        {"no automatic configuration",           staticProxy,  named,        false, staticProxy},
        {"a script names a proxy",               script,       named,        true,  named},
        {"a script says direct",                 script,       direct,       true,  direct},
        {"auto-detection names a proxy",         detect,       named,        true,  named},
        {"no script found: the static settings", script,       std::nullopt, true,  staticProxy},
    };
    // clang-format on
    for (const AutoCase& c : cases) {
        SCOPED_TRACE(c.what);
        bool lookedUp = false;
        const auto lookup = [&](const InternetProxySettings& settings, std::string_view url) {
            lookedUp = true;
            EXPECT_EQ(url, "http://www.glebarium.com.br/web/backup_antigo.php");
            EXPECT_EQ(settings.autoConfigUrl, c.settings->autoConfigUrl);
            return c.found;
        };
        const std::optional<InternetProxySettings> got = glb::platform::effectiveProxySettings(
            c.settings, "http://www.glebarium.com.br/web/backup_antigo.php", lookup);
        EXPECT_EQ(lookedUp, c.looksUp);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (got) {
            EXPECT_EQ(got->enabled, c.expected->enabled);
            EXPECT_EQ(got->server, c.expected->server);
        }
    }
}

} // namespace
