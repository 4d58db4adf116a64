// One send at a time per staging folder: the lock is refused while another holder has it and
// freed by the system when that holder dies.

#include "common/UseLock.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using glb::platform::UseLock;

TEST(UseLock, OneHolderAtATime)
{
    glb::test::TempDir dir;
    const auto staging = dir / "tmpbackupEnviado"; // need not exist
    {
        const UseLock first(staging);
        EXPECT_EQ(first.state(), UseLock::State::Held);
        const UseLock second(staging);
        EXPECT_EQ(second.state(), UseLock::State::Busy);
    }
    EXPECT_EQ(UseLock(staging).state(), UseLock::State::Held);
    EXPECT_EQ(UseLock(dir / "missing" / "tmpbackupEnviado").state(), UseLock::State::Unavailable);
    // Nothing is left beside the program once the lock is released.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 0);
}

#ifndef _WIN32
TEST(UseLock, AHolderThatIsKilledLeavesNothingHeld)
{
    glb::test::TempDir dir;
    const auto staging = dir / "tmpbackupEnviado";

    // A holder that is killed, as a crashed program is.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const UseLock held(staging);
        const char state = held.state() == UseLock::State::Held ? 'H' : '-';
        (void)!::write(ready[1], &state, 1);
        for (;;) {
            ::pause();
        }
    }
    char state = 0;
    ASSERT_EQ(::read(ready[0], &state, 1), 1);
    EXPECT_EQ(state, 'H');
    EXPECT_EQ(UseLock(staging).state(), UseLock::State::Busy);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(UseLock(staging).state(), UseLock::State::Held);
    ::close(ready[0]);
    ::close(ready[1]);
}
#endif

} // namespace
