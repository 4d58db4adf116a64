#include "FarmFixtures.h"
#include "backup/Installation.h"
#include "backup/farmlist/FarmList.h"
#include "backup/paradox/DBEngineError.h"
#include "common/Platform.h"
#ifndef _WIN32
#include "tests/support/FifoRelease.h"
#endif
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace glb::backup;
using namespace glb::test;

namespace {

const std::string kSql(kSqlFazendas);
const std::string kSenha(kSenhaTabela);

using Rows = std::vector<std::pair<std::string, std::string>>;

/// The farm loop of a send: close, password, SQL text, open, first, then each row.
Rows runFarmList(FarmQuery& query, const std::string& sql = kSql)
{
    query.close();
    query.addPassword(kSenha);
    query.setSql(sql);
    query.open();
    query.first();
    Rows rows;
    while (!query.eof()) {
        const std::string dir = query.fieldAsText("Diretorio");
        EXPECT_EQ(query.fieldAsText("Diretorio"), dir); // read again: the same value
        rows.emplace_back(query.fieldAsText("Fazenda"), dir);
        query.next();
    }
    return rows;
}

struct Folder
{
    TempDir dir;
    void write(const PxTable& t, const std::string& name = "FAZENDAS.DB") const
    {
        writeFile(dir / name, writeParadoxTable(t));
    }
};

std::string engineMessage(const std::function<void()>& action, unsigned& code)
{
    try {
        action();
    } catch (const EDBEngineError& e) {
        code = e.errorCode();
        return e.what();
    }
    code = 0;
    return "(no error)";
}

PxTable portugueseFarms(int version, int codePage, const std::string& sortOrderName, std::uint8_t sortOrderByte)
{
    PxTable t = farmTable({{std::string("Ouro"), std::string("d1")},
                           {std::string("Órion"), std::string("d2")},
                           {std::string("estância"), std::string("d3")},
                           {std::string("Aurora"), std::string("d4")},
                           {std::string("Éden"), std::string("d5")},
                           {std::string("Ágata"), std::string("d6")},
                           {std::monostate{}, std::string("d7")},
                           {std::string("Agata"), std::string("d8")},
                           {std::string("Zebu"), std::string("d9")},
                           {std::string("Ágata"), std::string("d10")},
                           {std::string("Éden"), std::string("d11")}},
                          version, codePage);
    t.sortOrderName = sortOrderName;
    t.sortOrderByte = sortOrderByte;
    t.rowsPerBlock = 4;
    t.password = kSenha;
    return t;
}

std::vector<std::string> names(const Rows& rows)
{
    std::vector<std::string> out;
    for (const auto& row : rows) {
        out.push_back(row.first + "|" + row.second);
    }
    return out;
}

} // namespace

TEST(FarmList, ListsDiretorioInFazendaOrderWithBlanksAndNullsAsTheyAre)
{
    Folder folder;
    folder.write(farmTable({{std::string("Umbu"), std::string("UMBU  ")},
                            {std::string("Bela Vista"), std::monostate{}},
                            {std::string("Cedro"), std::string("Cedro/Sede")}}));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    const Rows rows = runFarmList(query);
    EXPECT_EQ(rows, (Rows{{"Bela Vista", ""}, {"Cedro", "Cedro/Sede"}, {"Umbu", "UMBU  "}}));
    EXPECT_TRUE(query.eof());
    query.close();
    query.close(); // harmless when closed
    EXPECT_FALSE(query.isOpen());
}

TEST(FarmList, EmptyTableIsAtItsEndAtOnce)
{
    Folder folder;
    folder.write(farmTable({}));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    query.addPassword(kSenha);
    query.setSql(kSql);
    query.open();
    EXPECT_TRUE(query.eof());
    EXPECT_EQ(query.fieldAsText("Diretorio"), "");
}

