#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace glb::test {

/// Stands by a FIFO while a test opens it for reading. Should that open block, waiting for
/// a writer that never comes, the FIFO's other end is opened once `patience` has passed,
/// so the open returns and the test fails instead of hanging; fired() says it had to.
/// Ending the stand-by (stop() or the destructor) wakes it at once.
class FifoRelease
{
public:
    explicit FifoRelease(std::filesystem::path fifo, std::chrono::seconds patience = std::chrono::seconds(30));
    ~FifoRelease();
    FifoRelease(const FifoRelease&) = delete;
    FifoRelease& operator=(const FifoRelease&) = delete;

    /// Ends the stand-by; true when the FIFO had to be opened to release a blocked reader.
    bool stop();

private:
    std::filesystem::path m_fifo;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_fired = false;
    std::thread m_thread;
};

} // namespace glb::test
