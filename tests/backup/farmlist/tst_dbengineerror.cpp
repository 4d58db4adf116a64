#include "backup/paradox/DBEngineError.h"

#include <gtest/gtest.h>

using namespace glb::backup;

namespace {

struct MessageCase
{
    const char* name;
    unsigned code;
    std::vector<DBContext> contexts;
    const char* expected;
};

} // namespace

class DBEngineMessage : public ::testing::TestWithParam<MessageCase>
{
};

TEST_P(DBEngineMessage, FollowsTheEngineRules)
{
    const MessageCase& c = GetParam();
    EXPECT_EQ(dbEngineMessage(c.code, c.contexts), c.expected);
    EXPECT_STREQ(EDBEngineError::fromEngine(c.code, c.contexts).what(), c.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, DBEngineMessage, ::testing::Values(
    MessageCase{"CodeTextAlone", dbcode::kNoSuchTable, {}, "The table does not exist."},
    MessageCase{"ContextsFollowInOrder", dbcode::kNoSuchTable,
        {{dbcode::kNoSuchTable, 0, "Table: FAZENDAS"}, {0, 0, "Folder: /dados"}},
        "The table does not exist.\r\nTable: FAZENDAS\r\nFolder: /dados"},
    MessageCase{"FurtherCodeTextWithoutNativeCode", dbcode::kQueryRejected,
        {{dbcode::kNoSuchField, 0, "Field: X"}},
        "The query cannot be run.\r\nThe field does not exist in the result.\r\nField: X"},
    MessageCase{"NativeCodeLeavesOutTheCodeText", dbcode::kFileOpen,
        {{dbcode::kFileRead, 13, "Cannot open file \"/x\". Permission denied"}},
        "The table file cannot be opened.\r\nCannot open file \"/x\". Permission denied"},
    MessageCase{"DistinctLinesOnceIgnoringCase", dbcode::kCorruptTable,
        {{0, 0, "the TABLE file is corrupt."}, {0, 0, "File: A\r\nfile: a\nFile: B"}},
        "The table file is corrupt.\r\nFile: A\r\nFile: B"},
    MessageCase{"TrimmedAndNoEmptyLines", dbcode::kCorruptTable, {{0, 0, "  \t File: A  \r\n\r\n  \n"}},
        "The table file is corrupt.\r\nFile: A"},
    MessageCase{"ContextOnlyCode", dbcode::kContextOnly,
        {{dbcode::kNoSuchTable, 0, "near \"FORM\": syntax error"}, {dbcode::kQueryRejected, 0, "Line 1"}},
        "near \"FORM\": syntax error\r\nLine 1"},
    MessageCase{"NoTextAtAll", 0xABCD, {}, "Engine error $ABCD"},
    MessageCase{"NoTextFourDigits", 0x2A, {{0x2B, 0, "  "}}, "Engine error $002A"},
    MessageCase{"ContextOnlyWithoutContexts", dbcode::kContextOnly, {}, "Engine error $2EC4"}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

TEST(DBEngineError, CarriesItsEntries)
{
    const EDBEngineError e = EDBEngineError::fromEngine(dbcode::kFileOpen, {{dbcode::kFileOpen, 2, "No such file"}});
    EXPECT_EQ(e.errorCode(), dbcode::kFileOpen);
    ASSERT_EQ(e.errors().size(), 2U);
    EXPECT_EQ(e.errors()[0].message, "The table file cannot be opened.");
    EXPECT_EQ(e.errors()[1].errorCode, dbcode::kFileOpen);
    EXPECT_EQ(e.errors()[1].nativeError, 2);
    EXPECT_EQ(e.errors()[1].message, "No such file");
    const EDBEngineError copy = e; // copies share, never throw
    EXPECT_EQ(&copy.errors(), &e.errors());
}

TEST(DBEngineError, DuringTheStartEveryErrorIsTheStartFailure)
{
    EXPECT_STREQ(EDBEngineError::startFailure(dbcode::kLibraryMissing).what(),
                 "An error occurred while attempting to initialize the Database Engine (error $2108)");
    EXPECT_STREQ(EDBEngineError::fromEngine(0x2ec4, {{0, 0, "x"}}, false).what(),
                 "An error occurred while attempting to initialize the Database Engine (error $2EC4)");
    EXPECT_STREQ(EDBEngineError::fromEngine(dbcode::kNotInitialized, {}, false).what(),
                 "The database engine is not initialized.");
}
