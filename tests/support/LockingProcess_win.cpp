// LockingProcess for the Windows build: another Windows process (glb_holdfile.exe) holds the
// file open, without sharing (exclusive) or letting others read but not write (shared), as
// another program of the user's would.
#include "common/Error.h"
#include "tests/support/LockingProcess.h"

#include <array>
#include <stdexcept>
#include <string>
#include <windows.h>

namespace glb::test {

LockingProcess::LockingProcess(const std::filesystem::path& path, bool exclusive)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    HANDLE childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild, &inherit, 0) || !CreatePipe(&fromChild, &childOut, &inherit, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);

    std::wstring command = L"\"" GLB_HOLDFILE L"\" \"" + path.wstring() + L"\" " + (exclusive ? L"x" : L"s");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) {
        CloseHandle(toChild);
        CloseHandle(fromChild);
        throw std::runtime_error("cannot start glb_holdfile");
    }
    CloseHandle(process.hThread);
    m_process = process.hProcess;
    m_release = toChild;

    std::string said;
    std::array<char, 16> buffer{};
    DWORD n = 0;
    while (said.find('\n') == std::string::npos &&
           ReadFile(fromChild, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) && n > 0) {
        said.append(buffer.data(), n);
    }
    CloseHandle(fromChild);
    if (said != "ready\n") {
        release();
        throw std::runtime_error("the holding process could not open " + glb::pathText(path) + ": " + said);
    }
}

LockingProcess::~LockingProcess()
{
    release();
}

void LockingProcess::release()
{
    if (m_release != nullptr) {
        CloseHandle(m_release);
        m_release = nullptr;
    }
    if (m_process != nullptr) {
        WaitForSingleObject(m_process, INFINITE);
        CloseHandle(m_process);
        m_process = nullptr;
    }
}

} // namespace glb::test
