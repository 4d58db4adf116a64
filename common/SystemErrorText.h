#pragma once

#include <string>

namespace glb {

/// The system's text for an error code (strerror on Linux, FormatMessageW on Windows),
/// trimmed by trimSystemText.
std::string systemErrorText(int code);

/// Removes trailing blanks, control characters and full stops, as every system text
/// quoted in a message is shown.
std::string trimSystemText(std::string text);

} // namespace glb
