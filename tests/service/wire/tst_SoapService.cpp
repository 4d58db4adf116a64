#include "common/Error.h"
#include "service/CurlTransport.h"
#include "service/ResponseDecoder.h"
#include "service/ServiceContract.h"
#include "service/ServiceErrors.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/service/php/PhpService.h"
#include "tests/support/Command.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TcpRelay.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace glb::service;
using glb::test::PhpService;
using glb::test::randomBytes;
using glb::test::readFile;
using glb::test::TempDir;
using glb::test::writeFile;

namespace {

class SoapServiceTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        glb::test::unsetEnv("http_proxy");
        glb::test::setEnv("no_proxy", "*");
        RegisterBackupGlebariumTypes();
    }

    /// Uploads every file of `pasta` through the whole client to the service at `url` and
    /// returns the reply.
    static std::string upload(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                              const std::string& url)
    {
        glb::BlockingPump events;
        return EnviarArquivos(pasta, nome, cpf, events, [&] { return GetBackupGlebariumPort(false, url); });
    }
};

TEST_F(SoapServiceTest, TheServiceDecodesEveryRecordAndItsReplyIsShown)
{
    TempDir staging;
    TempDir received;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"Fazenda S\xC3\xA3o Jo\xC3\xA3o.zip", randomBytes(200000, 1)}, // sent in pieces
        {"Financeiro.zip", std::string("\r\n\r\x00\xff", 5) + randomBytes(1000, 2)},
        {"vazio.zip", ""},
    };
    for (const auto& [name, content] : files) {
        writeFile(staging / glb::pathFromText(name), content);
    }
    PhpService::Options options;
    options.environment = {{"GLB_BACKUP_DIR", glb::test::hostPath(received.path())}};
    PhpService service(options);
    EXPECT_EQ(upload(staging.path(), "JOS\xC3\x89 DA SILVA ", "123.456.789-09", service.url()),
              "Backup recebido com sucesso: 3 arquivo(s).");
    const std::string manifest = readFile(received / "manifest.txt");
    EXPECT_EQ(manifest.substr(0, manifest.find('\n', manifest.find('\n') + 1) + 1),
              "nome\tJOS\xC3\x89 DA SILVA \ncpf\t123.456.789-09\n");
    for (const auto& [name, content] : files) {
        SCOPED_TRACE(name);
        EXPECT_NE(manifest.find("\n" + name + "\t" + std::to_string(content.size()) + "\t"), std::string::npos);
        EXPECT_EQ(readFile(received / glb::pathFromText(name)), content);
    }
}

TEST_F(SoapServiceTest, AnUploadCutBeforeItsLastByteIsTriedAgainAndNeverAfter)
{
    TempDir staging;
    // Many times what the system's buffers on both ends take in, so that a connection cut
    // early is one whose request the program had not handed over whole.
    writeFile(staging / "BackupSede.zip", randomBytes(std::size_t{16} << 20, 3));
    // The retries' waits, a few milliseconds here, not minutes.
    const CurlTransport::Limits usual = CurlTransport::defaultLimits();
    CurlTransport::Limits quick = usual;
    quick.retryDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(20)};
    CurlTransport::setDefaultLimits(quick);
    struct Restore
    {
        CurlTransport::Limits limits;
        ~Restore() { CurlTransport::setDefaultLimits(limits); }
    } restore{usual};

    // The request's length, from a send that nothing cuts.
    std::uint64_t length = 0;
    {
        TempDir received;
        PhpService::Options options;
        options.environment = {{"GLB_BACKUP_DIR", glb::test::hostPath(received.path())}};
        PhpService service(options);
        glb::test::TcpRelay relay(service.port());
        upload(staging.path(), "NOME", "12345678901", relay.url("/web/backup_antigo.php"));
        length = relay.bytesUp(0);
    }
    ASSERT_GT(length, std::uint64_t{16} << 20);

    struct Case
    {
        std::string name;
        std::vector<std::optional<std::uint64_t>> cuts; ///< per connection
        std::size_t connections;
        bool replied;
        std::size_t calls; ///< complete requests the service carried out
    };
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    const Case cases[] = {
        {"cut on the first attempt", {kMiB}, 2, true, 1},
        {"cut on the first two attempts", {kMiB, 1000}, 3, true, 1},
        {"cut on all three", {kMiB, 1000, 2 * kMiB}, 3, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir received;
        PhpService::Options options;
        options.environment = {{"GLB_BACKUP_DIR", glb::test::hostPath(received.path())}};
        PhpService service(options);
        glb::test::TcpRelay::Options cutting;
        cutting.cutAfterBytes = c.cuts;
        glb::test::TcpRelay relay(service.port(), cutting);

        std::vector<std::pair<int, int>> retries;
        SendHooks hooks;
        hooks.onRetry = [&retries](int attempt, int attempts, auto) { retries.emplace_back(attempt, attempts); };
        glb::BlockingPump events;
        std::optional<std::string> reply;
        std::string error;
        try {
            reply = EnviarArquivos(
                staging.path(), "NOME", "12345678901", events,
                [&] { return GetBackupGlebariumPort(false, relay.url("/web/backup_antigo.php")); }, hooks);
        } catch (const ESOAPHTTPException& e) {
            error = e.message();
        }
        EXPECT_EQ(reply.has_value(), c.replied) << error;
        if (c.replied) {
            EXPECT_EQ(*reply, "Backup recebido com sucesso: 1 arquivo(s).");
        } else {
            EXPECT_NE(error.find("UploadBackup"), std::string::npos) << "the library's error of the last attempt";
        }
        EXPECT_EQ(relay.connections(), c.connections);
        EXPECT_EQ(retries.size(), c.connections - 1);
        const std::filesystem::path calls = received / "calls.txt";
        const std::string log = std::filesystem::exists(calls) ? readFile(calls) : std::string();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<std::ptrdiff_t>(c.calls));
    }
}

TEST_F(SoapServiceTest, AFaultOfTheServiceArrivesWithItsMessage)
{
    TempDir staging;
    writeFile(staging / "a.zip", "PK");
    PhpService::Options options;
    options.environment = {{"GLB_FAULT_TEXT", "Servi\xC3\xA7o em manuten\xC3\xA7\xC3\xA3o, tente mais tarde"}};
    PhpService service(options);
    try {
        upload(staging.path(), "NOME", "1", service.url());
        ADD_FAILURE() << "no fault";
    } catch (const ERemotableException& e) {
        EXPECT_EQ(e.message(), "Servi\xC3\xA7o em manuten\xC3\xA7\xC3\xA3o, tente mais tarde");
        EXPECT_EQ(e.faultCode(), "SOAP-ENV:Server");
    }
}

TEST_F(SoapServiceTest, ABodyTheServiceDropsForItsSizeEndsAsAnError)
{
    // Over post_max_size PHP answers 200 with an empty text/html; charset=UTF-8 body.
    TempDir staging;
    writeFile(staging / "grande.zip", randomBytes(300000, 3));
    PhpService::Options options;
    options.settings = {"post_max_size=64K"};
    PhpService service(options);
    EXPECT_THROW(upload(staging.path(), "NOME", "1", service.url()), EDOMParseError);
}

} // namespace
