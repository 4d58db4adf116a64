#include "tests/support/FifoRelease.h"

#include <fcntl.h>
#include <unistd.h>

namespace glb::test {

FifoRelease::FifoRelease(std::filesystem::path fifo, std::chrono::seconds patience)
    : m_fifo(std::move(fifo))
{
    m_thread = std::thread([this, patience] {
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, patience, [this] { return m_stopping; })) {
            return;
        }
        // A writer's open without waiting succeeds only while a reader has the FIFO open,
        // which the blocked reader has: both opens then return.
        const int fd = ::open(m_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            m_fired = true;
        }
    });
}

FifoRelease::~FifoRelease()
{
    stop();
}

bool FifoRelease::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return m_fired;
}

} // namespace glb::test
