#pragma once

#include "backup/paradox/CodePage.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace glb::backup::paradox {

/// How a table orders its text, chosen by its sort order (the sort-order name in 4.x and
/// later headers; the sort-order byte alone in 3.x ones).
///
/// - Ascii ("ascii", or byte 0 without a name): the raw bytes of the table's code page,
///   so upper case before lower case and accented letters after 'z'.
/// - Folded (every other order: intl, intl850, ANSIINTL, ...): dictionary order. Text is
///   compared by its folded form, every letter upper-cased and stripped of its accents
///   (Á -> A, ç -> C, ß -> SS, Æ -> AE); values whose folded forms are equal are ordered by
///   their raw bytes, so the order is total and "Agata" comes before "Ágata".
///
/// In both, a blank (null) value comes first, and the query keeps table order among rows
/// whose values are equal.
enum class SortRule
{
    Ascii,
    Folded,
};

/// The rule for a table's sort-order name (empty when the header has none) and byte.
SortRule sortRuleFor(std::string_view sortOrderName, std::uint8_t sortOrderByte);

/// Orders UTF-8 text by a table's rule.
class SortOrder
{
public:
    SortOrder(SortRule rule, const CodePage& codePage)
        : m_rule(rule)
        , m_codePage(&codePage)
    {
    }

    SortRule rule() const noexcept { return m_rule; }

    /// Replaces `key` by a byte string whose plain byte order is the rule's order of `text`.
    void keyInto(std::string_view text, std::string& key) const;
    /// <0, 0, >0 as `a` sorts before, with or after `b`.
    int compare(std::string_view a, std::string_view b) const;

private:
    void appendRaw(std::string_view text, std::string& key) const;

    SortRule m_rule;
    const CodePage* m_codePage;
};

/// The folded form of one character, as UTF-8 appended to `out`.
void appendFolded(char32_t cp, std::string& out);

} // namespace glb::backup::paradox
