#pragma once

// Shared by the portable part of the platform layer (Platform.cpp) and each platform's.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace glb::platform::detail {

/// The platform's own text for a system error code (strerror_r / FormatMessageW), untrimmed.
std::string nativeErrorText(int code);

/// Asks the system not to sleep (KeepAwake); true when granted, with what is to be given
/// back in `handle`.
bool acquireKeepAwake(std::intptr_t& handle);
/// Gives back what acquireKeepAwake() granted.
void releaseKeepAwake(std::intptr_t handle) noexcept;

#ifdef _WIN32
/// `text` as UTF-16; with `strict`, empty when it is not UTF-8 (else each ill-formed
/// sequence becomes U+FFFD).
std::wstring wideFromUtf8(std::string_view text, bool strict = false);
/// `text` as UTF-8; nullopt when it holds unpaired surrogates.
std::optional<std::string> utf8FromWide(std::wstring_view text);

/// What WinHTTP reports of the current user's automatic proxy configuration: auto-detection
/// on, and the script's address (InternetProxy_win.cpp; WinHTTP's header cannot be included
/// beside WinInet's).
void addUserAutomaticConfiguration(bool& autoDetect, std::string& autoConfigUrl);
#endif

} // namespace glb::platform::detail
