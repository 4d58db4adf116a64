// glb_holdfile PATH x|s: a Windows process that holds PATH open (creating it if missing):
// "x" without sharing, "s" letting others read but not write. It writes "ready" once the
// file is held and lets go when its standard input closes.
#include <cstdio>
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: glb_holdfile PATH x|s\n", stderr);
        return 2;
    }
    const DWORD share = argv[2][0] == L'x' ? 0 : FILE_SHARE_READ;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("failed %lu\n", GetLastError());
        return 1;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    char got = 0;
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &got, 1, &n, nullptr) && n > 0) {
    }
    CloseHandle(file);
    return 0;
}
