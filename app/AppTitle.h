#pragma once

#include <QString>

namespace glb::app {

/// The application title for a program file: the name after the last "\" (and, outside
/// Windows, the last "/"), cut at its first ".", every character after the first
/// lower-cased. "C:\x\ENVIO.BACKUP.EXE" gives "Envio".
QString titleFromProgramPath(const QString& programPath);

/// The application title of the running program, derived once from its file name. The
/// caption of every information box and error box.
const QString& applicationTitle();

} // namespace glb::app
