#include "backup/folders/FolderRoutines.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#ifndef _WIN32
#include "tests/support/FailingListing.h"
#endif
#include "tests/support/Links.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using glb::archive::TZipCompression;
using glb::archive::TZipFile;
using glb::backup::ApagarDiretorio;
using glb::backup::CompactarPasta;
using glb::backup::RemoverPastaEnvio;
using glb::test::TempDir;
using glb::test::writeFile;

struct AddCall
{
    std::string fileName;
    std::string archiveFileName;
    TZipCompression compression;
};

/// Makes a link to `target`; false when it could not be made.
bool makeLink(const fs::path& target, const fs::path& link)
{
    std::error_code ec;
    if (fs::is_directory(target)) {
        fs::create_directory_symlink(target, link, ec);
    } else {
        fs::create_symlink(target, link, ec);
    }
    return !ec;
}

/// Records what CompactarPasta hands to the writer; optionally fails on the n-th Add.
class RecordingZip : public TZipFile
{
public:
    void Open(const fs::path&, glb::archive::TZipMode) override {}
    void Add(const fs::path& fileName, const std::string& archiveFileName, TZipCompression compression) override
    {
        if (++m_count == failOnAdd) {
            throw glb::EFOpenError::forPath(fileName, EBUSY);
        }
        adds.push_back({fileName.string(), archiveFileName, compression});
    }
    void Close() override {}

    std::set<std::string> names() const
    {
        std::set<std::string> result;
        for (const auto& add : adds) {
            result.insert(fs::path(add.fileName).filename().string());
        }
        return result;
    }

    std::vector<AddCall> adds;
    int failOnAdd = 0;

private:
    int m_count = 0;
};

TEST(CompactarPasta, AddsOnlyThePlainFilesDirectlyInsideWithTheirFullPaths)
{
    TempDir tmp;
    const fs::path pasta = tmp / "Fazenda1";
    writeFile(pasta / "DADOS.DB", "d");
    writeFile(pasta / ".oculto", "h");
    writeFile(pasta / "sub" / "dentro.txt", "nested");
    writeFile(tmp / "fora" / "alheio.txt", "outside");
    std::set<std::string> expected{"DADOS.DB", ".oculto"};
    // Where links can be made: one to a folder leaves no trace, one to a file is packed.
    const bool linked = makeLink(tmp / "fora", pasta / "link-para-pasta") &&
                        makeLink(tmp / "fora" / "alheio.txt", pasta / "link-para-arquivo");
    if (linked) {
        expected.insert("link-para-arquivo");
    }
#ifndef _WIN32
    ASSERT_TRUE(linked);
    // Opening a pipe would block the run for ever.
    ASSERT_EQ(mkfifo((pasta / "fila").c_str(), 0600), 0);
#endif

    RecordingZip zip;
    CompactarPasta(zip, pasta);

    EXPECT_EQ(zip.names(), expected);
    for (const auto& add : zip.adds) {
        EXPECT_EQ(fs::path(add.fileName).parent_path(), pasta);
        EXPECT_EQ(add.archiveFileName, "");
        EXPECT_EQ(add.compression, TZipCompression::zcDeflate);
    }
}

TEST(CompactarPasta, FolderGivenWithTrailingSeparatorGivesSingleSeparators)
{
    TempDir tmp;
    writeFile(tmp / "raiz" / "a.txt", "a");
    RecordingZip zip;
    CompactarPasta(zip, tmp.path().string() + "/raiz/");
    ASSERT_EQ(zip.adds.size(), 1U);
    EXPECT_EQ(zip.adds[0].fileName, tmp.path().string() + "/raiz/a.txt");
}

TEST(CompactarPasta, EmptyOrMissingFolderAddsNothing)
{
    TempDir tmp;
    fs::create_directory(tmp / "vazia");
    RecordingZip zip;
    CompactarPasta(zip, tmp / "vazia");
    CompactarPasta(zip, tmp / "nao-existe");
    EXPECT_TRUE(zip.adds.empty());
}

