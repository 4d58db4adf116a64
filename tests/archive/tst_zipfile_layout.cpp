// What the writer puts into an archive: records, fields, names, data, time stamps, and
// how one writer lays out archive after archive.

#include "archive/ZipFile.h"
#include "common/Error.h"
#include "tests/archive/ArchiveTestSupport.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipInspector.h"

#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using glb::archive::TZipFile;
using glb::archive::TZipMode;
namespace t = glb::test;

namespace {

const std::vector<std::string> kNoProblems;

} // namespace

TEST(ZipFileLayout, EntriesHoldTheFilesInOrderWithMatchingHeaders)
{
    t::TempDir dir;
    // Sizes chosen to cross the 61,440-byte read and 65,536-byte output blocks several times.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"notas.txt", t::textBytes(200000)},
        {"dados.bin", t::randomBytes(150000, 1)},
        {"vazio.dat", ""},
        {"Relatório.txt", "relatório da safra\n"},
    };
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    for (const auto& [name, content] : files) {
        t::writeFile(dir / glb::pathFromText(name), content);
        zip.Add(dir / glb::pathFromText(name));
    }
    ASSERT_EQ(zip.Files().size(), files.size());
    zip.Close();

    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    ASSERT_EQ(info.entries.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(info.entries[i].name, files[i].first);
        EXPECT_EQ(info.entries[i].data, files[i].second) << files[i].first;
    }
    // An empty file is one final, empty Deflate block.
    EXPECT_EQ(info.entries[2].crc, 0U);
    EXPECT_EQ(info.entries[2].compressedData, std::string("\x03\x00", 2));
    // The name is UTF-8 (flag bit 11 is checked by the inspector in both headers).
    EXPECT_EQ(info.entries[3].name.size(), 14U);
    EXPECT_EQ(info.entries[3].name, "Relat\xC3\xB3rio.txt");

    EXPECT_EQ(t::checkWithReaders(dir / "a.zip", namesOf(info)), kNoProblems);
}

TEST(ZipFileLayout, OpenThenCloseGivesTheBareEndRecord)
{
    t::TempDir dir;
    TZipFile zip;
    zip.Open(dir / "empty.zip", TZipMode::zmWrite);
    zip.Close();
    EXPECT_EQ(t::readFile(dir / "empty.zip"), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_EQ(t::checkWithReaders(dir / "empty.zip", {}), kNoProblems);
}

TEST(ZipFileLayout, StoredNameIsTheBaseNameUnlessOneIsGiven)
{
    t::TempDir dir;
    struct Case
    {
        const char* file;
        const char* given;
        const char* stored;
    };
    // clang-format off
    const Case cases[] = {
        {"sub/planilha.xls", "",          "planilha.xls"},
        {"sub/planilha.xls", "outro.xls", "outro.xls"},
        {"pasta\\nota.txt",   "",          "nota.txt"}, // never a folder part, whatever the reader's separator
#ifndef _WIN32 // on Windows a path on drive C:, relative to its current folder
        {"c:backup.db",      "",          "backup.db"},
#endif
    };
    // clang-format on
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        t::writeFile(dir / c.file, "x");
        zip.Add(dir / c.file, c.given);
        expected.emplace_back(c.stored);
    }
    zip.Close();
    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(namesOf(info), expected);
}

// A file name need not be UTF-8 on Linux (Windows names are UTF-16: there only the UTF-8
// cases can be made). Flagged as UTF-8 it would make strict readers
// refuse the whole archive; stored as its bytes without the flag, every reader takes it
// (as code page 437, where each byte is a character) and the file's data stay reachable.
TEST(ZipFileLayout, NameThatIsNotUtf8IsStoredAsItsBytesWithoutTheUtf8Flag)
{
    t::TempDir dir;
    struct Case
    {
        const char* what;
        std::string name;
        std::uint16_t flags;
        std::string readersName; // as Python's zipfile gives it, in UTF-8
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"UTF-8",          "Relat\xC3\xB3rio.txt",  0x0800, "Relat\xC3\xB3rio.txt"},
#ifndef _WIN32
        {"Latin-1 byte",   "Relat\xF3rio.txt",      0,      "Relat\xE2\x89\xA4rio.txt"},
        {"overlong slash", "barra\xC0\xAF.txt",     0,      "barra\xE2\x94\x94\xC2\xBB.txt"},
        {"surrogate",      "metade\xED\xA0\x80.txt", 0,     "metade\xCF\x86\xC3\xA1\xC3\x87.txt"},
        {"cut short",      "corte\xC3",             0,      "corte\xE2\x94\x9C"},
        {"past U+10FFFF",  "alem\xF4\x90\x80\x80.txt", 0, "alem\xE2\x8C\xA0\xC3\x89\xC3\x87\xC3\x87.txt"},
#endif
        {"four bytes",     "boi\xF0\x9F\x90\x82.txt", 0x0800, "boi\xF0\x9F\x90\x82.txt"},
        {"plain ASCII",    "notas.txt",             0x0800, "notas.txt"},
    };
    // clang-format on
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    std::vector<std::string> readersNames;
    for (const auto& c : cases) {
        t::writeFile(dir / glb::pathFromText(c.name), c.what);
        zip.Add(dir / glb::pathFromText(c.name));
        readersNames.push_back(c.readersName);
    }
    zip.Close();

    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    ASSERT_EQ(info.entries.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(info.entries[i].name, cases[i].name) << cases[i].what;
        EXPECT_EQ(info.entries[i].flags, cases[i].flags) << cases[i].what;
        EXPECT_EQ(info.entries[i].data, cases[i].what) << cases[i].what;
    }
    EXPECT_EQ(t::checkWithReaders(dir / "a.zip", readersNames), kNoProblems);
}

