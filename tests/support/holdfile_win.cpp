// glb_holdfile PATH x|s: a Windows process that holds PATH open (creating it if missing):
// "x" without sharing, "s" letting others read but not write. It writes "ready" once the
// file is held and lets go when its standard input closes.
#include <cstdio>
#include <string>
#include <windows.h>

namespace {

// Straight to the handle: the C library's text mode would make "\n" a "\r\n".
void say(const std::string& text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: glb_holdfile PATH x|s\n", stderr);
        return 2;
    }
    const DWORD share = argv[2][0] == L'x' ? 0 : FILE_SHARE_READ;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say("failed " + std::to_string(GetLastError()) + "\n");
        return 1;
    }
    say("ready\n");
    char got = 0;
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &got, 1, &n, nullptr) && n > 0) {
    }
    CloseHandle(file);
    return 0;
}
