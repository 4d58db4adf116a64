// PhpService for the Windows build under Wine: php -S runs on the build machine, started and
// stopped by wine_host.py; the test reaches it on 127.0.0.1 as on Linux.
#include "tests/service/php/PhpService.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/WineHost.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

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

} // namespace

PhpService::PhpService(const Options& options)
    : m_port(UnusedPort().port())
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
    while (!acceptsOnLoopback(m_port)) {
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

} // namespace glb::test
