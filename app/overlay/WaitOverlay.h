#pragma once

#include <QString>

class QWidget;

namespace glb::app {

/// MostrarAguarde: shows the wait panel "pngAguarde" with `mensagem` + " ..." over
/// `formulario`, sets the database-wait pointer and enables or disables the window as
/// `habilitar` says. Does nothing for a null window. May raise (an image file the loader
/// refuses) after the panel is in place, with the pointer set and the window enabled.
void MostrarAguarde(QWidget* formulario, const QString& mensagem, bool habilitar);

/// Shows `percent`, the share of the work done, after the wait panel's text, and `detail` on a
/// line of its own under it (none when empty), when `formulario` has a panel; the panel keeps
/// its size.
void AtualizarAguarde(QWidget* formulario, int percent, const QString& detail = {});

/// EsconderAguarde: removes the panel if present; always restores the pointer and
/// enables the window. Does nothing for a null window.
void EsconderAguarde(QWidget* formulario);

} // namespace glb::app
