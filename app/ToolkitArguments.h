#pragma once

#include <array>

namespace glb::app {

/// The command line the toolkit is given: the program's name alone. The program reads no
/// arguments, so the toolkit's own options (-style, -platform, -reverse, ...) change
/// nothing. Lives as long as the application object, which keeps references to it.
class ToolkitArguments
{
public:
    /// From the arguments of main(): keeps the first, the program's name, if there is one.
    ToolkitArguments(int argc, char** argv)
        : m_argc(argc > 0 ? 1 : 0)
        , m_argv{argc > 0 ? argv[0] : nullptr, nullptr}
    {
    }

    int& argc() noexcept { return m_argc; }
    char** argv() noexcept { return m_argv.data(); }

private:
    int m_argc;
    std::array<char*, 2> m_argv;
};

} // namespace glb::app
