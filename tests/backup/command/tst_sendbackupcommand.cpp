#include "backup/BackupErrors.h"
#include "backup/SendBackupCommand.h"
#include "backup/farmlist/FarmQuery.h"
#include "common/Error.h"
#include "common/SendCancel.h"
#include "common/UseLock.h"
#include "tests/support/KeepAwakeEvents.h"
#include "tests/support/Links.h"
#include "tests/support/LockingProcess.h"
#ifndef _WIN32
#include "tests/support/FailingListing.h"
#endif
#include "tests/support/RecordingHost.h"
#include "tests/support/SystemText.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <map>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using glb::archive::TZipCompression;
using glb::archive::TZipFile;
using glb::archive::TZipMode;
using glb::backup::FormControl;
using glb::backup::SendBackupCommand;
using glb::test::RecordingHost;
using glb::test::TempDir;
using glb::test::writeFile;

/// The farm list: one Diretorio per row, in the order given. Fails on the named operation.
class FakeFarmQuery : public glb::backup::FarmQuery
{
public:
    FakeFarmQuery(RecordingHost& log, std::vector<std::string> rows)
        : m_log(log)
        , m_rows(std::move(rows))
    {
    }
    void close() override { act("query.close"); }
    void setDatabaseName(const fs::path&) override { act("query.setDatabaseName"); }
    void addPassword(const std::string& password) override { act("query.addPassword(" + password + ")"); }
    void setSql(const std::string& text) override { act("query.setSql(" + text + ")"); }
    void open() override
    {
        act("query.open");
        m_row = 0;
    }
    void first() override
    {
        act("query.first");
        m_row = 0;
    }
    void next() override
    {
        act("query.next");
        ++m_row;
    }
    bool eof() const override { return m_row >= m_rows.size(); }
    std::string fieldAsText(const std::string& name) const override
    {
        return name == "Diretorio" ? m_rows.at(m_row) : std::string();
    }

    std::string failOn;

private:
    void act(const std::string& call)
    {
        m_log.note(call);
        if (call == failOn) {
            throw glb::Error("fail: " + call);
        }
    }
    RecordingHost& m_log;
    std::vector<std::string> m_rows;
    std::size_t m_row = 0;
};

/// A writer that logs its calls with paths relative to `base` and, on Close, leaves a file
/// listing the names it was given, so the staged archives can be looked at. Its work belongs
/// on a worker thread: a call on the window's thread is marked so in the log.
class RecordingZip : public TZipFile
{
public:
    RecordingZip(RecordingHost& log, fs::path base, std::string failOn)
        : m_log(log)
        , m_base(std::move(base))
        , m_failOn(std::move(failOn))
    {
    }
    ~RecordingZip() override { m_log.note("zip.release"); }

    std::function<void()> onAdded;
    RecordingZip(const RecordingZip&) = delete;
    RecordingZip& operator=(const RecordingZip&) = delete;

    void Open(const fs::path& fileName, TZipMode mode) override
    {
        act("zip.Open(" + relative(fileName) + (mode == TZipMode::zmWrite ? ")" : ", not zmWrite)"));
        m_file = fileName;
        m_names.clear();
    }
    void Add(const fs::path& fileName, const std::string& archiveFileName, TZipCompression compression) override
    {
        act("zip.Add(" + relative(fileName) + ")");
        EXPECT_EQ(archiveFileName, "");
        EXPECT_EQ(compression, TZipCompression::zcDeflate);
        m_names += glb::pathText(fileName.filename()) + "\n";
        // As the real writer tells of what it reads: the whole file in one piece.
        if (pieceCallback()) {
            pieceCallback()(static_cast<std::size_t>(fs::file_size(fileName)));
        }
        if (onAdded) {
            onAdded();
        }
    }
    void Close() override
    {
        act("zip.Close");
        writeFile(m_file, m_names);
    }

private:
    void act(const std::string& call)
    {
        m_log.note(std::this_thread::get_id() == m_log.thread() ? call + " [on the window's thread]" : call);
        if (call.rfind(m_failOn, 0) == 0 && !m_failOn.empty()) {
            throw glb::Error("fail: " + call);
        }
    }
    std::string relative(const fs::path& path) const { return path.lexically_relative(m_base).generic_string(); }

    RecordingHost& m_log;
    fs::path m_base;
    std::string m_failOn;
    fs::path m_file;
    std::string m_names;
};

/// An installation in a temporary folder: the program's folder, the farm root and the
/// financial folder, with the command wired to fakes that log into the host.
struct Installation
{
    TempDir tmp;
    RecordingHost host;
    bool conectado = true;
    std::string reply = "Backup recebido";
    std::vector<std::string> rows;
    std::string queryFailsOn;
    std::string zipFailsOn;
    bool zipCreationFails = false;
    unsigned packingThreads = 1;   ///< one writer at a time keeps the log in order
    bool realWriters = false;      ///< TZipFile itself instead of RecordingZip
    std::function<void()> onAdded; ///< after each file a RecordingZip adds
    std::function<void()> onUpload;
    /// What the staging folder held when the upload started: name -> content.
    std::map<std::string, std::string> uploaded;
    std::string cpfAtUpload;
    glb::service::SendObserver sentTo; ///< what the upload was to tell of its progress

    fs::path exe() const { return tmp / "exe"; }
    fs::path staging() const { return tmp / "exe" / "tmpbackupEnviado"; }
    fs::path raiz() const { return tmp / "Fazendas"; }
    fs::path financeiro() const { return tmp / "Financeiro"; }

    Installation() { fs::create_directories(exe()); }

