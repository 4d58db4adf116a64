#include "backup/paradox/CodePage.h"

#include "common/Platform.h"
#include "common/Utf8.h"

#include <map>
#include <mutex>
#include <set>

namespace glb::backup::paradox {

namespace {

bool isDoubleByte(int number)
{
    return number == 932 || number == 936 || number == 949 || number == 950;
}

} // namespace

char32_t nextCodePoint(std::string_view text, std::size_t& pos)
{
    const Utf8Step step = readUtf8(text, pos);
    if (!step.wellFormed()) {
        return static_cast<unsigned char>(text[pos++]);
    }
    pos += step.length;
    return step.codePoint;
}

std::size_t prefixOfCharacters(std::string_view text, std::size_t characters)
{
    std::size_t pos = 0;
    for (std::size_t count = 0; pos < text.size() && count < characters; ++count) {
        nextCodePoint(text, pos);
    }
    return pos;
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

namespace {

bool build(int number, CodePage::Tables& page)
{
    if (!platform::decodeCodePage(number, "A")) {
        return false;
    }
    page.used = number;
    page.doubleByte = isDoubleByte(number);
    page.asciiAsIs = true;
    for (unsigned b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        std::string& utf8 = page.toUtf8[b];
        std::optional<std::string> decoded;
        if (b != 0) {
            decoded = platform::decodeCodePage(number, std::string_view(&byte, 1));
        }
        if (decoded && !decoded->empty()) {
            utf8 = *decoded;
        } else {
            appendUtf8(utf8, b);
        }
        if (b < 0x80 && (utf8.size() != 1 || utf8[0] != byte)) {
            page.asciiAsIs = false;
        }
        std::size_t pos = 0;
        const char32_t cp = nextCodePoint(utf8, pos);
        // The first byte that maps to a character keeps it (a few pages map two bytes alike).
        page.fromUnicode.emplace(cp, static_cast<unsigned char>(b));
    }
    return true;
}

} // namespace

CodePage::CodePage(int number)
{
    // Building a page asks the platform about every byte: do it once per process, and
    // remember the pages it does not know.
    static std::mutex lock;
    static std::map<int, std::shared_ptr<const Tables>> pages;
    static std::set<int> unknown;
    const std::lock_guard guard(lock);
    const auto lookUp = [&](int page) -> std::shared_ptr<const Tables> {
        if (page <= 0 || unknown.count(page) != 0) {
            return nullptr;
        }
        std::shared_ptr<const Tables>& tables = pages[page];
        if (!tables) {
            auto built = std::make_shared<Tables>();
            if (!build(page, *built)) {
                pages.erase(page);
                unknown.insert(page);
                return nullptr;
            }
            tables = std::move(built);
        }
        return tables;
    };
    m_page = lookUp(number);
    if (!m_page) {
        m_fellBack = true;
        m_page = lookUp(kDefaultCodePage);
    }
    if (!m_page) {
        // Even without the platform's tables the text stays readable: Latin-1.
        auto latin1 = std::make_shared<Tables>();
        latin1->used = kDefaultCodePage;
        latin1->asciiAsIs = true;
        for (unsigned b = 0; b < 256; ++b) {
            appendUtf8(latin1->toUtf8[b], b);
            latin1->fromUnicode[b] = static_cast<unsigned char>(b);
        }
        pages[kDefaultCodePage] = latin1;
        m_page = std::move(latin1);
    }
}

void CodePage::decodeAppend(std::string_view bytes, std::string& out) const
{
    const Tables& page = *m_page;
    if (page.doubleByte) {
        if (auto decoded = platform::decodeCodePage(page.used, bytes)) {
            out += *decoded;
            return;
        }
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80 && page.asciiAsIs) {
            continue;
        }
        out.append(bytes.data() + start, i - start);
        out += page.toUtf8[b];
        start = i + 1;
    }
    out.append(bytes.data() + start, bytes.size() - start);
}

std::optional<std::string> CodePage::encode(std::string_view text) const
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t cp = nextCodePoint(text, pos);
        const auto it = m_page->fromUnicode.find(cp);
        if (it == m_page->fromUnicode.end()) {
            return std::nullopt;
        }
        bytes += static_cast<char>(it->second);
    }
    return bytes;
}

} // namespace glb::backup::paradox
