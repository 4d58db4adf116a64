#include "common/WorkerThread.h"

#include "common/ScopeGuard.h"

#include <exception>
#include <thread>
#include <utility>

namespace glb {

bool StepEnd::reached() const
{
    const std::lock_guard lock(m_mutex);
    return m_reached;
}

void StepEnd::wait() const
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_reached; });
}

void StepEnd::onReached(std::function<void()> wake)
{
    const std::lock_guard lock(m_mutex);
    if (m_reached) {
        wake();
        return;
    }
    m_wake = std::move(wake);
}

void StepEnd::reach()
{
    const std::lock_guard lock(m_mutex);
    m_reached = true;
    if (m_wake) {
        m_wake();
    }
    m_changed.notify_all();
}

void runOnWorker(EventPump& pump, const std::function<void()>& step)
{
    StepEnd end;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            step();
        } catch (...) {
            failure = std::current_exception();
        }
        end.reach();
    });
    // The worker uses this frame's objects: it is joined on every way out, also when the
    // pump itself raises.
    const ScopeExit join([&worker] {
        if (worker.joinable()) {
            worker.join();
        }
    });
    pump.processEventsUntil(end);
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace glb
