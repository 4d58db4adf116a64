#include "common/Platform.h"
#include "tests/support/KeepAwakeEvents.h"
#include "tests/support/LockingProcess.h"
#include "tests/support/PrivateSystemBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace platform = glb::platform;
using glb::test::KeepAwakeEvents;
using glb::test::PrivateSystemBus;
using glb::test::ScopedEnv;
using glb::test::TempDir;
using Login1 = PrivateSystemBus::Login1;

TEST(FixedPath, MapsDriveAndSeparatorsKeepingATrailingSeparator)
{
    struct Case
    {
        std::optional<std::string> winePrefix;
        const char* windowsPath;
        const char* native;
    };
    // clang-format off
    const Case cases[] = {
        {"/w",         "C:\\Glebarium\\Fazendas\\",  "/w/dosdevices/c:/Glebarium/Fazendas/"},
        {"/w",         "C:\\Glebarium\\Financeiro",  "/w/dosdevices/c:/Glebarium/Financeiro"},
        {"/w",         "c:\\Glebarium",              "/w/dosdevices/c:/Glebarium"},
        {"/w",         "D:\\Dados\\Boa Vista",       "/w/dosdevices/d:/Dados/Boa Vista"},
        {"/w",         "C:\\",                       "/w/dosdevices/c:/"},
        {"/w",         "tmpbackupEnviado\\Backup",   "tmpbackupEnviado/Backup"},
        {std::nullopt, "C:\\Glebarium\\Fazendas\\",  "/home/fulano/.wine/dosdevices/c:/Glebarium/Fazendas/"},
        {"",           "C:\\Glebarium\\Financeiro",  "/home/fulano/.wine/dosdevices/c:/Glebarium/Financeiro"},
    };
    // clang-format on
    const ScopedEnv home("HOME", "/home/fulano");
    for (const auto& c : cases) {
        const ScopedEnv prefix("WINEPREFIX", c.winePrefix);
        EXPECT_EQ(platform::fixedPath(c.windowsPath).string(), c.native)
            << c.windowsPath << " with WINEPREFIX " << c.winePrefix.value_or("(unset)");
    }
}