// Intl-style orders compare the folded name (upper case, no accents), then the raw bytes;
// 'ascii' compares raw bytes, which differ between code pages. Equal names keep table order.
TEST(FarmList, SortsFazendaByTheTablesOwnOrder)
{
    struct Case
    {
        int version;
        int codePage;
        const char* sortName;
        std::uint8_t sortByte;
        std::vector<std::string> expected;
    };
    const std::vector<std::string> folded = {"|d7",      "Agata|d8",    "Ágata|d6", "Ágata|d10", "Aurora|d4", "Éden|d5",
                                             "Éden|d11", "estância|d3", "Órion|d2", "Ouro|d1",   "Zebu|d9"};
    const std::vector<Case> cases = {
        {12, 1252, "ANSIINTL", 0x62, folded},
        {9, 850, "intl850", 0x54, folded},
        {4, 850, "", 0xB7, folded}, // 3.x: no name, the byte decides
        // cp1252: Á=C1 É=C9 Ó=D3 after 'z'; lower case after upper case.
        {12,
         1252,
         "ascii",
         0x00,
         {"|d7", "Agata|d8", "Aurora|d4", "Ouro|d1", "Zebu|d9", "estância|d3", "Ágata|d6", "Ágata|d10", "Éden|d5",
          "Éden|d11", "Órion|d2"}},
        // cp850: É=90 Á=B5 Ó=E0.
        {11,
         850,
         "ascii",
         0x00,
         {"|d7", "Agata|d8", "Aurora|d4", "Ouro|d1", "Zebu|d9", "estância|d3", "Éden|d5", "Éden|d11", "Ágata|d6",
          "Ágata|d10", "Órion|d2"}},
    };
    for (const Case& c : cases) {
        Folder folder;
        folder.write(portugueseFarms(c.version, c.codePage, c.sortName, c.sortByte));
        TQuery query;
        query.setDatabaseName(folder.dir.path());
        EXPECT_EQ(names(runFarmList(query)), c.expected) << c.codePage << " " << c.sortName;
        // SQLite's own sort with the table's collation agrees (descending, reversed).
        const Rows desc =
            runFarmList(query, "SELECT Fazenda,Diretorio FROM FAZENDAS ORDER BY Fazenda DESC, rowid DESC");
        std::vector<std::string> reversed(c.expected.rbegin(), c.expected.rend());
        EXPECT_EQ(names(desc), reversed) << c.codePage << " " << c.sortName;
    }
    // The table delivers the farm query's order itself (stable, which SQLite's sorter does
    // not promise): the plan has no sorting step of SQLite's.
    {
        Folder folder;
        folder.write(portugueseFarms(12, 1252, "ANSIINTL", 0x62));
        TQuery query;
        query.setDatabaseName(folder.dir.path());
        query.setSql("EXPLAIN QUERY PLAN " + kSql);
        query.open();
        for (; !query.eof(); query.next()) {
            EXPECT_EQ(query.fieldAsText("detail").find("B-TREE"), std::string::npos) << query.fieldAsText("detail");
        }
    }
    // Another collation named in the query is SQLite's to apply, not the table's order.
    Folder folder;
    folder.write(portugueseFarms(12, 1252, "ANSIINTL", 0x62));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    EXPECT_EQ(names(runFarmList(query, "SELECT Fazenda,Diretorio FROM FAZENDAS ORDER BY Fazenda COLLATE BINARY")),
              (std::vector<std::string>{"|d7", "Agata|d8", "Aurora|d4", "Ouro|d1", "Zebu|d9", "estância|d3", "Ágata|d6",
                                        "Ágata|d10", "Éden|d5", "Éden|d11", "Órion|d2"}));
}

TEST(FarmList, SecondOpenSeesTheTableAsItIsThenWithoutRestartingTheEngine)
{
    Folder folder;
    folder.write(farmTable({{std::string("Aurora"), std::string("AURORA")}}));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    EXPECT_EQ(runFarmList(query), (Rows{{"Aurora", "AURORA"}}));
    const int starts = TSession::defaultSession().startCount();

    PxTable changed =
        farmTable({{std::string("Cedro"), std::string("CEDRO")}, {std::string("Bela"), std::string("BELA")}});
    changed.password = kSenha;
    folder.write(changed);
    EXPECT_EQ(runFarmList(query), (Rows{{"Bela", "BELA"}, {"Cedro", "CEDRO"}}));
    EXPECT_EQ(TSession::defaultSession().startCount(), starts);
    EXPECT_EQ(starts, 1);
    const auto held = TSession::defaultSession().passwords();
    EXPECT_EQ(std::count(held.begin(), held.end(), kSenha), 1);
}

