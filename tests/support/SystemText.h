#pragma once

#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

namespace glb::test {

/// The system's text for a file that another program holds, as file errors end with it:
/// EAGAIN's on Linux (a flock refused without waiting); on Windows the system's own text for
/// ERROR_SHARING_VIOLATION, which Windows words in the user's language and Wine words its
/// own way: the test checks that the program passes on whatever the system says for it.
inline std::string lockedFileText()
{
#ifdef _WIN32
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, ERROR_SHARING_VIOLATION, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text, length);
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'.' || wide.back() == L' ' || wide.back() < 0x20)) {
        wide.pop_back();
    }
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr, nullptr);
    return utf8;
#else
    return "Resource temporarily unavailable";
#endif
}

} // namespace glb::test
