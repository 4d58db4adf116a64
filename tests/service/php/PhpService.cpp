#include "tests/service/php/PhpService.h"

#include "tests/support/LoopbackHttpServer.h"

#include <chrono>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace glb::test {

PhpService::PhpService(const Options& options)
    : m_port(UnusedPort().port())
{
    std::vector<std::string> args = {"php"};
    for (const std::string& setting : options.settings) {
        args.push_back("-d");
        args.push_back(setting);
    }
    args.push_back("-S");
    args.push_back("127.0.0.1:" + std::to_string(m_port));
    args.push_back(options.script.empty() ? std::string(GLB_PHP_SERVICE_SCRIPT) : options.script);

    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    for (const auto& [name, value] : options.environment) {
        env.push_back(name + "=" + value);
    }
    // Everything is prepared before fork: the child only redirects and executes.
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    m_pid = ::fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        ::execvpe("php", argv.data(), envp.data());
        ::_exit(127);
    }

    // Ready when it accepts a connection; a service that exits or never listens fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!acceptsOnLoopback(m_port)) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("php -S ended before it listened");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            throw std::runtime_error("php -S did not listen in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PhpService::~PhpService()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

} // namespace glb::test