TEST(FarmList, ResultIsACopyThatOutlivesChangesToTheTable)
{
    Folder folder;
    folder.write(
        farmTable({{std::string("Aurora"), std::string("AURORA")}, {std::string("Bela"), std::string("BELA")}}));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    query.addPassword(kSenha);
    query.setSql(kSql);
    query.open();
    std::filesystem::remove(folder.dir / "FAZENDAS.DB");
    folder.write(farmTable({}));
    EXPECT_EQ(query.fieldAsText("diretorio"), "AURORA"); // names match ignoring case
    query.next();
    EXPECT_EQ(query.fieldAsText("Diretorio"), "BELA");
    query.next();
    EXPECT_TRUE(query.eof());
    EXPECT_EQ(query.fieldAsText("Diretorio"), "BELA"); // past the end: the last row stays current
}

TEST(FarmList, ReadsATableThatAnotherProgramHoldsOpenForWriting)
{
    Folder folder;
    folder.write(farmTable({{std::string("Aurora"), std::string("AURORA")}}));
    int code = 0;
#ifdef _WIN32
    // As the product's engine holds it on Windows: open, sharing reads and writes.
    const auto sharing = glb::platform::Sharing::ReadWrite;
#else
    const auto sharing = glb::platform::Sharing::Exclusive; // an exclusive flock
#endif
    const glb::platform::File held =
        glb::platform::File::open(folder.dir / "FAZENDAS.DB", glb::platform::OpenMode::Read, sharing, code);
    ASSERT_TRUE(held.isOpen());
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    EXPECT_EQ(runFarmList(query), (Rows{{"Aurora", "AURORA"}}));
}

TEST(FarmList, FindsTheTableFileWhateverTheCaseOfItsName)
{
    Folder folder;
    folder.write(farmTable({{std::string("Aurora"), std::string("AURORA")}}), "fazendas.db");
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    EXPECT_EQ(runFarmList(query), (Rows{{"Aurora", "AURORA"}}));
}

TEST(FarmList, ProtectedTableOpensWithThePasswordAndFailsWithAnother)
{
    Folder folder;
    PxTable t = farmTable({{std::string("Aurora"), std::string("AURORA")}});
    t.password = kSenha;
    folder.write(t);
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    EXPECT_EQ(runFarmList(query), (Rows{{"Aurora", "AURORA"}}));

    t.password = "outrasenha";
    folder.write(t);
    unsigned code = 0;
    const std::string message = engineMessage([&] { runFarmList(query); }, code);
    EXPECT_EQ(code, dbcode::kNoTableRights);
    EXPECT_EQ(message,
              "Insufficient rights to read the table: it is protected and no valid password was given.\r\nFile: " +
                  glb::pathText(folder.dir / "FAZENDAS.DB"));
    EXPECT_FALSE(query.isOpen());
}

TEST(FarmList, FailuresAreEngineErrorsNamingWhatFailed)
{
    Folder folder;
    const std::string folderText = glb::pathText(folder.dir.path());
    const std::string fileText = glb::pathText(folder.dir / "FAZENDAS.DB");
    struct Case
    {
        const char* name;
        std::function<void()> prepare;
        std::filesystem::path location;
        std::string sql;
        unsigned code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"MissingTable", [] {}, folder.dir.path(), kSql, dbcode::kNoSuchTable,
         "The table does not exist.\r\nTable: FAZENDAS\r\nFolder: " + folderText},
        {"MissingFolder", [] {}, folder.dir / "nada", kSql, dbcode::kFolderUnusable,
         "The database folder cannot be used.\r\nFolder: " + glb::pathText(folder.dir / "nada") +
             "\r\nNo such file or directory"},
        {"TruncatedFile", [&] { writeFile(folder.dir / "FAZENDAS.DB", std::string(0x30, '\0')); }, folder.dir.path(),
         kSql, dbcode::kCorruptTable,
         "The table file is corrupt.\r\nFile: " + fileText + "\r\nThe file is too short for a table header."},
        {"UnknownColumn", [&] { folder.write(farmTable({})); }, folder.dir.path(), "SELECT Fazenda,Pasta FROM FAZENDAS",
         dbcode::kQueryRejected, "The query cannot be run.\r\nno such column: Pasta"},
        {"MisspeltQuotedColumn", [] {}, folder.dir.path(), "SELECT Fazenda,\"Diretoro\" FROM FAZENDAS",
         dbcode::kQueryRejected, "The query cannot be run.\r\nno such column: Diretoro"},
        {"SyntaxError", [] {}, folder.dir.path(), "SELECT Fazenda FORM FAZENDAS", dbcode::kQueryRejected,
         "The query cannot be run.\r\nnear \"FAZENDAS\": syntax error"},
        {"Writes", [] {}, folder.dir.path(), "DELETE FROM FAZENDAS", dbcode::kQueryRejected,
         "The query cannot be run.\r\ntable FAZENDAS may not be modified"},
        {"TwoStatements", [] {}, folder.dir.path(), kSql + "; DELETE FROM FAZENDAS", dbcode::kQueryRejected,
         "The query cannot be run.\r\nThe query text holds more than one statement."},
        {"AttachesAFile", [] {}, folder.dir.path(), "ATTACH '" + glb::pathText(folder.dir / "novo.db") + "' AS x",
         dbcode::kQueryRejected, "The query cannot be run.\r\ntoo many attached databases - max 0"},
        {"EmptyText", [] {}, folder.dir.path(), "  ", dbcode::kQueryRejected,
         "The query cannot be run.\r\nThe query text is empty."},
    };
    for (const Case& c : cases) {
        c.prepare();
        TQuery query;
        query.setDatabaseName(c.location);
        query.addPassword(kSenha);
        query.setSql(c.sql);
        unsigned code = 0;
        EXPECT_EQ(engineMessage([&] { query.open(); }, code), c.message) << c.name;
        EXPECT_EQ(code, c.code) << c.name;
        EXPECT_FALSE(query.isOpen()) << c.name;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.dir / "novo.db"));
    EXPECT_EQ(glb::test::readFile(folder.dir / "FAZENDAS.DB"), writeParadoxTable(farmTable({})));
}

