#pragma once

#include "common/Error.h"
#include "common/Platform.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace glb::archive {

namespace detail {
class Deflater;
}

/// A ZIP failure of the writer itself ("File must be open for writing", "Error writing zip file", size limits).
class EZipException : public Error
{
public:
    using Error::Error;
    /// "File must be open for writing"
    static EZipException notOpenForWriting();
    /// "Error writing zip file": a signature, header, name, the directory or the end record was cut short.
    static EZipException writeError();
    /// A source of 4,294,967,295 bytes or more, which the 32-bit size fields cannot describe
    /// (that value itself marks a ZIP64 size).
    static EZipException fileTooLarge(const std::filesystem::path& path);
    /// The entry data would pass the 4 GiB that the 32-bit offsets can address.
    static EZipException archiveTooLarge();
    /// More entries than the 16-bit counts of the end record can hold.
    static EZipException tooManyFiles();
    /// A stored name longer than the 16-bit name length can hold.
    static EZipException nameTooLong();
    /// Any mode but zmWrite: the writer only writes new archives.
    static EZipException unsupportedMode();
    /// Any method but Deflate.
    static EZipException unsupportedCompression();
};

/// The writer's caller asked it to stop (its piece callback returned false): the entry in
/// progress is left unfinished, as after any failure of Add.
class EZipStopped : public Error
{
public:
    EZipStopped()
        : Error("Packing stopped")
    {
    }
};

/// zlib returned an error code; the message is zlib's text for it.
class EZCompressionError : public Error
{
public:
    using Error::Error;
    /// zlib's text for the (negative) result code `code`.
    static EZCompressionError forCode(int code);
};

enum class TZipMode : std::uint8_t
{
    zmClosed = 0,
    zmRead = 1,
    zmReadWrite = 2,
    zmWrite = 3,
};

/// Compression methods, valued as the ZIP method numbers.
enum class TZipCompression : std::uint8_t
{
    zcStored = 0,
    zcDeflate = 8,
};

/// One entry: the fixed part is exactly the central directory record body.
struct TZipHeader
{
    std::uint16_t MadeByVersion = 0;
    std::uint16_t RequiredVersion = 0;
    std::uint16_t Flag = 0;
    std::uint16_t CompressionMethod = 0;
    std::uint32_t ModifiedDateTime = 0;
    std::uint32_t CRC32 = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t UncompressedSize = 0;
    std::uint16_t FileNameLength = 0;
    std::uint16_t ExtraFieldLength = 0;
    std::uint16_t FileCommentLength = 0;
    std::uint16_t DiskNumberStart = 0;
    std::uint16_t InternalAttributes = 0;
    std::uint32_t ExternalAttributes = 0;
    std::uint32_t LocalHeaderOffset = 0;
    std::string FileName;
    std::string ExtraField;
    std::string FileComment;
};

/// Writes ZIP archives of Deflate-compressed files, one archive at a time:
/// Open (zmWrite), Add any number of times, Close. One writer serves any number of
/// archives in turn; each is laid out as if written by a fresh writer. Destroying the
/// writer closes (completes) an archive still open. The methods are virtual so that
/// tests of its callers can stand in for it.
class TZipFile
{
public:
    TZipFile();
    virtual ~TZipFile();
    TZipFile(const TZipFile&) = delete;
    TZipFile& operator=(const TZipFile&) = delete;

    /// Closes any archive in progress, then creates or empties `fileName` with no sharing.
    /// An entry there that is a link (dangling or not), a file with other names, or no
    /// plain file at all is refused and left as it is. With newFilesOnly set, any entry
    /// that exists there is refused. Raises EFCreateError; a failed Open leaves the writer
    /// closed.
    virtual void Open(const std::filesystem::path& fileName, TZipMode mode);

    /// When set, Open only creates new files and never empties one that exists, so that a
    /// series of archives cannot overwrite one another whatever names the file system takes
    /// for one. Off by default.
    void setNewFilesOnly(bool newOnly) noexcept { m_newFilesOnly = newOnly; }

    /// Appends the file `fileName` as one entry and writes it at once. An empty
    /// `archiveFileName` stores the file's base name. A source that is no plain file (a
    /// folder, a FIFO, a device) is refused with EFOpenError, without waiting on it.
    virtual void Add(const std::filesystem::path& fileName, const std::string& archiveFileName = {},
                     TZipCompression compression = TZipCompression::zcDeflate);

    /// Writes the central directory and end record (in zmWrite), then closes the file.
    /// Does nothing on a closed writer.
    virtual void Close();

    /// Called on the writer's thread before each file is added (with 0) and after each piece
    /// of a source has been read into the entry (with the piece's size in bytes), so that a
    /// caller can follow the work and stop it: when it returns false, Add stops there with
    /// EZipStopped. None by default.
    using PieceCallback = std::function<bool(std::size_t bytes)>;
    void setPieceCallback(PieceCallback callback) { m_pieceCallback = std::move(callback); }
    const PieceCallback& pieceCallback() const noexcept { return m_pieceCallback; }

    TZipMode Mode() const noexcept { return FMode; }
    bool UTF8Support() const noexcept { return FUTF8Support; }
    /// The headers of the entries added so far to the open archive.
    const std::vector<TZipHeader>& Files() const noexcept { return FFiles; }

private:
    /// Raises unless an entry may be added now: open for writing, Deflate, room for one more
    /// entry, and not stopped.
    void checkCanAdd(TZipCompression compression) const;
    /// Opens the source for reading (a file, a link to one followed) and judges its path.
    static platform::File openSource(const std::filesystem::path& fullPath);
    /// The entry's local header before its data is known: version, method, time, size and
    /// name, at the end of the entries so far.
    TZipHeader describeEntry(platform::File& source, const std::filesystem::path& fullPath,
                             const std::string& archiveFileName) const;
    /// Writes the local header and name at the entry's place; returns where its data starts.
    std::uint64_t writeLocalHeader(const TZipHeader& header);
    /// Writes the local header again with the CRC and compressed size now known.
    void completeLocalHeader(const TZipHeader& header);
    void writeOrFail(const void* data, std::size_t size);
    std::uint32_t compressEntry(platform::File& source, const std::filesystem::path& sourcePath, std::uint32_t size,
                                std::uint64_t dataStart, std::uint32_t& crc);
    void writeCentralDirectory();

    TZipMode FMode = TZipMode::zmClosed;
    platform::File FFileStream;
    std::int64_t FEndFileData = 0;
    std::vector<TZipHeader> FFiles;
    bool FUTF8Support = true;
    // zlib's state and the copy buffers, made on the first Add and reused for every entry.
    std::unique_ptr<detail::Deflater> m_deflater;
    PieceCallback m_pieceCallback;
    std::filesystem::path m_archivePath; ///< of the open archive, for messages
    bool m_newFilesOnly = false;
};

} // namespace glb::archive
