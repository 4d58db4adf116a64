#include "FarmFixtures.h"
#include "ParadoxWriter.h"
#include "backup/paradox/Crypt.h"
#include "backup/paradox/DBEngineError.h"
#include "backup/paradox/Table.h"
#include "tests/support/Command.h"
#include "tests/support/TempDir.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

using namespace glb::backup;
using namespace glb::backup::paradox;
using namespace glb::test;

namespace {

/// The most memory this process has held so far, in KiB.
long peakMemoryKiB()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

/// Every record as pxlib reads it: tab-separated cells, "\N" for null; text in UTF-8, or
/// as stored when `raw`.
std::string pxlibDump(const std::filesystem::path& file, bool raw)
{
    const CommandResult result = runCommand("ASAN_OPTIONS=detect_leaks=0 " + shellQuoted(GLB_PXDUMP) + " " +
                                            shellQuoted(glb::test::hostPath(file)) + (raw ? " raw" : ""));
    EXPECT_EQ(result.status, 0) << "pxlib could not read " << file;
    return result.output;
}

std::string cellText(const Value& v)
{
    char number[64];
    switch (v.kind) {
    case Value::Kind::Null:
        return "\\N";
    case Value::Kind::Integer:
        return std::to_string(v.integer);
    case Value::Kind::Real:
        std::snprintf(number, sizeof number, "%.17g", v.real);
        return number;
    default:
        return v.text;
    }
}

/// Every record as our reader reads it, in the same form.
std::string readerDump(Table& table, const std::vector<std::string>& passwords = {})
{
    table.readRecords(passwords);
    std::string out;
    Value value;
    for (std::size_t r = 0; r < table.recordCount(); ++r) {
        for (std::size_t f = 0; f < table.fields().size(); ++f) {
            table.value(r, f, value);
            out += (f > 0 ? "\t" : "") + cellText(value);
        }
        out += '\n';
    }
    return out;
}

/// The rows a writer was given, in the same form.
std::string expectedDump(const PxTable& t)
{
    std::string out;
    for (const auto& row : t.rows) {
        for (std::size_t f = 0; f < row.size(); ++f) {
            out += f > 0 ? "\t" : "";
            const PxCell& c = row[f];
            if (std::holds_alternative<std::monostate>(c)) {
                out += "\\N";
            } else if (const auto* s = std::get_if<std::string>(&c)) {
                out += *s;
            } else if (const auto* i = std::get_if<std::int64_t>(&c)) {
                if (t.fields[f].type == 0x02) {
                    // day numbers of the fixtures below
                    out += *i == 736695 ? "2018-01-01" : (*i == 719163 ? "1970-01-01" : "?");
                } else {
                    out += std::to_string(*i);
                }
            } else {
                char number[64];
                std::snprintf(number, sizeof number, "%.17g", std::get<double>(c));
                out += number;
            }
        }
        out += '\n';
    }
    return out;
}

PxTable typedTable()
{
    PxTable t;
    t.version = 12;
    t.codePage = 1252;
    t.rowsPerBlock = 3;
    t.freeBlock = true;
    t.fields = {alpha("Fazenda", 40), alpha("Diretorio", 60), {"Area", 0x06, 8}, {"Codigo", 0x04, 4},
                {"Lotes", 0x03, 2},   {"Ativa", 0x09, 1},     {"Desde", 0x02, 4}};
    const std::vector<std::tuple<const char*, PxCell, double, std::int64_t, std::int64_t, std::int64_t, std::int64_t>>
        rows = {
            {"Estância Ágata", std::string("AGATA"), 1523.75, 1, 12, 1, 736695},
            {"Éden", std::monostate{}, -40.5, -1, -256, 0, 719163},
            {"Sítio São João", std::string("SAOJOAO  "), 0.1, 2147483647, 32767, 1, 736695},
            {"Ouro Verde", std::string("OURO"), 2777815.0, 40, 1, 0, 719163},
            {"Órion", std::string("ORION"), 1.34, 256, 256, 1, 736695},
            {"Aurora", std::string("Aurora/Sede"), 1e-300, -2147483647, -32767, 0, 719163},
            {"Fazenda Nova Esperança", std::string("NOVA"), 123456789.125, 7, 7, 1, 736695},
        };
    for (const auto& [name, dir, area, code, lots, active, since] : rows) {
        t.rows.push_back({std::string(name), dir, area, code, lots, active, since});
    }
    return t;
}

struct CrossCheckCase
{
    const char* name;
    PxTable table;
    std::string password;
    bool pxlibRaw; // pxlib gives the stored bytes of tables without a code page
};

std::vector<CrossCheckCase> crossCheckCases()
{
    std::vector<CrossCheckCase> cases;
    cases.push_back({"SeveralBlocksFreeBlockBlanksCp1252", typedTable(), "", false});

    PxTable dos = farmTable({{std::string("Ágata"), std::string("AGATA")},
                             {std::string("Coração"), std::string("CORACAO")},
                             {std::monostate{}, std::string("SEM NOME")},
                             {std::string("Ñandú"), std::monostate{}}},
                            9, 850);
    dos.sortOrderName = "intl850";
    dos.sortOrderByte = 0x54;
    cases.push_back({"Version4Cp850", dos, "", false});

    PxTable locked = typedTable();
    locked.version = 11;
    locked.rowsPerBlock = 2; // four blocks: every block has its own cipher parameters
    locked.freeBlock = false;
    locked.password = "tabularia487";
    cases.push_back({"ProtectedVersion5SeveralBlocks", locked, "tabularia487", false});

    PxTable old =
        farmTable({{std::string("Pôr do Sol"), std::string("PORDOSOL")}, {std::string("Mãe"), std::string("MAE")}}, 4);
    old.codePage = 850; // 3.x stores no code page: the writer encodes in the default one
    old.password = "tabularia487";
    cases.push_back({"ProtectedVersion35DefaultCodePage", old, "tabularia487", true});

    PxTable v3 = farmTable({{std::string("Umbu"), std::string("UMBU")}}, 3);
    v3.codePage = 850;
    v3.blockSizeCode = 2;
    cases.push_back({"Version3SmallHeader", v3, "", true});

    cases.push_back({"Empty", farmTable({}), "", false});
    return cases;
}

} // namespace

