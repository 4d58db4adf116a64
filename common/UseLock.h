#pragma once

#include <cstdint>
#include <filesystem>

namespace glb::platform {

/// The right of one process at a time to use a folder that is removed and made again (the
/// staging folder), taken without waiting and held until the object goes. The system
/// releases it when the process ends, also when it crashes, so a crash never blocks later
/// users. Linux: an exclusive flock on the folder that holds the used one. Windows: a hidden
/// file "<folder>.lock" beside it, open without sharing and deleted when it is closed.
class UseLock
{
public:
    enum class State
    {
        Held,        ///< this object holds the right
        Busy,        ///< another process holds it
        Unavailable, ///< the lock itself could not be made (the folder's parent is missing, say)
    };

    /// Tries to take the right to use `folder`.
    explicit UseLock(const std::filesystem::path& folder);
    ~UseLock();
    UseLock(const UseLock&) = delete;
    UseLock& operator=(const UseLock&) = delete;

    State state() const noexcept { return m_state; }

private:
    State m_state = State::Unavailable;
    std::intptr_t m_handle = -1;
};

} // namespace glb::platform
