#pragma once

// Shared by the portable part of the platform layer (Platform.cpp) and each platform's.

#include <string>

namespace glb::platform::detail {

/// The platform's own text for a system error code (strerror_r / FormatMessageW), untrimmed.
std::string nativeErrorText(int code);

#ifdef _WIN32
/// What WinHTTP reports of the current user's automatic proxy configuration: auto-detection
/// on, and the script's address (InternetProxy_win.cpp; WinHTTP's header cannot be included
/// beside WinInet's).
void addUserAutomaticConfiguration(bool& autoDetect, std::string& autoConfigUrl);
#endif

} // namespace glb::platform::detail
