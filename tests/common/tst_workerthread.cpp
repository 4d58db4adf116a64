// Steps run on a worker thread while the calling thread keeps its events going.

#include "common/Error.h"
#include "common/WorkerThread.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

/// A pump that counts the rounds it spends processing "events" until the step ends.
class CountingPump : public glb::EventPump
{
public:
    void processPendingEvents() override { ++pending; }
    void processEventsUntil(glb::StepEnd& end) override
    {
        waitedOnThread = std::this_thread::get_id();
        std::atomic<bool> woken = false;
        end.onReached([&woken] { woken = true; });
        while (!end.reached()) {
            ++rounds;
            if (release) {
                release();
            }
            std::this_thread::yield();
        }
        EXPECT_TRUE(woken);
    }

    int pending = 0;
    long rounds = 0;
    std::thread::id waitedOnThread;
    std::function<void()> release;
};

TEST(RunOnWorker, RunsTheStepOnAnotherThreadWhileTheCallerProcessesEvents)
{
    CountingPump pump;
    std::atomic<bool> mayEnd = false;
    pump.release = [&mayEnd] { mayEnd = true; }; // the step ends only once events were processed
    std::thread::id stepThread;
    glb::runOnWorker(pump, [&] {
        stepThread = std::this_thread::get_id();
        while (!mayEnd) {
            std::this_thread::yield();
        }
    });
    EXPECT_NE(stepThread, std::this_thread::get_id());
    EXPECT_EQ(pump.waitedOnThread, std::this_thread::get_id());
    EXPECT_GE(pump.rounds, 1);
}

TEST(RunOnWorker, TheStepsErrorReachesTheCallerUnchanged)
{
    glb::BlockingPump pump;
    try {
        glb::runOnWorker(pump, [] { throw glb::EFOpenError("Cannot open file \"x\". Permission denied"); });
        FAIL() << "no error";
    } catch (const glb::EFOpenError& e) {
        EXPECT_STREQ(e.what(), "Cannot open file \"x\". Permission denied");
    }
    EXPECT_THROW(glb::runOnWorker(pump, [] { throw glb::EAbort(); }), glb::EAbort);
}

TEST(StepEnd, AWakeUpSetAfterTheEndIsCalledAtOnce)
{
    glb::StepEnd end;
    end.reach();
    bool woken = false;
    end.onReached([&woken] { woken = true; });
    EXPECT_TRUE(woken);
    EXPECT_TRUE(end.reached());
    end.wait();
}

} // namespace
