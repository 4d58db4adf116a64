#include "tests/support/ZipInspector.h"

#include "tests/support/Command.h"
#include "tests/support/TempDir.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <zlib.h>

namespace glb::test {

namespace {

constexpr std::uint32_t kLocalSig = 0x04034B50;
constexpr std::uint32_t kCentralSig = 0x02014B50;
constexpr std::uint32_t kEndSig = 0x06054B50;

// Decodes each sequence and checks the code point it gives: the shortest form, no
// surrogate, nothing past U+10FFFF.
bool isUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80            ? 1
                                   : (lead >> 5U) == 0x6  ? 2
                                   : (lead >> 4U) == 0xE  ? 3
                                   : (lead >> 3U) == 0x1E ? 4
                                                          : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? lead : lead & (0x7FU >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            code = (code << 6U) | (next & 0x3FU);
        }
        constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

class Reader
{
public:
    explicit Reader(const std::string& bytes)
        : m_bytes(bytes)
    {
    }
    bool has(std::uint64_t offset, std::uint64_t size) const { return offset + size <= m_bytes.size(); }
    std::uint16_t u16(std::uint64_t offset) const
    {
        return static_cast<std::uint16_t>(byte(offset) | (byte(offset + 1) << 8U));
    }
    std::uint32_t u32(std::uint64_t offset) const
    {
        return static_cast<std::uint32_t>(u16(offset)) | (static_cast<std::uint32_t>(u16(offset + 2)) << 16U);
    }
    std::string bytes(std::uint64_t offset, std::uint64_t size) const { return m_bytes.substr(offset, size); }

private:
    unsigned byte(std::uint64_t offset) const { return static_cast<unsigned char>(m_bytes[offset]); }
    const std::string& m_bytes;
};

template <typename T>
void expectField(std::vector<std::string>& problems, const std::string& where, const char* field, T actual, T expected)
{
    if (actual != expected) {
        std::ostringstream text;
        text << where << ": " << field << " is " << static_cast<std::uint64_t>(actual) << ", expected "
             << static_cast<std::uint64_t>(expected);
        problems.push_back(text.str());
    }
}

// Inflates a raw Deflate stream; the stream must end exactly at the end of `compressed`.
bool inflateRaw(const std::string& compressed, std::string& out, std::string& error)
{
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        error = "inflateInit2 failed";
        return false;
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    std::array<char, 65536> buffer{};
    int rc = Z_OK;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer.data(), buffer.size() - z.avail_out);
    } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
    const uInt left = z.avail_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
        error = "the Deflate stream does not end (zlib " + std::to_string(rc) + ")";
        return false;
    }
    if (left != 0) {
        error = std::to_string(left) + " bytes follow the end of the Deflate stream";
        return false;
    }
    return true;
}

} // namespace

