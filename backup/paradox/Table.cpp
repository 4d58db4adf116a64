#include "backup/paradox/Table.h"

#include "backup/paradox/Crypt.h"
#include "backup/paradox/DBEngineError.h"
#include "common/Platform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace glb::backup::paradox {

namespace {

class FileSource final : public Source
{
public:
    FileSource(platform::File file, std::filesystem::path path)
        : m_file(std::move(file))
        , m_path(std::move(path))
    {
        const std::int64_t size = m_file.size();
        if (size < 0) {
            failRead(platform::lastErrorCode());
        }
        m_size = static_cast<std::uint64_t>(size);
    }

    std::uint64_t size() const override { return m_size; }

    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t n) override
    {
        if (offset >= m_size || n == 0) {
            return 0;
        }
        if (!m_file.seek(static_cast<std::int64_t>(offset))) {
            failRead(platform::lastErrorCode());
        }
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            const std::ptrdiff_t got = m_file.read(out + done, n - done);
            if (got < 0) {
                failRead(platform::lastErrorCode());
            }
            if (got == 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

private:
    [[noreturn]] void failRead(int code) const
    {
        throw EDBEngineError::fromEngine(dbcode::kFileRead, {{dbcode::kFileRead, 0, "File: " + pathText(m_path)},
                                                             {dbcode::kFileRead, code, systemErrorTextOf(code)}});
    }
    static std::string systemErrorTextOf(int code) { return platform::rawSystemErrorText(code); }

    platform::File m_file;
    std::filesystem::path m_path;
    std::uint64_t m_size = 0;
};

class MemorySource final : public Source
{
public:
    explicit MemorySource(std::string_view bytes)
        : m_bytes(bytes)
    {
    }
    std::uint64_t size() const override { return m_bytes.size(); }
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t n) override
    {
        if (offset >= m_bytes.size()) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(n, m_bytes.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer, m_bytes.data() + offset, count);
        return count;
    }

private:
    std::string_view m_bytes;
};

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t be(const unsigned char* p, std::size_t n)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

// Fixed-size types; 0 for types whose size the descriptor gives.
std::size_t fixedSize(FieldType type)
{
    switch (type) {
    case FieldType::Short:
        return 2;
    case FieldType::Date:
    case FieldType::Long:
    case FieldType::Time:
    case FieldType::AutoInc:
        return 4;
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Timestamp:
        return 8;
    case FieldType::Logical:
        return 1;
    case FieldType::Bcd:
        return 17;
    default:
        return 0;
    }
}

bool knownType(std::uint8_t code)
{
    switch (static_cast<FieldType>(code)) {
    case FieldType::Alpha:
    case FieldType::Date:
    case FieldType::Short:
    case FieldType::Long:
    case FieldType::Currency:
    case FieldType::Number:
    case FieldType::Logical:
    case FieldType::Memo:
    case FieldType::Blob:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
    case FieldType::Time:
    case FieldType::Timestamp:
    case FieldType::AutoInc:
    case FieldType::Bcd:
    case FieldType::Bytes:
        return true;
    }
    return false;
}

bool isBlobType(FieldType type)
{
    return type == FieldType::Memo || type == FieldType::Blob || type == FieldType::FormattedMemo ||
           type == FieldType::Ole || type == FieldType::Graphic;
}

// Proleptic Gregorian civil date from a day number (0001-01-01 = 1).
void appendDate(std::int64_t dayNumber, std::string& out)
{
    // Days since 1970-01-01, then the civil-from-days algorithm on a 400-year era.
    const std::int64_t z = dayNumber - 719163 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(year), static_cast<unsigned>(month),
                  static_cast<unsigned>(day));
    out += text;
}