    void run()
    {
        FakeFarmQuery query(host, rows);
        query.failOn = queryFailsOn;
        SendBackupCommand command(
            host, query, paths(), probe(), zipFactory(), uploader(),
            [this](std::chrono::milliseconds pause) { host.note("sleep(" + std::to_string(pause.count()) + ")"); });
        command.setPackingThreads(packingThreads);
        m_command = &command;
        const struct Reset
        {
            SendBackupCommand*& command;
            ~Reset() { command = nullptr; }
        } reset{m_command};
        command.run();
    }

    /// The command being run, for hooks that press again.
    SendBackupCommand* command() const { return m_command; }

    /// The farm root with its trailing separator, as the installation names it.
    glb::backup::SendBackupPaths paths() const { return {exe(), raiz() / "", financeiro()}; }

    SendBackupCommand::ConnectionProbe probe()
    {
        return [this] {
            host.note("conectadoInternet");
            return conectado;
        };
    }

    SendBackupCommand::ZipFactory zipFactory()
    {
        return [this]() -> std::unique_ptr<TZipFile> {
            host.note("zip.create");
            if (zipCreationFails) {
                throw glb::Error("fail: zip.create");
            }
            if (realWriters) {
                return std::make_unique<TZipFile>();
            }
            auto zip = std::make_unique<RecordingZip>(host, tmp.path(), zipFailsOn);
            zip->onAdded = onAdded;
            return zip;
        };
    }

    SendBackupCommand::Uploader uploader()
    {
        return [this](const fs::path& pasta, const std::string& nome, const std::string& cpf, glb::EventPump& events,
                      const glb::service::SendHooks& hooks) -> std::string {
            sentTo = hooks.onSent;
            host.note("upload(" + pasta.lexically_relative(tmp.path()).generic_string() + ")");
            EXPECT_EQ(&events, &host);
            EXPECT_EQ(nome, host.nome);
            cpfAtUpload = cpf;
            for (const auto& entry : fs::directory_iterator(pasta)) {
                uploaded[glb::pathText(entry.path().filename())] = glb::test::readFile(entry.path());
            }
            if (onUpload) {
                onUpload();
            }
            return reply;
        };
    }

private:
    SendBackupCommand* m_command = nullptr;
};

const std::string kSql = "query.setSql(SELECT Fazenda,Diretorio FROM FAZENDAS ORDER BY Fazenda)";
const std::vector<std::string> kSetUp = {"conectadoInternet",
                                         "mostrarAguarde(Enviando Backup)",
                                         "setFooterEnabled(false)",
                                         "followProgress",
                                         "zip.create",
                                         "query.close",
                                         "query.addPassword(tabularia487)",
                                         kSql,
                                         "query.open",
                                         "query.first"};
const std::vector<std::string> kCleanUp = {"esconderAguarde", "setFooterEnabled(true)", "zip.release", "query.close"};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(SendBackupCommand, PacksEachExistingFarmFolderThenTheFinancialOneAndUploadsInOrder)
{
    Installation inst;
    writeFile(inst.raiz() / "Boa Vista" / "GADO.DB", "g");
    writeFile(inst.raiz() / "Boa Vista" / "sub" / "ignorado", "-");
    writeFile(inst.raiz() / "Arquivo", "a farm 'folder' that is a file");
    writeFile(inst.financeiro() / "CAIXA.DB", "c");
    inst.rows = {"Boa Vista", "Sumida", "Arquivo"};

    inst.run();

    EXPECT_EQ(
        inst.host.calls(),
        concat({kSetUp,
                {"processPendingEvents", "query.next", "processPendingEvents", "query.next", "processPendingEvents",
                 "query.next", "processPendingEvents", "zip.Open(exe/tmpbackupEnviado/BackupBoa Vista.zip)",
                 "zip.Add(Fazendas/Boa Vista/GADO.DB)", "zip.Close",
                 "zip.Open(exe/tmpbackupEnviado/BackupFinanceiro.zip)", "zip.Add(Financeiro/CAIXA.DB)", "zip.Close",
                 "sleep(500)", "upload(exe/tmpbackupEnviado)", "showInformation(Backup recebido)"},
                kCleanUp}));
    EXPECT_EQ(inst.uploaded, (std::map<std::string, std::string>{{"BackupBoa Vista.zip", "GADO.DB\n"},
                                                                 {"BackupFinanceiro.zip", "CAIXA.DB\n"}}));
    EXPECT_FALSE(fs::exists(inst.staging()));
    EXPECT_TRUE(inst.host.windowEnabled());
    EXPECT_TRUE(inst.host.footerEnabled());
    EXPECT_EQ(inst.host.waits(), 1); // the archives were written on a worker thread
}

TEST(SendBackupCommand, FormChecksMoveTheFocusOrPass)
{
    struct Case
    {
        std::string nome;
        std::string cpf;
        bool contrato;
        std::optional<FormControl> focus; ///< none: the backup is sent
    };
    // clang-format off
    const Case cases[] = {
        {"",               "12345678901",    true,  FormControl::edtNome},
        {"   ",            "12345678901",    true,  FormControl::edtNome},
        {"\t\r\n \x01",    "12345678901",    true,  FormControl::edtNome},
        {"FULANO",         "",               true,  FormControl::edtCPFCNPJ},
        {"FULANO",         "  \t ",          true,  FormControl::edtCPFCNPJ},
        {"FULANO",         "1234567890",     true,  FormControl::edtCPFCNPJ},
        {"FULANO",         "  1234567890\n", true,  FormControl::edtCPFCNPJ},
        {"FULANO",         "ÁÉÍÓÚÇÃÕÊÂ",     true,  FormControl::edtCPFCNPJ}, // 10 characters, 20 bytes
        {"FULANO",         "12345678901",    false, FormControl::cbContrato},
        {"",               "",               false, FormControl::edtNome},
        {"FULANO",         "12345678901",    true,  std::nullopt},
        {"FULANO",         "12345678901234", true,  std::nullopt},
        {"FULANO",         "123.456.789-01", true,  std::nullopt},
        {" FULANO ",       " 12345678901 ",  true,  std::nullopt},
        {"JOSÉ",           "ÁÉÍÓÚÇÃÕÊÂÔ",    true,  std::nullopt},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("nome \"" + c.nome + "\" cpf \"" + c.cpf + "\" contrato " + std::to_string(c.contrato));
        Installation inst;
        inst.host.nome = c.nome;
        inst.host.cpf = c.cpf;
        inst.host.contrato = c.contrato;
        inst.run();
        if (c.focus) {
            EXPECT_EQ(inst.host.calls(),
                      std::vector<std::string>{"setFocus(" + glb::test::controlName(*c.focus) + ")"});
            EXPECT_FALSE(fs::exists(inst.staging()));
        } else {
            EXPECT_EQ(inst.host.focus(), std::nullopt);
            EXPECT_EQ(inst.cpfAtUpload, c.cpf); // sent as typed, punctuation and blanks included
        }
        EXPECT_EQ(inst.host.nome, c.nome);
        EXPECT_EQ(inst.host.cpf, c.cpf);
    }
}