TEST(RouteTables, DefaultRouteRule)
{
    const std::string v4Header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const std::string v4Subnet = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    const std::string v6Local = "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
                                "00000000000000000000000000000000 00000100 00000002 00000000 00000001     eth0\n";
    const auto v6Default = [](const char* flags, const char* iface) {
        return std::string("00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                           "fd000000000000000000000000000001 00000400 00000002 00000000 ") +
               flags + "     " + iface + "\n";
    };
    struct Case
    {
        const char* what;
        std::string v4;
        std::string v6;
        bool connected;
    };
    const Case cases[] = {
        {"v4 default up", v4Header + v4Subnet + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "",
         true},
        {"v4 default down", v4Header + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", "", false},
        {"v4 reject route", v4Header + "eth0\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n", "", false},
        {"v4 only a subnet", v4Header + v4Subnet, v6Local, false},
        {"only lo", v4Header + "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n",
         v6Default("00200200", "lo"), false},
        {"v6 default", v4Header + v4Subnet, v6Local + v6Default("00000003", "eth0"), true},
        {"v6 reject default", "", v6Default("00200201", "eth0"), false},
        {"header only", v4Header, "", false},
        {"none", "", "", false},
        {"garbage", "hello\nworld 1 2 3\n\x01\x02\n", "\xff\xfe garbage\n", false},
        {"default in the header line is not a route", "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
         "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::routeTablesHaveDefaultRoute(c.v4, c.v6), c.connected) << c.what;
    }
}

TEST(FileSharing, OpenAgainstALockHeldByAnotherProcess)
{
    using platform::OpenMode;
    using platform::Sharing;
    struct Case
    {
        const char* what;
        bool holderExclusive;
        OpenMode mode;
        Sharing sharing;
        bool opens;
    };
    // clang-format off
    const Case cases[] = {
        {"exclusive read vs reader",       false, OpenMode::Read,               Sharing::Exclusive,   false},
        {"exclusive read vs writer",       true,  OpenMode::Read,               Sharing::Exclusive,   false},
        {"reader beside reader",           false, OpenMode::Read,               Sharing::ReadersOnly, true},
        {"reader vs writer",               true,  OpenMode::Read,               Sharing::ReadersOnly, false},
        {"create exclusive vs reader",     false, OpenMode::CreateOrTruncateRW, Sharing::Exclusive,   false},
        {"create exclusive vs writer",     true,  OpenMode::CreateOrTruncateRW, Sharing::Exclusive,   false},
        {"create readers-only vs writer",  true,  OpenMode::CreateOrTruncateRW, Sharing::ReadersOnly, false},
    };
    // clang-format on
    TempDir tmp;
    const fs::path file = tmp / "GADO.DB";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        glb::test::writeFile(file, "conteudo");
        glb::test::LockingProcess holder(file, c.holderExclusive);

        int error = -1;
        platform::File opened = platform::File::open(file, c.mode, c.sharing, error);
        EXPECT_EQ(opened.isOpen(), c.opens);
        EXPECT_EQ(error, c.opens ? 0 : EWOULDBLOCK);
        opened.close();
        EXPECT_EQ(glb::test::readFile(file), "conteudo"); // never truncated while held

        holder.release();
        platform::File afterwards = platform::File::open(file, c.mode, c.sharing, error);
        EXPECT_TRUE(afterwards.isOpen());
        EXPECT_EQ(error, 0);
    }
}

TEST(FileSharing, CreateOrTruncateEmptiesAnUnheldFileAndCreatesAMissingOne)
{
    TempDir tmp;
    glb::test::writeFile(tmp / "velho.zip", "old content");
    int error = -1;
    {
        auto file = platform::File::open(tmp / "velho.zip", platform::OpenMode::CreateOrTruncateRW,
                                         platform::Sharing::Exclusive, error);
        ASSERT_TRUE(file.isOpen());
        EXPECT_EQ(file.size(), 0);
        auto fresh = platform::File::open(tmp / "novo.zip", platform::OpenMode::CreateOrTruncateRW,
                                          platform::Sharing::Exclusive, error);
        EXPECT_TRUE(fresh.isOpen());
    }
    auto missing =
        platform::File::open(tmp / "nada" / "x", platform::OpenMode::Read, platform::Sharing::ReadersOnly, error);
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(error, ENOENT);
}

TEST(FileSharing, CreateNewRefusesWhateverIsThereAndLeavesItAsItIs)
{
    TempDir tmp;
    glb::test::writeFile(tmp / "velho.zip", "old content");
    std::filesystem::create_symlink(tmp / "alvo.zip", tmp / "link.zip");
    for (const char* name : {"velho.zip", "link.zip"}) {
        int error = 0;
        EXPECT_FALSE(
            platform::File::open(tmp / name, platform::OpenMode::CreateNewRW, platform::Sharing::Exclusive, error)
                .isOpen())
            << name;
        EXPECT_EQ(error, EEXIST) << name;
    }
    EXPECT_EQ(glb::test::readFile(tmp / "velho.zip"), "old content");
    EXPECT_FALSE(std::filesystem::exists(tmp / "alvo.zip")); // nothing made where the link points
    int error = 0;
    EXPECT_TRUE(
        platform::File::open(tmp / "novo.zip", platform::OpenMode::CreateNewRW, platform::Sharing::Exclusive, error)
            .isOpen());
}

// Linux folds for every case-insensitive file system it may write to: each name below is one
// file on at least one of them.
TEST(FileNameKey, OneKeyForEveryFoldOfAName)
{
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> same = {
        {"BackupSEDE.zip",  "Backupsede.zip"},
        {"BackupAÇUDE.zip", "BackupAçude.zip"},
        {"BackupÉDEN.zip",  "BackupéDEN.zip"},
        {"BackupSTRASSE",   "BackupStraße"},    // full case folding (ext4 casefold)
        {"ΣΊΣΥΦΟΣ",         "σίσυφος"},
        {"\xE2\x84\xAA",     "k"},               // the Kelvin sign
    };
    const std::vector<std::pair<std::string, std::string>> different = {
        {"BackupAcude.zip", "BackupAçude.zip"},
        {"Backup1.zip",     "Backup2.zip"},
    };
    // clang-format on
    for (const auto& [a, b] : same) {
        EXPECT_EQ(platform::fileNameKey(a), platform::fileNameKey(b)) << a << " / " << b;
    }
    for (const auto& [a, b] : different) {
        EXPECT_NE(platform::fileNameKey(a), platform::fileNameKey(b)) << a << " / " << b;
    }
    EXPECT_EQ(platform::fileNameKey("Backup\xC3.zip"), "Backup\xC3.zip"); // not UTF-8: as it is
}

TEST(OpenFileLimit, IsRaisedToTheMostTheSystemAllows)
{
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit lowered = before;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const std::optional<std::size_t> low = platform::openFileRoom();
    platform::raiseOpenFileLimit();
    rlimit after{};
    ::getrlimit(RLIMIT_NOFILE, &after);
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    ASSERT_TRUE(low.has_value());
    EXPECT_LT(*low, 256U);
    EXPECT_GT(*low, 200U);
}

TEST(PathTooLong, LimitsOfTheWholePathAndOfOneName)
{
    const std::string name(NAME_MAX, 'n');
    EXPECT_FALSE(platform::pathTooLong("/tmp/" + name));
    EXPECT_TRUE(platform::pathTooLong("/tmp/" + name + "n"));
    EXPECT_FALSE(platform::pathTooLong("/tmp/a/b.zip"));

    std::string longPath;
    while (longPath.size() + 11 < PATH_MAX) {
        longPath += "/abcdefghij";
    }
    EXPECT_FALSE(platform::pathTooLong(longPath.substr(0, PATH_MAX - 1)));
    longPath.resize(PATH_MAX, 'x');
    EXPECT_TRUE(platform::pathTooLong(longPath));
}

TEST(LocalTime, UsesTheOffsetInForceNow)
{
    struct Case
    {
        const char* tz;
        std::int64_t utc;
        platform::LocalTime local;
    };
    // clang-format off
    const Case cases[] = {
        {"UTC0",          0,          {1970, 1, 1, 0, 0, 0}},
        {"<-03>3",        0,          {1969, 12, 31, 21, 0, 0}},
        {"<+0530>-5:30",  1709244000, {2024, 3, 1, 3, 30, 0}}, // 2024-02-29 22:00 UTC, over a leap day
        {"<-03>3",        1709244000, {2024, 2, 29, 19, 0, 0}},
    };
    // clang-format on
    for (const auto& c : cases) {
        const ScopedEnv tz("TZ", c.tz);
        const auto local = platform::utcToLocalWithCurrentOffset(c.utc);
        ASSERT_TRUE(local.has_value()) << c.tz;
        EXPECT_EQ((std::array{local->year, local->month, local->day, local->hour, local->minute, local->second}),
                  (std::array{c.local.year, c.local.month, c.local.day, c.local.hour, c.local.minute, c.local.second}))
            << c.tz << " " << c.utc;
    }

    // Winter and summer dates get the same offset: today's, not the one of their own date.
    const ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const auto winter = platform::utcToLocalWithCurrentOffset(1768478400); // 2026-01-15 12:00 UTC
    const auto summer = platform::utcToLocalWithCurrentOffset(1784116800); // 2026-07-15 12:00 UTC
    ASSERT_TRUE(winter && summer);
    EXPECT_EQ(winter->hour, summer->hour);
    EXPECT_TRUE(winter->hour == 13 || winter->hour == 14) << winter->hour;
}

TEST(ExecutableDirectory, IsTheFolderOfTheRunningProgram)
{
    const fs::path dir = platform::executableDirectory();
    EXPECT_TRUE(dir.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(dir / "tst_platform")) << dir;
}

TEST(CodePage, DecodesSingleByteTextToUtf8)
{
    struct Case
    {
        int codePage;
        std::string bytes;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {1252, "S\xE3o Jo\xE3o", "São João"},
        {850, "Caf\x82 \x87", "Café ç"},
        {437, "\x80", "Ç"},
        {1252, "\x80", "€"},
        {1252, "\x81", std::nullopt}, // no character at that place
        {1252, "", ""},
        {99999, "a", std::nullopt},
        {0, "a", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::decodeCodePage(c.codePage, c.bytes), c.text) << c.codePage;
    }
}

// The keep-awake tests never reach the machine's own system bus: each points
// DBUS_SYSTEM_BUS_ADDRESS at a bus of its own, or at none.

TEST(KeepAwake, HoldsLogindsSleepInhibitorForItsLifetime)
{
    const PrivateSystemBus bus(Login1::Grants);
    const KeepAwakeEvents events;
    int farEnd = -1;
    {
        const platform::KeepAwake awake;
        EXPECT_TRUE(awake.held());
        const auto inhibits = bus.inhibits();
        ASSERT_EQ(inhibits.size(), 1U);
        EXPECT_EQ(inhibits[0].what, "sleep");
        EXPECT_EQ(inhibits[0].who, "Backup Glebarium");
        EXPECT_EQ(inhibits[0].why, "Enviando backup");
        EXPECT_EQ(inhibits[0].mode, "block");
        farEnd = inhibits[0].farEnd;
        // The object keeps its own copy of the descriptor, which outlives the reply, and no
        // program started meanwhile inherits it.
        const auto held = glb::test::pipeEndsHeldHere(farEnd);
        ASSERT_EQ(held.size(), 1U);
        EXPECT_NE(::fcntl(held[0], F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_FALSE(glb::test::inhibitorReleased(farEnd, 0));
        EXPECT_EQ(events.text(), "requested+");
    }
    EXPECT_TRUE(glb::test::inhibitorReleased(farEnd, 5000));
    EXPECT_TRUE(glb::test::pipeEndsHeldHere(farEnd).empty());
    EXPECT_EQ(events.text(), "requested+ released+");
}

TEST(KeepAwake, NestedAndSuccessiveObjectsEachHoldTheirOwn)
{
    const PrivateSystemBus bus(Login1::Grants);
    const KeepAwakeEvents events;
    {
        const platform::KeepAwake outer;
        {
            const platform::KeepAwake inner;
            EXPECT_TRUE(outer.held());
            EXPECT_TRUE(inner.held());
        }
        const auto inhibits = bus.inhibits();
        ASSERT_EQ(inhibits.size(), 2U);
        EXPECT_TRUE(glb::test::inhibitorReleased(inhibits[1].farEnd, 5000));
        EXPECT_FALSE(glb::test::inhibitorReleased(inhibits[0].farEnd, 0));
    }
    {
        const platform::KeepAwake next;
        EXPECT_TRUE(next.held());
    }
    const auto inhibits = bus.inhibits();
    ASSERT_EQ(inhibits.size(), 3U);
    for (const auto& inhibit : inhibits) {
        EXPECT_TRUE(glb::test::inhibitorReleased(inhibit.farEnd, 5000));
    }
    EXPECT_EQ(events.text(), "requested+ requested+ released+ released+ requested+ released+");
}

/// A hung system bus: a socket that takes connections into its queue and never says a word.
class MuteSystemBus
{
public:
    explicit MuteSystemBus(const fs::path& path)
        : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
        , m_systemBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path.string())
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 4) != 0) {
            throw std::runtime_error("could not listen on " + path.string());
        }
    }
    ~MuteSystemBus() { ::close(m_fd); }
    MuteSystemBus(const MuteSystemBus&) = delete;
    MuteSystemBus& operator=(const MuteSystemBus&) = delete;

private:
    int m_fd;
    ScopedEnv m_systemBus;
};

