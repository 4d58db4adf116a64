#pragma once

// What a fuzz target does when a property fails: say which, show the input's part that
// broke it, and abort, so libFuzzer keeps the input as a crash and a replay fails.

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace glb::fuzz {

/// The bytes of `text` as a C string literal would spell them, cut after `limit` bytes.
inline void printEscaped(std::string_view text, std::size_t limit = 200)
{
    std::fputc('"', stderr);
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            std::fprintf(stderr, "\\%c", c);
        } else if (c >= 0x20 && c < 0x7F) {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02X", c);
        }
    }
    std::fputc('"', stderr);
    if (text.size() > limit) {
        std::fprintf(stderr, "... (%zu bytes)", text.size());
    }
}

[[noreturn]] inline void fail(const char* file, int line, const char* what)
{
    std::fprintf(stderr, "\n%s:%d: property failed: %s\n", file, line, what);
    std::abort();
}

[[noreturn]] inline void failTexts(const char* file, int line, const char* what, std::string_view got,
                                   std::string_view expected)
{
    // Shown from a little before the first difference, which may lie deep in a long text.
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        ++at;
    const std::size_t from = at > 40 ? at - 40 : 0;
    std::fprintf(stderr, "\n%s:%d: property failed: %s\n  sizes %zu and %zu, first difference at byte %zu\n", file,
                 line, what, got.size(), expected.size(), at);
    std::fprintf(stderr, "  got (from byte %zu):      ", from);
    printEscaped(got.substr(from));
    std::fprintf(stderr, "\n  expected (from byte %zu): ", from);
    printEscaped(expected.substr(from));
    std::fprintf(stderr, "\n");
    std::abort();
}

} // namespace glb::fuzz

/// Fails the input unless `condition` holds.
#define GLB_FUZZ_CHECK(condition)                                                                                      \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            ::glb::fuzz::fail(__FILE__, __LINE__, #condition);                                                         \
    } while (false)

/// Fails the input unless the two texts are equal, showing both.
#define GLB_FUZZ_CHECK_TEXT(got, expected, what)                                                                       \
    do {                                                                                                               \
        const auto& glbGot_ = (got);                                                                                   \
        const auto& glbExpected_ = (expected);                                                                         \
        if (std::string_view(glbGot_) != std::string_view(glbExpected_))                                               \
            ::glb::fuzz::failTexts(__FILE__, __LINE__, what, glbGot_, glbExpected_);                                   \
    } while (false)