void appendTime(std::int64_t ms, std::string& out)
{
    const char* sign = ms < 0 ? "-" : "";
    const std::uint64_t value = ms < 0 ? static_cast<std::uint64_t>(-(ms + 1)) + 1 : static_cast<std::uint64_t>(ms);
    char text[64];
    const auto h = static_cast<unsigned long long>(value / 3600000);
    const auto m = static_cast<unsigned>(value / 60000 % 60);
    const auto s = static_cast<unsigned>(value / 1000 % 60);
    const auto f = static_cast<unsigned>(value % 1000);
    if (f == 0) {
        std::snprintf(text, sizeof text, "%s%02llu:%02u:%02u", sign, h, m, s);
    } else {
        std::snprintf(text, sizeof text, "%s%02llu:%02u:%02u.%03u", sign, h, m, s, f);
    }
    out += text;
}

} // namespace

std::unique_ptr<Source> openFileSource(const std::filesystem::path& path)
{
    int code = 0;
    // Shared with writers: the product keeps its tables open for writing while it runs.
    platform::File file = platform::File::open(path, platform::OpenMode::Read, platform::Sharing::ReadWrite, code);
    if (!file.isOpen()) {
        throw EDBEngineError::fromEngine(dbcode::kFileOpen,
                                         {{dbcode::kFileOpen, code, EFOpenError::forPath(path, code).message()}});
    }
    return std::make_unique<FileSource>(std::move(file), path);
}

std::unique_ptr<Source> memorySource(std::string_view bytes)
{
    return std::make_unique<MemorySource>(bytes);
}

Table Table::open(const std::filesystem::path& path)
{
    return Table(openFileSource(path), pathText(path));
}

Table::Table(std::unique_ptr<Source> source, std::string fileName)
    : m_source(std::move(source))
    , m_fileName(std::move(fileName))
{
    parseHeader();
}

void Table::corrupt(const std::string& detail) const
{
    throw EDBEngineError::fromEngine(dbcode::kCorruptTable,
                                     {{dbcode::kCorruptTable, 0, "File: " + m_fileName}, {0, 0, detail}});
}

void Table::parseHeader()
{
    m_fileSize = m_source->size();
    constexpr std::size_t kFixedPart = 0x58;
    if (m_fileSize < kFixedPart) {
        corrupt("The file is too short for a table header.");
    }
    unsigned char fixed[kFixedPart];
    if (m_source->readAt(0, fixed, kFixedPart) != kFixedPart) {
        corrupt("The file is too short for a table header.");
    }
    m_recordSize = le16(fixed + 0x00);
    m_headerSize = le16(fixed + 0x02);
    const unsigned fileType = fixed[0x04];
    const unsigned blockCode = fixed[0x05];
    m_firstBlock = le16(fixed + 0x0E);
    const std::size_t fieldCount = le16(fixed + 0x21);
    const std::uint32_t encryption1 = le32(fixed + 0x25);
    const std::uint8_t sortOrderByte = fixed[0x29];
    m_version = fixed[0x39];

    if (fileType != 0 && fileType != 2) {
        corrupt("The file is not a table (file type " + std::to_string(fileType) + ").");
    }
    if (m_version < 3 || m_version > 15) {
        corrupt("Unknown table version " + std::to_string(m_version) + ".");
    }
    if (blockCode < 1 || blockCode > 32) {
        corrupt("Invalid block size code " + std::to_string(blockCode) + ".");
    }
    m_blockSize = std::size_t{blockCode} * 1024;
    if (fieldCount < 1 || fieldCount > 255) {
        corrupt("Invalid field count " + std::to_string(fieldCount) + ".");
    }
    const std::size_t base = m_version >= 5 ? 0x78 : 0x58;
    if (m_headerSize < base || m_headerSize > m_fileSize) {
        corrupt("Invalid header size " + std::to_string(m_headerSize) + ".");
    }
    std::vector<unsigned char> header(m_headerSize);
    if (m_source->readAt(0, header.data(), header.size()) != header.size()) {
        corrupt("The header is cut short.");
    }

    int codePage = 0;
    m_key = encryption1;
    if (m_version >= 5) {
        const std::uint32_t encryption2 = le32(header.data() + 0x5C);
        if (encryption1 == 0xFF00FF00U || encryption1 == 0) {
            m_key = encryption2;
        }
        codePage = le16(header.data() + 0x6A);
    }

    const std::size_t tableNameLength = m_version >= 12 ? 261 : 79;
    const std::size_t namesStart = base + 6 * fieldCount + 4 + tableNameLength;
    if (namesStart > m_headerSize) {
        corrupt("The field list runs past the header.");
    }
    m_codePage = std::make_unique<CodePage>(codePage == 0 && m_version < 5 ? kDefaultCodePage : codePage);

    parseFields(header, base, fieldCount);
    const std::size_t namesEnd = parseFieldNames(header, namesStart);
    parseSortOrderName(header, namesEnd);
    m_sortOrder = std::make_unique<SortOrder>(sortRuleFor(m_sortOrderName, sortOrderByte), *m_codePage);
}

