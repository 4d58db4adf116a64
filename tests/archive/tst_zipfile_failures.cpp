// How the writer fails, and what is left of the archive afterwards.

#include "archive/ZipFile.h"
#include "tests/archive/ArchiveTestSupport.h"
#include "tests/support/FifoRelease.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipInspector.h"

#include <array>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using glb::archive::TZipCompression;
using glb::archive::TZipFile;
using glb::archive::TZipMode;
namespace fs = std::filesystem;
namespace t = glb::test;

namespace {

const std::vector<std::string> kNoProblems;

std::string quoted(const fs::path& path)
{
    return "\"" + path.string() + "\"";
}

/// Limits the size of files this process may write, as a full disk would, and lets such a
/// write fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

/// A Unix socket bound at `path` for the lifetime of the object: an entry of the folder
/// that is neither a file nor a folder.
class LocalSocket
{
public:
    explicit LocalSocket(fs::path path)
        : m_path(std::move(path))
        , m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        m_path.native().copy(address.sun_path, sizeof address.sun_path - 1);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "no socket at " << m_path;
        }
    }
    ~LocalSocket() { ::close(m_fd); }
    LocalSocket(const LocalSocket&) = delete;
    LocalSocket& operator=(const LocalSocket&) = delete;

    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
    int m_fd;
};

// The reasons the platform layer gives for what it refuses to open.
const std::string kLink = "É um link; links não são seguidos";
const std::string kNotAFile = "Não é um arquivo comum";

} // namespace

TEST(ZipFileFailures, AddNeedsAnArchiveOpenForWriting)
{
    t::TempDir dir;
    t::writeFile(dir / "a.txt", "a");
    const std::string expected = "EZipException: File must be open for writing";

    TZipFile fresh;
    EXPECT_EQ(t::errorOf([&] { fresh.Add(dir / "a.txt"); }), expected);

    TZipFile closed;
    closed.Open(dir / "a.zip", TZipMode::zmWrite);
    closed.Close();
    EXPECT_EQ(t::errorOf([&] { closed.Add(dir / "a.txt"); }), expected);
    EXPECT_EQ(t::inspectZip(dir / "a.zip").entries.size(), 0U);
}

TEST(ZipFileFailures, FailedOpenCompletesThePreviousArchiveAndLeavesTheWriterClosed)
{
    t::TempDir dir;
    t::writeFile(dir / "a.txt", "a");
    t::writeFile(dir / "held.zip", "not ours");
    struct Case
    {
        const char* label;
        std::function<void(TZipFile&)> open;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"missing folder", [&](TZipFile& z) { z.Open(dir / "nope" / "b.zip", TZipMode::zmWrite); },
         "EFCreateError: Cannot create file " + quoted(dir / "nope" / "b.zip") + ". No such file or directory"},
        {"held by another process",
         [&](TZipFile& z) {
             t::LockingProcess other(dir / "held.zip", false);
             z.Open(dir / "held.zip", TZipMode::zmWrite);
         },
         "EFCreateError: Cannot create file " + quoted(dir / "held.zip") + ". Resource temporarily unavailable"},
        {"reading mode", [&](TZipFile& z) { z.Open(dir / "b.zip", TZipMode::zmRead); },
         "EZipException: Zip archives can only be opened for writing"},
        // A series of archives that must not overwrite one another: what exists stays as it is.
        {"new files only, the file exists",
         [&](TZipFile& z) {
             z.setNewFilesOnly(true);
             z.Open(dir / "held.zip", TZipMode::zmWrite);
         },
         "EFCreateError: Cannot create file " + quoted(dir / "held.zip") + ". File exists"},
    };
    for (const auto& c : cases) {
        TZipFile zip;
        zip.Open(dir / "first.zip", TZipMode::zmWrite);
        zip.Add(dir / "a.txt");
        EXPECT_EQ(t::errorOf([&] { c.open(zip); }), c.expected) << c.label;
        EXPECT_EQ(t::readFile(dir / "held.zip"), "not ours") << c.label;
        EXPECT_EQ(zip.Mode(), TZipMode::zmClosed) << c.label;
        EXPECT_EQ(t::errorOf([&] { zip.Add(dir / "a.txt"); }), "EZipException: File must be open for writing");
        const auto first = t::inspectZip(dir / "first.zip");
        EXPECT_EQ(first.problems, kNoProblems) << c.label;
        EXPECT_EQ(namesOf(first), std::vector<std::string>{"a.txt"}) << c.label;
    }
    // A file held by another process is not even emptied.
    EXPECT_EQ(t::readFile(dir / "held.zip"), "not ours");
}

