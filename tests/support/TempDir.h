#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace glb::test {

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return m_path / child; }

private:
    std::filesystem::path m_path;
};

/// Writes `content` to `path` (creating parent folders).
void writeFile(const std::filesystem::path& path, std::string_view content);

/// Reads the whole file.
std::string readFile(const std::filesystem::path& path);

/// `size` bytes from a fixed-seed generator: the same every run, and incompressible.
std::string randomBytes(std::size_t size, unsigned seed);

} // namespace glb::test
