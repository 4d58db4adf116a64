#pragma once

#include <filesystem>
#include <sys/types.h>

namespace glb::test {

/// A folder whose listing fails part-way, as a damaged disk or a network folder that goes
/// away makes it: a small FUSE file system (failing_listing_fs.py, over fusepy) mounted on
/// `mountPoint` by a child process. It holds `files` plain files "arquivo-0000", ... that
/// open, read and delete normally; its listing yields the first `failAfter` of them and
/// then fails with EIO; with `failAfter` -1 it cannot be opened for listing at all (EIO),
/// though it is there as a folder. The constructor returns once the mount serves requests (the child
/// says so on a pipe, never after a pause) and throws std::runtime_error when it cannot be
/// mounted; the destructor ends the child, which unmounts it.
class FailingListingFolder
{
public:
    /// False where no FUSE file system can be mounted: this machine has no /dev/fuse.
    static bool available();
    /// Why available() is false here, for the tests that skip.
    static const char* unavailableReason();

    FailingListingFolder(std::filesystem::path mountPoint, int files, int failAfter);
    ~FailingListingFolder();
    FailingListingFolder(const FailingListingFolder&) = delete;
    FailingListingFolder& operator=(const FailingListingFolder&) = delete;

    const std::filesystem::path& path() const noexcept { return m_path; }

private:
    void unmount();

    std::filesystem::path m_path;
    pid_t m_pid = -1;
};

} // namespace glb::test
