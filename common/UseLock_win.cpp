#include "common/UseLock.h"

#include <windows.h>

namespace glb::platform {

UseLock::UseLock(const std::filesystem::path& folder)
{
    std::filesystem::path file = folder;
    file += L".lock";
    // No sharing: a second process is refused while the handle is open; the system closes it,
    // and deletes the file, when the process ends in any way. A link in its place is not
    // followed.
    const HANDLE handle =
        ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        m_state = error == ERROR_SHARING_VIOLATION ? State::Busy : State::Unavailable;
        return;
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    m_state = State::Held;
}

UseLock::~UseLock()
{
    if (m_state == State::Held) {
        ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    }
}

} // namespace glb::platform
