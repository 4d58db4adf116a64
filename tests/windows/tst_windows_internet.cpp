// The Internet facilities of the platform layer over Win32: the pre-connection step and the
// current user's proxy settings, read from the registry where `reg add` puts them, and the
// proxy that a proxy auto-config script names, fetched and run by WinHTTP.

#include "common/InternetProxy.h"
#include "common/Platform.h"
#include "tests/support/LoopbackHttpServer.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <cstdlib>
#include <string>
#include <windows.h>

namespace glb::platform {
namespace {

constexpr const char* kServiceUrl = "http://www.glebarium.com.br/web/backup_antigo.php";
constexpr const wchar_t* kSettingsKey = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

/// Runs the system's registry tool with `arguments`; its exit code.
int reg(const std::wstring& arguments)
{
    const std::wstring command = L"reg " + arguments + L" >NUL 2>&1";
    return ::_wsystem(command.c_str());
}

void setValue(const wchar_t* name, const wchar_t* type, const std::wstring& data)
{
    ASSERT_EQ(
        reg(std::wstring(L"add \"") + kSettingsKey + L"\" /v " + name + L" /t " + type + L" /d \"" + data + L"\" /f"),
        0);
}

void deleteValue(const wchar_t* name)
{
    reg(std::wstring(L"delete \"") + kSettingsKey + L"\" /v " + name + L" /f");
}

/// The values removed before and after each test: it changes the settings of the
/// prefix it runs in, which is the throwaway one of the Windows leg.
class InternetSettings : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!underWine()) {
            GTEST_SKIP() << "changes the user's Internet settings: run only in the Wine prefix of the Windows leg";
        }
        clear();
        ::_wputenv_s(L"http_proxy", L"");
        ::_wputenv_s(L"no_proxy", L"");
    }
    void TearDown() override
    {
        if (underWine()) {
            clear();
        }
    }
    static void clear()
    {
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"}) {
            deleteValue(name);
        }
    }
};

TEST(InternetAttempt, ThePreConnectionStepAsksWinInet)
{
    // Wine's WinInet always makes a connection available.
    EXPECT_TRUE(internetAttemptConnect());
}

TEST_F(InternetSettings, ValuesWrittenByRegAreReadAsTheyStand)
{
    setValue(L"ProxyEnable", L"REG_DWORD", L"1");
    setValue(L"ProxyServer", L"REG_SZ", L"http=proxy.fazenda:3128;https=seguro.fazenda:8443");
    setValue(L"ProxyOverride", L"REG_SZ", L"<local>;*.s\u00E3o-jos\u00E9.br;10.*");
    const std::optional<InternetProxySettings> settings = internetProxySettings();
    ASSERT_TRUE(settings.has_value());
    EXPECT_TRUE(settings->enabled);
    EXPECT_EQ(settings->server, "http=proxy.fazenda:3128;https=seguro.fazenda:8443");
    EXPECT_EQ(settings->bypass, "<local>;*.s\xC3\xA3o-jos\xC3\xA9.br;10.*");

    const std::optional<ProxyChoice> choice = systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br");
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->proxy, "http://proxy.fazenda:3128");
    EXPECT_EQ(choice->noProxy, "s\xC3\xA3o-jos\xC3\xA9.br,10.0.0.0/8,localhost,127.0.0.0/8,::1");

    // A proxy variable of the environment still decides.
    ::_wputenv_s(L"http_proxy", L"http://outro:8080");
    EXPECT_FALSE(systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br").has_value());
}

TEST_F(InternetSettings, DisabledOrMissingValuesNameNoProxy)
{
    const std::optional<InternetProxySettings> none = internetProxySettings();
    ASSERT_TRUE(none.has_value()); // the key exists; its values do not
    EXPECT_FALSE(none->enabled);
    EXPECT_EQ(none->server, "");
    EXPECT_EQ(none->bypass, "");

    setValue(L"ProxyEnable", L"REG_DWORD", L"0");
    setValue(L"ProxyServer", L"REG_SZ", L"proxy.fazenda:3128");
    const std::optional<InternetProxySettings> off = internetProxySettings();
    ASSERT_TRUE(off.has_value());
    EXPECT_FALSE(off->enabled);
    EXPECT_EQ(off->server, "proxy.fazenda:3128");
    EXPECT_FALSE(systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br").has_value());

    // Some tools store ProxyEnable as four binary bytes.
    setValue(L"ProxyEnable", L"REG_BINARY", L"01000000");
    const std::optional<InternetProxySettings> binary = internetProxySettings();
    ASSERT_TRUE(binary.has_value());
    EXPECT_TRUE(binary->enabled);
}

std::wstring wide(const std::string& ascii)
{
    return {ascii.begin(), ascii.end()};
}

TEST_F(InternetSettings, AProxyAutoConfigScriptNamesTheProxyForEachUrl)
{
    // The script sends the service's host through a proxy and everything else direct.
    test::LoopbackHttpServer scripts([](const test::LoopbackHttpServer::Request&) {
        const std::string script = "function FindProxyForURL(url, host) {\n"
                                   "  if (host == \"www.glebarium.com.br\") return \"PROXY 127.0.0.1:3128\";\n"
                                   "  return \"DIRECT\";\n"
                                   "}\n";
        return test::LoopbackHttpServer::Reply{"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                                               "Content-Length: " +
                                               std::to_string(script.size()) + "\r\n\r\n" + script};
    });
    const std::string scriptUrl = scripts.url("/proxy.pac");
    setValue(L"AutoConfigURL", L"REG_SZ", wide(scriptUrl));
    setValue(L"ProxyOverride", L"REG_SZ", L"*.fazenda");

    const std::optional<InternetProxySettings> settings = internetProxySettings();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->autoConfigUrl, scriptUrl);

    const std::optional<ProxyChoice> service = systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br");
    ASSERT_TRUE(service.has_value());
    EXPECT_EQ(service->proxy, "http://127.0.0.1:3128");
    EXPECT_EQ(service->noProxy, "fazenda,localhost,127.0.0.0/8,::1") << "the bypass rules are kept";
    EXPECT_FALSE(scripts.requests().empty()) << "the script was fetched from " << scriptUrl;

    // The script decides: a host it sends direct goes direct, whatever the static proxy.
    setValue(L"ProxyEnable", L"REG_DWORD", L"1");
    setValue(L"ProxyServer", L"REG_SZ", L"estatico.fazenda:8080");
    EXPECT_FALSE(systemProxyChoice("http://outro.exemplo.br/", "http", "outro.exemplo.br").has_value());
}

TEST_F(InternetSettings, AScriptThatCannotBeFetchedLeavesTheStaticSettings)
{
    const test::UnusedPort closed;
    setValue(L"AutoConfigURL", L"REG_SZ", L"http://127.0.0.1:" + std::to_wstring(closed.port()) + L"/proxy.pac");
    EXPECT_FALSE(systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br").has_value()) << "direct";

    setValue(L"ProxyEnable", L"REG_DWORD", L"1");
    setValue(L"ProxyServer", L"REG_SZ", L"estatico.fazenda:8080");
    const std::optional<ProxyChoice> choice = systemProxyChoice(kServiceUrl, "http", "www.glebarium.com.br");
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->proxy, "http://estatico.fazenda:8080");
}

} // namespace
} // namespace glb::platform
