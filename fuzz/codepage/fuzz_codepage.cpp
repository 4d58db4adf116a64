// The code-page conversion of the table reader: any bytes in any page decode to
// well-formed UTF-8, and a page falls back to the default only when it says so. A
// single-byte page also decodes byte by byte (the text of two parts is the text of each),
// and its bytes for a text, where it has them, decode to that text again.
//
// Input: a page selector (byte: below 0xE0 one of kPages, else the page number in the
// next two bytes, low first), a split position (byte), then the bytes to convert.

#include "backup/paradox/CodePage.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzInput.h"
#include "fuzz/support/Utf8Check.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

using glb::backup::paradox::CodePage;
using namespace glb::fuzz;

namespace {

// The pages tables are stored with, the double-byte ones among them, and numbers no
// platform knows.
constexpr int kPages[] = {0,   437, 737, 775, 850, 852,  855,  857,  860,  861,  862,  863,  864,  865,  866, 869,
                          874, 932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, -1,  77777};

bool isDoubleByte(int page)
{
    return page == 932 || page == 936 || page == 949 || page == 950;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t selector = input.byte();
    const int number = selector < 0xE0 ? kPages[selector % std::size(kPages)] : input.word();
    const std::size_t split = input.byte();
    const std::string_view bytes = input.rest();

    const CodePage page(number);
    GLB_FUZZ_CHECK(page.fellBack() ? page.used() == glb::backup::paradox::kDefaultCodePage : page.used() == number);
    const std::string text = page.decode(bytes);
    GLB_FUZZ_CHECK(isWellFormedUtf8(text));
    GLB_FUZZ_CHECK(bytes.empty() == text.empty());

    if (isDoubleByte(page.used()))
        return 0;
    const std::string_view head = bytes.substr(0, split);
    std::string parts = page.decode(head);
    page.decodeAppend(bytes.substr(head.size()), parts);
    GLB_FUZZ_CHECK_TEXT(parts, text, "the text of two parts");

    // The page's bytes for its own text, and for the input read as text.
    for (const std::string_view given : {std::string_view(text), bytes}) {
        const auto encoded = page.encode(given);
        if (encoded && isWellFormedUtf8(given))
            GLB_FUZZ_CHECK_TEXT(page.decode(*encoded), given, "the decoded bytes of a text");
    }
    return 0;
}
