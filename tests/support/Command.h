#pragma once

#include <string>
#include <string_view>

namespace glb::test {

struct CommandResult
{
    int status = -1;    ///< the exit status; -1 when the command could not run or was killed
    std::string output; ///< what it wrote to its standard output
};

/// Runs `command` with /bin/sh and reads its standard output to the end.
CommandResult runCommand(const std::string& command);

/// `text` as one word of a shell command.
std::string shellQuoted(std::string_view text);

} // namespace glb::test