// A staging folder that could not be cleared is reused with what it holds: an entry named
// like an archive may be a link to a file elsewhere, or something that is no file at all.
TEST(ZipFileFailures, OpenNeverWritesThroughALinkNorIntoWhatIsNotAFile)
{
    t::TempDir dir;
    const fs::path outside = dir / "fora" / "precioso.db";
    t::writeFile(outside, "keep me");
    const fs::path staging = dir / "tmpbackupEnviado";
    fs::create_directory(staging);
    fs::create_symlink(outside, staging / "Backup1.zip");
    fs::create_symlink(dir / "fora" / "sumiu.db", staging / "Backup2.zip");
    fs::create_directory_symlink(dir / "fora", staging / "Backup3.zip");
    fs::create_hard_link(outside, staging / "Backup4.zip");
    ASSERT_EQ(::mkfifo((staging / "Backup5.zip").c_str(), 0600), 0);
    const LocalSocket socket(staging / "Backup6.zip");

    struct Case
    {
        const char* label;
        fs::path archive;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"link to a file", staging / "Backup1.zip", kLink},
        {"dangling link", staging / "Backup2.zip", kLink},
        {"link to a folder", staging / "Backup3.zip", kLink},
        {"second name of a file", staging / "Backup4.zip", "O arquivo tem outros nomes (links físicos)"},
        {"FIFO", staging / "Backup5.zip", kNotAFile},
        {"socket", staging / "Backup6.zip", kNotAFile},
        {"device", "/dev/full", kNotAFile},
    };
    for (const auto& c : cases) {
        TZipFile zip;
        EXPECT_EQ(t::errorOf([&] { zip.Open(c.archive, TZipMode::zmWrite); }),
                  "EFCreateError: Cannot create file " + quoted(c.archive) + ". " + c.reason)
            << c.label;
        EXPECT_EQ(zip.Mode(), TZipMode::zmClosed) << c.label;
    }
    EXPECT_EQ(t::readFile(outside), "keep me");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "fora" / "sumiu.db")));
    EXPECT_EQ(fs::directory_iterator(dir / "fora")->path(), outside); // nothing was added beside it
    EXPECT_TRUE(fs::is_fifo(staging / "Backup5.zip"));
}

