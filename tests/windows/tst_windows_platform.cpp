// The platform layer over Win32: sharing modes, truncation, time stamps, error texts,
// code pages and path rules, as the archive writer and the table reader meet them, and the
// execution state that keeps the system awake.

#include "common/Error.h"
#include "common/Platform.h"
#include "common/SystemErrorText.h"
#include "tests/support/KeepAwakeEvents.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace glb::platform {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

/// A handle taken with CreateFileW directly, standing for another program.
class OtherHandle
{
public:
    OtherHandle(const std::filesystem::path& path, DWORD access, DWORD share)
        : m_handle(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
        , m_error(::GetLastError())
    {
    }
    ~OtherHandle()
    {
        if (isOpen()) {
            ::CloseHandle(m_handle);
        }
    }
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;

    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    DWORD error() const { return m_error; }

private:
    HANDLE m_handle;
    DWORD m_error;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST(WindowsFile, SharingOfOurHandleAgainstOtherPrograms)
{
    struct Case
    {
        const char* what;
        OpenMode mode;
        Sharing sharing;
        DWORD otherAccess;
        bool otherGetsIn;
    };
    // clang-format off
    const Case cases[] = {
        {"exclusive read refuses a reader",      OpenMode::Read,               Sharing::Exclusive,   GENERIC_READ,  false},
        {"exclusive read refuses a writer",      OpenMode::Read,               Sharing::Exclusive,   GENERIC_WRITE, false},
        {"readers-only admits a reader",         OpenMode::Read,               Sharing::ReadersOnly, GENERIC_READ,  true},
        {"readers-only refuses a writer",        OpenMode::Read,               Sharing::ReadersOnly, GENERIC_WRITE, false},
        {"exclusive archive refuses a reader",   OpenMode::CreateOrTruncateRW, Sharing::Exclusive,   GENERIC_READ,  false},
    };
    // clang-format on
    TempDir dir;
    const auto path = dir / "dados.db";
    writeFile(path, "conteudo");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int error = -1;
        File ours = File::open(path, c.mode, c.sharing, error);
        ASSERT_TRUE(ours.isOpen()) << error;
        OtherHandle other(path, c.otherAccess, kShareAll);
        EXPECT_EQ(other.isOpen(), c.otherGetsIn);
        if (!c.otherGetsIn) {
            EXPECT_EQ(other.error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
    }
}

TEST(WindowsFile, FileHeldByAnotherProgramIsRefusedAndKeepsItsBytes)
{
    struct Case
    {
        const char* what;
        DWORD otherAccess;
        OpenMode mode;
        Sharing sharing;
        bool weGetIn;
    };
    // clang-format off
    const Case cases[] = {
        {"a reader stops an exclusive open",      GENERIC_READ,  OpenMode::Read,               Sharing::Exclusive,   false},
        {"a writer stops an exclusive open",      GENERIC_WRITE, OpenMode::Read,               Sharing::Exclusive,   false},
        {"a reader stops the archive's creation", GENERIC_READ,  OpenMode::CreateOrTruncateRW, Sharing::Exclusive,   false},
        {"a writer stops a readers-only open",    GENERIC_WRITE, OpenMode::Read,               Sharing::ReadersOnly, false},
        {"a reader does not stop readers-only",   GENERIC_READ,  OpenMode::Read,               Sharing::ReadersOnly, true},
    };
    // clang-format on
    TempDir dir;
    const auto path = dir / "Relatório.txt";
    writeFile(path, "conteudo");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OtherHandle other(path, c.otherAccess, kShareAll);
        ASSERT_TRUE(other.isOpen());
        int error = 0;
        const File ours = File::open(path, c.mode, c.sharing, error);
        EXPECT_EQ(ours.isOpen(), c.weGetIn);
        if (!c.weGetIn) {
            EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
        }
        EXPECT_EQ(readFile(path), "conteudo");
    }
}

TEST(WindowsFile, RefusalNamesTheFileAndTheTrimmedSystemText)
{
    TempDir dir;
    const auto path = dir / "Relatório.txt";
    writeFile(path, "x");
    OtherHandle other(path, GENERIC_READ, kShareAll);
    int error = 0;
    ASSERT_FALSE(File::open(path, OpenMode::Read, Sharing::Exclusive, error).isOpen());

    const std::string message = EFOpenError::forPath(path, error).message();
    const std::u8string utf8Path = path.u8string();
    const std::string expectedStart = "Cannot open file \"" + std::string(utf8Path.begin(), utf8Path.end()) + "\". ";
    ASSERT_EQ(message.rfind(expectedStart, 0), 0U) << message;
    const std::string reason = message.substr(expectedStart.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(rawSystemErrorText(error).rfind(reason, 0), 0U) << "reason is the start of the system's own text";
    EXPECT_NE(reason.back(), '.');
    EXPECT_GT(static_cast<unsigned char>(reason.back()), 0x20);
}

TEST(WindowsFile, CreateOrTruncateEmptiesAnExistingFileAndReadsBack)
{
    TempDir dir;
    const auto path = dir / "Fazenda.zip";
    writeFile(path, "old contents that must go");
    int error = 0;
    File file = File::open(path, OpenMode::CreateOrTruncateRW, Sharing::Exclusive, error);
    ASSERT_TRUE(file.isOpen()) << error;
    EXPECT_EQ(file.size(), 0);

    ASSERT_EQ(file.write("abcdef", 6), 6);
    EXPECT_EQ(file.position(), 6);
    ASSERT_TRUE(file.seek(2));
    ASSERT_EQ(file.write("XY", 2), 2);
    ASSERT_TRUE(file.seek(0));
    char buffer[16] = {};
    ASSERT_EQ(file.read(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "abXYef");
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0) << "end of file";
    EXPECT_EQ(file.size(), 6);
    EXPECT_FALSE(file.seek(-1));
}

TEST(WindowsFile, MissingFileReportsTheSystemCode)
{
    TempDir dir;
    int error = 0;
    EXPECT_FALSE(File::open(dir / "nada.txt", OpenMode::Read, Sharing::Exclusive, error).isOpen());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(File::open(dir / "falta" / "a.zip", OpenMode::CreateOrTruncateRW, Sharing::Exclusive, error).isOpen());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

// What a staging folder that could not be cleared may hold in an archive's place: a link
// to a file elsewhere, a second name of one, a device. None is opened, and the file a link
// or a second name leads to keeps its bytes.
TEST(WindowsFile, LinksSecondNamesAndDevicesAreRefused)
{
    TempDir dir;
    const auto outside = dir / "fora.db";
    writeFile(outside, "keep me");
    const auto secondName = dir / "Backup1.zip";
    ASSERT_TRUE(::CreateHardLinkW(secondName.c_str(), outside.c_str(), nullptr));
    const auto link = dir / "Backup2.zip";
    // Creating links may need a privilege the account lacks, and Wine only pretends to
    // make one: the link rows are left out unless a reparse point is really there.
    const bool linked = ::CreateSymbolicLinkW(link.c_str(), outside.c_str(), 0) != FALSE &&
                        ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES &&
                        (::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    struct Case
    {
        const char* what;
        std::filesystem::path path;
        OpenMode mode;
        int error;
    };
    std::vector<Case> cases = {
        {"a second name for the archive", secondName, OpenMode::CreateOrTruncateRW, kErrorOtherNames},
        {"a device for the archive", dir / "NUL", OpenMode::CreateOrTruncateRW, kErrorNotAFile},
        {"a device to read", dir / "NUL", OpenMode::Read, kErrorNotAFile},
    };
    if (linked) {
        cases.push_back({"a link for the archive", link, OpenMode::CreateOrTruncateRW, kErrorLink});
        cases.push_back({"a link to a staged file", link, OpenMode::ReadNoLink, kErrorLink});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int error = 0;
        EXPECT_FALSE(File::open(c.path, c.mode, Sharing::Exclusive, error).isOpen());
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(readFile(outside), "keep me");
    // A second name may still be read: only emptying it would reach the other name.
    int error = 0;
    EXPECT_TRUE(File::open(secondName, OpenMode::Read, Sharing::Exclusive, error).isOpen()) << error;
}

TEST(WindowsFile, LastWriteTimeIsUnixSecondsOfTheFileTime)
{
    // clang-format off
    const std::int64_t cases[] = {
        1614834367,  // 2021-03-04 05:06:07 UTC
        315532798,   // 1979-12-31 23:59:58 UTC, before the DOS epoch
        -1,          // 1969-12-31 23:59:59 UTC: rounds towards the past
    };
    // clang-format on
    TempDir dir;
    const auto path = dir / "a.txt";
    writeFile(path, "a");
    for (const std::int64_t seconds : cases) {
        SCOPED_TRACE(seconds);
        {
            const HANDLE h = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            // Half a second more, which must be dropped, not rounded.
            ULARGE_INTEGER ticks;
            ticks.QuadPart = static_cast<ULONGLONG>(seconds * 10000000LL + 116444736000000000LL + 5000000LL);
            FILETIME written{ticks.LowPart, ticks.HighPart};
            ASSERT_TRUE(::SetFileTime(h, nullptr, nullptr, &written));
            ::CloseHandle(h);
        }
        int error = 0;
        const File file = File::open(path, OpenMode::Read, Sharing::Exclusive, error);
        ASSERT_TRUE(file.isOpen());
        EXPECT_EQ(file.lastWriteTimeUtc(), seconds);
    }
}

TEST(WindowsTime, LocalTimeUsesTheOffsetInForceNow)
{
    // TZ is America/Sao_Paulo (UTC-3, no daylight saving since 2019). In January 2018
    // the city was on UTC-2; the archive writer still applies today's offset.
    struct Case
    {
        std::int64_t utc;
        LocalTime local;
    };
    // clang-format off
    const Case cases[] = {
        {1614834367, {2021, 3, 4, 2, 6, 7}},
        {1516022137, {2018, 1, 15, 10, 15, 37}},
        {0,          {1969, 12, 31, 21, 0, 0}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utc);
        const auto local = utcToLocalWithCurrentOffset(c.utc);
        ASSERT_TRUE(local.has_value());
        EXPECT_EQ(local->year, c.local.year);
        EXPECT_EQ(local->month, c.local.month);
        EXPECT_EQ(local->day, c.local.day);
        EXPECT_EQ(local->hour, c.local.hour);
        EXPECT_EQ(local->minute, c.local.minute);
        EXPECT_EQ(local->second, c.local.second);
    }
    EXPECT_FALSE(utcToLocalWithCurrentOffset(-20000000000LL).has_value()) << "before 1601";
}

TEST(WindowsText, SystemErrorTextsAreTrimmed)
{
    // System texts come with ".\r\n"; WinInet's codes are found in its own module.
    const int codes[] = {ERROR_FILE_NOT_FOUND,
                         ERROR_ACCESS_DENIED,
                         ERROR_SHARING_VIOLATION,
                         ERROR_DISK_FULL,
                         12007 /* ERROR_INTERNET_NAME_NOT_RESOLVED */,
                         12029 /* ERROR_INTERNET_CANNOT_CONNECT */};
    for (const int code : codes) {
        SCOPED_TRACE(code);
        const std::string raw = rawSystemErrorText(code);
        ASSERT_GE(raw.size(), 3U);
        EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
        const std::string trimmed = systemErrorText(code);
        ASSERT_FALSE(trimmed.empty());
        EXPECT_EQ(raw.rfind(trimmed, 0), 0U);
        EXPECT_EQ(trimmed.find_first_of("\r\n"), std::string::npos);
        EXPECT_NE(trimmed.back(), '.');
        EXPECT_NE(trimmed.back(), ' ');
    }
    EXPECT_EQ(systemErrorText(0x2FFFFFFF), "") << "a code without text gives an empty text";
}

TEST(WindowsText, CodePagesDecodeToUtf8)
{
    struct Case
    {
        int codePage;
        std::string bytes;
        std::optional<std::string> utf8;
    };
    // clang-format off
    const Case cases[] = {
        {1252, "Fazenda S\xE3o Jo\xE3o \x80", "Fazenda São João €"},
        {850,  "A\x87\xC6o",                  "Ação"},
        {437,  "\x81\x9B",                    "ü¢"},
        {1252, "",                            ""},
        {932,  "\x82",                        std::nullopt},  // a lead byte without its trail byte
        {0,    "abc",                         std::nullopt},
        {12345,"abc",                         std::nullopt},  // no such code page
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        EXPECT_EQ(decodeCodePage(c.codePage, c.bytes), c.utf8);
    }
}

TEST(WindowsPaths, FixedPathsStandAsWrittenAndLongPathsAreRefused)
{
    EXPECT_EQ(fixedPath("C:\\Glebarium\\Fazendas\\").native(), L"C:\\Glebarium\\Fazendas\\");
    EXPECT_EQ(fixedPath("C:\\Glebarium\\Financeiro").native(), L"C:\\Glebarium\\Financeiro");
    EXPECT_EQ(driveRoot('c').native(), L"C:\\");

    struct Case
    {
        std::wstring path;
        bool tooLong;
    };
    const std::wstring base = L"C:\\Glebarium\\Fazendas\\";
    const Case cases[] = {
        {base + std::wstring(247 - base.size(), L'a'), false},
        {base + std::wstring(248 - base.size(), L'a'), true},
        {base + std::wstring(300, L'a'), true},
        {L"\\\\?\\" + base + std::wstring(300, L'a'), false},
        // Counted in UTF-16 units, as Windows counts them, not in UTF-8 bytes.
        {base + std::wstring(247 - base.size(), L'\u00E7'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.size());
        EXPECT_EQ(pathTooLong(std::filesystem::path(c.path)), c.tooLong);
    }
}

// Two archive names have one key exactly when the file system takes them for one file: each
// pair is tried on the disk itself, the first name created and the second looked for.
TEST(WindowsPaths, FileNameKeysFoldAsTheFileSystemFoldsNames)
{
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"BackupSEDE.zip",  "Backupsede.zip"},
        {"BackupAÇUDE.zip", "BackupAçude.zip"},
        {"BackupÉDEN.zip",  "BackupéDEN.zip"},
        {"ΣΊΣΥΦΟΣ.zip",     "σίσυφος.zip"},
        {"BackupAcude.zip", "BackupAçude.zip"},
        {"BackupSTRASSE",   "BackupStraße"},   // no full case folding on Windows
        {"Backup1.zip",     "Backup2.zip"},
    };
    // clang-format on
    for (const auto& [a, b] : pairs) {
        SCOPED_TRACE(a + " / " + b);
        TempDir tmp;
        writeFile(tmp / pathFromText(a), "x");
        EXPECT_EQ(fileNameKey(a) == fileNameKey(b), std::filesystem::exists(tmp / pathFromText(b)));
    }
    EXPECT_EQ(fileNameKey("BackupSede.zip"), fileNameKey("BACKUPSEDE.ZIP"));
    EXPECT_EQ(fileNameKey("Backup\xC3.zip"), "Backup\xC3.zip"); // not UTF-8: as it is
}

TEST(WindowsPaths, ExecutableDirectoryHoldsThisProgram)
{
    const auto dir = executableDirectory();
    EXPECT_TRUE(dir.is_absolute());
    EXPECT_TRUE(std::filesystem::exists(dir / "tst_windows_platform.exe"));
}

// The thread's execution state is read by setting it: SetThreadExecutionState returns the state
// before. Each check below sets the state it expects, so a right answer leaves it as it was.
constexpr EXECUTION_STATE kAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
constexpr EXECUTION_STATE kNothingHeld = ES_CONTINUOUS;

/// Clears the thread's lasting execution state for a test and puts back what was there.
class ExecutionStateKept
{
public:
    ExecutionStateKept()
        : m_before(::SetThreadExecutionState(kNothingHeld))
    {
    }
    ~ExecutionStateKept()
    {
        // A state without ES_CONTINUOUS holds nothing lasting (Wine starts a process with one),
        // and Wine keeps a lasting state against it: only a lasting one is put back.
        if ((m_before & ES_CONTINUOUS) != 0) {
            ::SetThreadExecutionState(m_before);
        }
    }
    ExecutionStateKept(const ExecutionStateKept&) = delete;
    ExecutionStateKept& operator=(const ExecutionStateKept&) = delete;

private:
    EXECUTION_STATE m_before;
};

TEST(WindowsKeepAwake, SystemIsRequiredWhileTheObjectLives)
{
    const ExecutionStateKept kept;
    const test::KeepAwakeEvents events;
    {
        const KeepAwake awake;
        EXPECT_TRUE(awake.held());
        EXPECT_EQ(::SetThreadExecutionState(kAwake), kAwake);
        EXPECT_EQ(events.text(), "requested+");
    }
    EXPECT_EQ(::SetThreadExecutionState(kNothingHeld), kNothingHeld);
    EXPECT_EQ(events.text(), "requested+ released+");
}

// The state is one per thread, not one per request: an inner object that goes must not take
// it from the outer one.
TEST(WindowsKeepAwake, NestedObjectsKeepItUntilTheLastGoesAndALaterOneSetsItAgain)
{
    const ExecutionStateKept kept;
    const test::KeepAwakeEvents events;
    {
        const KeepAwake outer;
        {
            const KeepAwake inner;
            EXPECT_TRUE(outer.held());
            EXPECT_TRUE(inner.held());
        }
        EXPECT_EQ(::SetThreadExecutionState(kAwake), kAwake);
    }
    EXPECT_EQ(::SetThreadExecutionState(kNothingHeld), kNothingHeld);
    {
        const KeepAwake next;
        EXPECT_TRUE(next.held());
        EXPECT_EQ(::SetThreadExecutionState(kAwake), kAwake);
    }
    EXPECT_EQ(::SetThreadExecutionState(kNothingHeld), kNothingHeld);
    EXPECT_EQ(events.text(), "requested+ requested+ released+ released+ requested+ released+");
}

} // namespace
} // namespace glb::platform
