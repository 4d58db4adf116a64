#include "app/MainWindow.h"

namespace glb::app {

TfrmBackup::TfrmBackup(QWidget* parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Backup Glebarium"));
}

} // namespace glb::app
