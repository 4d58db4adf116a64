#include "fuzz/support/Base64Check.h"

#include <cstdint>

namespace glb::fuzz {

namespace {

int sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::optional<std::string> decodeBase64Text(std::string_view text, std::string& why)
{
    constexpr std::size_t kLine = 76;
    std::string chars;
    chars.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::string_view line = text.substr(at, kLine);
        if (const auto stray = line.find_first_of("\r\n"); stray != std::string_view::npos) {
            why = "line break at character " + std::to_string(chars.size() + stray) + ", not after a full line";
            return std::nullopt;
        }
        chars.append(line);
        at += line.size();
        if (line.size() == kLine) {
            if (text.substr(at, 2) != "\r\n") {
                why = "no CR LF after character " + std::to_string(chars.size());
                return std::nullopt;
            }
            at += 2;
        }
    }
    if (chars.size() % 4 != 0) {
        why = "length " + std::to_string(chars.size()) + " is not a multiple of 4";
        return std::nullopt;
    }

    std::string bytes(chars.size() / 4 * 3, '\0');
    std::size_t out = 0;
    std::size_t padding = 0;
    for (std::size_t g = 0; g < chars.size(); g += 4) {
        const bool last = g + 4 == chars.size();
        if (last && chars[g + 3] == '=')
            padding = chars[g + 2] == '=' ? 2 : 1;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            if (k >= 4 - padding) {
                group <<= 6U;
                continue;
            }
            const int v = sextet(chars[g + k]);
            if (v < 0) {
                why = "character " + std::to_string(g + k) + " is outside the alphabet";
                return std::nullopt;
            }
            group = group << 6U | static_cast<std::uint32_t>(v);
        }
        if ((padding == 1 && (group & 0xFFU) != 0) || (padding == 2 && (group & 0xFFFFU) != 0)) {
            why = "unused bits of the last group are not zero";
            return std::nullopt;
        }
        bytes[out++] = static_cast<char>(group >> 16U & 0xFFU);
        bytes[out++] = static_cast<char>(group >> 8U & 0xFFU);
        bytes[out++] = static_cast<char>(group & 0xFFU);
    }
    bytes.resize(out - padding);
    return bytes;
}

} // namespace glb::fuzz
