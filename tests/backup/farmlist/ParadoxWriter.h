#pragma once

// A small writer of Paradox tables for tests and benchmarks only: several data blocks, a
// free block, blanks, any single-byte code page, password protection.

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

namespace glb::test {

struct PxField
{
    std::string name;
    std::uint8_t type = 0x01; ///< alpha; 0x03 short, 0x04 long, 0x06 number, 0x09 logical, 0x02 date, 0x16 autoinc
    std::uint8_t size = 0;    ///< declared size (alpha length; fixed types: their size)
};

/// A cell: null, UTF-8 text (alpha; encoded to the table's code page), an integer
/// (short, long, autoinc, logical 0/1, date as day number with 0001-01-01 = 1) or a number.
using PxCell = std::variant<std::monostate, std::string, std::int64_t, double>;
/// Alpha bytes written as given, not encoded (for zero bytes and bytes a page lacks).
struct PxRaw
{
    std::string bytes;
};

struct PxTable
{
    int version = 12;    ///< fileVersionID: 3/4 (3.x), 5..11 (4.x/5.x), 12 (7.x)
    int codePage = 1252; ///< stored for version >= 5
    std::string sortOrderName = "ANSIINTL";
    std::uint8_t sortOrderByte = 0x62;
    int blockSizeCode = 1;        ///< KiB per block
    std::size_t rowsPerBlock = 0; ///< 0: as many as fit
    bool freeBlock = false;       ///< put a free block holding stale rows after the first block
    std::string password;         ///< empty: not protected
    std::vector<PxField> fields;
    std::vector<std::vector<PxCell>> rows;
    /// Raw alpha bytes by (row, field), overriding the cell.
    std::vector<std::tuple<std::size_t, std::size_t, PxRaw>> rawCells;
};

/// The bytes of the table file.
std::string writeParadoxTable(const PxTable& table);

/// `utf8` in code page `codePage` (iconv; on Windows the system's converters); throws std::runtime_error when it
/// cannot.
std::string encodeCodePage(int codePage, const std::string& utf8);

} // namespace glb::test