void Table::parseFields(const std::vector<unsigned char>& header, std::size_t base, std::size_t fieldCount)
{
    m_fields.resize(fieldCount);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < fieldCount; ++i) {
        Field& field = m_fields[i];
        const std::uint8_t typeCode = header[base + 2 * i];
        field.declaredSize = header[base + 2 * i + 1];
        if (!knownType(typeCode)) {
            corrupt("Field " + std::to_string(i + 1) + " has the unknown type " + std::to_string(typeCode) + ".");
        }
        field.type = static_cast<FieldType>(typeCode);
        const std::size_t fixedBytes = fixedSize(field.type);
        field.size = fixedBytes != 0 ? fixedBytes : field.declaredSize;
        const bool sizeOk = fixedBytes != 0 ? (field.type == FieldType::Bcd || field.declaredSize == fixedBytes)
                                            : (isBlobType(field.type) ? field.size >= 10 : field.size >= 1);
        if (!sizeOk) {
            corrupt("Field " + std::to_string(i + 1) + " has the invalid size " + std::to_string(field.declaredSize) +
                    ".");
        }
        field.offset = offset;
        offset += field.size;
    }
    if (offset != m_recordSize || m_recordSize == 0) {
        corrupt("The record size " + std::to_string(m_recordSize) + " does not match the fields (" +
                std::to_string(offset) + ").");
    }
    if (m_recordSize > m_blockSize - 6) {
        corrupt("A record does not fit in a block.");
    }
}

std::size_t Table::parseFieldNames(const std::vector<unsigned char>& header, std::size_t namesStart)
{
    std::size_t pos = namesStart;
    for (Field& field : m_fields) {
        const auto* begin = header.data() + pos;
        const auto* end = static_cast<const unsigned char*>(std::memchr(begin, 0, m_headerSize - pos));
        if (end == nullptr) {
            corrupt("The field names run past the header.");
        }
        field.name = m_codePage->decode(
            std::string_view(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin)));
        pos += static_cast<std::size_t>(end - begin) + 1;
    }
    return pos;
}

void Table::parseSortOrderName(const std::vector<unsigned char>& header, std::size_t pos)
{
    const std::size_t fieldCount = m_fields.size();
    // 4.x and later: field numbers, then the sort-order name. A name that is not plain
    // text is ignored; the byte decides then.
    if (m_version >= 5 && pos + 2 * fieldCount < m_headerSize) {
        pos += 2 * fieldCount;
        const auto* begin = header.data() + pos;
        const auto* end = static_cast<const unsigned char*>(std::memchr(begin, 0, m_headerSize - pos));
        if (end != nullptr) {
            std::string name(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
            const bool plain = name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
                                   return c > ' ' && static_cast<unsigned char>(c) < 0x7F;
                               });
            if (plain) {
                m_sortOrderName = std::move(name);
            }
        }
    }
}

bool Table::isPassword(std::string_view password) const
{
    const std::optional<std::string> bytes =
        m_codePage->encode(password.substr(0, prefixOfCharacters(password, kMaxPasswordCharacters)));
    return bytes && !bytes->empty() && passwordChecksum(*bytes) == m_key;
}

