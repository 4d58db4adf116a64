#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <filesystem>
#include <optional>

namespace glb::app {

/// Width of the wait panel for a text of `textLength` characters: 9 pixels each when that
/// is more than 250, else 250.
int overlayPanelWidth(qsizetype textLength);

/// Final place of the wait panel in a window whose outer size (frame and title bar
/// included) is `windowOuterSize`: centred on the outer size, the top computed with the
/// panel's initial height 41 before it grows to 79; halves truncate toward zero.
QRect overlayPanelGeometry(QSize windowOuterSize, qsizetype textLength);

/// `path` with the ASCII letters A to Z lower-cased and every other character kept.
QString lowerAsciiPath(const QString& path);

/// The overlay's image file for a program in `executableDirectory`, or none when it is
/// absent. The file is `executableDirectory` + "carregandobarra.gif" with the whole path
/// lower-cased in ASCII, which on a case-blind file system is simply the file beside the
/// program. An entry of any kind but a folder counts as present (a pipe of that name too,
/// which the loader then refuses). On a case-sensitive one that path is used when it names
/// one; otherwise the
/// executable directory as it is spelled is searched: a file named exactly
/// "carregandobarra.gif", else one whose name equals it ignoring ASCII case (the first by
/// name, should several match).
std::optional<std::filesystem::path> findOverlayImage(const std::filesystem::path& executableDirectory);

} // namespace glb::app
