#pragma once

#include <cstddef>
#include <string_view>

namespace glb {

/// One character read from UTF-8 text under Unicode's rules for well-formed sequences: no
/// overlong forms, no surrogates, nothing past U+10FFFF.
struct Utf8Step
{
    char32_t codePoint = 0;    ///< the character; 0 when the bytes are ill-formed
    std::size_t length = 0;    ///< its bytes; 0 when ill-formed
    std::size_t badLength = 0; ///< when ill-formed: the maximal ill-formed subpart (at least one byte)

    constexpr bool wellFormed() const noexcept { return length != 0; }
};

/// Reads the character at `pos`, which must lie inside `text`. Where the bytes are ill-formed,
/// a reader that replaces them puts one U+FFFD for the `badLength` bytes and goes on after
/// them, as Unicode recommends.
constexpr Utf8Step readUtf8(std::string_view text, std::size_t pos) noexcept
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[pos + k]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1, 0};
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0FU;
        if (lead == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07U;
        if (lead == 0xF0) {
            low = 0x90; // no overlong forms
        } else if (lead == 0xF4) {
            high = 0x8F; // nothing past U+10FFFF
        }
    } else {
        return {0, 0, 1};
    }
    const std::size_t left = text.size() - pos;
    for (std::size_t k = 1; k < length; ++k) {
        if (k >= left || byte(k) < low || byte(k) > high) {
            return {0, 0, k};
        }
        codePoint = codePoint << 6U | (byte(k) & 0x3FU);
        low = 0x80;
        high = 0xBF;
    }
    return {codePoint, length, 0};
}

} // namespace glb
