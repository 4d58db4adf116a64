#pragma once

#include <filesystem>
#ifndef _WIN32
#include <sys/types.h>
#endif

namespace glb::test {

/// Another process that holds `path` locked with flock (shared or exclusive) until it is
/// released or destroyed; on Windows, one that holds it open without sharing (exclusive)
/// or letting others read but not write (shared). The constructor returns once the lock is held (the child says so
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
#ifdef _WIN32
    void* m_process = nullptr;
    void* m_release = nullptr; // its stdin: closing it lets it end
#else
    pid_t m_pid = -1;
    int m_release = -1; // its stdin: closing it lets it end
#endif
};

} // namespace glb::test
