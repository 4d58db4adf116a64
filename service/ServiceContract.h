#pragma once

namespace glb::service {

/// Makes the four registrations of the service contract, in their order. Called once at
/// program start, before the main window is created.
void RegisterBackupGlebariumTypes();

} // namespace glb::service
