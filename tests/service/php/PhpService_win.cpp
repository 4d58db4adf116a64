// PhpService for the Windows build under Wine: php -S runs on the build machine, started and
// stopped by wine_host.py; the test reaches it on 127.0.0.1 as on Linux.
#include "tests/service/php/PhpService.h"
#include "tests/support/WineHost.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <winsock2.h>

namespace glb::test {

namespace {

std::string jsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char* const hex = "0123456789abcdef";
            quoted += "\\u00";
            quoted += hex[(c >> 4) & 0xF];
            quoted += hex[c & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

struct Winsock
{
    Winsock()
    {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t freePort()
{
    const Winsock winsock;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    int length = sizeof address;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::closesocket(s);
    return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port)
{
    const Winsock winsock;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        s != INVALID_SOCKET && ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (s != INVALID_SOCKET) {
        ::closesocket(s);
    }
    return connected;
}

} // namespace

PhpService::PhpService(const Options& options)
    : m_port(freePort())
{
    std::string argv = "[\"php\"";
    for (const std::string& setting : options.settings) {
        argv += ",\"-d\"," + jsonString(setting);
    }
    argv += ",\"-S\"," + jsonString("127.0.0.1:" + std::to_string(m_port));
    argv += "," + jsonString(options.script.empty() ? std::string(GLB_PHP_SERVICE_SCRIPT) : options.script) + "]";
    std::string env = "{";
    for (const auto& [name, value] : options.environment) {
        env += (env.size() > 1 ? "," : "") + jsonString(name) + ":" + jsonString(value);
    }
    env += "}";
    int status = 0;
    const std::string started = wineHostPost("/start", "{\"argv\":" + argv + ",\"env\":" + env + "}", &status);
    if (status < 0) {
        throw std::runtime_error(started);
    }
    m_pid = std::stol(started);

    // Ready when it accepts a connection.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!accepts(m_port)) {
        if (std::chrono::steady_clock::now() > deadline) {
            wineHostPost("/stop", std::to_string(m_pid), &status);
            throw std::runtime_error("php -S did not listen in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PhpService::~PhpService()
{
    int status = 0;
    wineHostPost("/stop", std::to_string(m_pid), &status);
}

std::string PhpService::url() const
{
    return address() + "/web/backup_antigo.php";
}

std::string PhpService::address() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

} // namespace glb::test
