#include "fuzz/support/Utf8Check.h"

#include <cstdint>

namespace glb::fuzz {

// Decodes each sequence whole and judges the value, rather than the byte ranges of each
// position, so it shares no reasoning with the encoders under test.
bool isWellFormedUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        std::uint32_t smallest = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if ((lead & 0xE0U) == 0xC0) {
            length = 2;
            value = lead & 0x1FU;
            smallest = 0x80;
        } else if ((lead & 0xF0U) == 0xE0) {
            length = 3;
            value = lead & 0x0FU;
            smallest = 0x800;
        } else if ((lead & 0xF8U) == 0xF0) {
            length = 4;
            value = lead & 0x07U;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80)
                return false;
            value = value << 6U | (next & 0x3FU);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace glb::fuzz
