#include "common/UseLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace glb::platform {

UseLock::UseLock(const std::filesystem::path& folder)
{
    // The folder's parent stays while the folder comes and goes; a lock on a folder leaves no
    // file behind.
    const int fd = ::open(folder.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_state = errno == EWOULDBLOCK ? State::Busy : State::Unavailable;
        ::close(fd);
        return;
    }
    m_handle = fd;
    m_state = State::Held;
}

UseLock::~UseLock()
{
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

} // namespace glb::platform
