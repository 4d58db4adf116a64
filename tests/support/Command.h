#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace glb::test {

struct CommandResult
{
    int status = -1;    ///< the exit status; -1 when the command could not run or was killed
    std::string output; ///< what it wrote to its standard output
};

/// Runs `command` with /bin/sh and reads its standard output to the end. A test built for
/// Windows and run under Wine has the build machine's shell run it (wine_host.py, named by
/// GLB_WINE_HOST_FILE), so it reaches the same tools (Python, unzip, PHP) as on Linux.
CommandResult runCommand(const std::string& command);

/// Runs `command` with the C library's pipe to the system's shell (popen / _popen): what
/// runCommand does wherever no wine_host is to be asked.
CommandResult runThroughPipe(const std::string& command);

/// `path` as the shell of runCommand sees it: the path itself, or under Wine the build
/// machine's path of the Windows one (drive Z: is the root, C: the Wine prefix's drive_c).
std::string hostPath(const std::filesystem::path& path);

/// `text` as one word of a shell command.
std::string shellQuoted(std::string_view text);

} // namespace glb::test