TEST(CompactarPasta, WriterErrorPassesThroughUnchanged)
{
    TempDir tmp;
    writeFile(tmp / "p" / "a", "a");
    writeFile(tmp / "p" / "b", "b");
    RecordingZip zip;
    zip.failOnAdd = 2;
    try {
        CompactarPasta(zip, tmp / "p");
        FAIL() << "no error";
    } catch (const glb::EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + (tmp / "p" / "").string()), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(zip.adds.size(), 1U);
}

TEST(ApagarDiretorio, DeletesANestedTree)
{
    TempDir tmp;
    const fs::path raiz = tmp / "arvore";
    writeFile(raiz / "a.txt", "a");
    writeFile(raiz / ".oculto", "h");
    writeFile(raiz / "um" / "dois" / "tres" / "b.txt", "b");
    fs::create_directories(raiz / "vazia");

    EXPECT_TRUE(ApagarDiretorio(raiz));
    EXPECT_FALSE(fs::exists(fs::symlink_status(raiz)));
    EXPECT_TRUE(fs::exists(tmp.path()));
}

TEST(ApagarDiretorio, MissingFolderGivesFalse)
{
    TempDir tmp;
    EXPECT_FALSE(ApagarDiretorio(tmp / "nao-existe"));
    writeFile(tmp / "arquivo", "not a folder");
    EXPECT_FALSE(ApagarDiretorio(tmp / "arquivo"));
    EXPECT_TRUE(fs::exists(tmp / "arquivo"));
}

TEST(ApagarDiretorio, StopsAtTheFirstEntryThatCannotBeDeleted)
{
    TempDir tmp;
    const fs::path raiz = tmp / "arvore";
    for (const char* name : {"1", "2", "3", "4"}) {
        writeFile(raiz / name, name);
    }
    std::vector<fs::path> tried;
    const auto failSecond = [&tried](const fs::path& arquivo) {
        tried.push_back(arquivo);
        return tried.size() == 1 && fs::remove(arquivo);
    };

    EXPECT_FALSE(ApagarDiretorio(raiz, failSecond));

    ASSERT_EQ(tried.size(), 2U); // nothing after the failing entry is tried
    EXPECT_FALSE(fs::exists(tried[0]));
    std::size_t left = 0;
    for (const auto& entry : fs::directory_iterator(raiz)) {
        EXPECT_NE(entry.path(), tried[0]);
        ++left;
    }
    EXPECT_EQ(left, 3U);
}

TEST(ApagarDiretorio, FailureInsideASubfolderKeepsEveryFolderAbove)
{
    TempDir tmp;
    const fs::path raiz = tmp / "arvore";
    writeFile(raiz / "sub" / "preso", "x");
    EXPECT_FALSE(ApagarDiretorio(raiz, [](const fs::path&) { return false; }));
    EXPECT_TRUE(fs::exists(raiz / "sub" / "preso"));
}

TEST(ApagarDiretorio, RemovesLinksWithoutFollowingThem)
{
    TempDir tmp;
    writeFile(tmp / "fora" / "precioso.txt", "keep me");
    const fs::path raiz = tmp / "arvore";
    writeFile(raiz / "sub" / "a.txt", "a");
    if (const std::string noLinks = glb::test::symlinkUnsupported(tmp.path()); !noLinks.empty()) {
        GTEST_SKIP() << noLinks;
    }
    ASSERT_TRUE(makeLink(tmp / "fora", raiz / "link-para-fora"));
    ASSERT_TRUE(makeLink(tmp / "fora", raiz / "sub" / "link-aninhado"));
    ASSERT_TRUE(makeLink(tmp / "sumiu", raiz / "link-quebrado"));

    EXPECT_TRUE(ApagarDiretorio(raiz));
    EXPECT_FALSE(fs::exists(fs::symlink_status(raiz)));
    EXPECT_EQ(glb::test::readFile(tmp / "fora" / "precioso.txt"), "keep me");
}

