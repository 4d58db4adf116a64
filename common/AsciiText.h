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

constexpr char upperAscii(char c) noexcept
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string lowerAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return lowerAscii(c); });
    return text;
}

/// `text` without the leading and trailing characters whose code is U+0020 or lower; in
/// UTF-8 each of them is one byte.
constexpr std::string_view trimmedBlanks(std::string_view text) noexcept
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) {
        text.remove_suffix(1);
    }
    return text;
}

constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

} // namespace glb