#ifndef _WIN32 // permission bits and FIFOs are Linux's; a table held by another program is
               // tested on both (the engine's share modes)
TEST(FarmList, UnreadableTableFileIsAnEngineErrorWithTheSystemText)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "permission bits do not stop root";
    }
    Folder folder;
    folder.write(farmTable({}));
    chmod((folder.dir / "FAZENDAS.DB").c_str(), 0);
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    query.setSql(kSql);
    unsigned code = 0;
    EXPECT_EQ(engineMessage([&] { query.open(); }, code), "The table file cannot be opened.\r\nCannot open file \"" +
                                                              glb::pathText(folder.dir / "FAZENDAS.DB") +
                                                              "\". Permission denied");
}

// A FIFO in the table's place would hold the open for ever, waiting for a writer.
TEST(FarmList, TableThatIsNoFileIsRefusedWithoutWaiting)
{
    Folder folder;
    const std::filesystem::path table = folder.dir / "FAZENDAS.DB";
    ASSERT_EQ(mkfifo(table.c_str(), 0600), 0);
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    query.setSql(kSql);
    FifoRelease release(table);
    unsigned code = 0;
    EXPECT_EQ(engineMessage([&] { query.open(); }, code), "The table file cannot be opened.\r\nCannot open file \"" +
                                                              glb::pathText(table) + "\". Não é um arquivo comum");
    EXPECT_EQ(code, dbcode::kFileOpen);
    EXPECT_FALSE(release.stop()) << "the open waited for a writer";
}

#endif

TEST(FarmList, SettingTheSqlTextClosesTheQuery)
{
    Folder folder;
    folder.write(farmTable({{std::string("Aurora"), std::string("AURORA")}}));
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    runFarmList(query);
    query.setSql(kSql);
    EXPECT_FALSE(query.isOpen());
    EXPECT_TRUE(query.eof());
    unsigned code = 0;
    engineMessage([&] { query.fieldAsText("Diretorio"); }, code);
    EXPECT_EQ(code, dbcode::kNoSuchField);
}

TEST(FarmList, QueriesSeeEveryFieldOfTheTable)
{
    Folder folder;
    PxTable t = farmTable({{std::string("Aurora"), std::string("AURORA")}, {std::string("Bela"), std::string("BELA")}});
    t.fields.push_back({"Área Útil", 0x06, 8});
    t.fields.push_back({"Desde", 0x02, 4});
    t.rows[0].insert(t.rows[0].end(), {12.5, std::int64_t{736695}});
    t.rows[1].insert(t.rows[1].end(), {std::monostate{}, std::monostate{}});
    folder.write(t);
    TQuery query;
    query.setDatabaseName(folder.dir.path());
    const Rows rows = runFarmList(
        query, "SELECT Fazenda, \"ÁrEA ÚtIL\" || '/' || Desde AS Diretorio FROM fazendas WHERE Desde IS NOT NULL");
    EXPECT_EQ(rows, (Rows{{"Aurora", "12.5/2018-01-01"}}));
}