TEST(KeepAwake, HoldsNothingAndRaisesNothingWhereSleepCannotBeBlocked)
{
    const TempDir dir;
    struct Case
    {
        const char* what;
        std::function<std::shared_ptr<void>()> setUp;
        std::size_t inhibitCalls;
    };
    std::shared_ptr<PrivateSystemBus> bus;
    const auto withBus = [&bus](Login1 login1) {
        return [&bus, login1]() -> std::shared_ptr<void> {
            bus = std::make_shared<PrivateSystemBus>(login1);
            return bus;
        };
    };
    const std::string missing = "unix:path=" + (dir / "missing").string();
    const Case cases[] = {
        {"no system bus", [&] { return std::make_shared<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", missing); }, 0},
        {"no logind on the bus", withBus(Login1::Absent), 0},
        {"logind refuses", withBus(Login1::Refuses), 1},
        {"logind never answers", withBus(Login1::Silent), 1},
        {"the bus never answers", [&] { return std::make_shared<MuteSystemBus>(dir / "mute"); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bus.reset();
        const auto setting = c.setUp();
        const KeepAwakeEvents events;
        const auto started = std::chrono::steady_clock::now();
        {
            std::optional<platform::KeepAwake> awake;
            ASSERT_NO_THROW(awake.emplace());
            // Two seconds at most for the request, connection included, and some room.
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
            EXPECT_FALSE(awake->held());
        }
        EXPECT_EQ(events.text(), "requested- released-");
        EXPECT_EQ(bus ? bus->inhibits().size() : 0U, c.inhibitCalls);
    }
}

} // namespace
