#pragma once

#include "common/Error.h"

#include <QString>
#include <vector>

class QIODevice;

namespace glb::app {

/// A GIF file the overlay refuses: wrong signature, cut short or malformed blocks.
class EGifError : public glb::Error
{
public:
    using Error::Error;
    /// "Unknown GIF version": the first three bytes are not "GIF" or the next three
    /// neither "87a" nor "89a".
    static EGifError unknownVersion();
    /// "Premature end of GIF data": a block runs past the end of the file.
    static EGifError prematureEnd();
    /// "Unknown GIF block type 0x%02X at offset %d".
    static EGifError unknownBlock(unsigned blockType, long long offset);
    /// "GIF image has no frames".
    static EGifError noFrames();
    /// "Cannot open file "%s". %s" with the system's text for `systemCode`.
    static EGifError cannotOpen(const QString& path, int systemCode);
    /// "Cannot open file "%s". Não é um arquivo comum": a folder, pipe, socket or device.
    static EGifError notRegularFile(const QString& path);
    /// "Cannot decode GIF image "%s". %s" with the decoder's text.
    static EGifError cannotDecode(const QString& path, const QString& reason);
};

/// What the overlay needs from a GIF file besides the pixels: the logical screen and
/// the delay of every frame as stored (Qt's reader reports 100 ms for a stored 0).
struct GifStructure
{
    int screenWidth = 0;
    int screenHeight = 0;
    /// One entry per image in the file: its graphic control extension's delay in
    /// milliseconds (hundredths x 10), 0 when the frame has none.
    std::vector<int> frameDelaysMs;
};

/// Walks the blocks of the GIF read from `in` (open for reading) without decoding any
/// pixels; image data is skipped, never held. A missing trailer is accepted (many writers
/// omit it) when the last image is whole. Raises EGifError.
GifStructure parseGifStructure(QIODevice& in);

/// parseGifStructure() over the file at `path`, opened by the platform layer. Anything but
/// a regular file is refused before it is opened, so a pipe never blocks. Raises EGifError.
GifStructure readGifStructure(const QString& path);

/// The delay the animation waits for a frame: `storedMs` raised to 50 and lowered to 10,000.
int animationDelayMs(int storedMs);

} // namespace glb::app
