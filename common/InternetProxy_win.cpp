// Automatic proxy configuration on Windows, as Windows programs resolve it: WinHTTP reads the
// user's settings, fetches and runs the proxy auto-config script (or finds it by WPAD) and
// names the proxy for one URL.
#include "common/Platform.h"
#include "common/Platform_p.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <memory>
#include <string>
#include <windows.h>
#include <winhttp.h>

namespace glb::platform {

namespace {

// Finding and running the script may not hold a send for long: each step has this limit.
constexpr int kAutoProxyTimeoutMs = 10000;

/// Takes a string that WinHTTP allocated: its text, the string freed.
std::string takeGlobal(wchar_t*& text)
{
    if (text == nullptr) {
        return {};
    }
    std::string result = detail::utf8FromWide(text).value_or(std::string());
    ::GlobalFree(text);
    text = nullptr;
    return result;
}

struct InternetHandleCloser
{
    void operator()(void* handle) const { ::WinHttpCloseHandle(handle); }
};

} // namespace

void detail::addUserAutomaticConfiguration(bool& autoDetect, std::string& autoConfigUrl)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (::WinHttpGetIEProxyConfigForCurrentUser(&config) == FALSE) {
        return;
    }
    autoDetect = autoDetect || config.fAutoDetect != FALSE;
    std::string url = takeGlobal(config.lpszAutoConfigUrl);
    if (autoConfigUrl.empty()) {
        autoConfigUrl = std::move(url);
    }
    takeGlobal(config.lpszProxy);
    takeGlobal(config.lpszProxyBypass);
}

std::optional<InternetProxySettings> automaticProxySettings(const InternetProxySettings& settings, std::string_view url)
{
    if (!settings.autoDetect && settings.autoConfigUrl.empty()) {
        return std::nullopt;
    }
    const std::unique_ptr<void, InternetHandleCloser> session(::WinHttpOpen(
        L"BackupGlebarium", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return std::nullopt;
    }
    ::WinHttpSetTimeouts(session.get(), kAutoProxyTimeoutMs, kAutoProxyTimeoutMs, kAutoProxyTimeoutMs,
                         kAutoProxyTimeoutMs);
    const std::wstring target = detail::wideFromUtf8(url);
    WINHTTP_PROXY_INFO info{};
    // Auto-detection first, then the script the settings name, as WinInet tries them: each
    // on its own, since a failed detection ends a lookup that asks for both.
    const auto lookUp = [&](WINHTTP_AUTOPROXY_OPTIONS options) {
        // The script's server may ask who is calling: the user's own logon answers it.
        options.fAutoLogonIfChallenged = FALSE;
        if (::WinHttpGetProxyForUrl(session.get(), target.c_str(), &options, &info) != FALSE) {
            return true;
        }
        if (::GetLastError() != ERROR_WINHTTP_LOGIN_FAILURE) {
            return false;
        }
        options.fAutoLogonIfChallenged = TRUE;
        return ::WinHttpGetProxyForUrl(session.get(), target.c_str(), &options, &info) != FALSE;
    };
    bool found = false;
    if (settings.autoDetect) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        found = lookUp(options);
    }
    const std::wstring scriptUrl = detail::wideFromUtf8(settings.autoConfigUrl);
    if (!found && !scriptUrl.empty()) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl.c_str();
        found = lookUp(options);
    }
    if (!found) {
        return std::nullopt;
    }
    InternetProxySettings result;
    result.server = takeGlobal(info.lpszProxy);
    const std::string scriptBypass = takeGlobal(info.lpszProxyBypass);
    result.enabled = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !result.server.empty();
    result.bypass = settings.bypass;
    if (!scriptBypass.empty()) {
        result.bypass += result.bypass.empty() ? scriptBypass : ";" + scriptBypass;
    }
    return result;
}

} // namespace glb::platform
