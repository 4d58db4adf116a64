#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

namespace glb::test {

/// One image of a fixture GIF: a single pixel of colour `colour` (0..3) at column `left`.
struct GifFrame
{
    int delayHundredths = 0;
    int left = 0;
    int colour = 1;
    bool withControl = true; ///< false: no graphic control extension before it
};

/// A small GIF 89a with a four-colour table and one 1 x 1 image per frame, built byte by
/// byte so that every field is known. `loopCount` adds the looping application extension.
inline QByteArray makeGif(int width, int height, const std::vector<GifFrame>& frames,
                          std::optional<int> loopCount = std::nullopt, bool trailer = true)
{
    QByteArray gif("GIF89a");
    const auto word = [&gif](int value) {
        gif.append(static_cast<char>(value & 0xFF));
        gif.append(static_cast<char>((value >> 8) & 0xFF));
    };
    word(width);
    word(height);
    gif.append(static_cast<char>(0x81)); // global colour table of 4 entries
    gif.append('\0');
    gif.append('\0');
    gif.append(QByteArray::fromHex("000000"
                                   "ff0000"
                                   "00ff00"
                                   "0000ff"));
    if (loopCount) {
        gif.append(QByteArray::fromHex("21ff0b"));
        gif.append("NETSCAPE2.0");
        gif.append(QByteArray::fromHex("0301"));
        word(*loopCount);
        gif.append('\0');
    }
    for (const GifFrame& frame : frames) {
        if (frame.withControl) {
            gif.append(QByteArray::fromHex("21f904"));
            gif.append(static_cast<char>(0x04)); // dispose: leave in place
            word(frame.delayHundredths);
            gif.append('\0');
            gif.append('\0');
        }
        gif.append(static_cast<char>(0x2C));
        word(frame.left);
        word(0);
        word(1);
        word(1);
        gif.append('\0');
        // LZW, minimum code size 2: clear (4), the colour, end (5) in 3-bit codes.
        gif.append(static_cast<char>(0x02));
        gif.append(static_cast<char>(0x02));
        gif.append(static_cast<char>(0x44 | (frame.colour << 3)));
        gif.append(static_cast<char>(0x01));
        gif.append('\0');
    }
    if (trailer) {
        gif.append(static_cast<char>(0x3B));
    }
    return gif;
}

} // namespace glb::test
