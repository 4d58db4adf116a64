#pragma once

#include <string_view>

namespace glb::fuzz {

/// True when `text` is well-formed UTF-8: shortest forms only, no surrogates, nothing
/// beyond U+10FFFF.
bool isWellFormedUtf8(std::string_view text);

} // namespace glb::fuzz