TEST(SendBackupCommand, NoConnectionShowsTheMessageAndLeavesTheStagingFolderAlone)
{
    Installation inst;
    inst.conectado = false;
    writeFile(inst.staging() / "sobra.zip", "left over");
    inst.run();
    EXPECT_EQ(inst.host.calls(),
              (std::vector<std::string>{"conectadoInternet", "showInformation(Você não está conectado a Internet)"}));
    EXPECT_EQ(glb::test::readFile(inst.staging() / "sobra.zip"), "left over");

    Installation fresh;
    fresh.conectado = false;
    fresh.run();
    EXPECT_FALSE(fs::exists(fresh.staging()));
}

TEST(SendBackupCommand, ASecondSendFromTheSameFolderIsRefusedBeforeItTouchesTheStagingFolder)
{
    Installation inst;
    writeFile(inst.staging() / "BackupA.zip", "being sent by the other copy");
    {
        const glb::platform::UseLock other(inst.staging()); // another copy of the program
        ASSERT_EQ(other.state(), glb::platform::UseLock::State::Held);
        inst.run();
    }
    EXPECT_EQ(inst.host.calls(),
              (std::vector<std::string>{"conectadoInternet",
                                        "showInformation(Outro envio de backup já está em andamento a partir desta "
                                        "pasta. Aguarde o fim dele e tente de novo.)"}));
    EXPECT_EQ(glb::test::readFile(inst.staging() / "BackupA.zip"), "being sent by the other copy");

    // Once the other send has ended, this one runs.
    inst.run();
    EXPECT_EQ(inst.host.calls().back(), "query.close");
    EXPECT_FALSE(fs::exists(inst.staging()));
}

TEST(SendBackupCommand, StagingFolderThatCannotBeCreatedEndsWithTheMessage)
{
    Installation inst;
    writeFile(inst.staging(), "a file where the folder should be");
    inst.run();
    EXPECT_EQ(inst.host.calls(),
              (std::vector<std::string>{"conectadoInternet", "showInformation(Não possivel criar a pasta de envio)"}));
    EXPECT_TRUE(inst.host.windowEnabled());
}

TEST(SendBackupCommand, LeftoverStagingFolderIsEmptiedFirst)
{
    Installation inst;
    writeFile(inst.staging() / "BackupVelho.zip", "old");
    writeFile(inst.staging() / "sub" / "x", "old");
    inst.run();
    EXPECT_TRUE(inst.uploaded.empty());
}

TEST(SendBackupCommand, StagingFolderThatIsALinkIsReplacedAndItsTargetKept)
{
    Installation inst;
    if (const std::string noLinks = glb::test::symlinkUnsupported(inst.tmp.path()); !noLinks.empty()) {
        GTEST_SKIP() << noLinks;
    }
    writeFile(inst.tmp / "alheia" / "precioso.txt", "keep");
    fs::create_directory_symlink(inst.tmp / "alheia", inst.staging());
    inst.rows = {"F"};
    writeFile(inst.raiz() / "F" / "a", "a");
    inst.run();
    EXPECT_EQ(inst.uploaded.size(), 1U);
    EXPECT_EQ(glb::test::readFile(inst.tmp / "alheia" / "precioso.txt"), "keep");
    EXPECT_FALSE(fs::exists(inst.tmp / "alheia" / "BackupF.zip"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(inst.staging())));
}

TEST(SendBackupCommand, EmptyFarmListAndNoFinancialFolderStillUploads)
{
    Installation inst;
    inst.run();
    EXPECT_EQ(
        inst.host.calls(),
        concat({kSetUp, {"sleep(500)", "upload(exe/tmpbackupEnviado)", "showInformation(Backup recebido)"}, kCleanUp}));
    EXPECT_TRUE(inst.uploaded.empty());
    EXPECT_FALSE(fs::exists(inst.staging()));
}

TEST(SendBackupCommand, EmptyDiretorioPacksTheFarmRootIntoBackupZip)
{
    Installation inst;
    writeFile(inst.raiz() / "FAZENDAS.DB", "t");
    writeFile(inst.raiz() / "Outra" / "x", "x");
    inst.rows = {""};
    inst.run();
    EXPECT_EQ(inst.uploaded, (std::map<std::string, std::string>{{"Backup.zip", "FAZENDAS.DB\n"}}));
    const auto& calls = inst.host.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "zip.Add(Fazendas/FAZENDAS.DB)"), calls.end());
}

