#pragma once

// For tests only: faults the farm list can be made to meet.

namespace glb::backup {

/// While `code` is non-zero, every start of a stopped engine fails with it.
void failSessionStarts(unsigned code);

} // namespace glb::backup
