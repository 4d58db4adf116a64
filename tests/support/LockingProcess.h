#pragma once

#include <filesystem>
#include <sys/types.h>

namespace glb::test {

/// Another process that holds `path` locked with flock (shared or exclusive) until it is
/// released or destroyed. The constructor returns once the lock is held (the child says so
/// on a pipe, never after a pause) and throws std::runtime_error when it could not be taken.
class LockingProcess
{
public:
    LockingProcess(const std::filesystem::path& path, bool exclusive);
    ~LockingProcess();
    LockingProcess(const LockingProcess&) = delete;
    LockingProcess& operator=(const LockingProcess&) = delete;

    /// Lets the process drop the lock and end, and waits for it.
    void release();

private:
    pid_t m_pid = -1;
    int m_release = -1; // its stdin: closing it lets it end
};

} // namespace glb::test
