#pragma once

#include <QString>
#include <QStringList>

namespace glb::app {

/// The families a font of the program's windows asks for: `windowsFamily` (Segoe UI,
/// Tahoma), then Open Sans, which the program's scripts install. Where the Windows font is
/// missing (Linux, Wine), Open Sans keeps the window's texts within a few per cent of the
/// widths they were laid out for in Segoe UI; the system's default sans-serif family is
/// wider by up to a fifth and would cut them.
inline QStringList withFallbackFamily(const QString& windowsFamily)
{
    return {windowsFamily, QStringLiteral("Open Sans")};
}

} // namespace glb::app