TEST(ZipFileFailures, RefusedSourcesLeaveTheArchiveAsItWas)
{
    t::TempDir dir;
    t::writeFile(dir / "bom.txt", "bom");
    t::writeFile(dir / "locked.txt", "locked");
    fs::create_directory(dir / "pasta");
    ASSERT_EQ(::mkfifo((dir / "fila").c_str(), 0600), 0);
    const LocalSocket socket(dir / "soquete");
    const fs::path longName = dir / std::string(NAME_MAX + 1, 'n');
    fs::path longPath = dir.path();
    while (longPath.native().size() < PATH_MAX) {
        longPath /= std::string(100, 'p');
    }
    // 4 GiB without writing them: a sparse file.
    const fs::path huge = dir / "huge.bin";
    t::writeFile(huge, "");
    fs::resize_file(huge, std::uintmax_t{1} << 32U);
    // 0xFFFFFFFF bytes: the size field would hold the ZIP64 mark, with no ZIP64 record.
    const fs::path marker = dir / "marker.bin";
    t::writeFile(marker, "");
    fs::resize_file(marker, 0xFFFFFFFFU);

    struct Case
    {
        const char* label;
        std::function<void(TZipFile&)> add;
        std::string expected;
    };
    const std::string busy = ". Resource temporarily unavailable";
    const std::vector<Case> cases = {
        {"missing", [&](TZipFile& z) { z.Add(dir / "falta.txt"); },
         "EFOpenError: Cannot open file " + quoted(dir / "falta.txt") + ". No such file or directory"},
        {"folder", [&](TZipFile& z) { z.Add(dir / "pasta"); },
         "EFOpenError: Cannot open file " + quoted(dir / "pasta") + ". Is a directory"},
        {"FIFO",
         [&](TZipFile& z) {
             const t::FifoRelease release(dir / "fila");
             z.Add(dir / "fila");
         },
         "EFOpenError: Cannot open file " + quoted(dir / "fila") + ". " + kNotAFile},
        {"socket", [&](TZipFile& z) { z.Add(socket.path()); },
         "EFOpenError: Cannot open file " + quoted(socket.path()) + ". " + kNotAFile},
        {"device", [&](TZipFile& z) { z.Add("/dev/zero"); },
         "EFOpenError: Cannot open file \"/dev/zero\". " + kNotAFile},
        {"read by another process",
         [&](TZipFile& z) {
             t::LockingProcess other(dir / "locked.txt", false);
             z.Add(dir / "locked.txt");
         },
         "EFOpenError: Cannot open file " + quoted(dir / "locked.txt") + busy},
        {"written by another process",
         [&](TZipFile& z) {
             t::LockingProcess other(dir / "locked.txt", true);
             z.Add(dir / "locked.txt");
         },
         "EFOpenError: Cannot open file " + quoted(dir / "locked.txt") + busy},
        {"the archive itself", [&](TZipFile& z) { z.Add(dir / "a.zip"); },
         "EFOpenError: Cannot open file " + quoted(dir / "a.zip") + busy},
        // The source is opened before its path is judged, so a path that cannot be opened
        // gets the open error; on Linux every path that long is one.
        {"name too long", [&](TZipFile& z) { z.Add(longName); },
         "EFOpenError: Cannot open file " + quoted(longName) + ". File name too long"},
        {"path too long", [&](TZipFile& z) { z.Add(longPath / "f.txt"); },
         "EFOpenError: Cannot open file " + quoted(longPath / "f.txt") + ". File name too long"},
        {"4 GiB", [&](TZipFile& z) { z.Add(huge); },
         "EZipException: File " + quoted(huge) + " is too large for a zip archive (4 GiB - 1 byte or more)"},
        {"4 GiB - 1 byte", [&](TZipFile& z) { z.Add(marker); },
         "EZipException: File " + quoted(marker) + " is too large for a zip archive (4 GiB - 1 byte or more)"},
        {"stored method", [&](TZipFile& z) { z.Add(dir / "bom.txt", {}, TZipCompression::zcStored); },
         "EZipException: Only Deflate compression is supported"},
    };

    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    zip.Add(dir / "bom.txt");
    const auto sizeBefore = fs::file_size(dir / "a.zip");
    for (const auto& c : cases) {
        EXPECT_EQ(t::errorOf([&] { c.add(zip); }), c.expected) << c.label;
        EXPECT_EQ(fs::file_size(dir / "a.zip"), sizeBefore) << c.label;
        EXPECT_EQ(zip.Files().size(), 1U) << c.label;
        EXPECT_EQ(zip.Mode(), TZipMode::zmWrite) << c.label;
    }
    // Once free, the same file goes in.
    zip.Add(dir / "locked.txt");
    zip.Close();
    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(namesOf(info), (std::vector<std::string>{"bom.txt", "locked.txt"}));
    EXPECT_EQ(t::checkWithReaders(dir / "a.zip", namesOf(info)), kNoProblems);
}

