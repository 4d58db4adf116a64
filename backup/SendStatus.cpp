#include "backup/SendStatus.h"

#include <algorithm>
#include <cmath>

namespace glb::backup {

namespace {

using Seconds = std::chrono::duration<double>;

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHourStep = 5; // minutes, from an hour on

} // namespace

void TimeLeftEstimate::reset()
{
    m_start.reset();
    m_lastSent = 0;
    m_samples.clear();
    m_shownSeconds.reset();
}

void TimeLeftEstimate::sample(Clock::time_point now, std::uint64_t sent, std::uint64_t total)
{
    if (sent < m_lastSent) {
        reset();
    }
    m_lastSent = sent;
    if (total == 0) {
        return;
    }
    if (!m_start) {
        m_start = now;
    }
    if (now - *m_start < kSettle) {
        return;
    }
    m_samples.emplace_back(now, sent);
    while (m_samples.size() > 2 && m_samples[1].first <= now - kWindow) {
        m_samples.pop_front();
    }
    const auto& [firstAt, firstSent] = m_samples.front();
    const double span = Seconds(now - firstAt).count();
    if (span < Seconds(kMinimumSpan).count() || sent <= firstSent || sent >= total) {
        if (sent <= firstSent && span >= Seconds(kMinimumSpan).count()) {
            m_shownSeconds.reset(); // it does not move: no time can be told
        }
        return;
    }
    const double rate = static_cast<double>(sent - firstSent) / span;
    const double estimate = static_cast<double>(total - sent) / rate;
    if (!m_shownSeconds) {
        m_shownSeconds = estimate;
    } else {
        // The estimate shown counts down between samples and moves toward the measured one
        // by the share of the difference that the time since then makes of kSmoothing.
        const double elapsed = Seconds(now - m_shownAt).count();
        const double predicted = std::max(0.0, *m_shownSeconds - elapsed);
        const double share = std::min(1.0, elapsed / Seconds(kSmoothing).count());
        m_shownSeconds = predicted + share * (estimate - predicted);
    }
    m_shownAt = now;
}

std::optional<std::chrono::seconds> TimeLeftEstimate::remaining() const
{
    if (!m_shownSeconds) {
        return std::nullopt;
    }
    return std::chrono::seconds(std::llround(*m_shownSeconds));
}

std::string timeLeftText(std::chrono::seconds left)
{
    const std::int64_t seconds = left.count();
    if (seconds < kMinute) {
        return "menos de 1 min";
    }
    const std::int64_t minutes = (seconds + kMinute / 2) / kMinute;
    if (minutes < kMinute) {
        return "cerca de " + std::to_string(minutes) + (minutes == 1 ? " min restante" : " min restantes");
    }
    const std::int64_t rounded = (seconds + kHourStep * kMinute / 2) / (kHourStep * kMinute) * kHourStep;
    const std::int64_t hours = rounded / kMinute;
    const std::int64_t rest = rounded % kMinute;
    std::string text = "cerca de " + std::to_string(hours) + " h";
    if (rest != 0) {
        text += " " + std::to_string(rest) + " min";
    }
    return text + (hours == 1 && rest == 0 ? " restante" : " restantes");
}

SendStatus::View SendStatus::update(Clock::time_point now)
{
    View view;
    view.percent = m_progress.percent();
    const std::optional<SendProgress::Retry> retry = m_progress.retry();
    if (retry && retry->attempt != m_attempt) {
        m_attempt = retry->attempt;
        m_estimate.reset();
    }
    if (retry && now < retry->at) {
        const auto wait = std::chrono::ceil<std::chrono::seconds>(retry->at - now).count();
        view.retryWait = true;
        view.detail = "Conexão perdida; nova tentativa em " + std::to_string(wait) + " s (" +
                      std::to_string(retry->attempt) + " de " + std::to_string(retry->attempts) + ")";
        return view;
    }
    const std::uint64_t length = m_progress.requestLength();
    const std::uint64_t sent = m_progress.requestSent();
    view.requestSent = sent;
    view.requestLength = length;
    if (length == 0) {
        return view;
    }
    if (sent >= length) {
        view.detail = "Aguardando a resposta do serviço";
        return view;
    }
    m_estimate.sample(now, sent, length);
    view.timeLeft = m_estimate.remaining();
    if (view.timeLeft) {
        view.detail = timeLeftText(*view.timeLeft);
    }
    return view;
}

std::string SendStatus::caption(const View& view, const std::string& title)
{
    std::string text;
    if (view.percent) {
        text = std::to_string(*view.percent) + "% - ";
    }
    if (!view.detail.empty()) {
        text += view.detail + " - ";
    }
    return text + title;
}

} // namespace glb::backup
