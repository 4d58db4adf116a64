#pragma once

#include <QString>

class QWidget;

namespace glb::app {

/// MostrarAguarde: shows the wait panel "pngAguarde" with `mensagem` + " ..." over
/// `formulario` (never null), sets the database-wait pointer and enables or disables the
/// window as `habilitar` says. May raise (an image file the loader refuses) after the
/// panel is in place.
void MostrarAguarde(QWidget* formulario, const QString& mensagem, bool habilitar);

/// EsconderAguarde: removes the panel if present; always restores the pointer and
/// enables the window. Does nothing for a null window.
void EsconderAguarde(QWidget* formulario);

} // namespace glb::app