// Packed side by side, two jobs on one archive would each open it while the other holds it.
TEST(SendBackupCommand, SameDiretorioTwicePacksItsArchiveOnce)
{
    Installation inst;
    writeFile(inst.raiz() / "A" / "a", "a");
    writeFile(inst.raiz() / "B" / "b", "b");
    inst.rows = {"A", "B", "A"};
    inst.packingThreads = 2;
    inst.run();
    const auto& calls = inst.host.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "zip.Open(exe/tmpbackupEnviado/BackupA.zip)"), 1);
    EXPECT_EQ(inst.uploaded, (std::map<std::string, std::string>{{"BackupA.zip", "a\n"}, {"BackupB.zip", "b\n"}}));
}

TEST(SendBackupCommand, ErrorInAnyStageRunsTheWholeCleanUpThenGoesOn)
{
    struct Case
    {
        std::string stage;
        std::function<void(Installation&)> arrange;
        bool writerCreated;
        std::string message; ///< of the error that reaches the caller
    };
    // The writer's failures and the exchange's come from worker steps, the others from the
    // window's thread; each reaches the caller as it was raised, after the same clean-up.
    // clang-format off
    const Case cases[] = {
        {"overlay",         [](Installation& i) { i.host.onMostrarAguarde = [] { throw glb::Error("fail: overlay"); }; },
         false, "fail: overlay"},
        {"writer creation", [](Installation& i) { i.zipCreationFails = true; }, false, "fail: zip.create"},
        {"query open",      [](Installation& i) { i.queryFailsOn = "query.open"; }, true, "fail: query.open"},
        {"query next",      [](Installation& i) { i.queryFailsOn = "query.next"; }, true, "fail: query.next"},
        {"archive open",    [](Installation& i) { i.zipFailsOn = "zip.Open"; }, true,
         "fail: zip.Open(exe/tmpbackupEnviado/BackupA.zip)"},
        {"add",             [](Installation& i) { i.zipFailsOn = "zip.Add"; }, true, "fail: zip.Add(Fazendas/A/a)"},
        {"archive close",   [](Installation& i) { i.zipFailsOn = "zip.Close"; }, true, "fail: zip.Close"},
        {"upload",          [](Installation& i) { i.onUpload = [] { throw glb::Error("fail: upload"); }; }, true,
         "fail: upload"},
        {"exchange",        [](Installation& i) {
                                i.onUpload = [&i] { glb::runOnWorker(i.host, [] { throw glb::Error("fail: exchange"); }); };
                            }, true, "fail: exchange"},
        {"abort",           [](Installation& i) { i.onUpload = [&i] { glb::runOnWorker(i.host, [] { throw glb::EAbort(); }); }; },
         true, "Operation aborted"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        Installation inst;
        writeFile(inst.raiz() / "A" / "a", "a");
        writeFile(inst.financeiro() / "f", "f");
        inst.rows = {"A", "B"};
        c.arrange(inst);

        std::string message = "no error";
        try {
            inst.run();
        } catch (const glb::EAbort& e) {
            message = e.what();
            EXPECT_EQ(c.stage, "abort");
        } catch (const glb::Error& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);

        std::vector<std::string> cleanUp = kCleanUp;
        if (!c.writerCreated) {
            cleanUp.erase(std::find(cleanUp.begin(), cleanUp.end(), "zip.release"));
        }
        const auto& calls = inst.host.calls();
        ASSERT_GE(calls.size(), cleanUp.size());
        EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<std::ptrdiff_t>(cleanUp.size()), calls.end()),
                  cleanUp);
        for (const std::string& call : calls) {
            EXPECT_EQ(call.find(" [on "), std::string::npos) << call;
        }
        EXPECT_FALSE(fs::exists(inst.staging()));
        EXPECT_TRUE(inst.host.windowEnabled());
        EXPECT_TRUE(inst.host.footerEnabled());
    }
}

TEST(SendBackupCommand, ACancelledSendCleansUpThenSaysWhatReachedTheService)
{
    const std::string notSent = "showInformation(Envio cancelado. O backup não foi enviado.)";
    const std::string maybeReceived = "showInformation(" + glb::ESendCancelled::afterRequestSent().message() + ")";
    struct Case
    {
        std::string when;
        std::function<void(Installation&)> arrange;
        bool uploaded;
        std::string box; ///< the last call, after the clean-up
    };
    // clang-format off
    const Case cases[] = {
        // The cancel comes while the writers pack: they stop at their next piece.
        {"packing",          [](Installation& i) { i.host.onProcessEventsUntil = [&i] { i.command()->cancel(); }; },
         false, notSent},
        // The exchange says how far the request had gone when the cancel stopped it.
        {"upload",           [](Installation& i) { i.onUpload = [&i] { i.command()->cancel();
                                                                      throw glb::ESendCancelled::beforeRequestSent(); }; },
         true, notSent},
        {"awaiting reply",   [](Installation& i) { i.onUpload = [&i] { i.command()->cancel();
                                                                      throw glb::ESendCancelled::afterRequestSent(); }; },
         true, maybeReceived},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        Installation inst;
        inst.realWriters = true;
        // Enough to read that a cancel at the start of packing stops it well before its end.
        writeFile(inst.raiz() / "A" / "a", std::string(std::size_t{32} << 20, 'a'));
        writeFile(inst.financeiro() / "f", "f");
        inst.rows = {"A"};
        c.arrange(inst);
        std::optional<int> shareAtEnd;
        inst.host.onEsconderAguarde = [&] { shareAtEnd = inst.host.progress()->percent(); };

        EXPECT_NO_THROW(inst.run()) << "a cancel is no error";

        // The real writers note nothing of their release.
        const std::vector<std::string> end = {"esconderAguarde", "setFooterEnabled(true)", "query.close", c.box};
        const auto& calls = inst.host.calls();
        ASSERT_GE(calls.size(), end.size());
        EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<std::ptrdiff_t>(end.size()), calls.end()), end);
        EXPECT_EQ(std::find(calls.begin(), calls.end(), "upload(exe/tmpbackupEnviado)") != calls.end(), c.uploaded);
        EXPECT_FALSE(fs::exists(inst.staging()));
        EXPECT_TRUE(inst.host.windowEnabled());
        EXPECT_TRUE(inst.host.footerEnabled());
        if (!c.uploaded) {
            EXPECT_LT(shareAtEnd.value_or(0), 50) << "packing stopped early";
        }
    }

    // A reply that came before the cancel took effect is what the user sees.
    Installation inst;
    inst.rows = {};
    inst.onUpload = [&inst] { inst.command()->cancel(); };
    inst.run();
    EXPECT_EQ(inst.host.informations(), std::vector<std::string>{inst.reply});

    // The next press sends again.
    inst.onUpload = {};
    inst.run();
    EXPECT_EQ(inst.host.informations(), (std::vector<std::string>{inst.reply, inst.reply}));
}

