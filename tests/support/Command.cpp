#include "tests/support/Command.h"

#include <array>
#include <cstdio>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace glb::test {

CommandResult runThroughPipe(const std::string& command)
{
    CommandResult result;
#ifdef _WIN32
    FILE* pipe = ::_popen(command.c_str(), "r");
#else
    FILE* pipe = ::popen(command.c_str(), "r");
#endif
    if (pipe == nullptr) {
        result.output = "cannot run: " + command;
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), n);
    }
#ifdef _WIN32
    result.status = ::_pclose(pipe);
#else
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return result;
}

#ifndef _WIN32
CommandResult runCommand(const std::string& command)
{
    return runThroughPipe(command);
}

std::string hostPath(const std::filesystem::path& path)
{
    return path.string();
}
#endif

std::string shellQuoted(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace glb::test
