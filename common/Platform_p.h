#pragma once

// Shared by the portable part of the platform layer (Platform.cpp) and each platform's.

#include <string>

namespace glb::platform::detail {

/// The platform's own text for a system error code (strerror_r / FormatMessageW), untrimmed.
std::string nativeErrorText(int code);

} // namespace glb::platform::detail