TEST(ParadoxCipher, TablesMatchTheirPublishedHashes)
{
    TempDir dir;
    for (char which : {'A', 'B', 'C'}) {
        const auto table = cipherTable(which);
        writeFile(dir / std::string(1, which), std::string(reinterpret_cast<const char*>(table.data()), table.size()));
    }
    const char* python = std::getenv("GLB_PYTHON");
    ASSERT_NE(python, nullptr);
    const CommandResult result = runCommand(
        shellQuoted(python) + " -c " +
        shellQuoted(
            "import hashlib,sys\nfor p in sys.argv[1:]: print(hashlib.sha256(open(p,'rb').read()).hexdigest())") +
        " " + shellQuoted(glb::test::hostPath(dir / "A")) + " " + shellQuoted(glb::test::hostPath(dir / "B")) + " " +
        shellQuoted(glb::test::hostPath(dir / "C")));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "c5a5fe3d4de74cc7e5777a94adbbcc36177d1a95114af9de1a5dd65a8fec2b60\n"
                             "5171c9ac4c8ce77135f9140185a31e2886550b42f3d24b88db10605a683fa228\n"
                             "40e13a8a8a4a84d2dadbee614e512dafa849c7249d70f3478141f3668a547619\n");
}

TEST(ParadoxCipher, PasswordChecksums)
{
    // clang-format off
    const std::vector<std::pair<std::string, std::uint32_t>> cases = {
        {"123", 0x0A25E09A}, {"rparadox", 0x8848F16E}, {"test", 0x20E26198}, {"a", 0x35FFEEAB},
        {"Secret", 0xAF2EC438}, {std::string(255, 'x'), 0x1C97B221}, {"", 0}, {std::string(256, 'x'), 0},
    };
    // clang-format on
    for (const auto& [password, checksum] : cases) {
        EXPECT_EQ(passwordChecksum(password), checksum) << password;
    }
}