void Table::readRecords(const std::vector<std::string>& passwords)
{
    if (encrypted() && std::none_of(passwords.begin(), passwords.end(),
                                    [&](const std::string& password) { return isPassword(password); })) {
        throw EDBEngineError::fromEngine(dbcode::kNoTableRights, {{dbcode::kNoTableRights, 0, "File: " + m_fileName}});
    }
    m_records.clear();
    m_recordCount = 0;
    if (m_firstBlock == 0) {
        return;
    }
    const std::uint64_t dataBytes = m_fileSize - m_headerSize;
    const std::uint64_t blocksInFile = (dataBytes + m_blockSize - 1) / m_blockSize;
    const std::size_t maxPerBlock = (m_blockSize - 6) / m_recordSize;
    // Block numbers are 16-bit: blocks past the 65535th cannot be reached, however long the
    // file, so they need no place among the blocks seen.
    constexpr std::uint64_t kMaxBlockNumber = std::numeric_limits<std::uint16_t>::max();
    std::vector<bool> seen(static_cast<std::size_t>(std::min(blocksInFile, kMaxBlockNumber)) + 1, false);
    std::vector<unsigned char> block(m_blockSize);

    for (std::uint32_t number = m_firstBlock; number != 0;) {
        if (number > blocksInFile) {
            corrupt("Data block " + std::to_string(number) + " lies past the end of the file.");
        }
        if (seen[number]) {
            corrupt("The data block chain returns to block " + std::to_string(number) + ".");
        }
        seen[number] = true;
        const std::uint64_t at = m_headerSize + static_cast<std::uint64_t>(number - 1) * m_blockSize;
        const std::size_t got = m_source->readAt(at, block.data(), m_blockSize);
        std::memset(block.data() + got, 0, m_blockSize - got);
        if (encrypted()) {
            decryptBlock(block.data(), m_blockSize, number, m_key);
        }
        const std::uint32_t next = le16(block.data());
        const auto lastOffset = static_cast<std::int16_t>(le16(block.data() + 4));
        if (lastOffset >= 0) {
            const auto last = static_cast<std::size_t>(lastOffset);
            if (last % m_recordSize != 0 || last / m_recordSize + 1 > maxPerBlock) {
                corrupt("Data block " + std::to_string(number) + " has an invalid record count.");
            }
            const std::size_t count = last / m_recordSize + 1;
            if (6 + count * m_recordSize > got) {
                corrupt("Data block " + std::to_string(number) + " is cut short by the end of the file.");
            }
            const auto* records = reinterpret_cast<const char*>(block.data() + 6);
            m_records.insert(m_records.end(), records, records + count * m_recordSize);
            m_recordCount += count;
        }
        number = next;
    }
}

bool Table::alphaText(std::size_t row, std::size_t field, std::string& out) const
{
    const Field& f = m_fields[field];
    const char* p = m_records.data() + row * m_recordSize + f.offset;
    const auto* zero = static_cast<const char*>(std::memchr(p, 0, f.size));
    const std::size_t length = zero != nullptr ? static_cast<std::size_t>(zero - p) : f.size;
    if (length == 0) {
        return false;
    }
    m_codePage->decodeAppend(std::string_view(p, length), out);
    return true;
}

