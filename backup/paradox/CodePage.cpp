#include "backup/paradox/CodePage.h"

#include "common/Platform.h"

namespace glb::backup::paradox {

namespace {

bool isDoubleByte(int number)
{
    return number == 932 || number == 936 || number == 949 || number == 950;
}

} // namespace

char32_t nextCodePoint(std::string_view text, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length = 1;
    char32_t cp = lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    }
    if (length > 1) {
        if (pos + length > text.size()) {
            length = 1;
            cp = lead;
        } else {
            for (std::size_t i = 1; i < length; ++i) {
                if ((byte(pos + i) & 0xC0) != 0x80) {
                    ++pos;
                    return lead;
                }
                cp = cp << 6 | (byte(pos + i) & 0x3F);
            }
        }
    }
    pos += length;
    return cp;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

CodePage::CodePage(int number)
{
    if (number <= 0 || !build(number)) {
        m_fellBack = true;
        if (!build(kDefaultCodePage)) {
            // Even without the platform's tables the text stays readable: Latin-1.
            m_used = kDefaultCodePage;
            for (unsigned b = 0; b < 256; ++b) {
                m_toUtf8[b].clear();
                appendUtf8(m_toUtf8[b], b);
                m_fromUnicode[b] = static_cast<unsigned char>(b);
            }
        }
    }
}

bool CodePage::build(int number)
{
    if (!platform::decodeCodePage(number, "A")) {
        return false;
    }
    m_used = number;
    m_doubleByte = isDoubleByte(number);
    m_fromUnicode.clear();
    for (unsigned b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        std::string& utf8 = m_toUtf8[b];
        utf8.clear();
        std::optional<std::string> decoded;
        if (b != 0) {
            decoded = platform::decodeCodePage(number, std::string_view(&byte, 1));
        }
        if (decoded && !decoded->empty()) {
            utf8 = *decoded;
        } else {
            appendUtf8(utf8, b);
        }
        std::size_t pos = 0;
        const char32_t cp = nextCodePoint(utf8, pos);
        // The first byte that maps to a character keeps it (a few pages map two bytes alike).
        m_fromUnicode.emplace(cp, static_cast<unsigned char>(b));
    }
    return true;
}

void CodePage::decodeAppend(std::string_view bytes, std::string& out) const
{
    if (m_doubleByte) {
        if (auto decoded = platform::decodeCodePage(m_used, bytes)) {
            out += *decoded;
            return;
        }
    }
    for (char c : bytes) {
        out += m_toUtf8[static_cast<unsigned char>(c)];
    }
}

std::optional<std::string> CodePage::encode(std::string_view text) const
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t cp = nextCodePoint(text, pos);
        const auto it = m_fromUnicode.find(cp);
        if (it == m_fromUnicode.end()) {
            return std::nullopt;
        }
        bytes += static_cast<char>(it->second);
    }
    return bytes;
}

} // namespace glb::backup::paradox