TEST(SendBackupCommand, KeepsTheSystemAwakeWhileTheSendRunsAndNoLonger)
{
    // What the system is asked, signs aside: whether it granted it depends on the machine.
    const auto kinds = [](const glb::test::KeepAwakeEvents& events) {
        std::string text = events.text();
        text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '+' || c == '-'; }), text.end());
        return text;
    };
    struct Case
    {
        std::string ending;
        std::function<void(Installation&)> arrange;
    };
    // clang-format off
    const Case cases[] = {
        {"the reply",    [](Installation&) {}},
        {"an error",     [](Installation& i) { i.onUpload = [] { throw glb::Error("fail: upload"); }; }},
        {"a cancel",     [](Installation& i) { i.onUpload = [&i] { i.command()->cancel();
                                                                 throw glb::ESendCancelled::beforeRequestSent(); }; }},
        {"the overlay",  [](Installation& i) { i.host.onMostrarAguarde = [] { throw glb::Error("fail: overlay"); }; }},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ending);
        Installation inst;
        writeFile(inst.financeiro() / "f", "f");
        c.arrange(inst);
        const glb::test::KeepAwakeEvents events;
        std::string whilePacking;
        std::string atTheBox;
        inst.onAdded = [&] { whilePacking = kinds(events); };
        inst.host.onShowInformation = [&] { atTheBox = kinds(events); };
        try {
            inst.run();
        } catch (const glb::Error&) {
        }
        if (c.ending != "the overlay") {
            EXPECT_EQ(whilePacking, "requested");
        }
        EXPECT_EQ(atTheBox, c.ending == "the overlay" || c.ending == "an error" ? "" : "requested released")
            << "a box that waits for the user keeps nothing awake";
        EXPECT_EQ(kinds(events), "requested released");
    }
}

TEST(SendBackupCommand, FailingCleanUpStepNeitherHidesTheErrorNorSkipsTheLaterSteps)
{
    // An error already on its way wins over the clean-up's own.
    Installation failing;
    failing.onUpload = [] { throw glb::Error("fail: upload"); };
    failing.host.onEsconderAguarde = [] { throw glb::Error("overlay would not go"); };
    EXPECT_THROW(
        {
            try {
                failing.run();
            } catch (const glb::Error& e) {
                EXPECT_STREQ(e.what(), "fail: upload");
                throw;
            }
        },
        glb::Error);
    EXPECT_EQ(std::vector<std::string>(failing.host.calls().end() - 4, failing.host.calls().end()), kCleanUp);
    EXPECT_FALSE(fs::exists(failing.staging()));

    // After a good run the clean-up's error is the one reported, once every step has run.
    Installation good;
    good.host.onEsconderAguarde = [] { throw glb::Error("overlay would not go"); };
    EXPECT_THROW(good.run(), glb::Error);
    EXPECT_EQ(std::vector<std::string>(good.host.calls().end() - 4, good.host.calls().end()), kCleanUp);
    EXPECT_FALSE(fs::exists(good.staging()));
}