TEST(ZipFileFailures, DiskWithNoRoomFailsHeadersAndTheDirectory)
{
    t::TempDir dir;
    t::writeFile(dir / "a.txt", "a");
    const FileSizeLimit full(0);
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    EXPECT_EQ(t::errorOf([&] { zip.Add(dir / "a.txt"); }), "EZipException: Error writing zip file");
    EXPECT_TRUE(zip.Files().empty());
    EXPECT_EQ(t::errorOf([&] { zip.Close(); }), "EZipException: Error writing zip file");
    EXPECT_EQ(zip.Mode(), TZipMode::zmClosed);
    zip.Close(); // closed: nothing left to do

    // Releasing a writer whose end record cannot be written does not throw.
    auto released = std::make_unique<TZipFile>();
    released->Open(dir / "b.zip", TZipMode::zmWrite);
    released.reset();
}

TEST(ZipFileFailures, DiskFullMidEntryKeepsTheCompleteEntries)
{
    t::TempDir dir;
    t::writeFile(dir / "primeiro.txt", t::textBytes(1000));
    t::writeFile(dir / "grande.bin", t::randomBytes(300000, 3));
    struct Case
    {
        const char* label;
        std::uintmax_t room; // bytes the disk takes after the first entry
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"inside the local header", 10, "EZipException: Error writing zip file"},
        {"inside the name", 35, "EZipException: Error writing zip file"},
        {"inside the compressed data", 30 + 10 + 5000,
         "EWriteError: Stream write error on file " + quoted(dir / "a.zip") + ". File too large"},
    };
    for (const auto& c : cases) {
        const fs::path archive = dir / "a.zip";
        TZipFile zip;
        zip.Open(archive, TZipMode::zmWrite);
        zip.Add(dir / "primeiro.txt");
        const auto firstEnd = fs::file_size(archive);
        {
            FileSizeLimit full(firstEnd + c.room);
            EXPECT_EQ(t::errorOf([&] { zip.Add(dir / "grande.bin"); }), c.expected) << c.label;
        }
        EXPECT_EQ(zip.Files().size(), 1U) << c.label;
        zip.Close();
        // The directory went where the first entry ends; what was written of the second may trail it.
        const auto info = t::inspectZip(archive, true);
        EXPECT_EQ(info.problems, kNoProblems) << c.label;
        EXPECT_EQ(info.directoryOffset, firstEnd) << c.label;
        EXPECT_EQ(namesOf(info), std::vector<std::string>{"primeiro.txt"}) << c.label;
        EXPECT_EQ(t::checkWithReaders(archive, {"primeiro.txt"}), kNoProblems) << c.label;
    }

    // A directory the disk cannot take: Close fails, yet the writer is closed.
    TZipFile zip;
    zip.Open(dir / "b.zip", TZipMode::zmWrite);
    zip.Add(dir / "primeiro.txt");
    {
        FileSizeLimit full(fs::file_size(dir / "b.zip") + 20);
        EXPECT_EQ(t::errorOf([&] { zip.Close(); }), "EZipException: Error writing zip file");
    }
    EXPECT_EQ(zip.Mode(), TZipMode::zmClosed);
    EXPECT_TRUE(zip.Files().empty());
}

TEST(ZipFileFailures, ACallerThatStopsTheWriterKeepsTheCompleteEntries)
{
    t::TempDir dir;
    t::writeFile(dir / "primeiro.txt", t::textBytes(1000));
    t::writeFile(dir / "grande.bin", t::randomBytes(200000, 4));
    TZipFile zip;
    std::vector<std::size_t> pieces;
    std::size_t stopAfter = 3; // the first file's call and piece, then the second's call
    zip.setPieceCallback([&](std::size_t bytes) {
        pieces.push_back(bytes);
        return pieces.size() <= stopAfter;
    });
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    zip.Add(dir / "primeiro.txt");
    EXPECT_EQ(t::errorOf([&] { zip.Add(dir / "grande.bin"); }), "EZipStopped: Packing stopped");
    // Each piece is told as it is read: 1000 bytes, then the first 61,440 of the second file.
    EXPECT_EQ(pieces, (std::vector<std::size_t>{0, 1000, 0, 61440}));
    EXPECT_EQ(zip.Files().size(), 1U);
    zip.Close();
    EXPECT_EQ(t::checkWithReaders(dir / "a.zip", {"primeiro.txt"}), kNoProblems);

    // Not stopped, the pieces add up to the file.
    stopAfter = 1000;
    pieces.clear();
    zip.Open(dir / "b.zip", TZipMode::zmWrite);
    zip.Add(dir / "grande.bin");
    EXPECT_EQ(pieces, (std::vector<std::size_t>{0, 61440, 61440, 61440, 15680}));
    zip.Close();
}

