#include "backup/SendProgress.h"

#include <algorithm>

namespace glb::backup {

void SendProgress::reset() noexcept
{
    m_started = false;
    m_toPack = 0;
    m_packed = 0;
    m_sent = 0;
    m_toSend = 0;
    m_shown = -1;
    m_attempt = 0;
    m_attempts = 0;
    m_retryAt = 0;
}

void SendProgress::retrying(int attempt, int attempts, std::chrono::steady_clock::time_point at) noexcept
{
    m_retryAt = at.time_since_epoch().count();
    m_attempts = attempts;
    m_attempt = attempt;
    m_sent = 0;
}

std::optional<SendProgress::Retry> SendProgress::retry() const noexcept
{
    const int attempt = m_attempt;
    if (attempt == 0) {
        return std::nullopt;
    }
    using Clock = std::chrono::steady_clock;
    return Retry{attempt, m_attempts.load(), Clock::time_point(Clock::duration(m_retryAt.load()))};
}

void SendProgress::startPacking(std::uint64_t bytes) noexcept
{
    m_toPack = bytes;
    m_started = true;
}

void SendProgress::packed(std::uint64_t bytes) noexcept
{
    m_packed += bytes;
}

void SendProgress::sending(std::uint64_t sent, std::uint64_t total) noexcept
{
    m_toSend = std::max<std::uint64_t>(total, 1);
    m_sent = std::min(sent, total);
    m_started = true;
}

std::optional<int> SendProgress::percent() const noexcept
{
    if (!m_started) {
        return std::nullopt;
    }
    const std::uint64_t toPack = m_toPack;
    const std::uint64_t packed = std::min<std::uint64_t>(m_packed, toPack);
    const std::uint64_t knownToSend = m_toSend;
    const std::uint64_t sent = m_sent;
    const double toSend =
        knownToSend != 0 ? static_cast<double>(knownToSend) : kRequestPerFileByte * static_cast<double>(toPack);
    const double whole =
        static_cast<double>(kPackedByteWeight * toPack) + static_cast<double>(kSentByteWeight) * toSend;
    const double done = static_cast<double>(kPackedByteWeight * packed) + static_cast<double>(kSentByteWeight * sent);
    int share = whole > 0 ? static_cast<int>(100.0 * done / whole) : 0;
    // 100 only when the whole request is out; a rounding never reaches it before.
    const bool finished = knownToSend != 0 && sent >= knownToSend;
    share = finished ? 100 : std::min(share, 99);
    int shown = m_shown.load();
    while (share > shown && !m_shown.compare_exchange_weak(shown, share)) {
    }
    return std::max(share, m_shown.load());
}

} // namespace glb::backup