TEST(SendBackupCommand, AnUnsafeDiretorioEndsTheRunOnlyWhenItsFolderExists)
{
    // Folders that exist in every case: the farm root's "A" and "a/b", the financial folder
    // beside the root (so "../Financeiro" exists), "/etc" (Windows: "/Windows", the system
    // folder at the root of the farm root's drive).
    struct Case
    {
        std::string diretorio;
        std::string message; ///< empty: the row is passed over like any missing folder
        bool makeFolder = false;
    };
    const std::string invalid = "Nome de pasta inválido na tabela de fazendas: ";
    // clang-format off
    const Case cases[] = {
        {"..",                   invalid + "\"..\""},
        {"../Financeiro",        invalid + "\"../Financeiro\""},
        {"a/b",                  invalid + "\"a/b\""},
        {std::string("a\0b", 3), invalid + "\"a\\x00b\""}, // the system reads it as "a"
        {"..\\x",               invalid + "\"..\\x\"", true},
        {"C:",                   invalid + "\"C:\"", true},
        {"\\\\servidor\\c",    ""},
#ifdef _WIN32
        // Windows reads "\" as a separator, "X:" as a drive and drops trailing dots.
        {"/Windows",             invalid + "\"/Windows\""},
        {"..\\Financeiro",      invalid + "\"..\\Financeiro\""},
        {"a\\b",                invalid + "\"a\\b\""},
        {"C:\\Windows",         invalid + "\"C:\\Windows\""},
        {"...",                  invalid + "\"...\""},
        // No Windows folder has a control character in its name, nor one that is not text:
        // such rows name no folder there and are passed over.
        {"F\x01",                ""},
        {"Sede\xC3",             ""},
#else
        {"/etc",                 invalid + "\"/etc\""},
        {"F\x01",                invalid + "\"F\\x01\"", true},  // its archive's name would not reach the service
        {"Sede\xC3",             invalid + "\"Sede\xC3\"", true},  // nor a name that is not UTF-8
        {"..\\Financeiro",      ""},
        {"a\\b",                ""},
        {"C:\\Windows",         ""},
        {"...",                  ""},
#endif
        {"Sumida\x01",           ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.diretorio);
        Installation inst;
        writeFile(inst.raiz() / "A" / "a", "a");
        writeFile(inst.tmp / "Financeiro" / "f", "f");
        fs::create_directories(inst.raiz() / "a" / "b");
        if (c.makeFolder) {
            fs::create_directories(inst.raiz() / glb::pathFromText(c.diretorio));
        }
        inst.rows = {"A", c.diretorio, "A"};
        std::string message;
        try {
            inst.run();
        } catch (const glb::backup::EUnsafeFolderName& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);

        const auto& calls = inst.host.calls();
        const auto opened =
            std::count_if(calls.begin(), calls.end(), [](const std::string& s) { return s.rfind("zip.Open", 0) == 0; });
        if (c.message.empty()) {
            EXPECT_EQ(opened, 2); // "A" (once for its two rows) and the financial folder
            EXPECT_EQ(inst.uploaded.size(), 2U);
        } else {
            EXPECT_EQ(opened, 0); // the whole farm list is checked before anything is packed
            EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()), kCleanUp);
            EXPECT_TRUE(inst.uploaded.empty());
        }
        EXPECT_FALSE(fs::exists(inst.staging()));
        EXPECT_TRUE(fs::exists(inst.tmp / "Financeiro" / "f"));
    }
}

TEST(SendBackupCommand, ArchivesThatWouldShareANameEndTheRunBeforeTheUpload)
{
    struct Case
    {
        std::vector<std::string> rows; ///< each a folder of the farm root
        bool financial;
        std::string message; ///< empty: the backup is sent
    };
    // clang-format off
    const Case cases[] = {
        {{"Financeiro"},     true,  "A pasta \"Financeiro\" da tabela de fazendas daria o arquivo de backup do "
                                    "financeiro, \"BackupFinanceiro.zip\""},
        {{"A", "FINANCEIRO"}, true, "A pasta \"FINANCEIRO\" da tabela de fazendas daria o arquivo de backup do "
                                    "financeiro, \"BackupFinanceiro.zip\""},
        {{"Sede", "SEDE"},   false, "As pastas \"Sede\" e \"SEDE\" da tabela de fazendas dariam o mesmo arquivo de "
                                    "backup \"BackupSEDE.zip\""},
        // Case-insensitive file systems fold accented letters too.
        {{"Açude", "AÇUDE"}, false, "As pastas \"Açude\" e \"AÇUDE\" da tabela de fazendas dariam o mesmo arquivo de "
                                    "backup \"BackupAÇUDE.zip\""},
        {{"Financeiro"},     false, ""}, // no financial folder: no financial archive
        {{"Sede", "Sede"},   true,  ""}, // the same folder, packed again
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Installation inst;
        for (const std::string& row : c.rows) {
            writeFile(inst.raiz() / glb::pathFromText(row) / "x", row);
        }
        // Where the file system folds the two spellings to one name (Windows, and here the
        // farm root of a case-insensitive mount) they are one folder: its archive is packed
        // once and sent, under the name of its first row.
        std::string message = c.message;
        std::map<std::string, std::string> sent;
        if (c.rows.size() == 2 && c.rows[0] != c.rows[1] &&
            fs::equivalent(inst.raiz() / glb::pathFromText(c.rows[0]), inst.raiz() / glb::pathFromText(c.rows[1]))) {
            message.clear();
            sent = {{"Backup" + c.rows[0] + ".zip", "x\n"}};
        }
        if (c.financial) {
            writeFile(inst.financeiro() / "CAIXA.DB", "c");
        }
        inst.rows = c.rows;
        std::string raised;
        try {
            inst.run();
        } catch (const glb::backup::EArchiveNameCollision& e) {
            raised = e.what();
        }
        EXPECT_EQ(raised, message);
        const auto& calls = inst.host.calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "upload(exe/tmpbackupEnviado)"), message.empty() ? 1 : 0);
        if (!sent.empty()) {
            EXPECT_EQ(inst.uploaded, sent);
            EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                    [](const std::string& call) { return call.rfind("zip.Open", 0) == 0; }),
                      1);
        }
        EXPECT_FALSE(fs::exists(inst.staging()));
    }
}

#ifndef _WIN32
// A farm folder or the financial folder that is there but cannot be listed must not go as
// an empty archive: the send ends with the folder's error before anything is uploaded.
TEST(SendBackupCommand, AFolderThatCannotBeListedEndsTheRunBeforeTheUpload)
{
    if (!glb::test::FailingListingFolder::available()) {
        GTEST_SKIP() << glb::test::FailingListingFolder::unavailableReason();
    }
    for (const bool financial : {false, true}) {
        SCOPED_TRACE(financial ? "the financial folder" : "a farm folder");
        Installation inst;
        inst.realWriters = true;
        inst.packingThreads = 2;
        writeFile(inst.raiz() / "A" / "a", "a");
        if (!financial) {
            writeFile(inst.financeiro() / "CAIXA.DB", "c");
        }
        const fs::path quebrada = financial ? inst.financeiro() : inst.raiz() / "Quebrada";
        fs::create_directories(quebrada);
        const glb::test::FailingListingFolder failing(quebrada, 3, -1);
        inst.rows = {"A", "Quebrada", "Sumida"};
        std::string message;
        try {
            inst.run();
        } catch (const glb::EFolderReadError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "Não foi possível ler a pasta \"" + quebrada.string() + "\". Input/output error");
        EXPECT_TRUE(inst.uploaded.empty());
        const auto& calls = inst.host.calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "upload(exe/tmpbackupEnviado)"), 0);
        EXPECT_FALSE(fs::exists(inst.staging()));
    }
}

