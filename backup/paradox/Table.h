#pragma once

#include "backup/paradox/CodePage.h"
#include "backup/paradox/SortOrder.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace glb::backup::paradox {

/// Field type codes of the table header.
enum class FieldType : std::uint8_t
{
    Alpha = 0x01,
    Date = 0x02,
    Short = 0x03,
    Long = 0x04,
    Currency = 0x05,
    Number = 0x06,
    Logical = 0x09,
    Memo = 0x0C,
    Blob = 0x0D,
    FormattedMemo = 0x0E,
    Ole = 0x0F,
    Graphic = 0x10,
    Time = 0x14,
    Timestamp = 0x15,
    AutoInc = 0x16,
    Bcd = 0x17,
    Bytes = 0x18,
};

struct Field
{
    std::string name; ///< UTF-8
    FieldType type = FieldType::Alpha;
    std::uint8_t declaredSize = 0; ///< as stored; for BCD the number of decimal places
    std::size_t size = 0;          ///< bytes in the record
    std::size_t offset = 0;        ///< offset in the record
};

/// Random-access bytes of a table file. Reads past the end return fewer bytes.
class Source
{
public:
    virtual ~Source() = default;
    virtual std::uint64_t size() const = 0;
    /// Reads up to `n` bytes at `offset`; the count read. Throws EDBEngineError on a read error.
    virtual std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t n) = 0;
};

/// The table file, opened read-only and shared with other readers and writers.
/// Throws EDBEngineError (file open) when it cannot be opened or is no plain file (a FIFO,
/// a device), which is refused without waiting on it.
std::unique_ptr<Source> openFileSource(const std::filesystem::path& path);
/// Bytes in memory (not copied: they must outlive the source).
std::unique_ptr<Source> memorySource(std::string_view bytes);

/// A decoded field value.
struct Value
{
    enum class Kind
    {
        Null,
        Integer,
        Real,
        Text, ///< UTF-8 in `text`
        Blob, ///< raw bytes in `text`
    };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;
};

/// A read-only table: the header is read and checked on construction, the records on
/// readRecords(). Every failure is an EDBEngineError naming the table file; a file that
/// breaks the format (truncated, inconsistent sizes, a looping or stray block chain) is
/// a corrupt table, never read past its end, and no allocation exceeds the file's size.
class Table
{
public:
    /// `fileName` names the table in messages (its full path).
    Table(std::unique_ptr<Source> source, std::string fileName);

    /// Opens the file at `path`.
    static Table open(const std::filesystem::path& path);

    const std::string& fileName() const noexcept { return m_fileName; }
    int fileVersion() const noexcept { return m_version; }
    const std::vector<Field>& fields() const noexcept { return m_fields; }
    const CodePage& codePage() const noexcept { return *m_codePage; }
    const SortOrder& sortOrder() const noexcept { return *m_sortOrder; }
    const std::string& sortOrderName() const noexcept { return m_sortOrderName; }
    std::size_t recordSize() const noexcept { return m_recordSize; }

    /// True when the table is protected by a password.
    bool encrypted() const noexcept { return m_key != 0; }
    /// True when `password` (UTF-8, at most its first 255 characters) is the table's password.
    bool isPassword(std::string_view password) const;

    /// Reads every live record, following the data-block chain from the first block (free
    /// blocks are never reached). A protected table is read only when one of `passwords`
    /// is its password; otherwise the engine error for code $2902.
    void readRecords(const std::vector<std::string>& passwords);

    std::size_t recordCount() const noexcept { return m_recordCount; }
    /// Decodes field `field` of record `row` into `out`.
    void value(std::size_t row, std::size_t field, Value& out) const;
    /// Appends the text of alpha field `field` of record `row` (up to its first zero
    /// byte) to `out`; false when it is blank (null).
    bool alphaText(std::size_t row, std::size_t field, std::string& out) const;

private:
    /// Reads and checks the header: the fixed part, the field descriptors and names, the
    /// code page and the sort order.
    void parseHeader();
    /// The field descriptors after the fixed part at `base`: types, sizes and offsets,
    /// which must add up to the record size and fit a block.
    void parseFields(const std::vector<unsigned char>& header, std::size_t base, std::size_t fieldCount);
    /// The fields' names, zero-terminated from `namesStart`; returns the position after them.
    std::size_t parseFieldNames(const std::vector<unsigned char>& header, std::size_t namesStart);
    /// The sort order's name after the field numbers (4.x and later), where it is plain text.
    void parseSortOrderName(const std::vector<unsigned char>& header, std::size_t pos);
    [[noreturn]] void corrupt(const std::string& detail) const;

    std::unique_ptr<Source> m_source;
    std::string m_fileName;
    std::uint64_t m_fileSize = 0;
    std::size_t m_headerSize = 0;
    std::size_t m_recordSize = 0;
    std::size_t m_blockSize = 0;
    int m_version = 0;
    std::uint32_t m_firstBlock = 0;
    std::uint32_t m_key = 0;
    std::vector<Field> m_fields;
    std::unique_ptr<CodePage> m_codePage;
    std::unique_ptr<SortOrder> m_sortOrder;
    std::string m_sortOrderName;
    std::vector<char> m_records;
    std::size_t m_recordCount = 0;
};

} // namespace glb::backup::paradox
