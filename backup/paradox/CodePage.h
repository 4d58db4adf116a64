#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace glb::backup::paradox {

/// The code page tables without a stored one (3.x) and tables whose stored page the
/// platform does not know fall back to: DOS Latin-1, what DOS-era Brazilian tables use.
inline constexpr int kDefaultCodePage = 850;

/// Text conversion for one table's code page. The tables of a page are built once per
/// process and shared by every table that uses it. Single-byte pages
/// decode through a 256-entry table; a byte the page leaves undefined decodes to the
/// Unicode character of the same value (as Windows does for such bytes), so no value is
/// ever lost. Double-byte pages (932, 936, 949, 950) go through the platform per value.
class CodePage
{
public:
    /// The page `number`; an unknown page or 0 gives kDefaultCodePage (see used()).
    explicit CodePage(int number);

    /// The page in use (after any fall-back).
    int used() const noexcept { return m_page->used; }
    /// True when the stored page was unknown and the default is in use.
    bool fellBack() const noexcept { return m_fellBack; }

    /// Appends the UTF-8 form of `bytes` to `out`.
    void decodeAppend(std::string_view bytes, std::string& out) const;
    std::string decode(std::string_view bytes) const
    {
        std::string out;
        decodeAppend(bytes, out);
        return out;
    }
    /// The page's bytes for UTF-8 `text`, empty when a character has none.
    std::optional<std::string> encode(std::string_view text) const;

    struct Tables
    {
        int used = 0;
        bool doubleByte = false;
        bool asciiAsIs = false; ///< bytes below 0x80 are their own characters
        std::array<std::string, 256> toUtf8;
        std::unordered_map<char32_t, unsigned char> fromUnicode;
    };

private:
    std::shared_ptr<const Tables> m_page;
    bool m_fellBack = false;
};

/// Reads one UTF-8 character from `text` at `pos` and advances; a byte that does not start a
/// well-formed sequence reads as itself (as Latin-1 would), so every input decodes and keeps
/// its byte order, where a reader for display would put U+FFFD.
char32_t nextCodePoint(std::string_view text, std::size_t& pos);
/// The most characters of a password that reach the engine.
inline constexpr std::size_t kMaxPasswordCharacters = 255;
/// The bytes of the first `characters` characters of `text`, as nextCodePoint reads them.
std::size_t prefixOfCharacters(std::string_view text, std::size_t characters);
/// Appends `cp` as UTF-8.
void appendUtf8(std::string& out, char32_t cp);

} // namespace glb::backup::paradox
