#include "backup/SendProgress.h"
#include "backup/SendStatus.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using glb::backup::SendProgress;
using glb::backup::SendStatus;
using glb::backup::TimeLeftEstimate;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr milliseconds kTick{250}; // the window looks a few times a second

TEST(TimeLeftEstimate, FollowsTheRecentRateNotTheFirstBurstAndNeverJumps)
{
    // 200 MiB at one MiB a second after a first burst of 6 MiB into the system's buffers; half
    // way through, the link drops to half its speed.
    const double total = 200.0 * kMiB;
    const double burst = 6.0 * kMiB;
    const double fast = 1.0 * kMiB;
    const seconds change{90};
    const auto sentAt = [&](double t) {
        const double c = static_cast<double>(change.count());
        return std::min(total, t < c ? burst + fast * t : burst + fast * c + fast / 2 * (t - c));
    };
    const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
    TimeLeftEstimate estimate;
    std::optional<double> last;
    for (Clock::duration elapsed{}; sentAt(std::chrono::duration<double>(elapsed).count()) < total; elapsed += kTick) {
        const double t = std::chrono::duration<double>(elapsed).count();
        const double sent = sentAt(t);
        estimate.sample(t0 + elapsed, static_cast<std::uint64_t>(sent), static_cast<std::uint64_t>(total));
        const std::optional<seconds> left = estimate.remaining();
        if (elapsed < TimeLeftEstimate::kSettle + TimeLeftEstimate::kMinimumSpan) {
            EXPECT_FALSE(left.has_value()) << "no estimate before the rate is steady";
            continue;
        }
        ASSERT_TRUE(left.has_value()) << t;
        const auto shown = static_cast<double>(left->count());
        const double truth = (total - sent) / (elapsed < change ? fast : fast / 2);
        if (elapsed >= seconds(10) && elapsed < change) {
            EXPECT_NEAR(shown, truth, 0.05 * truth + 1) << "steady at " << t;
        }
        if (elapsed >= change + TimeLeftEstimate::kWindow + 3 * TimeLeftEstimate::kSmoothing) {
            EXPECT_NEAR(shown, truth, 0.1 * truth + 1) << "the slower link is followed, at " << t;
        }
        if (last) {
            // From one look to the next, a quarter of a second later, it moves by little.
            EXPECT_LE(std::abs(shown - *last), 0.1 * *last + 2) << "at " << t;
        }
        last = shown;
    }
}

TEST(TimeLeftEstimate, NoneWhileNothingMovesAndAfreshForANewAttempt)
{
    TimeLeftEstimate estimate;
    const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
    for (int s = 0; s <= 10; ++s) {
        estimate.sample(t0 + seconds(s), static_cast<std::uint64_t>(s) * kMiB, 100 * kMiB);
    }
    ASSERT_TRUE(estimate.remaining().has_value());
    for (int s = 11; s <= 40; ++s) {
        estimate.sample(t0 + seconds(s), 10 * kMiB, 100 * kMiB);
    }
    EXPECT_FALSE(estimate.remaining().has_value()) << "a stalled link has no time left to tell";

    estimate.sample(t0 + seconds(41), 20 * kMiB, 100 * kMiB);
    estimate.sample(t0 + seconds(42), 0, 100 * kMiB); // the upload starts again from its first byte
    EXPECT_FALSE(estimate.remaining().has_value());
}

TEST(TimeLeftText, RoundedAsPeopleSayIt)
{
    const struct
    {
        long long seconds;
        const char* text;
    } cases[] = {
        {0, "menos de 1 min"},
        {59, "menos de 1 min"},
        {60, "cerca de 1 min restante"},
        {89, "cerca de 1 min restante"},
        {90, "cerca de 2 min restantes"},
        {12 * 60 + 10, "cerca de 12 min restantes"},
        {59 * 60 + 29, "cerca de 59 min restantes"},
        {59 * 60 + 30, "cerca de 1 h restante"},
        {83 * 60, "cerca de 1 h 25 min restantes"},
        {2 * 3600 + 60, "cerca de 2 h restantes"},
        {10 * 3600 + 17 * 60, "cerca de 10 h 15 min restantes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(glb::backup::timeLeftText(seconds(c.seconds)), c.text) << c.seconds;
    }
}

TEST(SendStatus, TellsTheTimeLeftARetrysWaitAndTheWaitForTheReply)
{
    SendProgress progress;
    progress.reset();
    progress.startPacking(10 * kMiB);
    progress.packed(10 * kMiB);
    SendStatus status(progress);
    const Clock::time_point t0 = Clock::now();

    // Packing done, the request's length not known yet: the share alone.
    SendStatus::View view = status.update(t0);
    EXPECT_EQ(view.detail, "");
    EXPECT_EQ(SendStatus::caption(view, "Backup Glebarium"), std::to_string(*view.percent) + "% - Backup Glebarium");

    // Ten minutes' worth at one MiB a second.
    const std::uint64_t length = 600 * kMiB;
    for (int s = 0; s <= 60; ++s) {
        progress.sending(static_cast<std::uint64_t>(s) * kMiB, length);
        view = status.update(t0 + seconds(s));
    }
    EXPECT_EQ(view.detail, "cerca de 9 min restantes");
    EXPECT_EQ(SendStatus::caption(view, "Backup Glebarium"),
              std::to_string(*view.percent) + "% - cerca de 9 min restantes - Backup Glebarium");

    // The connection broke: the wait for the next attempt, counted down in whole seconds.
    progress.retrying(2, 3, t0 + seconds(90));
    view = status.update(t0 + milliseconds(65'200));
    EXPECT_EQ(view.detail, "Conexão perdida; nova tentativa em 25 s (2 de 3)");

    // The new attempt measures its own rate before it tells a time again.
    progress.sending(kMiB, length);
    EXPECT_EQ(status.update(t0 + seconds(91)).detail, "");

    progress.sending(length, length);
    EXPECT_EQ(status.update(t0 + seconds(700)).detail, "Aguardando a resposta do serviço");
}

} // namespace