TEST(ParadoxCipher, DecryptsStoredBlocksOfPublishedTables)
{
    struct Vector
    {
        std::uint32_t key;
        unsigned chunk;
        std::array<std::uint8_t, 16> cipher;
        std::array<std::uint8_t, 16> plain;
    };
    // First 16 bytes of chunks 0 and 1 of block 1 of two protected sample tables.
    // clang-format off
    const std::vector<Vector> vectors = {
        {0x0A25E09A, 0, {0x48,0x0d,0x53,0x72,0x2b,0x89,0x7c,0xda,0x2b,0xe2,0xe7,0x74,0x00,0x2a,0xf3,0xf4},
                        {0x00,0x00,0x00,0x00,0x66,0x00,0x80,0x00,0x00,0x01,0x56,0x61,0x6c,0x75,0x65,0x20}},
        {0x0A25E09A, 1, {0xb9,0x06,0x5f,0xd0,0xd4,0xcf,0xb4,0x3b,0x95,0x95,0xfe,0x4a,0x68,0x04,0xfb,0xf6},
                        {0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0}},
        {0x8848F16E, 0, {0xea,0xb1,0x28,0xe4,0x5f,0x89,0x2c,0x25,0x88,0x2c,0x9b,0xfc,0xd7,0x03,0xe3,0x57},
                        {0x00,0x00,0x00,0x00,0xd8,0x05,0x41,0x72,0x67,0x65,0x6e,0x74,0x69,0x6e,0x61,0x00}},
        {0x8848F16E, 1, {0x2b,0xea,0xa4,0x29,0xa0,0xcb,0x90,0x1f,0x5b,0x5b,0x82,0x80,0xbc,0x06,0xeb,0x55},
                        {0x3b,0xdb,0x80,0x00,0x00,0x00,0xc1,0xa1,0xed,0xd8,0x00,0x00,0x00,0x00,0x43,0x61}},
    };
    // clang-format on
    const auto C = cipherTable('C');
    for (const Vector& v : vectors) {
        const auto a = static_cast<std::uint8_t>(v.key & 0xFF);
        const auto b = static_cast<std::uint8_t>(v.key >> 8 & 0xFF);
        const auto c = static_cast<std::uint8_t>(v.chunk);
        std::array<std::uint8_t, 256> input{};
        std::copy(v.cipher.begin(), v.cipher.end(), input.begin());
        std::array<std::uint8_t, 256> output{};
        decryptChunk(input.data(), output.data(), a, b, c, 1);
        // Only 16 cipher bytes are published: check the plain bytes they decrypt to.
        int checked = 0;
        for (unsigned x = 0; x < 16; ++x) {
            if (static_cast<std::uint8_t>(C[x] - 1) < 16) {
                EXPECT_EQ(output[x], v.plain[x]) << std::hex << v.key << " chunk " << v.chunk << " byte " << x;
                ++checked;
            }
        }
        EXPECT_GT(checked, 0);
    }
    // That chunk of the first table is all zeros in plain text: its encryption is known whole.
    const std::array<std::uint8_t, 256> zeros{};
    std::array<std::uint8_t, 256> encrypted{};
    encryptChunk(zeros.data(), encrypted.data(), 0x9A, 0xE0, 1, 1);
    EXPECT_TRUE(std::equal(vectors[1].cipher.begin(), vectors[1].cipher.end(), encrypted.begin()));
    std::array<std::uint8_t, 256> back{};
    decryptChunk(encrypted.data(), back.data(), 0x9A, 0xE0, 1, 1);
    EXPECT_EQ(back, zeros);
}

class ParadoxCrossCheck : public ::testing::TestWithParam<CrossCheckCase>
{
};

// Our reader and pxlib read the same file to the rows it was written with, so the writer
// and the reader cannot agree on a wrong format.
TEST_P(ParadoxCrossCheck, ReaderAndPxlibReadTheWrittenRows)
{
    const CrossCheckCase& c = GetParam();
    TempDir dir;
    const auto file = dir / "FAZENDAS.DB";
    writeFile(file, writeParadoxTable(c.table));

    Table table = Table::open(file);
    const std::string expected = expectedDump(c.table);
    EXPECT_EQ(readerDump(table, {c.password}), expected);
    EXPECT_EQ(pxlibDump(file, c.pxlibRaw), c.pxlibRaw ? encodeCodePage(c.table.codePage, expected) : expected);
    EXPECT_EQ(table.encrypted(), !c.password.empty());
}