TEST(ZipFileLayout, EachArchiveOfOneWriterIsLaidOutOnItsOwn)
{
    t::TempDir dir;
    t::writeFile(dir / "um.txt", t::textBytes(5000));
    t::writeFile(dir / "dois.bin", t::randomBytes(3000, 2));
    t::writeFile(dir / "tres.txt", "tres");

    TZipFile zip;
    zip.Open(dir / "first.zip", TZipMode::zmWrite);
    zip.Add(dir / "um.txt");
    zip.Add(dir / "dois.bin");
    // Open completes the archive in progress before starting the next one.
    zip.Open(dir / "second.zip", TZipMode::zmWrite);
    EXPECT_TRUE(zip.Files().empty());
    zip.Add(dir / "tres.txt");
    zip.Close();

    // The inspector holds each archive to offsets counted from its own start: first local
    // header at 0, entries back to back, directory right after the last entry's data.
    const auto first = t::inspectZip(dir / "first.zip");
    EXPECT_EQ(first.problems, kNoProblems);
    EXPECT_EQ(namesOf(first), (std::vector<std::string>{"um.txt", "dois.bin"}));
    const auto second = t::inspectZip(dir / "second.zip");
    EXPECT_EQ(second.problems, kNoProblems);
    ASSERT_EQ(second.entries.size(), 1U);
    EXPECT_EQ(second.entries[0].localHeaderOffset, 0U);
    EXPECT_EQ(second.directoryOffset, 30U + 8U + second.entries[0].compressedSize);

    // Writing over a longer archive leaves nothing of it behind.
    zip.Open(dir / "first.zip", TZipMode::zmWrite);
    zip.Add(dir / "tres.txt");
    zip.Close();
    const auto rewritten = t::inspectZip(dir / "first.zip");
    EXPECT_EQ(rewritten.problems, kNoProblems);
    EXPECT_EQ(namesOf(rewritten), (std::vector<std::string>{"tres.txt"}));
    EXPECT_EQ(t::checkWithReaders(dir / "first.zip", {"tres.txt"}), kNoProblems);
}

TEST(ZipFileLayout, ReleasingTheWriterCompletesTheArchive)
{
    t::TempDir dir;
    t::writeFile(dir / "a.txt", "conteudo");
    {
        TZipFile zip;
        zip.Open(dir / "a.zip", TZipMode::zmWrite);
        zip.Add(dir / "a.txt");
    }
    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(namesOf(info), (std::vector<std::string>{"a.txt"}));
}

#ifndef _WIN32
// TZ chooses the zone of the C library's local time; Windows takes its own zone from the
// system's settings, whose offset tst_windows_platform checks (WindowsTime).
TEST(ZipFileLayout, TimeStampIsTheLastWriteTimeInLocalTimeWithTheOffsetInForceNow)
{
    // A zone whose summer time (UTC+5) covers today and nothing else of the year: a stamp
    // from the other side of the year must still be shifted by today's offset.
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    ::gmtime_r(&now, &today);
    const int dayOfYear = today.tm_yday + 1 > 365 ? 365 : today.tm_yday + 1; // Jn counts 1..365
    const int from = dayOfYear > 2 ? dayOfYear - 2 : 1;
    const int to = dayOfYear < 364 ? dayOfYear + 2 : 365;
    const std::string summerNow = "XST0XDT-5,J" + std::to_string(from) + "/0,J" + std::to_string(to) + "/24";
    const int farMonth = today.tm_mon < 6 ? today.tm_mon + 7 : today.tm_mon - 5; // about half a year away

    struct Case
    {
        std::string tz;
        std::int64_t utc;
        unsigned time;
        unsigned date;
    };
    const std::vector<Case> cases = {
        // 13:15:37 UTC is 10:15:37 in Sao Paulo; the odd second is halved down.
        {"America/Sao_Paulo", t::utcSeconds(2026, 3, 4, 13, 15, 37), 10 * 2048 + 15 * 32 + 18,
         (2026 - 1980) * 512 + 3 * 32 + 4},
        {"America/Sao_Paulo", t::utcSeconds(1980, 1, 1, 3, 0, 0), 0, 1 * 32 + 1},
        {"America/Sao_Paulo", t::utcSeconds(1980, 1, 1, 2, 59, 59), 0, 0},
        {"America/Sao_Paulo", t::utcSeconds(1975, 6, 1, 12, 0, 0), 0, 0},
        {"UTC0", t::utcSeconds(2107, 12, 31, 23, 59, 59), 23 * 2048 + 59 * 32 + 29, 127 * 512 + 12 * 32 + 31},
        {"UTC0", t::utcSeconds(2108, 1, 1, 0, 0, 0), 0, 0},
        {summerNow, t::utcSeconds(2020, farMonth, 10, 4, 0, 0), 9 * 2048,
         (2020 - 1980) * 512 + static_cast<unsigned>(farMonth) * 32 + 10},
    };
    t::TempDir dir;
    for (const auto& c : cases) {
        const t::ScopedEnv zone("TZ", c.tz);
        t::writeFile(dir / "f.txt", "x");
        t::setLastWriteTime(dir / "f.txt", c.utc);
        TZipFile zip;
        zip.Open(dir / "t.zip", TZipMode::zmWrite);
        zip.Add(dir / "f.txt");
        zip.Close();
        const auto info = t::inspectZip(dir / "t.zip");
        ASSERT_EQ(info.entries.size(), 1U);
        EXPECT_EQ(info.entries[0].time, c.time) << c.tz << " " << c.utc;
        EXPECT_EQ(info.entries[0].date, c.date) << c.tz << " " << c.utc;
    }
}
#endif
