#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace glb::test {

/// Why symbolic links cannot be made in `folder` here, or empty when they can: the test that
/// needs one skips with this reason. Wine 8 has no CreateSymbolicLinkW ("Function not
/// implemented"); Windows makes them only with the privilege or in developer mode.
inline std::string symlinkUnsupported(const std::filesystem::path& folder)
{
    const std::filesystem::path probe = folder / "glb-link-probe";
    std::error_code ec;
    std::filesystem::create_symlink(folder / "glb-link-target", probe, ec);
    if (ec) {
        return "this system cannot make symbolic links here: " + ec.message();
    }
    std::filesystem::remove(probe, ec);
    return {};
}

} // namespace glb::test
