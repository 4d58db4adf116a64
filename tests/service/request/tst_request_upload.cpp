// The upload call: what it reads from the staging folder, what it sends and when.

#include "RequestDoubles.h"
#include "service/Base64.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/support/FailingListing.h"
#include "tests/support/LockingProcess.h"
#include "tests/support/SystemText.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace glb::service;
using glb::test::EventLog;
using glb::test::FakePort;
using glb::test::RecordingPump;
using glb::test::TempDir;
using glb::test::writeFile;

namespace {

struct Upload
{
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::shared_ptr<std::vector<FakePort::Call>> calls = std::make_shared<std::vector<FakePort::Call>>();
    RecordingPump events{log};
    std::string nome = "Ana";
    std::string cpf = "123";
    std::string reply = "Backup recebido";
    bool fail = false;
    int portsMade = 0;
    std::thread::id portThread;

    std::string run(const std::filesystem::path& pasta)
    {
        return EnviarArquivos(pasta, nome, cpf, events, [this] {
            ++portsMade;
            portThread = std::this_thread::get_id();
            log->push_back("port made");
            return std::make_shared<FakePort>(log, calls, reply, fail);
        });
    }
};

std::string patternBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return bytes;
}

TEST(EnviarArquivos, SendsEveryPlainFileInListingOrder)
{
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files = {{"Fazenda Boa Vista.zip", patternBytes(58, 1)},
                                                                    {"Financeiro.zip", patternBytes(57, 2)},
                                                                    {"vazio.zip", ""},
                                                                    {".oculto", "x"},
                                                                    {"Jo\xC3\xA3o.zip", patternBytes(5000, 3)}};
    for (const auto& [name, content] : files)
        writeFile(dir / name, content);
    writeFile(dir / "sub" / "inner.zip", "not sent");

    Upload upload;
    upload.nome = "  Ana Maria ";
    upload.cpf = " 123.456.789-09";
    EXPECT_EQ(upload.run(dir.path()), "Backup recebido");

    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.is_directory())
            continue;
        const std::string name = entry.path().filename().string();
        const auto file = std::find_if(files.begin(), files.end(), [&](const auto& f) { return f.first == name; });
        ASSERT_NE(file, files.end()) << name;
        expected.emplace_back(name, encodeBase64(file->second));
    }
    ASSERT_EQ(upload.calls->size(), 1U);
    const FakePort::Call& call = upload.calls->front();
    EXPECT_EQ(call.nome, "  Ana Maria ");
    EXPECT_EQ(call.cpf, " 123.456.789-09");
    EXPECT_EQ(call.records, expected);
    // The proxy is made, called and released on a worker thread, and gone when the reply is back.
    EXPECT_EQ(*upload.log, (EventLog{"events", "events", "port made", "UploadBackup", "port destroyed"}));
    EXPECT_EQ(upload.events.waits, 1);
    EXPECT_NE(upload.portThread, std::this_thread::get_id());
}

TEST(EnviarArquivos, OnlyPlainFilesGoNeverThroughALinkNorFromAFifo)
{
    TempDir outside;
    writeFile(outside / "segredo.txt", "never uploaded");
    TempDir dir;
    writeFile(dir / "BackupA.zip", "PK");
    std::filesystem::create_symlink(outside / "segredo.txt", dir / "BackupB.zip");
    std::filesystem::create_symlink(outside / "none.txt", dir / "BackupC.zip");
    std::filesystem::create_directory_symlink(outside.path(), dir / "BackupD.zip");
#ifndef _WIN32 // FIFOs are Linux's
    ASSERT_EQ(::mkfifo((dir / "BackupE.zip").c_str(), 0600), 0);
#endif

    Upload upload;
    upload.run(dir.path()); // a FIFO opened for reading would wait here for ever
    ASSERT_EQ(upload.calls->size(), 1U);
    EXPECT_EQ(upload.calls->front().records,
              (std::vector<std::pair<std::string, std::string>>{{"BackupA.zip", encodeBase64("PK")}}));
}

TEST(EnviarArquivos, AListingThatBreaksOffSendsNothing)
{
    if (!glb::test::FailingListingFolder::available()) {
        GTEST_SKIP() << "no /dev/fuse on this machine";
    }
    // Broken off part-way, or the folder is there but cannot be opened at all.
    for (const int failAfter : {408, -1}) {
        SCOPED_TRACE(failAfter);
        TempDir dir;
        std::filesystem::create_directories(dir / "tmpbackupEnviado");
        const glb::test::FailingListingFolder staging(dir / "tmpbackupEnviado", 600, failAfter);
        Upload upload;
        try {
            upload.run(staging.path());
            ADD_FAILURE() << "a folder that cannot be listed whole must raise";
        } catch (const glb::EFolderReadError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Não foi possível ler a pasta \"" + staging.path().string() + "\". Input/output error");
        }
        EXPECT_EQ(upload.portsMade, 0);
        EXPECT_TRUE(upload.calls->empty());
    }
}

TEST(EnviarArquivos, AnEmptyOrMissingFolderStillCallsTheService)
{
    TempDir dir;
    for (const auto& pasta : {dir.path(), dir / "missing"}) {
        SCOPED_TRACE(pasta.string());
        Upload upload;
        upload.reply = "";
        EXPECT_EQ(upload.run(pasta), "");
        ASSERT_EQ(upload.calls->size(), 1U);
        EXPECT_TRUE(upload.calls->front().records.empty());
    }
}

TEST(EnviarArquivos, AFailedCallShowsNothingAndReleasesTheProxy)
{
    TempDir dir;
    writeFile(dir / "a.zip", "abc");
    Upload upload;
    upload.fail = true;
    EXPECT_THROW(upload.run(dir.path()), glb::Error);
    EXPECT_EQ(*upload.log, (EventLog{"events", "events", "port made", "UploadBackup", "port destroyed"}));
}

TEST(EnviarArquivos, AFileLockedByAnotherProgramStopsTheUploadBeforeAnythingIsSent)
{
    TempDir dir;
    writeFile(dir / "a.zip", "first");
    const auto locked = dir / "Fazenda.zip";
    writeFile(locked, "data");
    const glb::test::LockingProcess child(locked, true);

    RegisterBackupGlebariumTypes();
    auto log = std::make_shared<EventLog>();
    RecordingPump events(log);
    glb::test::FakeTransport* transport = nullptr;
    try {
        EnviarArquivos(dir.path(), "Ana", "123", events, [&] {
            return GetBackupGlebariumPort(false, "", nullptr, [&]() -> std::unique_ptr<HttpTransport> {
                auto made = std::make_unique<glb::test::FakeTransport>(log, "");
                transport = made.get();
                return made;
            });
        });
        FAIL() << "a locked file must stop the upload";
    } catch (const glb::EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + locked.string() + "\". " + glb::test::lockedFileText());
    }
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(std::count(log->begin(), log->end(), "execute"), 0);
    EXPECT_EQ(log->back(), "transport destroyed");
}

TEST(ArquivoParaBase64, ReadsTheWholeFileInPieces)
{
    TempDir dir;
    // Larger than one read, and not a multiple of the piece size.
    const std::string content = patternBytes(3 * 65536 * 2 + 100, 7);
    writeFile(dir / "big.zip", content);
    EXPECT_EQ(ArquivoParaBase64(dir / "big.zip"), encodeBase64(content));

    try {
        ArquivoParaBase64(dir / "none.zip");
        FAIL() << "a missing file must raise";
    } catch (const glb::EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + (dir / "none.zip").string() + "\". No such file or directory");
    }
}

} // namespace
