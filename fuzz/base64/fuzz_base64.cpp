// The Base64 encoder: the text of any bytes has the announced length, is the exact text
// form (alphabet, "=" completion, CR LF after every 76th character) and decodes back to
// the bytes with a decoder of the target's own; the piecewise writer, fed the bytes in
// pieces of any sizes, appends the same text to whatever its string already holds.
//
// Input: a byte whose low three bits give a count n of piece sizes and whose bit 3 gives
// the writer's string a text of its own first, n piece sizes (bytes, used in turn, 0 an
// empty write; none, or only zeros: one piece), then the bytes to encode.

#include "fuzz/support/Base64Check.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzInput.h"
#include "service/Base64.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using namespace glb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t flags = input.byte();
    std::vector<std::size_t> pieces;
    for (unsigned k = 0; k < (flags & 7U); ++k)
        pieces.push_back(input.byte());
    const std::string_view bytes = input.rest();
    if (std::all_of(pieces.begin(), pieces.end(), [](std::size_t n) { return n == 0; }))
        pieces.clear(); // empty pieces alone would never get through the bytes

    const std::string text = glb::service::encodeBase64(bytes);
    GLB_FUZZ_CHECK(text.size() == glb::service::base64TextLength(bytes.size()));
    std::string why;
    const auto decoded = decodeBase64Text(text, why);
    if (!decoded) {
        std::fprintf(stderr, "text form: %s\n", why.c_str());
        fail(__FILE__, __LINE__, "encodeBase64 does not give the text form");
    }
    GLB_FUZZ_CHECK_TEXT(*decoded, bytes, "the bytes decoded from the text");

    const std::string before = (flags & 8U) != 0 ? "text before\r\n" : "";
    std::string out = before;
    glb::service::Base64Writer writer(out);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0, k = 0; at < bytes.size(); ++k) {
        const std::size_t length =
            pieces.empty() ? bytes.size() : std::min(pieces[k % pieces.size()], bytes.size() - at);
        writer.write(p + at, length);
        at += length;
    }
    writer.finish();
    GLB_FUZZ_CHECK_TEXT(out, before + text, "the writer's text, given the bytes in pieces");
    return 0;
}