/// The process's soft limit of open files set to `room` more than it holds now, for the
/// lifetime of the object.
class OpenFileRoom
{
public:
    explicit OpenFileRoom(rlim_t room)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_old);
        rlim_t open = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            ++open;
        }
        rlimit limit = m_old;
        limit.rlim_cur = open + room;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ~OpenFileRoom() { ::setrlimit(RLIMIT_NOFILE, &m_old); }
    OpenFileRoom(const OpenFileRoom&) = delete;
    OpenFileRoom& operator=(const OpenFileRoom&) = delete;

private:
    rlimit m_old{};
};

// The request holds every archive open while it goes out: more than the process may open
// must be told before a single archive is written, not met half-way through the upload.
TEST(SendBackupCommand, MoreArchivesThanTheProcessMayHoldOpenEndTheRunBeforePacking)
{
    Installation inst;
    for (int k = 0; k < 40; ++k) {
        writeFile(inst.raiz() / ("F" + std::to_string(k)) / "x", "x");
        inst.rows.push_back("F" + std::to_string(k));
    }
    writeFile(inst.financeiro() / "CAIXA.DB", "c");
    std::string message;
    {
        const OpenFileRoom room(48);
        try {
            inst.run();
        } catch (const glb::backup::ETooManyArchives& e) {
            message = e.what();
        }
    }
    EXPECT_EQ(message.rfind("São 41 arquivos de backup a enviar, mas o sistema só permite", 0), 0U) << message;
    EXPECT_NE(message.find("; o backup não foi enviado"), std::string::npos) << message;
    const auto& calls = inst.host.calls();
    EXPECT_EQ(
        std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("zip.Open", 0) == 0; }), 0);
    EXPECT_TRUE(inst.uploaded.empty());
    EXPECT_FALSE(fs::exists(inst.staging()));

    // With room for them, the same archives go.
    inst.rows.resize(8);
    const OpenFileRoom room(48);
    inst.run();
    EXPECT_EQ(inst.uploaded.size(), 9U);
}
#endif

TEST(SendBackupCommand, PlainNamesWithDotsOrBlanksAreNoReason)
{
    Installation inst;
    // Windows drops the trailing dots and blanks of a name: there "a.." is the folder "a",
    // and " " the farm root, so no folder has such a name.
#ifdef _WIN32
    for (const char* name : {"a..b", "..a", "Fazenda São João", "."}) {
#else
    for (const char* name : {"a..b", "..a", "a..", "Fazenda São João", ".", " "}) {
#endif
        writeFile(inst.raiz() / glb::pathFromText(name) / "x", "x");
        inst.rows.emplace_back(name);
    }
    inst.rows.emplace_back("Sumida..");
    inst.run();
    EXPECT_EQ(inst.uploaded.count("Backupa..b.zip"), 1U);
    EXPECT_EQ(inst.uploaded.count("Backup..a.zip"), 1U);
    EXPECT_EQ(inst.uploaded.count("BackupFazenda São João.zip"), 1U);
    EXPECT_EQ(inst.uploaded.count("Backup..zip"), 1U); // "." is the farm root itself
}

/// Farm folders with files of the given sizes, half text and half noise, in a fixed pattern.
void writeFarm(const fs::path& folder, const std::vector<std::size_t>& sizes)
{
    fs::create_directories(folder);
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        std::string bytes(sizes[k], '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] =
                i % 2 == 0 ? static_cast<char>('a' + (i / 7 + k) % 26) : static_cast<char>((i * 2654435761U) >> 24);
        }
        writeFile(folder / ("arquivo" + std::to_string(k) + ".dat"), bytes);
    }
}

