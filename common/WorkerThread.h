#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace glb {

/// The end of a step that runs on a worker thread, as the thread waiting for it sees it.
/// Thread-safe.
class StepEnd
{
public:
    /// True once the step has ended, well or with an error.
    bool reached() const;
    /// Blocks the calling thread until the step has ended.
    void wait() const;
    /// Has `wake` called once when the step ends, on the worker thread and under this object's
    /// lock, so a waiter that sees reached() false can rely on the call still to come; called
    /// at once when the step has already ended. `wake` must not block.
    void onReached(std::function<void()> wake);

    /// Marks the end and calls the wake-up, if one is set. For the worker.
    void reach();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_reached = false;
    std::function<void()> m_wake;
};

/// The thread that starts long steps (the user-interface thread) and keeps its events going
/// while they run. The window implements it over its toolkit; tests and benchmarks may wait
/// without events (BlockingPump).
class EventPump
{
public:
    virtual ~EventPump() = default;
    /// Lets pending events be processed once.
    virtual void processPendingEvents() = 0;
    /// Processes events until `end` is reached, then returns.
    virtual void processEventsUntil(StepEnd& end) = 0;
};

/// An EventPump for a thread without events: processing is nothing, and waiting blocks.
class BlockingPump : public EventPump
{
public:
    void processPendingEvents() override {}
    void processEventsUntil(StepEnd& end) override { end.wait(); }
};

/// Runs `step` on a new worker thread while `pump` keeps processing the calling thread's
/// events, and returns once the step has ended, re-raising the error it ended with. The step
/// must not touch what belongs to the calling thread (its windows); what it shares with that
/// thread it reads before and hands back after, when this call has returned.
void runOnWorker(EventPump& pump, const std::function<void()>& step);

} // namespace glb
