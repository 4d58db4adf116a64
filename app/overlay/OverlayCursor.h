#pragma once

#include <QCursor>

namespace glb::app {

/// The database-wait pointer: an hourglass with the letters SQL beneath it, 32 x 32,
/// hot spot at the top-left corner.
QCursor databaseWaitCursor();

} // namespace glb::app