TEST(SendBackupCommand, ArchivesWrittenSideBySideAreByteForByteTheOnesOneWriterWrites)
{
    struct Case
    {
        const char* what;
        std::vector<std::pair<std::string, std::vector<std::size_t>>> farms; ///< folder, file sizes
        std::vector<std::string> rows;
        std::vector<std::size_t> financeiro; ///< none: no financial folder
    };
    std::vector<std::pair<std::string, std::vector<std::size_t>>> many;
    std::vector<std::string> manyRows;
    for (int k = 0; k < 12; ++k) {
        many.push_back({"F" + std::to_string(k), {100, 5000, 20000}});
        manyRows.push_back("F" + std::to_string(k));
    }
    const Case cases[] = {
        {"many small farms", many, manyRows, {300}},
        {"one large and several small",
         {{"G", {3000000, 70000}}, {"P1", {10}}, {"P2", {0, 9}}, {"P3", {4000}}},
         {"P1", "G", "P2", "P3"},
         {1000, 2000}},
        {"an empty folder", {{"A", {500}}, {"Vazia", {}}, {"B", {600}}}, {"A", "Vazia", "B"}, {}},
        {"a missing folder", {{"A", {500}}, {"B", {600}}}, {"A", "Sumida", "B"}, {700}},
        {"the financial folder alone", {}, {}, {100000, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        inst.realWriters = true;
        for (const auto& [folder, sizes] : c.farms) {
            writeFarm(inst.raiz() / folder, sizes);
        }
        if (!c.financeiro.empty()) {
            writeFarm(inst.financeiro(), c.financeiro);
        }
        inst.rows = c.rows;
        const std::size_t archives = c.farms.size() + (c.financeiro.empty() ? 0 : 1);

        inst.packingThreads = 1;
        inst.run();
        const std::map<std::string, std::string> byOneWriter = inst.uploaded;
        EXPECT_EQ(byOneWriter.size(), archives);

        inst.uploaded.clear();
        const std::size_t before = inst.host.calls().size();
        inst.packingThreads = 4;
        inst.run();
        // Compared whole, not printed: the archives are binary.
        EXPECT_TRUE(inst.uploaded == byOneWriter);
        const auto& calls = inst.host.calls();
        EXPECT_EQ(std::count(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end(), "zip.create"),
                  static_cast<std::ptrdiff_t>(std::clamp<std::size_t>(archives, 1, 4)));
        EXPECT_FALSE(fs::exists(inst.staging()));
    }
}

TEST(SendBackupCommand, TheErrorShownIsTheOnePackingInOrderMeetsFirst)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> failing; ///< farm folders holding a file another program holds
        bool financialFails;
        std::string firstFailing; ///< whose file the message names
    };
    const Case cases[] = {
        {"first", {"F1"}, false, "F1"},
        {"middle", {"F3"}, false, "F3"},
        {"last", {"F5"}, false, "F5"},
        {"two at once", {"F2", "F4"}, false, "F2"},
        {"two, the later large", {"F2", "F5"}, false, "F2"},
        {"the financial folder", {}, true, "Financeiro"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        inst.realWriters = true;
        inst.packingThreads = 4;
        for (int k = 1; k <= 5; ++k) {
            const std::string farm = "F" + std::to_string(k);
            // F2 is the largest, so the later failures are met first in time.
            writeFarm(inst.raiz() / farm, {k == 2 ? std::size_t{4000000} : std::size_t{20000}, 3000});
            inst.rows.push_back(farm);
        }
        writeFarm(inst.financeiro(), {5000});
        std::vector<std::unique_ptr<glb::test::LockingProcess>> holders;
        for (const std::string& farm : c.failing) {
            holders.push_back(std::make_unique<glb::test::LockingProcess>(inst.raiz() / farm / "arquivo1.dat", true));
        }
        if (c.financialFails) {
            holders.push_back(std::make_unique<glb::test::LockingProcess>(inst.financeiro() / "arquivo0.dat", true));
        }
        const fs::path named = c.firstFailing == "Financeiro" ? inst.financeiro() / "arquivo0.dat"
                                                              : inst.raiz() / c.firstFailing / "arquivo1.dat";
        std::string message;
        try {
            inst.run();
        } catch (const glb::EFOpenError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, "Cannot open file \"" + named.string() + "\". " + glb::test::lockedFileText());
        EXPECT_TRUE(inst.uploaded.empty());
        EXPECT_FALSE(fs::exists(inst.staging()));
        EXPECT_TRUE(fs::exists(inst.raiz() / "F2" / "arquivo0.dat")); // the farm data as it was
    }
}

TEST(SendBackupCommand, TheShareOfTheSendGrowsWithTheWorkDoneAndEndsAt100)
{
    Installation inst;
    writeFile(inst.raiz() / "A" / "a", std::string(60000, 'a'));
    writeFile(inst.financeiro() / "c", std::string(40000, 'c'));
    inst.rows = {"A"};
    std::vector<std::optional<int>> shares;
    const auto look = [&inst, &shares] { shares.push_back(inst.host.progress()->percent()); };
    inst.host.onMostrarAguarde = [&look, &inst] {
        if (inst.host.progress() != nullptr) {
            look();
        }
    };
    inst.host.onProcessPendingEvents = look; // while the farm list is read: nothing counted yet
    inst.onAdded = look;
    inst.onUpload = [&inst, &look] {
        // A request of 150,000 bytes, more than expected, goes out in three pieces.
        for (const std::uint64_t sent : {15000U, 75000U, 150000U}) {
            inst.sentTo(sent, 150000);
            look();
        }
    };
    inst.run();

    // Packing counts its 100,000 bytes of files, 4 each, against the 64,000 bytes the request
    // is expected to take, 3 each; then the request's own length counts: the share is held at
    // 67 % until the work done catches up, since it never goes back (445,000 of 850,000 would
    // be 52 %).
    const std::vector<std::optional<int>> expected = {std::nullopt, std::nullopt, 40, 67, 67, 73, 100};
    EXPECT_EQ(shares, expected);
}

TEST(SendBackupCommand, PressWhileRunningStartsNothing)
{
    Installation inst;
    writeFile(inst.raiz() / "A" / "a", "a");
    inst.rows = {"A"};
    bool runningInside = false;
    inst.host.onProcessPendingEvents = [&inst, &runningInside] {
        runningInside = inst.command()->running();
        inst.command()->run();
    };
    inst.host.onProcessEventsUntil = [&inst] { inst.command()->run(); }; // while an archive is written
    inst.onUpload = [&inst] { inst.command()->run(); };
    inst.run();

    EXPECT_TRUE(runningInside);
    const auto& calls = inst.host.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "mostrarAguarde(Enviando Backup)"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "conectadoInternet"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "upload(exe/tmpbackupEnviado)"), 1);
}

TEST(SendBackupCommand, NextPressRunsAgainAfterAnError)
{
    Installation inst;
    inst.host.onMostrarAguarde = [] { throw glb::Error("fail: overlay"); };
    FakeFarmQuery query(inst.host, {});
    SendBackupCommand command(inst.host, query, inst.paths(), inst.probe(), inst.zipFactory(), inst.uploader(),
                              [](std::chrono::milliseconds) {});
    EXPECT_THROW(command.run(), glb::Error);
    EXPECT_FALSE(command.running());
    inst.host.onMostrarAguarde = nullptr;
    command.run();
    const auto& calls = inst.host.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "upload(exe/tmpbackupEnviado)"), 1);
}

} // namespace
