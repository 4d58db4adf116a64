#include "backup/paradox/SortOrder.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace glb::backup::paradox {

namespace {

// Base letters of U+00C0..U+024F; empty where the character folds to itself.
// clang-format off
constexpr std::array<const char*, 0x250 - 0xC0> kLatinFold = {
    "A", "A", "A", "A", "A", "A", "AE", "C",
    "E", "E", "E", "E", "I", "I", "I", "I",
    "D", "N", "O", "O", "O", "O", "O", "",
    "O", "U", "U", "U", "U", "Y", "TH", "SS",
    "A", "A", "A", "A", "A", "A", "AE", "C",
    "E", "E", "E", "E", "I", "I", "I", "I",
    "D", "N", "O", "O", "O", "O", "O", "",
    "O", "U", "U", "U", "U", "Y", "TH", "Y",
    "A", "A", "A", "A", "A", "A", "C", "C",
    "C", "C", "C", "C", "C", "C", "D", "D",
    "D", "D", "E", "E", "E", "E", "E", "E",
    "E", "E", "E", "E", "G", "G", "G", "G",
    "G", "G", "G", "G", "H", "H", "H", "H",
    "I", "I", "I", "I", "I", "I", "I", "I",
    "I", "I", "IJ", "IJ", "J", "J", "K", "K",
    "K", "L", "L", "L", "L", "L", "L", "L",
    "L", "L", "L", "N", "N", "N", "N", "N",
    "N", "N", "N", "N", "O", "O", "O", "O",
    "O", "O", "OE", "OE", "R", "R", "R", "R",
    "R", "R", "S", "S", "S", "S", "S", "S",
    "S", "S", "T", "T", "T", "T", "T", "T",
    "U", "U", "U", "U", "U", "U", "U", "U",
    "U", "U", "U", "U", "W", "W", "Y", "Y",
    "Y", "Z", "Z", "Z", "Z", "Z", "Z", "S",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "O", "O", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "U",
    "U", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "A", "A", "I",
    "I", "O", "O", "U", "U", "U", "U", "U",
    "U", "U", "U", "U", "U", "", "A", "A",
    "A", "A", "", "", "", "", "G", "G",
    "K", "K", "O", "O", "O", "O", "", "",
    "J", "", "", "", "G", "G", "", "",
    "N", "N", "A", "A", "", "", "", "",
    "A", "A", "A", "A", "E", "E", "E", "E",
    "I", "I", "I", "I", "O", "O", "O", "O",
    "R", "R", "R", "R", "U", "U", "U", "U",
    "S", "S", "T", "T", "", "", "H", "H",
    "", "", "", "", "", "", "A", "A",
    "E", "E", "O", "O", "O", "O", "O", "O",
    "O", "O", "Y", "Y", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
    "", "", "", "", "", "", "", "",
};
// clang-format on

thread_local std::string t_keyA;
thread_local std::string t_keyB;

} // namespace

SortRule sortRuleFor(std::string_view sortOrderName, std::uint8_t sortOrderByte)
{
    if (!sortOrderName.empty()) {
        return equalsIgnoringAsciiCase(sortOrderName, "ascii") ? SortRule::Ascii : SortRule::Folded;
    }
    return sortOrderByte == 0 ? SortRule::Ascii : SortRule::Folded;
}

void appendFolded(char32_t cp, std::string& out)
{
    if (cp < 0x80) {
        out += upperAscii(static_cast<char>(cp));
        return;
    }
    if (cp >= 0xC0 && cp < 0x250) {
        if (const char* base = kLatinFold[cp - 0xC0]; *base != '\0') {
            out += base;
            return;
        }
    }
    if ((cp >= 0x3B1 && cp <= 0x3C9 && cp != 0x3C2) || (cp >= 0x430 && cp <= 0x44F)) {
        cp -= 0x20; // Greek and Cyrillic small letters
    } else if (cp == 0x3C2) {
        cp = 0x3A3; // final sigma
    } else if (cp >= 0x450 && cp <= 0x45F) {
        cp -= 0x50;
    }
    appendUtf8(out, cp);
}

void SortOrder::appendRaw(std::string_view text, std::string& key) const
{
    if (auto raw = m_codePage->encode(text)) {
        key += *raw;
    } else {
        // Text from outside the table (a literal in the query) that the page cannot hold
        // sorts after every value of the table.
        key += '\xFF';
        key += text;
    }
}

void SortOrder::keyInto(std::string_view text, std::string& key) const
{
    key.clear();
    if (m_rule == SortRule::Ascii) {
        appendRaw(text, key);
        return;
    }
    for (std::size_t pos = 0; pos < text.size();) {
        appendFolded(nextCodePoint(text, pos), key);
    }
    // Text holds no zero byte, so the separator puts a shorter folded form first.
    key += '\0';
    appendRaw(text, key);
}

int SortOrder::compare(std::string_view a, std::string_view b) const
{
    keyInto(a, t_keyA);
    keyInto(b, t_keyB);
    const std::size_t n = std::min(t_keyA.size(), t_keyB.size());
    if (const int c = std::memcmp(t_keyA.data(), t_keyB.data(), n); c != 0) {
        return c;
    }
    return t_keyA.size() < t_keyB.size() ? -1 : (t_keyA.size() > t_keyB.size() ? 1 : 0);
}

} // namespace glb::backup::paradox
