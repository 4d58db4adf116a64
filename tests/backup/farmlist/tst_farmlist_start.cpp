#include "backup/Installation.h"
#include "backup/farmlist/FarmList.h"
#include "backup/farmlist/testing/FarmListTesting.h"
#include "backup/paradox/DBEngineError.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace glb::backup;

// The engine starts at the first password of the process; a failed start leaves it
// stopped and the next use tries again. (A process of its own: the session is process-wide.)
TEST(FarmListStart, FailedStartIsReportedAndRetriedOnNextUse)
{
    TSession& session = TSession::defaultSession();
    ASSERT_FALSE(session.started());
    failSessionStarts(0x2108);
    TQuery query;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            query.addPassword(std::string(kSenhaTabela));
            ADD_FAILURE() << "the engine started";
        } catch (const glb::backup::EDBEngineError& e) {
            EXPECT_STREQ(e.what(),
                         "An error occurred while attempting to initialize the Database Engine (error $2108)");
            EXPECT_EQ(e.errorCode(), 0x2108U);
        }
        EXPECT_FALSE(session.started());
    }
    EXPECT_TRUE(session.passwords().empty());
    failSessionStarts(0);
    query.addPassword(std::string(kSenhaTabela));
    EXPECT_TRUE(session.started());
    EXPECT_EQ(session.startCount(), 1);
    query.addPassword(std::string(kSenhaTabela));
    EXPECT_EQ(session.startCount(), 1);
    EXPECT_EQ(session.passwords().size(), 1U);
}

// The session keeps the first 255 characters of a password (an accented letter is one), so
// two passwords that differ only beyond them are one.
TEST(FarmListStart, SessionKeepsTheFirst255CharactersOfAPassword)
{
    TSession& session = TSession::defaultSession();
    const std::string first255 = std::string(254, 'a') + "\xC3\xA3"; // 254 letters and "ã"
    session.addPassword(first255 + "\xC3\xA9xyz");
    session.addPassword(first255 + "other tail");
    session.addPassword("curta");
    const std::vector<std::string> held = session.passwords();
    EXPECT_EQ(std::count(held.begin(), held.end(), first255), 1);
    EXPECT_EQ(std::count(held.begin(), held.end(), std::string("curta")), 1);
    for (const std::string& password : held) {
        EXPECT_LE(password.size(), first255.size());
    }
}
