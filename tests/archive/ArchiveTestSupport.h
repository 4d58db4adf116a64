#pragma once

#include "tests/support/LockingProcess.h"
#include "tests/support/TempDir.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>

namespace glb::test {

/// `size` bytes of plain text made of a small vocabulary, which compresses well.
std::string textBytes(std::size_t size);

/// Sets the file's last-write time (seconds since 1970 UTC).
void setLastWriteTime(const std::filesystem::path& path, std::int64_t utcSeconds);

/// Seconds since 1970 UTC of a UTC civil time.
std::int64_t utcSeconds(int year, int month, int day, int hour, int minute, int second);

/// "EFOpenError: Cannot open file ..." for the errors the writer raises, so a test checks
/// class and exact text in one comparison.
std::string describe(const std::exception& error);

/// Runs `f` and describes what it threw, or "no error".
template <typename F> std::string errorOf(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return describe(e);
    }
    return "no error";
}

} // namespace glb::test
