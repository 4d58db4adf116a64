#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace glb::test {

/// One entry as its central directory header describes it, with its data.
struct ZipEntryInfo
{
    std::uint16_t madeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t time = 0;
    std::uint16_t date = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint32_t localHeaderOffset = 0;
    std::string name;           ///< the name bytes, as stored
    std::string compressedData; ///< the Deflate stream, as stored
    std::string data;           ///< the inflated data
};

/// An archive as read back: its entries, its end record and what is wrong with it.
struct ZipInfo
{
    std::vector<ZipEntryInfo> entries;
    std::uint16_t totalEntries = 0;
    std::uint32_t directorySize = 0;
    std::uint32_t directoryOffset = 0;
    std::uint64_t endRecordOffset = 0;
    std::uint64_t fileSize = 0;
    /// Every way in which the file departs from the layout the writer promises: records
    /// back to back from offset 0, local and central headers agreeing, version 20, the UTF-8
    /// flag alone for a UTF-8 name and no flag for any other, Deflate, no extras or comments,
    /// data that inflate to the stated size and CRC. Empty for a sound archive.
    std::vector<std::string> problems;
};

/// Reads the archive at `path`. The end record is found the way readers find it, by its
/// signature from the end; bytes after it count as a problem unless `allowTrailingBytes`
/// (a failed entry leaves some behind).
ZipInfo inspectZip(const std::filesystem::path& path, bool allowTrailingBytes = false);

/// The entries' names, in the archive's order.
std::vector<std::string> namesOf(const ZipInfo& zip);

/// Lets Python's zipfile (testzip) and `unzip -t` read the archive. Returns their
/// complaints, plus a line when Python's list of names differs from `names`; empty when
/// both accept the archive.
std::vector<std::string> checkWithReaders(const std::filesystem::path& path, const std::vector<std::string>& names);

} // namespace glb::test
