#pragma once

#include "backup/SendProgress.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace glb::backup {

/// The time an upload still needs, from the rate it moved at over the recent past: the bytes
/// of the last kWindow, not those since the start, so a link that slows down or speeds up is
/// followed within that time, and the first burst into the system's buffers is left out.
class TimeLeftEstimate
{
public:
    using Clock = std::chrono::steady_clock;

    /// The upload's first seconds fill the system's buffers faster than the link moves them.
    static constexpr std::chrono::seconds kSettle{2};
    /// The recent past the rate is measured over.
    static constexpr std::chrono::seconds kWindow{20};
    /// The shortest span measured before an estimate is given.
    static constexpr std::chrono::seconds kMinimumSpan{3};
    /// How fast the estimate shown follows a new measurement: it moves by the share of the
    /// difference that the time since the last sample makes of this.
    static constexpr std::chrono::seconds kSmoothing{5};

    /// `sent` of `total` bytes handed over at `now`. A count below the last one is a new
    /// attempt, which starts the measurement afresh.
    void sample(Clock::time_point now, std::uint64_t sent, std::uint64_t total);
    /// The time left as last estimated; none until the upload has run kSettle + kMinimumSpan,
    /// and none while it does not move.
    std::optional<std::chrono::seconds> remaining() const;
    void reset();

private:
    std::optional<Clock::time_point> m_start;
    std::uint64_t m_lastSent = 0;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> m_samples; ///< within kWindow
    std::optional<double> m_shownSeconds;
    Clock::time_point m_shownAt;
};

/// The time left as people say it: "menos de 1 min", "cerca de 1 min restante", "cerca de 12 min
/// restantes"; from an hour on in hours and minutes rounded to 5 ("cerca de 1 h 25 min
/// restantes", "cerca de 2 h restantes").
std::string timeLeftText(std::chrono::seconds left);

/// What the window shows of a send a few times a second, besides the overlay's text: the share
/// done, and a detail line (the time left, a broken upload's wait for its next attempt, or the
/// wait for the service's reply).
class SendStatus
{
public:
    using Clock = std::chrono::steady_clock;

    explicit SendStatus(const SendProgress& progress)
        : m_progress(progress)
    {
    }

    struct View
    {
        std::optional<int> percent;
        std::string detail;     ///< empty when there is nothing to say
        bool retryWait = false; ///< a broken upload waits for its next attempt
        /// The upload's time left, as the detail tells it; none while it cannot be told.
        std::optional<std::chrono::seconds> timeLeft;
        std::uint64_t requestSent = 0;
        std::uint64_t requestLength = 0; ///< 0 until it is known
    };
    /// The status at `now`; call it a few times a second.
    View update(Clock::time_point now);

    /// The window's caption while the send runs: the share and the detail before `title`, so
    /// that a taskbar that cuts it keeps them ("42% - cerca de 12 min restantes - Backup Glebarium").
    static std::string caption(const View& view, const std::string& title);

private:
    const SendProgress& m_progress;
    TimeLeftEstimate m_estimate;
    int m_attempt = 0;
};

} // namespace glb::backup