INSTANTIATE_TEST_SUITE_P(Tables, ParadoxCrossCheck, ::testing::ValuesIn(crossCheckCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ParadoxTable, ReadsHeaderFacts)
{
    PxTable t = typedTable();
    t.codePage = 850;
    t.sortOrderName = "intl850";
    const std::string bytes = writeParadoxTable(t);
    Table table(memorySource(bytes), "FAZENDAS.DB");
    EXPECT_EQ(table.fileVersion(), 12);
    EXPECT_EQ(table.codePage().used(), 850);
    EXPECT_EQ(table.sortOrderName(), "intl850");
    EXPECT_EQ(table.sortOrder().rule(), SortRule::Folded);
    ASSERT_EQ(table.fields().size(), 7U);
    EXPECT_EQ(table.fields()[1].name, "Diretorio");
    EXPECT_EQ(table.fields()[1].offset, 40U);
    EXPECT_EQ(table.fields()[2].type, FieldType::Number);
}

TEST(ParadoxTable, UnknownCodePageFallsBackToTheDefault)
{
    PxTable t = farmTable({{std::string("Umbu"), std::string("UMBU")}});
    const std::string bytes = [&] {
        std::string b = writeParadoxTable(t);
        b[0x6A] = '\x39'; // code page 0x3039: no such page
        b[0x6B] = '\x30';
        return b;
    }();
    Table table(memorySource(bytes), "FAZENDAS.DB");
    EXPECT_TRUE(table.codePage().fellBack());
    EXPECT_EQ(table.codePage().used(), kDefaultCodePage);
}

TEST(ParadoxTable, ProtectedTableOpensOnlyWithItsPassword)
{
    PxTable t = farmTable({{std::string("Aurora"), std::string("AURORA")}});
    t.password = "tabularia487";
    const std::string bytes = writeParadoxTable(t);
    Table table(memorySource(bytes), "/x/FAZENDAS.DB");
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{}, {"Tabularia487"}, {"tabularia48"}, {"tabularia487 "}, {""}}) {
        try {
            table.readRecords(wrong);
            ADD_FAILURE() << "opened without the password";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.errorCode(), dbcode::kNoTableRights);
            EXPECT_EQ(std::string(e.what()), "Insufficient rights to read the table: it is protected and no valid "
                                             "password was given.\r\nFile: /x/FAZENDAS.DB");
        }
    }
    table.readRecords({"outra", "tabularia487"});
    EXPECT_EQ(table.recordCount(), 1U);
}

TEST(ParadoxTable, UnprotectedTableNeedsNoPassword)
{
    const std::string bytes = writeParadoxTable(farmTable({{std::string("Aurora"), std::string("AURORA")}}));
    Table table(memorySource(bytes), "FAZENDAS.DB");
    EXPECT_FALSE(table.encrypted());
    table.readRecords({});
    EXPECT_EQ(table.recordCount(), 1U);
}

TEST(ParadoxTable, AlphaIsReadUpToItsFirstZeroByteWithBlanksKept)
{
    PxTable t = farmTable({{std::string("A"), std::string("x")}, {std::string("B"), std::string("x")}});
    t.rawCells.push_back({0, 1, PxRaw{std::string("PASTA\0LIXO", 10)}});
    t.rawCells.push_back({1, 1, PxRaw{"  PASTA  "}});
    const std::string bytes = writeParadoxTable(t);
    Table table(memorySource(bytes), "FAZENDAS.DB");
    table.readRecords({});
    Value v;
    table.value(0, 1, v);
    EXPECT_EQ(v.text, "PASTA");
    table.value(1, 1, v);
    EXPECT_EQ(v.text, "  PASTA  ");
}

TEST(ParadoxTable, LastBlockCutShortStillReadsTheRecordsItHolds)
{
    PxTable t = farmTable({{std::string("Aurora"), std::string("AURORA")}});
    std::string bytes = writeParadoxTable(t);
    bytes.resize(bytes.size() - 512); // the record sits in the first half of the 1 KiB block
    Table table(memorySource(bytes), "FAZENDAS.DB");
    table.readRecords({});
    EXPECT_EQ(table.recordCount(), 1U);
}

namespace {

struct Corruption
{
    const char* name;
    std::function<void(std::string&)> damage;
    const char* detail; // part of the message
};

void set16(std::string& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}

constexpr std::size_t kHeader = 0x800;
constexpr std::size_t kBlock = 1024;

} // namespace

class ParadoxCorruption : public ::testing::TestWithParam<Corruption>
{
};