TEST(ApagarDiretorio, FolderThatIsItselfALinkLosesOnlyTheLink)
{
    TempDir tmp;
    writeFile(tmp / "fora" / "precioso.txt", "keep me");
    if (const std::string noLinks = glb::test::symlinkUnsupported(tmp.path()); !noLinks.empty()) {
        GTEST_SKIP() << noLinks;
    }
    ASSERT_TRUE(makeLink(tmp / "fora", tmp / "link"));
    ASSERT_TRUE(makeLink(tmp / "sumiu", tmp / "quebrado"));

    EXPECT_TRUE(ApagarDiretorio(tmp / "link"));
    EXPECT_TRUE(ApagarDiretorio(tmp / "quebrado"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "quebrado")));
    EXPECT_EQ(glb::test::readFile(tmp / "fora" / "precioso.txt"), "keep me");
}

#ifndef _WIN32
// A listing that breaks off (a damaged disk, a network folder that goes away) must not pass
// for a folder that ends there: neither a shorter archive nor a tree taken for deleted.
TEST(FolderRoutines, ListingThatFailsPartWayRaisesNamingTheFolder)
{
    if (!glb::test::FailingListingFolder::available()) {
        GTEST_SKIP() << glb::test::FailingListingFolder::unavailableReason();
    }
    TempDir tmp;
    const fs::path pasta = tmp / "arvore" / "Fazenda1";
    fs::create_directories(pasta);
    const glb::test::FailingListingFolder failing(pasta, 600, 408);
    const std::string expected = "Não foi possível ler a pasta \"" + pasta.string() + "\". Input/output error";

    TZipFile zip;
    zip.Open(tmp / "Backup1.zip", glb::archive::TZipMode::zmWrite);
    try {
        CompactarPasta(zip, pasta);
        ADD_FAILURE() << "packed " << zip.Files().size() << " files and called it the whole folder";
    } catch (const glb::EFolderReadError& e) {
        EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_EQ(zip.Files().size(), 408U); // what was listed before the failure went in
    zip.Close();

    try {
        ApagarDiretorio(tmp / "arvore");
        ADD_FAILURE() << "no error for a listing that broke off";
    } catch (const glb::EFolderReadError& e) {
        EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_TRUE(fs::is_directory(tmp / "arvore"));
}

// A folder that is there but cannot be opened (a damaged disk, no rights) is not an empty
// folder: packing it raises, while a folder that is not there still adds nothing.
TEST(FolderRoutines, FolderThatExistsButCannotBeOpenedRaisesAndAMissingOneAddsNothing)
{
    if (!glb::test::FailingListingFolder::available()) {
        GTEST_SKIP() << glb::test::FailingListingFolder::unavailableReason();
    }
    TempDir tmp;
    const fs::path pasta = tmp / "Fazenda1";
    fs::create_directories(pasta);
    const glb::test::FailingListingFolder failing(pasta, 3, -1);

    TZipFile zip;
    zip.Open(tmp / "Backup1.zip", glb::archive::TZipMode::zmWrite);
    try {
        CompactarPasta(zip, pasta);
        ADD_FAILURE() << "a folder that cannot be opened packed as an empty one";
    } catch (const glb::EFolderReadError& e) {
        EXPECT_EQ(std::string(e.what()), "Não foi possível ler a pasta \"" + pasta.string() + "\". Input/output error");
    }
    CompactarPasta(zip, tmp / "sumiu");
    EXPECT_TRUE(zip.Files().empty());
    zip.Close();
}
#endif

TEST(RemoverPastaEnvio, RemovesTheNamedFolderBesideTheProgramOnly)
{
    TempDir tmp;
    writeFile(tmp / "tmpbackupEnviado" / "Backup1.zip", "z");
    writeFile(tmp / "tmpbackupEnviado" / "sobra" / "x", "x");
    writeFile(tmp / "BackupGlebarium", "program");

    RemoverPastaEnvio("tmpbackupEnviado", tmp.path());
    EXPECT_FALSE(fs::exists(tmp / "tmpbackupEnviado"));
    EXPECT_TRUE(fs::exists(tmp / "BackupGlebarium"));

    RemoverPastaEnvio("tmpbackupEnviado", tmp.path()); // nothing left: silent
}

} // namespace
