#include "app/WaitOverlay.h"

#include <QApplication>
#include <QWidget>

// Placeholder until the overlay lands: only the window's enabled state and the pointer.
namespace glb::app {

void MostrarAguarde(QWidget* formulario, const QString&, bool habilitar)
{
    EsconderAguarde(formulario);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    formulario->setEnabled(habilitar);
}

void EsconderAguarde(QWidget* formulario)
{
    if (formulario == nullptr) {
        return;
    }
    while (QApplication::overrideCursor() != nullptr) {
        QApplication::restoreOverrideCursor();
    }
    formulario->setEnabled(true);
}

} // namespace glb::app
