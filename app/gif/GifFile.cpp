#include "app/gif/GifFile.h"

#include "common/Platform.h"
#include "common/SystemErrorText.h"

#include <QIODevice>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace glb::app {

EGifError EGifError::unknownVersion()
{
    return EGifError("Unknown GIF version");
}

EGifError EGifError::prematureEnd()
{
    return EGifError("Premature end of GIF data");
}

EGifError EGifError::unknownBlock(unsigned blockType, long long offset)
{
    char text[80];
    std::snprintf(text, sizeof text, "Unknown GIF block type 0x%02X at offset %lld", blockType & 0xFFu, offset);
    return EGifError(text);
}

EGifError EGifError::noFrames()
{
    return EGifError("GIF image has no frames");
}

EGifError EGifError::cannotOpen(const QString& path, int systemCode)
{
    return EGifError(QStringLiteral("Cannot open file \"%1\". %2")
                         .arg(path, QString::fromStdString(systemErrorText(systemCode)))
                         .toStdString());
}

EGifError EGifError::notRegularFile(const QString& path)
{
    return EGifError(QStringLiteral("Cannot open file \"%1\". Não é um arquivo comum").arg(path).toStdString());
}

EGifError EGifError::cannotDecode(const QString& path, const QString& reason)
{
    return EGifError(QStringLiteral("Cannot decode GIF image \"%1\". %2").arg(path, reason).toStdString());
}

namespace {

// Reading over the device; every read or skip that comes up short is a truncated file.
class Cursor
{
public:
    explicit Cursor(QIODevice& in)
        : m_in(in)
    {
    }

    long long offset() const { return m_offset; }

    // False at the end of the data, where a trailer may be missing.
    bool next(std::uint8_t& value)
    {
        char c = 0;
        if (!m_in.getChar(&c)) {
            return false;
        }
        ++m_offset;
        value = static_cast<std::uint8_t>(c);
        return true;
    }

    std::uint8_t byte()
    {
        std::uint8_t value = 0;
        if (!next(value)) {
            throw EGifError::prematureEnd();
        }
        return value;
    }

    int word()
    {
        const int low = byte();
        return low | (byte() << 8);
    }

    void skip(long long count)
    {
        if (count > 0 && m_in.skip(count) != count) {
            throw EGifError::prematureEnd();
        }
        m_offset += count;
    }

    // Data sub-blocks: length-prefixed runs up to a zero length.
    void skipSubBlocks()
    {
        for (std::uint8_t length = byte(); length != 0; length = byte()) {
            skip(length);
        }
    }

private:
    QIODevice& m_in;
    long long m_offset = 0;
};

/// A file of the platform layer read as a sequential device (the device buffers its reads).
class PlatformFileDevice : public QIODevice
{
public:
    explicit PlatformFileDevice(platform::File file)
        : m_file(std::move(file))
    {
        if (m_file.isOpen()) {
            QIODevice::open(QIODevice::ReadOnly);
        }
    }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        return m_file.read(data, static_cast<std::size_t>(std::max<qint64>(maxSize, 0)));
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    platform::File m_file;
};

constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kGraphicControl = 0xF9;

long long colourTableSize(std::uint8_t packed)
{
    return (packed & 0x80) != 0 ? 3LL * (2LL << (packed & 0x07)) : 0LL;
}

} // namespace

GifStructure parseGifStructure(QIODevice& in)
{
    const QByteArray header = in.read(6);
    if (header.size() != 6 || !header.startsWith("GIF") || !(header.endsWith("87a") || header.endsWith("89a"))) {
        throw EGifError::unknownVersion();
    }

    Cursor gifIn(in);
    GifStructure gif;
    gif.screenWidth = gifIn.word();
    gif.screenHeight = gifIn.word();
    const std::uint8_t screenFlags = gifIn.byte();
    gifIn.skip(2); // background colour index, pixel aspect ratio
    gifIn.skip(colourTableSize(screenFlags));

    int pendingDelayMs = 0; // a graphic control extension applies to the next image only
    std::uint8_t block = 0;
    while (gifIn.next(block) && block != kTrailer) {
        if (block == kExtension) {
            const std::uint8_t label = gifIn.byte();
            if (label == kGraphicControl) {
                const std::uint8_t size = gifIn.byte();
                if (size >= 3) {
                    gifIn.skip(1); // disposal and transparency flags: the decoder applies them
                    pendingDelayMs = gifIn.word() * 10;
                    gifIn.skip(size - 3);
                } else {
                    gifIn.skip(size);
                }
            }
            gifIn.skipSubBlocks();
        } else if (block == kImage) {
            gifIn.skip(8); // left, top, width, height
            const std::uint8_t imageFlags = gifIn.byte();
            gifIn.skip(colourTableSize(imageFlags));
            gifIn.skip(1); // LZW minimum code size
            gifIn.skipSubBlocks();
            gif.frameDelaysMs.push_back(pendingDelayMs);
            pendingDelayMs = 0;
        } else {
            throw EGifError::unknownBlock(block, 6 + gifIn.offset() - 1);
        }
    }
    if (gif.frameDelaysMs.empty()) {
        throw EGifError::noFrames();
    }
    return gif;
}

GifStructure readGifStructure(const QString& path)
{
    const std::filesystem::path file(path.toStdU16String());
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(file, error);
    if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        throw EGifError::notRegularFile(path);
    }
    int systemCode = 0;
    PlatformFileDevice device(
        platform::File::open(file, platform::OpenMode::Read, platform::Sharing::ReadWrite, systemCode));
    if (!device.isOpen()) {
        throw EGifError::cannotOpen(path, systemCode);
    }
    return parseGifStructure(device);
}

int animationDelayMs(int storedMs)
{
    return std::clamp(storedMs, 50, 10'000);
}

} // namespace glb::app