namespace {

/// A Number, Currency or Timestamp field: an IEEE double stored big-endian with its sign
/// bit flipped (all bits flipped when negative). A value that is not finite reads blank.
void readFloatingField(const unsigned char* p, FieldType type, Value& out)
{
    std::uint64_t bits = be(p, 8);
    bits = (bits & 0x8000000000000000ULL) != 0 ? bits & 0x7FFFFFFFFFFFFFFFULL : ~bits;
    double number = 0;
    std::memcpy(&number, &bits, sizeof number);
    if (!std::isfinite(number)) {
        return;
    }
    if (type != FieldType::Timestamp) {
        out.kind = Value::Kind::Real;
        out.real = number;
        return;
    }
    // Milliseconds since the day before 0001-01-01; a value no calendar can show stays a number.
    constexpr double kDay = 86400000.0;
    if (std::fabs(number) > 1e17) {
        out.kind = Value::Kind::Real;
        out.real = number;
        return;
    }
    const auto ms = static_cast<std::int64_t>(std::floor(number));
    std::int64_t days = ms / static_cast<std::int64_t>(kDay);
    std::int64_t ofDay = ms % static_cast<std::int64_t>(kDay);
    if (ofDay < 0) {
        ofDay += static_cast<std::int64_t>(kDay);
        --days;
    }
    out.kind = Value::Kind::Text;
    appendDate(days, out.text);
    out.text += ' ';
    appendTime(ofDay, out.text);
}

/// A BCD field: a sign and scale byte, then 32 digits of four bits (all inverted when
/// negative). A digit over 9 makes the value blank.
void readBcdField(const unsigned char* p, Value& out)
{
    const bool positive = (p[0] & 0x80) != 0;
    const unsigned scale = std::min<unsigned>(p[0] & 0x3F, 32);
    std::string digits;
    for (std::size_t i = 0; i < 32; ++i) {
        unsigned nibble = (i % 2 == 0 ? p[1 + i / 2] >> 4 : p[1 + i / 2]) & 0x0F;
        if (!positive) {
            nibble = 15 - nibble;
        }
        if (nibble > 9) {
            return; // not a decimal number: blank
        }
        digits += static_cast<char>('0' + nibble);
    }
    std::string whole = digits.substr(0, 32 - scale);
    const std::string fraction = digits.substr(32 - scale);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    out.kind = Value::Kind::Text;
    if (!positive) {
        out.text.push_back('-');
    }
    out.text.append(whole.empty() ? std::string_view("0") : std::string_view(whole));
    if (!fraction.empty()) {
        out.text.push_back('.');
        out.text.append(fraction);
    }
}

} // namespace

void Table::value(std::size_t row, std::size_t field, Value& out) const
{
    const Field& f = m_fields[field];
    const auto* p = reinterpret_cast<const unsigned char*>(m_records.data() + row * m_recordSize + f.offset);
    out.kind = Value::Kind::Null;
    out.text.clear();
    const bool allZero = std::all_of(p, p + f.size, [](unsigned char b) { return b == 0; });
    switch (f.type) {
    case FieldType::Alpha:
        if (alphaText(row, field, out.text)) {
            out.kind = Value::Kind::Text;
        }
        return;
    case FieldType::Bytes:
        out.kind = Value::Kind::Blob;
        out.text.assign(reinterpret_cast<const char*>(p), f.size);
        return;
    default:
        break;
    }
    if (allZero || isBlobType(f.type)) {
        return; // blank; blob contents live in the memo file, which is not read
    }
    switch (f.type) {
    case FieldType::Short:
        out.kind = Value::Kind::Integer;
        out.integer = static_cast<std::int16_t>(be(p, 2) ^ 0x8000U);
        return;
    case FieldType::Long:
    case FieldType::AutoInc:
        out.kind = Value::Kind::Integer;
        out.integer = static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U);
        return;
    case FieldType::Date:
        out.kind = Value::Kind::Text;
        appendDate(static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U), out.text);
        return;
    case FieldType::Time:
        out.kind = Value::Kind::Text;
        appendTime(static_cast<std::int32_t>(be(p, 4) ^ 0x80000000U), out.text);
        return;
    case FieldType::Logical:
        out.kind = Value::Kind::Integer;
        out.integer = (p[0] & 0x7F) != 0 ? 1 : 0;
        return;
    case FieldType::Number:
    case FieldType::Currency:
    case FieldType::Timestamp:
        readFloatingField(p, f.type, out);
        return;
    case FieldType::Bcd:
        readBcdField(p, out);
        return;
    default:
        return;
    }
}

} // namespace glb::backup::paradox
