#include "tests/support/Command.h"

#include <array>
#include <cstdio>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace glb::test {

#ifndef _WIN32
CommandResult runCommand(const std::string& command)
{
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        result.output = "cannot run: " + command;
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
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
