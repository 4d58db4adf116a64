// The overlay's GIF block reader: any bytes give the file's structure or one of its
// errors, never a crash or a hang, and a structure that holds together: at least one
// frame, each delay a stored 16-bit count of hundredths, screen sizes of 16 bits.

#include "app/gif/GifFile.h"
#include "fuzz/support/FuzzCheck.h"

#include <QBuffer>
#include <QByteArray>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer;
    buffer.setData(bytes);
    GLB_FUZZ_CHECK(buffer.open(QIODevice::ReadOnly));
    glb::app::GifStructure gif;
    try {
        gif = glb::app::parseGifStructure(buffer);
    } catch (const glb::app::EGifError&) {
        return 0;
    }
    GLB_FUZZ_CHECK(!gif.frameDelaysMs.empty());
    GLB_FUZZ_CHECK(gif.screenWidth >= 0 && gif.screenWidth <= 0xFFFF);
    GLB_FUZZ_CHECK(gif.screenHeight >= 0 && gif.screenHeight <= 0xFFFF);
    for (const int delay : gif.frameDelaysMs)
        GLB_FUZZ_CHECK(delay >= 0 && delay <= 0xFFFF * 10 && delay % 10 == 0);
    // A header and a screen descriptor, and per image at least its descriptor, the code
    // size and the end of its data.
    GLB_FUZZ_CHECK(size >= 6 + 7 + 12 * gif.frameDelaysMs.size());
    return 0;
}
