#include "app/overlay/WaitOverlay.h"

#include "app/overlay/OverlayAnimation.h"
#include "app/overlay/OverlayCursor.h"
#include "app/overlay/OverlayGeometry.h"
#include "app/overlay/OverlayPanel.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"

#include <QApplication>
#include <QWidget>

namespace glb::app {

namespace {

const QString kPanelName = QStringLiteral("pngAguarde");

} // namespace

void MostrarAguarde(QWidget* formulario, const QString& mensagem, bool habilitar)
{
    if (formulario == nullptr) {
        return; // the panel needs a window to live in; nothing to show, nothing to lock
    }
    EsconderAguarde(formulario);
    const QString texto = mensagem + QStringLiteral(" ...");
    QApplication::setOverrideCursor(databaseWaitCursor());

    auto* panel = new OverlayPanel(formulario);
    panel->resize(185, 41);
    panel->setGeometry(overlayPanelGeometry(formulario->frameGeometry().size(), texto.size()));
    panel->setObjectName(kPanelName);
    panel->setText(texto);
    panel->show();
    panel->raise();
    QApplication::processEvents(); // the panel is painted before the work starts

    if (const auto image = findOverlayImage(platform::executableDirectory())) {
        const QString path = QString::fromStdU16String(image->u16string());
        // Raises for a file the loader refuses; the panel stays, the caller's clean-up removes it.
        panel->showAnimation(std::make_unique<OverlayAnimation>(path));
    }
    formulario->setEnabled(habilitar);
}

void AtualizarAguarde(QWidget* formulario, int percent, const QString& detail)
{
    if (formulario == nullptr) {
        return;
    }
    for (QObject* child : formulario->children()) {
        auto* panel = qobject_cast<OverlayPanel*>(child);
        if (panel != nullptr && panel->objectName() == kPanelName) {
            panel->setProgress(percent);
            panel->setDetail(detail);
            return;
        }
    }
}

void EsconderAguarde(QWidget* formulario)
{
    if (formulario == nullptr) {
        return;
    }
    // On every way out, also when removing the panel raised.
    const ScopeExit restoreWindow([formulario] {
        while (QApplication::overrideCursor() != nullptr) {
            QApplication::restoreOverrideCursor();
        }
        formulario->setEnabled(true);
    });
    QApplication::processEvents();
    const QObjectList children = formulario->children(); // a copy: the loop deletes one
    for (QObject* child : children) {
        auto* panel = qobject_cast<OverlayPanel*>(child);
        if (panel != nullptr && panel->objectName() == kPanelName) {
            panel->stopAnimation();
            delete panel;
            break;
        }
    }
}

} // namespace glb::app