// A damaged file is an engine error naming the file, never a crash, hang or wrong rows.
TEST_P(ParadoxCorruption, IsACorruptTableError)
{
    PxTable t = farmTable({});
    for (int i = 0; i < 9; ++i) {
        t.rows.push_back({std::string("Fazenda ") + std::to_string(i), std::string("DIR") + std::to_string(i)});
    }
    t.rowsPerBlock = 3; // blocks 1 -> 2 -> 3
    std::string bytes = writeParadoxTable(t);
    GetParam().damage(bytes);
    try {
        Table table(memorySource(bytes), "/dados/FAZENDAS.DB");
        table.readRecords({});
        ADD_FAILURE() << "read " << table.recordCount() << " records";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.errorCode(), dbcode::kCorruptTable);
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("The table file is corrupt.\r\nFile: /dados/FAZENDAS.DB\r\n", 0), 0U) << message;
        EXPECT_NE(message.find(GetParam().detail), std::string::npos) << message;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Damage, ParadoxCorruption, ::testing::Values(
    Corruption{"Empty", [](std::string& b) { b.clear(); }, "too short"},
    Corruption{"CutInFixedHeader", [](std::string& b) { b.resize(0x40); }, "too short"},
    Corruption{"CutInFieldList", [](std::string& b) { b.resize(0x100); }, "header size"},
    Corruption{"CutInSecondBlock", [](std::string& b) { b.resize(kHeader + kBlock + 50); }, "block 2 is cut short"},
    Corruption{"CutBeforeThirdBlock", [](std::string& b) { b.resize(kHeader + 2 * kBlock); }, "block 3 lies past the end"},
    Corruption{"ChainLoops", [](std::string& b) { set16(b, kHeader + 2 * kBlock, 1); }, "returns to block 1"},
    Corruption{"ChainLoopsOnItself", [](std::string& b) { set16(b, kHeader, 1); }, "returns to block 1"},
    Corruption{"FirstBlockPastEnd", [](std::string& b) { set16(b, 0x0E, 0xFFFF); }, "block 65535 lies past the end"},
    Corruption{"RecordCountNotWhole", [](std::string& b) { set16(b, kHeader + 4, 101); }, "invalid record count"},
    Corruption{"MoreRecordsThanFit", [](std::string& b) { set16(b, kHeader + 4, 100 * 11); }, "invalid record count"},
    Corruption{"RecordSizeMismatch", [](std::string& b) { set16(b, 0x00, 99); }, "record size 99"},
    Corruption{"IndexFile", [](std::string& b) { b[0x04] = 1; }, "not a table"},
    Corruption{"BlockSizeZero", [](std::string& b) { b[0x05] = 0; }, "block size"},
    Corruption{"VersionTooNew", [](std::string& b) { b[0x39] = 40; }, "version 40"},
    Corruption{"NoFields", [](std::string& b) { set16(b, 0x21, 0); }, "field count 0"},
    Corruption{"ManyFields", [](std::string& b) { set16(b, 0x21, 255); }, "unknown type 0"},
    Corruption{"UnknownFieldType", [](std::string& b) { b[0x78] = 0x42; }, "unknown type 66"},
    Corruption{"ZeroSizedAlpha", [](std::string& b) { b[0x79] = 0; }, "invalid size 0"},
    Corruption{"WrongFixedSize", [](std::string& b) { b[0x78] = 0x06; }, "invalid size 40"},
    Corruption{"HeaderSizeTooSmall", [](std::string& b) { set16(b, 0x02, 0x90); }, "field list runs past"},
    Corruption{"NamesUnterminated", [](std::string& b) {
        for (std::size_t i = 0x78 + 12 + 4 + 261; i < kHeader; ++i) { b[i] = 'x'; } }, "names run past"}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

// Block numbers are 16-bit, so what the reader keeps per block is bounded by that, not by
// the file's length: a sparse file of terabytes that holds one looping block costs little.
TEST(ParadoxTable, HugeSparseFileCostsWhatItsBlocksCanAddress)
{
    PxTable t = farmTable({{std::string("Aurora"), std::string("AURORA")}});
    std::string bytes = writeParadoxTable(t);
    set16(bytes, kHeader, 1); // block 1 names itself as the next block
    TempDir dir;
    const std::filesystem::path file = dir / "FAZENDAS.DB";
    writeFile(file, bytes);
    std::error_code sparse;
    std::filesystem::resize_file(file, std::uintmax_t{1} << 42U, sparse); // 4 TiB of 1 KiB blocks, none written
    if (sparse) {
        // Wine refuses such a length ("File too large"); NTFS and Linux's file systems do not.
        GTEST_SKIP() << "a sparse file of 4 TiB cannot be made here: " << sparse.message();
    }

    const long before = peakMemoryKiB();
    try {
        Table table = Table::open(file);
        table.readRecords({});
        ADD_FAILURE() << "read " << table.recordCount() << " records";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(std::string(e.what()), "The table file is corrupt.\r\nFile: " + glb::pathText(file) +
                                             "\r\nThe data block chain returns to block 1.");
    }
    // A bitmap sized from the length would take 512 MiB here.
    EXPECT_LT(peakMemoryKiB() - before, 64L * 1024) << "KiB of peak memory grown";
}
