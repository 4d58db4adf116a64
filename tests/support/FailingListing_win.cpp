// FailingListingFolder for the Windows build: a folder whose listing fails on demand needs
// FUSE, which is Linux's alone, so the tests that use it skip there with that reason.
#include "tests/support/FailingListing.h"

#include <stdexcept>

namespace glb::test {

bool FailingListingFolder::available()
{
    return false;
}

FailingListingFolder::FailingListingFolder(std::filesystem::path mountPoint, int /*files*/, int /*failAfter*/)
    : m_path(std::move(mountPoint))
{
    throw std::runtime_error("a folder whose listing fails needs FUSE (Linux only)");
}

FailingListingFolder::~FailingListingFolder() = default;

void FailingListingFolder::unmount()
{
}

} // namespace glb::test
