#include "common/Platform.h"

#include "common/Error.h"
#include "common/Platform_p.h"

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <utility>

// The parts of the platform layer that are the same on every platform.
namespace glb::platform {

// The Linux connection test's rule; portable so that its table of cases holds everywhere
// (Windows asks WinInet instead).
bool routeTablesHaveDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes)
{
    constexpr unsigned long kRouteUp = 0x0001;
    constexpr unsigned long kRouteReject = 0x0200;
    {
        std::istringstream lines{std::string(ipv4Routes)};
        std::string line;
        std::getline(lines, line); // column titles
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
            if (!(fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask)) {
                continue;
            }
            const unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
            if (destination == "00000000" && mask == "00000000" && (flagBits & kRouteUp) != 0 &&
                (flagBits & kRouteReject) == 0 && iface != "lo") {
                return true;
            }
        }
    }
    std::istringstream lines{std::string(ipv6Routes)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string destination, prefixLength, source, sourceLength, nextHop, metric, refCnt, use, flags, iface;
        if (!(fields >> destination >> prefixLength >> source >> sourceLength >> nextHop >> metric >> refCnt >> use >>
              flags >> iface)) {
            continue;
        }
        const unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
        if (destination == std::string(32, '0') && prefixLength == "00" && (flagBits & kRouteUp) != 0 &&
            (flagBits & kRouteReject) == 0 && iface != "lo") {
            return true;
        }
    }
    return false;
}

std::string rawSystemErrorText(int code)
{
    switch (code) {
    case kErrorNotAFile:
        return "Não é um arquivo comum";
    case kErrorLink:
        return "É um link; links não são seguidos";
    case kErrorOtherNames:
        return "O arquivo tem outros nomes (links físicos)";
    case kErrorEndedEarly:
        return "O arquivo terminou antes do tamanho que tinha ao ser aberto";
    default:
        return detail::nativeErrorText(code);
    }
}

bool listExistingFolder(const std::filesystem::path& folder,
                        const std::function<bool(const std::filesystem::path&)>& visit)
{
    int openError = 0;
    if (listFolder(folder, visit, &openError)) {
        return true;
    }
    // Only a folder that is not there may yield nothing: one that is there (no rights, a
    // damaged disk, an access rule) would pass for an empty folder.
    std::error_code ec;
    if (std::filesystem::status(folder, ec).type() == std::filesystem::file_type::not_found) {
        return false;
    }
    throw EFolderReadError::forFolder(folder, openError);
}

namespace {

std::mutex& keepAwakeObserverLock()
{
    static std::mutex lock;
    return lock;
}

KeepAwakeObserver& keepAwakeObserver()
{
    static KeepAwakeObserver observer;
    return observer;
}

void reportKeepAwake(KeepAwakeEvent::Kind kind, bool granted)
{
    const std::lock_guard<std::mutex> guard(keepAwakeObserverLock());
    if (const auto& observer = keepAwakeObserver()) {
        observer(KeepAwakeEvent{kind, granted});
    }
}

} // namespace

KeepAwakeObserver setKeepAwakeObserver(KeepAwakeObserver observer)
{
    const std::lock_guard<std::mutex> guard(keepAwakeObserverLock());
    return std::exchange(keepAwakeObserver(), std::move(observer));
}

KeepAwake::KeepAwake()
{
    m_held = detail::acquireKeepAwake(m_handle);
    reportKeepAwake(KeepAwakeEvent::Kind::Requested, m_held);
}

KeepAwake::~KeepAwake()
{
    if (m_held) {
        detail::releaseKeepAwake(m_handle);
    }
    reportKeepAwake(KeepAwakeEvent::Kind::Released, m_held);
}

// File's ownership of its handle; the handle's use is each platform's.
File::~File()
{
    close();
}

File::File(File&& other) noexcept
    : m_handle(other.m_handle)
{
    other.m_handle = kInvalid;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        m_handle = other.m_handle;
        other.m_handle = kInvalid;
    }
    return *this;
}

} // namespace glb::platform