TEST(ZipFileFailures, SourceEndingBeforeItsSizeFailsTheEntry)
{
    // Kernel attribute files report a size of a page but hold a few bytes: a real source
    // that runs dry before its size.
    fs::path shortFile;
    for (const char* candidate :
         {"/sys/devices/system/cpu/online", "/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling"}) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec) && fs::file_size(candidate, ec) > t::readFile(candidate).size()) {
            shortFile = candidate;
            break;
        }
    }
    if (shortFile.empty()) {
        GTEST_SKIP() << "no attribute file that is shorter than its size";
    }
    t::TempDir dir;
    t::writeFile(dir / "a.txt", "a");
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    zip.Add(dir / "a.txt");
    EXPECT_EQ(t::errorOf([&] { zip.Add(shortFile); }),
              "EReadError: Stream read error on file " + quoted(shortFile) +
                  ". O arquivo terminou antes do tamanho que tinha ao ser aberto");
    EXPECT_EQ(zip.Files().size(), 1U);
    zip.Close();
    const auto info = t::inspectZip(dir / "a.zip", true);
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(namesOf(info), std::vector<std::string>{"a.txt"});
}

TEST(ZipFileFailures, EntryMatchesItsChecksumWhileAnotherProcessRewritesTheSource)
{
    // Locks are advisory on Linux: a process that does not lock can change the file while it
    // is compressed. Whatever bytes the entry got, its CRC-32 must be theirs.
    t::TempDir dir;
    const fs::path source = dir / "mudando.bin";
    constexpr std::size_t kSize = 4 << 20;
    t::writeFile(source, std::string(kSize, 'a'));
    std::array<int, 2> started{};
    ASSERT_EQ(::pipe(started.data()), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int fd = ::open(source.c_str(), O_WRONLY);
        std::array<char, 4096> block{};
        for (unsigned round = 0;; ++round) {
            block.fill(static_cast<char>('b' + round % 20));
            for (std::size_t offset = 0; offset < kSize; offset += block.size()) {
                (void)::pwrite(fd, block.data(), block.size(), static_cast<off_t>(offset));
            }
            if (round == 0) {
                (void)::write(started[1], "x", 1);
            }
        }
    }
    struct Stop
    {
        pid_t pid;
        ~Stop()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{writer};
    ::close(started[1]);
    char byte = 0;
    ASSERT_EQ(::read(started[0], &byte, 1), 1); // it has rewritten the whole file once
    ::close(started[0]);

    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    for (int i = 0; i < 3; ++i) {
        zip.Add(source, "copia" + std::to_string(i) + ".bin");
    }
    zip.Close();

    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(info.entries.size(), 3U);
}

TEST(ZipFileFailures, ArchiveHoldsAtMost65535Entries)
{
    t::TempDir dir;
    t::writeFile(dir / "v", "");
    TZipFile zip;
    zip.Open(dir / "a.zip", TZipMode::zmWrite);
    for (int i = 0; i < 65535; ++i) {
        zip.Add(dir / "v");
    }
    const auto sizeBefore = fs::file_size(dir / "a.zip");
    EXPECT_EQ(t::errorOf([&] { zip.Add(dir / "v"); }), "EZipException: A zip archive holds at most 65535 files");
    EXPECT_EQ(fs::file_size(dir / "a.zip"), sizeBefore);
    zip.Close();
    const auto info = t::inspectZip(dir / "a.zip");
    EXPECT_EQ(info.problems, kNoProblems);
    EXPECT_EQ(info.totalEntries, 65535U);
    EXPECT_EQ(t::checkWithReaders(dir / "a.zip", std::vector<std::string>(65535, "v")), kNoProblems);
}
