// One send over a real installation: the farm table read by the real query, archives
// written by the real writer and read back by Python's zipfile while they are staged.

#include "FarmFixtures.h"
#include "backup/Installation.h"
#include "backup/SendBackupCommand.h"
#include "backup/farmlist/FarmList.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"
#include "tests/support/Command.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using glb::archive::TZipFile;
using glb::archive::TZipMode;
using glb::backup::SendBackupCommand;
using glb::test::CommandResult;
using glb::test::RecordingHost;
using glb::test::runCommand;
using glb::test::ScopedEnv;
using glb::test::TempDir;
using glb::test::writeFile;

/// The real writer, noting the name of every archive it opens.
class NotingZipFile : public TZipFile
{
public:
    NotingZipFile(std::vector<std::string>& opened, std::function<void(const std::string&)> beforeOpen)
        : m_opened(opened)
        , m_beforeOpen(std::move(beforeOpen))
    {
    }
    void Open(const fs::path& fileName, TZipMode mode) override
    {
        m_beforeOpen(fileName.filename().string());
        m_opened.push_back(fileName.filename().string());
        TZipFile::Open(fileName, mode);
    }

private:
    std::vector<std::string>& m_opened;
    std::function<void(const std::string&)> m_beforeOpen;
};

/// "archive: entry=content, ..." for every archive in `pasta`, in name order, as Python's
/// zipfile reads them after testzip() found nothing wrong.
std::string readBackWithPython(const fs::path& pasta)
{
    const char* python = std::getenv("GLB_PYTHON");
    const std::string script = "import pathlib, sys, zipfile\n"
                               "for p in sorted(pathlib.Path(sys.argv[1]).iterdir()):\n"
                               "    with zipfile.ZipFile(p) as z:\n"
                               "        assert z.testzip() is None, p\n"
                               "        items = sorted((i.filename, z.read(i).decode()) for i in z.infolist())\n"
                               "        print(p.name + ': ' + ', '.join(n + '=' + c for n, c in items))\n";
    writeFile(pasta.parent_path() / "readback.py", script);
    const std::string command = std::string(python != nullptr ? python : "python3") + " " +
                                glb::test::shellQuoted(glb::test::hostPath(pasta.parent_path() / "readback.py")) + " " +
                                glb::test::shellQuoted(glb::test::hostPath(pasta)) + " 2>&1";
    const CommandResult result = runCommand(command);
    return result.output + "exit " + std::to_string(result.status);
}

TEST(SendBackupOverAnInstallation, StagesOneArchivePerExistingFarmFolderThenTheFinancialOne)
{
    TempDir drive;
#ifdef _WIN32
    // Drive C: is the machine's own: the test makes the installation there, unless the
    // product is installed, and takes it away after.
    const fs::path glebarium = glb::platform::fixedPath("C:\\Glebarium");
    if (fs::exists(glebarium)) {
        GTEST_SKIP() << "C:\\Glebarium holds the product on this machine";
    }
    const glb::ScopeExit removeInstallation([&glebarium] {
        std::error_code ignored;
        fs::remove_all(glebarium, ignored);
    });
#else
    // Drive C: of this test is a temporary folder.
    const ScopedEnv prefix("WINEPREFIX", drive.path().string());
#endif
    glb::backup::SendBackupPaths paths = glb::backup::SendBackupPaths::installed();
    paths.executableDirectory = drive / "Programa"; // beside a program file of the fixture, not the build's
    const fs::path raiz = glb::platform::fixedPath("C:\\Glebarium\\Fazendas");
    ASSERT_EQ(paths.raizFazendas, raiz / "");

    // Out of name order; Aroeira and Bela Vista share a folder, Cedro's folder is missing.
    glb::test::PxTable table = glb::test::farmTable({{std::string("Umbu"), std::string("UMBU")},
                                                     {std::string("Bela Vista"), std::string("BELA")},
                                                     {std::string("Cedro"), std::string("CEDRO")},
                                                     {std::string("Aroeira"), std::string("BELA")}});
    table.password = std::string(glb::backup::kSenhaTabela);
    writeFile(raiz / "FAZENDAS.DB", glb::test::writeParadoxTable(table));
    writeFile(raiz / "UMBU" / "GADO.DB", "umbu gado");
    writeFile(raiz / "UMBU" / "Anos" / "2025.DB", "not packed");
    writeFile(raiz / "BELA" / "PASTO.DB", "bela pasto");
    writeFile(paths.pastaFinanceiro / "CAIXA.DB", "caixa");
    writeFile(paths.pastaFinanceiro / ".saldo", "saldo");
    fs::create_directories(paths.executableDirectory);

    RecordingHost host;
    const auto beforeOpen = [](const std::string&) {};
    glb::backup::TQuery query;
    query.close();
    query.setDatabaseName(glb::platform::fixedPath(glb::backup::kPastaGlebariumFazendas));

    std::vector<std::string> opened;
    std::string staged;
    SendBackupCommand command(
        host, query, paths, [] { return true; },
        [&opened, &beforeOpen] { return std::make_unique<NotingZipFile>(opened, beforeOpen); },
        [&staged](const fs::path& pasta, const std::string&, const std::string&, glb::EventPump&,
                  const glb::service::SendHooks&) {
            staged = readBackWithPython(pasta);
            return std::string("ok");
        },
        [](std::chrono::milliseconds) {});
    command.setPackingThreads(1); // the archives in the farm list's order, one after the other
    command.run();

    // The folder that two rows share is packed once.
    EXPECT_EQ(opened, (std::vector<std::string>{"BackupBELA.zip", "BackupUMBU.zip", "BackupFinanceiro.zip"}));
    EXPECT_EQ(staged, "BackupBELA.zip: PASTO.DB=bela pasto\n"
                      "BackupFinanceiro.zip: .saldo=saldo, CAIXA.DB=caixa\n"
                      "BackupUMBU.zip: GADO.DB=umbu gado\n"
                      "exit 0");
    EXPECT_FALSE(fs::exists(paths.executableDirectory / "tmpbackupEnviado"));
    EXPECT_FALSE(query.isOpen());
}

} // namespace
