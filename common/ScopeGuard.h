#pragma once

#include <exception>
#include <utility>

namespace glb {

/// Runs `step` when the scope is left, in every way. The step must not throw.
template <typename Step> class ScopeExit
{
public:
    explicit ScopeExit(Step step)
        : m_step(std::move(step))
    {
    }
    ~ScopeExit() { m_step(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Step m_step;
};

/// Runs `step` when the scope is left by an error only. The step must not throw.
template <typename Step> class ScopeFailure
{
public:
    explicit ScopeFailure(Step step)
        : m_step(std::move(step))
        , m_errorsInFlight(std::uncaught_exceptions())
    {
    }
    ~ScopeFailure()
    {
        if (std::uncaught_exceptions() > m_errorsInFlight) {
            m_step();
        }
    }
    ScopeFailure(const ScopeFailure&) = delete;
    ScopeFailure& operator=(const ScopeFailure&) = delete;

private:
    Step m_step;
    int m_errorsInFlight;
};

/// Runs one clean-up step when its scope is left, a step that may fail. While an error is
/// already on its way out, a failing step is passed over, so the error goes on unchanged and
/// the later steps still run; otherwise the step's own error goes on to the caller, again
/// after the later steps.
template <typename Step> class CleanupStep
{
public:
    explicit CleanupStep(Step step)
        : m_step(std::move(step))
        , m_errorsInFlight(std::uncaught_exceptions())
    {
    }
    CleanupStep(const CleanupStep&) = delete;
    CleanupStep& operator=(const CleanupStep&) = delete;

    ~CleanupStep() noexcept(false)
    {
        if (std::uncaught_exceptions() > m_errorsInFlight) {
            try {
                m_step();
            } catch (...) { // NOLINT(bugprone-empty-catch): the error already in flight is the one to show
            }
        } else {
            m_step();
        }
    }

private:
    Step m_step;
    int m_errorsInFlight;
};

} // namespace glb
