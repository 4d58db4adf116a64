#include "common/Utf8.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Case
{
    const char* label;
    std::string bytes;
    char32_t codePoint; ///< 0 for ill-formed
    std::size_t length; ///< of the character, or of the maximal ill-formed subpart
};

TEST(ReadUtf8, WellFormedSequencesAndMaximalIllFormedSubparts)
{
    const std::vector<Case> cases = {
        {"ASCII", "A", U'A', 1},
        {"two bytes", "\xC3\xA3", U'\u00E3', 2},
        {"three bytes", "\xE2\x82\xAC", U'\u20AC', 3},
        {"four bytes, the last code point", "\xF4\x8F\xBF\xBF", U'\U0010FFFF', 4},
        {"U+FFFF is well-formed", "\xEF\xBF\xBF", U'\uFFFF', 3},
        {"a stray continuation byte", "\x80", 0, 1},
        {"an overlong two-byte lead", "\xC0\xAF", 0, 1},
        {"an overlong three-byte form", "\xE0\x80\xAF", 0, 1},
        {"a surrogate", "\xED\xA0\x80", 0, 1},
        {"past U+10FFFF", "\xF4\x90\x80\x80", 0, 1},
        {"a lead byte that starts nothing", "\xF5\x80", 0, 1},
        {"cut short by the end", "\xE2\x82", 0, 2},
        {"cut short by another character",
         "\xF0\x9F\x98"
         "A",
         0, 3},
    };
    for (const Case& c : cases) {
        const glb::Utf8Step step = glb::readUtf8(c.bytes, 0);
        EXPECT_EQ(step.codePoint, c.codePoint) << c.label;
        EXPECT_EQ(step.wellFormed() ? step.length : step.badLength, c.length) << c.label;
        EXPECT_EQ(step.wellFormed(), c.codePoint != 0) << c.label;
    }
}

} // namespace
