#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace glb {

// Letter case in the ASCII letters A to Z only, whatever the process's locale: the names
// compared this way (header values, XML names, file and table names) are ASCII by rule.

constexpr char lowerAscii(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lowerAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return lowerAscii(c); });
    return text;
}

constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

} // namespace glb
