// Archives written by the Windows build, over Win32 files: what the writer stores from
// Windows file times and names, and how it meets files that other programs hold open.
// The archives are left in GLB_WINDOWS_ZIP_OUT for check_windows_zip.py, which reads them
// with Python's zipfile on the build machine.

#include "archive/ZipFile.h"
#include "common/Error.h"
#include "common/SystemErrorText.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <string>
#include <windows.h>

namespace glb::archive {
namespace {

using test::TempDir;
using test::writeFile;

std::filesystem::path outputFolder()
{
    wchar_t out[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"GLB_WINDOWS_ZIP_OUT", out, MAX_PATH);
    std::filesystem::path folder = length > 0 && length < MAX_PATH
                                       ? std::filesystem::path(out)
                                       : std::filesystem::temp_directory_path() / L"glb-zip";
    std::filesystem::create_directories(folder);
    return folder;
}

void setLastWriteUtc(const std::filesystem::path& path, std::int64_t unixSeconds)
{
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds * 10000000LL + 116444736000000000LL);
    const FILETIME written{ticks.LowPart, ticks.HighPart};
    EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &written));
    ::CloseHandle(h);
}

// Bytes that compress, with a noisy stretch, long enough to cross the writer's read and
// output buffers several times.
std::string sampleData()
{
    std::string data;
    std::uint32_t state = 12345;
    for (int i = 0; i < 300000; ++i) {
        state = state * 1103515245U + 12345U;
        data.push_back(i % 3000 < 1500 ? static_cast<char>('a' + i % 26) : static_cast<char>(state >> 24));
    }
    return data;
}

TEST(WindowsZip, ArchiveOfWindowsFilesForTheReader)
{
    TempDir source;
    writeFile(source / L"Relatório.txt", "relatório da fazenda\r\n");
    writeFile(source / L"vazio.txt", "");
    writeFile(source / L"dados.bin", sampleData());
    // 2021-03-04 13:15:37 UTC is 10:15:37 in São Paulo: stored as 10:15:36 (halved seconds).
    setLastWriteUtc(source / L"Relatório.txt", 1614863737);
    // Before 1980: time and date words 0.
    setLastWriteUtc(source / L"vazio.txt", 315532798);

    const auto archive = outputFolder() / L"windows.zip";
    TZipFile zip;
    zip.Open(archive, TZipMode::zmWrite);
    for (const wchar_t* name : {L"Relatório.txt", L"vazio.txt", L"dados.bin"}) {
        zip.Add(source / name);
    }
    ASSERT_EQ(zip.Files().size(), 3U);
    EXPECT_EQ(zip.Files()[0].FileName, "Relat\xC3\xB3rio.txt");
    EXPECT_EQ(zip.Files()[0].ModifiedDateTime & 0xFFFFU, 10U * 2048U + 15U * 32U + 18U);
    EXPECT_EQ(zip.Files()[1].ModifiedDateTime, 0U);
    zip.Close();
}

TEST(WindowsZip, FileHeldByAnotherProgramIsRefusedBeforeAnythingIsWritten)
{
    TempDir source;
    const auto kept = source / L"aberto.db";
    const auto held = source / L"Relatório.db";
    writeFile(kept, "primeiro");
    writeFile(held, "em uso");

    struct Case
    {
        const char* what;
        DWORD access;
        DWORD share;
    };
    // clang-format off
    const Case cases[] = {
        {"a reader that shares everything", GENERIC_READ,  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
        {"a writer",                        GENERIC_WRITE, FILE_SHARE_READ},
        {"a holder without sharing",        GENERIC_READ,  0},
    };
    // clang-format on
    const auto archive = outputFolder() / L"windows-held.zip";
    TZipFile zip;
    zip.Open(archive, TZipMode::zmWrite);
    zip.Add(kept);
    const auto sizeAfterFirst = std::filesystem::file_size(archive);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const HANDLE other =
            ::CreateFileW(held.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        const std::u8string path = held.u8string();
        try {
            zip.Add(held);
            ADD_FAILURE() << "the held file was added";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.message(), "Cannot open file \"" + std::string(path.begin(), path.end()) + "\". " +
                                       systemErrorText(ERROR_SHARING_VIOLATION));
        }
        ::CloseHandle(other);
        EXPECT_EQ(zip.Files().size(), 1U);
        EXPECT_EQ(std::filesystem::file_size(archive), sizeAfterFirst);
    }
    zip.Close();
}

TEST(WindowsZip, ArchiveInUseCannotBeCreatedAndIsLeftAlone)
{
    const auto archive = outputFolder() / L"windows-busy.zip";
    writeFile(archive, "not an archive yet");
    const HANDLE other = ::CreateFileW(archive.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    TZipFile zip;
    const std::u8string path = archive.u8string();
    try {
        zip.Open(archive, TZipMode::zmWrite);
        ADD_FAILURE() << "an archive held by another program was opened";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message(), "Cannot create file \"" + std::string(path.begin(), path.end()) + "\". " +
                                   systemErrorText(ERROR_SHARING_VIOLATION));
    }
    ::CloseHandle(other);
    EXPECT_EQ(zip.Mode(), TZipMode::zmClosed);
    EXPECT_EQ(test::readFile(archive), "not an archive yet");
    std::filesystem::remove(archive);
}

TEST(WindowsZip, PathsOf248CharactersOrMoreAreRefusedOnceOpened)
{
    TempDir source;
    // The folder brings the full path of "a.txt" to exactly 248 UTF-16 units: still
    // openable by Windows without the long-path prefix, but refused by the writer.
    const std::wstring base = (source.path() / L"").native();
    const std::wstring name = L"a.txt";
    ASSERT_LT(base.size() + name.size() + 1, 248U);
    const auto folder = source / std::wstring(248 - base.size() - name.size() - 1, L'p');
    const auto at248 = folder / name;
    ASSERT_EQ(at248.native().size(), 248U);
    const auto at250 = folder / L"abc.txt";
    ASSERT_EQ(at250.native().size(), 250U);
    const auto missingAt260 = folder / std::wstring(260 - folder.native().size() - 1, L'f');
    ASSERT_EQ(missingAt260.native().size(), 260U);
    writeFile(at248, "longo");
    writeFile(at250, "mais longo");
    const auto shorter = folder / L"b.tx";
    writeFile(shorter, "curto");

    TZipFile zip;
    zip.Open(source / L"longo.zip", TZipMode::zmWrite);
    zip.Add(shorter);
    EXPECT_THROW(zip.Add(at248), EPathTooLongException);
    EXPECT_THROW(zip.Add(at250), EPathTooLongException);
    // The source is opened before its path is judged: a path that cannot be opened gets
    // the open error, however long it is.
    const std::u8string path = missingAt260.u8string();
    const std::string expectedStart = "Cannot open file \"" + std::string(path.begin(), path.end()) + "\". ";
    try {
        zip.Add(missingAt260);
        ADD_FAILURE() << "a missing file was added";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message().rfind(expectedStart, 0), 0U) << e.message();
        EXPECT_GT(e.message().size(), expectedStart.size()) << "the system's text follows";
    }
    EXPECT_EQ(zip.Files().size(), 1U);
    zip.Close();
}

} // namespace
} // namespace glb::archive
