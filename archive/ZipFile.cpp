#include "archive/ZipFile.h"

#include "archive/detail/DosTime.h"
#include "archive/detail/LeWriter.h"
#include "common/ScopeGuard.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <utility>
#include <zlib.h>

namespace glb::archive {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::uint16_t kVersion20 = 20;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint16_t>::max();
constexpr std::size_t kDirectoryBufferSize = 65536;

/// The 26 bytes after the local header signature: the run of the header's fixed part
/// from RequiredVersion through ExtraFieldLength.
detail::LeWriter<kLocalHeaderSize - 4> localHeaderBody(const TZipHeader& h)
{
    detail::LeWriter<kLocalHeaderSize - 4> w;
    w.u16(h.RequiredVersion).u16(h.Flag).u16(h.CompressionMethod).u32(h.ModifiedDateTime);
    w.u32(h.CRC32).u32(h.CompressedSize).u32(h.UncompressedSize).u16(h.FileNameLength).u16(h.ExtraFieldLength);
    return w;
}

// The base name: what follows the last "\" or ":" of the file's name. On Windows the
// path's file name already is that; elsewhere those characters may occur in a name, and
// cutting there too keeps readers that take "\" for a folder separator from finding a
// folder part in the entry name.
std::string storedName(const std::filesystem::path& path)
{
    std::string name = pathText(path.filename());
    if (const auto cut = name.find_last_of("\\:"); cut != std::string::npos) {
        name.erase(0, cut + 1);
    }
    return name;
}

// True when `name` is well-formed UTF-8: each sequence as the Unicode standard's table of
// well-formed byte sequences allows it (no overlong form, no surrogate, nothing past
// U+10FFFF), as strict readers demand of a name flagged as UTF-8.
bool isUtf8(std::string_view name)
{
    const auto inRange = [](unsigned c, unsigned low, unsigned high) { return c >= low && c <= high; };
    for (std::size_t i = 0; i < name.size();) {
        const auto b0 = static_cast<unsigned char>(name[i]);
        const auto at = [&](std::size_t k) -> unsigned {
            return i + k < name.size() ? static_cast<unsigned char>(name[i + k]) : 0U;
        };
        std::size_t length = 0;
        if (b0 < 0x80) {
            length = 1;
        } else if (inRange(b0, 0xC2, 0xDF)) {
            length = inRange(at(1), 0x80, 0xBF) ? 2 : 0;
        } else if (inRange(b0, 0xE0, 0xEF)) {
            const unsigned low = b0 == 0xE0 ? 0xA0 : 0x80;
            const unsigned high = b0 == 0xED ? 0x9F : 0xBF;
            length = inRange(at(1), low, high) && inRange(at(2), 0x80, 0xBF) ? 3 : 0;
        } else if (inRange(b0, 0xF0, 0xF4)) {
            const unsigned low = b0 == 0xF0 ? 0x90 : 0x80;
            const unsigned high = b0 == 0xF4 ? 0x8F : 0xBF;
            length = inRange(at(1), low, high) && inRange(at(2), 0x80, 0xBF) && inRange(at(3), 0x80, 0xBF) ? 4 : 0;
        }
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::filesystem::path absolutePath(const std::filesystem::path& path)
{
    std::error_code ec;
    auto full = std::filesystem::absolute(path, ec);
    return ec ? path : full;
}

} // namespace

namespace detail {

/// One raw Deflate stream with the writer's parameters, and the bounded buffers that
/// every entry streams through. Reset for each entry instead of made anew.
class Deflater
{
public:
    static constexpr std::size_t kInputSize = 61440;
    static constexpr std::size_t kOutputSize = 65536;

    Deflater()
    {
        const int rc = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) {
            throw EZCompressionError::forCode(rc);
        }
    }
    ~Deflater() { deflateEnd(&stream); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void reset()
    {
        const int rc = deflateReset(&stream);
        if (rc != Z_OK) {
            throw EZCompressionError::forCode(rc);
        }
    }

    z_stream stream{};
    std::array<unsigned char, kInputSize> input{};
    std::array<unsigned char, kOutputSize> output{};
};

} // namespace detail

EZipException EZipException::notOpenForWriting()
{
    return EZipException("File must be open for writing");
}

EZipException EZipException::writeError()
{
    return EZipException("Error writing zip file");
}

EZipException EZipException::fileTooLarge(const std::filesystem::path& path)
{
    return EZipException("File \"" + pathText(path) + "\" is too large for a zip archive (4 GiB - 1 byte or more)");
}

EZipException EZipException::archiveTooLarge()
{
    return EZipException("The zip archive would grow past 4 GiB");
}

EZipException EZipException::tooManyFiles()
{
    return EZipException("A zip archive holds at most 65535 files");
}

EZipException EZipException::nameTooLong()
{
    return EZipException("The file name is too long for a zip archive");
}

EZipException EZipException::unsupportedMode()
{
    return EZipException("Zip archives can only be opened for writing");
}

EZipException EZipException::unsupportedCompression()
{
    return EZipException("Only Deflate compression is supported");
}

EZCompressionError EZCompressionError::forCode(int code)
{
    return EZCompressionError(zError(code));
}

TZipFile::TZipFile() = default;

TZipFile::~TZipFile()
{
    // A destructor must not throw: releasing the writer completes the archive as far as
    // the file takes it, and a failure to do so is dropped (clean-up runs when an error
    // is already on its way, and the caller discards the archive then).
    try {
        Close();
    } catch (...) {
    }
}

void TZipFile::Open(const std::filesystem::path& fileName, TZipMode mode)
{
    Close();
    if (mode != TZipMode::zmWrite) {
        throw EZipException::unsupportedMode();
    }
    const auto fullPath = absolutePath(fileName);
    int error = 0;
    const auto openMode = m_newFilesOnly ? platform::OpenMode::CreateNewRW : platform::OpenMode::CreateOrTruncateRW;
    auto file = platform::File::open(fullPath, openMode, platform::Sharing::Exclusive, error);
    if (!file.isOpen()) {
        throw EFCreateError::forPath(fullPath, error);
    }
    FFileStream = std::move(file);
    m_archivePath = fullPath;
    FEndFileData = 0;
    FFiles.clear();
    FMode = TZipMode::zmWrite;
}

void TZipFile::Add(const std::filesystem::path& fileName, const std::string& archiveFileName,
                   TZipCompression compression)
{
    checkCanAdd(compression);
    // Everything that can refuse the file happens before the first byte of the entry is
    // written, so a refused file leaves the archive as it was.
    const auto fullPath = absolutePath(fileName);
    platform::File source = openSource(fullPath);
    TZipHeader header = describeEntry(source, fullPath, archiveFileName);
    const std::uint64_t dataStart = writeLocalHeader(header);
    header.CompressedSize = compressEntry(source, fullPath, header.UncompressedSize, dataStart, header.CRC32);
    completeLocalHeader(header);

    // Only a complete entry joins the archive: until here FFiles and FEndFileData still
    // describe the entries before it, and Close writes the directory over what was left.
    FFiles.push_back(std::move(header));
    FEndFileData = static_cast<std::int64_t>(dataStart + FFiles.back().CompressedSize);
}

void TZipFile::checkCanAdd(TZipCompression compression) const
{
    if (FMode != TZipMode::zmWrite) {
        throw EZipException::notOpenForWriting();
    }
    if (compression != TZipCompression::zcDeflate) {
        throw EZipException::unsupportedCompression();
    }
    if (FFiles.size() >= kMaxEntries) {
        throw EZipException::tooManyFiles();
    }
    if (m_pieceCallback && !m_pieceCallback(0)) {
        throw EZipStopped();
    }
}

platform::File TZipFile::openSource(const std::filesystem::path& fullPath)
{
    // The source is opened first and its path judged after, so a path that cannot be opened
    // at all, however long, gets the open error.
    int error = 0;
    auto source = platform::File::open(fullPath, platform::OpenMode::Read, platform::Sharing::Exclusive, error);
    if (!source.isOpen()) {
        throw EFOpenError::forPath(fullPath, error);
    }
    if (platform::pathTooLong(fullPath)) {
        throw EPathTooLongException();
    }
    return source;
}

TZipHeader TZipFile::describeEntry(platform::File& source, const std::filesystem::path& fullPath,
                                   const std::string& archiveFileName) const
{
    TZipHeader header;
    header.MadeByVersion = kVersion20;
    header.RequiredVersion = kVersion20;
    header.CompressionMethod = kMethodDeflate;
    const auto stamp = source.lastWriteTimeUtc();
    header.ModifiedDateTime = detail::dosDateTime(stamp ? platform::utcToLocalWithCurrentOffset(*stamp) : std::nullopt);

    // The size is taken once, here; it fixes how much of the source goes into the entry.
    const std::int64_t size = source.size();
    if (size < 0) {
        throw EReadError::forFile(fullPath, platform::lastErrorCode());
    }
    // 0xFFFFFFFF itself is no size but the mark of a size kept in a ZIP64 record, which
    // this writer does not write.
    if (static_cast<std::uint64_t>(size) >= kMax32) {
        throw EZipException::fileTooLarge(fullPath);
    }
    header.UncompressedSize = static_cast<std::uint32_t>(size);

    header.FileName = archiveFileName.empty() ? storedName(fullPath) : archiveFileName;
    if (header.FileName.size() > std::numeric_limits<std::uint16_t>::max()) {
        throw EZipException::nameTooLong();
    }
    header.FileNameLength = static_cast<std::uint16_t>(header.FileName.size());
    // A name that is not UTF-8 (Linux names are bytes) keeps its bytes, unflagged: readers
    // then take it as code page 437, in which every byte is a character, instead of
    // refusing the whole archive over a name flagged as UTF-8 that is not.
    header.Flag = isUtf8(header.FileName) ? kFlagUtf8Name : 0;

    const auto headerStart = static_cast<std::uint64_t>(FEndFileData);
    if (headerStart + kLocalHeaderSize + header.FileName.size() >= kMax32) {
        throw EZipException::archiveTooLarge();
    }
    header.LocalHeaderOffset = static_cast<std::uint32_t>(headerStart);
    return header;
}

std::uint64_t TZipFile::writeLocalHeader(const TZipHeader& header)
{
    if (!FFileStream.seek(FEndFileData)) {
        throw EZipException::writeError();
    }
    // Signature, body and name go out in one write: one call per record, not three.
    std::string record(kLocalHeaderSize, '\0');
    detail::LeWriter<4> signature;
    signature.u32(kLocalHeaderSignature);
    const auto body = localHeaderBody(header);
    std::copy_n(signature.data(), signature.size(), record.begin());
    std::copy_n(body.data(), body.size(), record.begin() + 4);
    record += header.FileName;
    writeOrFail(record.data(), record.size());
    return std::uint64_t{header.LocalHeaderOffset} + record.size();
}

void TZipFile::completeLocalHeader(const TZipHeader& header)
{
    if (!FFileStream.seek(static_cast<std::int64_t>(header.LocalHeaderOffset) + 4)) {
        throw EZipException::writeError();
    }
    const auto body = localHeaderBody(header);
    writeOrFail(body.data(), body.size());
}

void TZipFile::Close()
{
    if (FMode == TZipMode::zmClosed && !FFileStream.isOpen()) {
        return;
    }
    const ScopeExit closeAlways([this] {
        FMode = TZipMode::zmClosed;
        FFiles.clear();
        FFileStream.close();
    });
    if (FMode == TZipMode::zmWrite) {
        writeCentralDirectory();
    }
}

void TZipFile::writeOrFail(const void* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    const std::ptrdiff_t written = FFileStream.write(data, size);
    if (written < 0 || static_cast<std::size_t>(written) != size) {
        throw EZipException::writeError();
    }
}

// Compresses the first `size` bytes of `source` into the archive at the current position and
// returns the number of compressed bytes. The CRC-32 is taken over each block in the same read
// that feeds zlib, so the entry's checksum always describes exactly the data it holds, even if
// another process changes the file meanwhile (locks on POSIX systems are only advisory), and the
// source is read once. A source that ends before `size` bytes fails the entry; one that has grown
// is read only up to `size`.
std::uint32_t TZipFile::compressEntry(platform::File& source, const std::filesystem::path& sourcePath,
                                      std::uint32_t size, std::uint64_t dataStart, std::uint32_t& crc)
{
    if (!m_deflater) {
        m_deflater = std::make_unique<detail::Deflater>();
    } else {
        m_deflater->reset();
    }
    auto& d = *m_deflater;
    z_stream& z = d.stream;
    // The data must end below 0xFFFFFFFF, the ZIP64 mark, where the directory's offset goes.
    const std::uint64_t maxCompressed = kMax32 - 1 - dataStart;
    std::uint64_t compressed = 0;
    std::uint32_t remaining = size;
    uLong checksum = crc32(0L, Z_NULL, 0);

    const auto flushOutput = [&] {
        const std::size_t pending = d.output.size() - z.avail_out;
        if (pending > 0) {
            if (compressed + pending > maxCompressed) {
                throw EZipException::archiveTooLarge();
            }
            const std::ptrdiff_t written = FFileStream.write(d.output.data(), pending);
            if (written < 0 || static_cast<std::size_t>(written) != pending) {
                throw EWriteError::forFile(m_archivePath, platform::lastErrorCode());
            }
            compressed += pending;
        }
        z.next_out = d.output.data();
        z.avail_out = static_cast<uInt>(d.output.size());
    };

    z.next_out = d.output.data();
    z.avail_out = static_cast<uInt>(d.output.size());
    z.avail_in = 0;
    for (;;) {
        if (z.avail_in == 0 && remaining > 0) {
            const std::size_t wanted = std::min<std::size_t>(remaining, d.input.size());
            const std::ptrdiff_t got = source.read(d.input.data(), wanted);
            if (got <= 0) {
                throw EReadError::forFile(sourcePath, got < 0 ? platform::lastErrorCode() : platform::kErrorEndedEarly);
            }
            const auto count = static_cast<uInt>(got);
            if (m_pieceCallback && !m_pieceCallback(count)) {
                throw EZipStopped();
            }
            checksum = crc32(checksum, d.input.data(), count);
            remaining -= count;
            z.next_in = d.input.data();
            z.avail_in = count;
        }
        const int flush = (remaining == 0 && z.avail_in == 0) ? Z_FINISH : Z_NO_FLUSH;
        const int rc = deflate(&z, flush);
        if (rc < 0) {
            throw EZCompressionError::forCode(rc);
        }
        if (z.avail_out == 0) {
            flushOutput();
        }
        if (rc == Z_STREAM_END) {
            break;
        }
    }
    flushOutput();
    crc = static_cast<std::uint32_t>(checksum);
    return static_cast<std::uint32_t>(compressed);
}

void TZipFile::writeCentralDirectory()
{
    if (!FFileStream.seek(FEndFileData)) {
        throw EZipException::writeError();
    }
    // Records are gathered into one bounded buffer so that a large directory costs few writes.
    std::vector<unsigned char> buffer;
    buffer.reserve(kDirectoryBufferSize);
    std::uint64_t directorySize = 0;
    const auto append = [&](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        if (buffer.size() + size > kDirectoryBufferSize) {
            writeOrFail(buffer.data(), buffer.size());
            buffer.clear();
        }
        if (size > kDirectoryBufferSize) {
            writeOrFail(bytes, size);
        } else {
            buffer.insert(buffer.end(), bytes, bytes + size);
        }
        directorySize += size;
    };

    for (const TZipHeader& h : FFiles) {
        detail::LeWriter<kCentralHeaderSize> w;
        w.u32(kCentralHeaderSignature);
        w.u16(h.MadeByVersion).u16(h.RequiredVersion).u16(h.Flag).u16(h.CompressionMethod).u32(h.ModifiedDateTime);
        w.u32(h.CRC32).u32(h.CompressedSize).u32(h.UncompressedSize);
        w.u16(h.FileNameLength).u16(h.ExtraFieldLength).u16(h.FileCommentLength).u16(h.DiskNumberStart);
        w.u16(h.InternalAttributes).u32(h.ExternalAttributes).u32(h.LocalHeaderOffset);
        append(w.data(), w.size());
        append(h.FileName.data(), h.FileName.size());
    }
    if (directorySize >= kMax32) {
        throw EZipException::archiveTooLarge();
    }

    const auto count = static_cast<std::uint16_t>(FFiles.size());
    detail::LeWriter<kEndRecordSize> end;
    end.u32(kEndRecordSignature).u16(0).u16(0).u16(count).u16(count);
    end.u32(static_cast<std::uint32_t>(directorySize)).u32(static_cast<std::uint32_t>(FEndFileData)).u16(0);
    append(end.data(), end.size());
    writeOrFail(buffer.data(), buffer.size());
}

} // namespace glb::archive
