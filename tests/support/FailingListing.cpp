#include "tests/support/FailingListing.h"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace glb::test {

namespace {

bool isMountPoint(const std::filesystem::path& path)
{
    struct stat own
    {
    };
    struct stat parent
    {
    };
    return ::stat(path.c_str(), &own) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 &&
           own.st_dev != parent.st_dev;
}

} // namespace

bool FailingListingFolder::available()
{
    return ::access("/dev/fuse", F_OK) == 0;
}

const char* FailingListingFolder::unavailableReason()
{
    return "no /dev/fuse on this machine: a FUSE folder cannot be mounted";
}

FailingListingFolder::FailingListingFolder(std::filesystem::path mountPoint, int files, int failAfter)
    : m_path(std::move(mountPoint))
{
    std::array<int, 2> fromChild{};
    if (::pipe2(fromChild.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const std::string filesText = std::to_string(files);
    const std::string failText = std::to_string(failAfter);
    m_pid = ::fork();
    if (m_pid == 0) {
        // Should the test die, the file system ends too, and unmounts on its way out.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::execl(GLB_TEST_PYTHON, GLB_TEST_PYTHON, GLB_FAILING_LISTING_FS, m_path.c_str(), filesText.c_str(),
                failText.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fromChild[1]);
    std::string said;
    std::array<char, 16> buffer{};
    ssize_t n = 0;
    while (said.find('\n') == std::string::npos && (n = ::read(fromChild[0], buffer.data(), buffer.size())) > 0) {
        said.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fromChild[0]);
    if (said != "ready\n") {
        unmount();
        throw std::runtime_error("the FUSE folder could not be mounted on " + m_path.string() +
                                 " (it needs python3-fusepy and the right to mount)");
    }
}

FailingListingFolder::~FailingListingFolder()
{
    unmount();
}

void FailingListingFolder::unmount()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    // A child that died without unmounting leaves the mount behind: take it away, so that
    // the folder can be removed.
    if (isMountPoint(m_path)) {
        ::umount2(m_path.c_str(), MNT_DETACH);
    }
}

} // namespace glb::test