ZipInfo inspectZip(const std::filesystem::path& path, bool allowTrailingBytes)
{
    ZipInfo info;
    const std::string bytes = readFile(path);
    const Reader r(bytes);
    info.fileSize = bytes.size();
    auto& problems = info.problems;

    // The end record, searched from the end as readers do.
    const auto endPos = bytes.rfind(std::string("PK\x05\x06", 4));
    if (endPos == std::string::npos || !r.has(endPos, 22)) {
        problems.emplace_back("no end of central directory record");
        return info;
    }
    info.endRecordOffset = endPos;
    if (endPos + 22 != bytes.size() && !allowTrailingBytes) {
        problems.push_back(std::to_string(bytes.size() - endPos - 22) + " bytes after the end record");
    }
    expectField<std::uint16_t>(problems, "end record", "disk number", r.u16(endPos + 4), 0);
    expectField<std::uint16_t>(problems, "end record", "directory disk", r.u16(endPos + 6), 0);
    info.totalEntries = r.u16(endPos + 10);
    expectField<std::uint16_t>(problems, "end record", "entries on this disk", r.u16(endPos + 8), info.totalEntries);
    info.directorySize = r.u32(endPos + 12);
    info.directoryOffset = r.u32(endPos + 16);
    expectField<std::uint16_t>(problems, "end record", "comment length", r.u16(endPos + 20), 0);
    expectField<std::uint64_t>(problems, "end record", "directory offset + size",
                               std::uint64_t{info.directoryOffset} + info.directorySize, endPos);

    std::uint64_t pos = info.directoryOffset;
    std::uint64_t expectedLocal = 0;
    for (unsigned i = 0; i < info.totalEntries; ++i) {
        const std::string where = "entry " + std::to_string(i);
        if (!r.has(pos, 46) || r.u32(pos) != kCentralSig) {
            problems.push_back(where + ": no central directory header at " + std::to_string(pos));
            return info;
        }
        ZipEntryInfo e;
        e.madeBy = r.u16(pos + 4);
        e.versionNeeded = r.u16(pos + 6);
        e.flags = r.u16(pos + 8);
        e.method = r.u16(pos + 10);
        e.time = r.u16(pos + 12);
        e.date = r.u16(pos + 14);
        e.crc = r.u32(pos + 16);
        e.compressedSize = r.u32(pos + 20);
        e.uncompressedSize = r.u32(pos + 24);
        const std::uint16_t nameLength = r.u16(pos + 28);
        expectField<std::uint16_t>(problems, where, "extra field length", r.u16(pos + 30), 0);
        expectField<std::uint16_t>(problems, where, "comment length", r.u16(pos + 32), 0);
        expectField<std::uint16_t>(problems, where, "disk number start", r.u16(pos + 34), 0);
        expectField<std::uint16_t>(problems, where, "internal attributes", r.u16(pos + 36), 0);
        expectField<std::uint32_t>(problems, where, "external attributes", r.u32(pos + 38), 0);
        e.localHeaderOffset = r.u32(pos + 42);
        if (!r.has(pos + 46, nameLength)) {
            problems.push_back(where + ": name runs past the file");
            return info;
        }
        e.name = r.bytes(pos + 46, nameLength);
        pos += 46 + nameLength;
        expectField<std::uint16_t>(problems, where, "version made by", e.madeBy, 20);
        expectField<std::uint16_t>(problems, where, "version needed", e.versionNeeded, 20);
        // Bit 11 says the name is UTF-8; a name that is not is stored without it.
        expectField<std::uint16_t>(problems, where, "flags", e.flags, isUtf8(e.name) ? 0x0800 : 0);
        expectField<std::uint16_t>(problems, where, "method", e.method, 8);
        expectField<std::uint64_t>(problems, where, "local header offset", e.localHeaderOffset, expectedLocal);

        const std::uint64_t lh = e.localHeaderOffset;
        if (!r.has(lh, 30) || r.u32(lh) != kLocalSig) {
            problems.push_back(where + ": no local header signature at " + std::to_string(lh));
            info.entries.push_back(std::move(e));
            continue;
        }
        const std::string local = where + " local header";
        expectField<std::uint16_t>(problems, local, "version needed", r.u16(lh + 4), e.versionNeeded);
        expectField<std::uint16_t>(problems, local, "flags", r.u16(lh + 6), e.flags);
        expectField<std::uint16_t>(problems, local, "method", r.u16(lh + 8), e.method);
        expectField<std::uint16_t>(problems, local, "time", r.u16(lh + 10), e.time);
        expectField<std::uint16_t>(problems, local, "date", r.u16(lh + 12), e.date);
        expectField<std::uint32_t>(problems, local, "CRC-32", r.u32(lh + 14), e.crc);
        expectField<std::uint32_t>(problems, local, "compressed size", r.u32(lh + 18), e.compressedSize);
        expectField<std::uint32_t>(problems, local, "uncompressed size", r.u32(lh + 22), e.uncompressedSize);
        expectField<std::uint16_t>(problems, local, "name length", r.u16(lh + 26), nameLength);
        expectField<std::uint16_t>(problems, local, "extra field length", r.u16(lh + 28), 0);
        if (!r.has(lh + 30, std::uint64_t{nameLength} + e.compressedSize)) {
            problems.push_back(where + ": data run past the file");
            info.entries.push_back(std::move(e));
            continue;
        }
        if (r.bytes(lh + 30, nameLength) != e.name) {
            problems.push_back(local + ": name differs from the central directory's");
        }
        e.compressedData = r.bytes(lh + 30 + nameLength, e.compressedSize);
        expectedLocal = lh + 30 + nameLength + e.compressedSize;

        std::string error;
        if (!inflateRaw(e.compressedData, e.data, error)) {
            problems.push_back(where + ": " + error);
        } else {
            expectField<std::uint64_t>(problems, where, "inflated size", e.data.size(), e.uncompressedSize);
            const auto crc = static_cast<std::uint32_t>(
                crc32(0L, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
            expectField<std::uint32_t>(problems, where, "CRC-32 of the data", crc, e.crc);
        }
        info.entries.push_back(std::move(e));
    }
    expectField<std::uint64_t>(problems, "central directory", "offset", info.directoryOffset, expectedLocal);
    expectField<std::uint64_t>(problems, "central directory", "end", pos, endPos);
    return info;
}

std::vector<std::string> namesOf(const ZipInfo& zip)
{
    std::vector<std::string> names;
    for (const ZipEntryInfo& entry : zip.entries) {
        names.push_back(entry.name);
    }
    return names;
}

std::vector<std::string> checkWithReaders(const std::filesystem::path& path, const std::vector<std::string>& names)
{
    std::vector<std::string> problems;
    const char* python = std::getenv("GLB_PYTHON");
    const std::string script = "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                               "    bad = z.testzip()\n"
                               "    if bad is not None:\n"
                               "        sys.exit('bad entry: ' + bad)\n"
                               "    for i in z.infolist():\n"
                               "        sys.stdout.buffer.write(i.filename.encode('utf-8') + b'\\n')\n";
    const CommandResult listing = runCommand(shellQuoted(python != nullptr ? python : "python3") + " -c " +
                                             shellQuoted(script) + " " + shellQuoted(hostPath(path)) + " 2>&1");
    if (listing.status != 0) {
        problems.push_back("python zipfile: " + listing.output);
    } else {
        std::string expected;
        for (const auto& name : names) {
            expected += name + "\n";
        }
        if (listing.output != expected) {
            problems.push_back("python zipfile lists:\n" + listing.output + "expected:\n" + expected);
        }
    }

    const CommandResult unzip = runCommand("unzip -t -qq " + shellQuoted(hostPath(path)) + " 2>&1");
    // unzip counts an archive without entries as a warning (status 1, "zipfile is empty").
    const bool emptyWarning = names.empty() && unzip.status == 1 && unzip.output.find("empty") != std::string::npos;
    if (unzip.status != 0 && !emptyWarning) {
        problems.push_back("unzip -t (status " + std::to_string(unzip.status) + "): " + unzip.output);
    }
    return problems;
}

} // namespace glb::test
