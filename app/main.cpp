#include "app/MainWindow.h"
#include "app/ToolkitArguments.h"
#include "backup/SendBackupFactory.h"
#include "common/Platform.h"
#include "service/ServiceContract.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // A send holds every staged archive open at once while it goes out.
    glb::platform::raiseOpenFileLimit();
    glb::service::RegisterBackupGlebariumTypes();
    glb::app::ToolkitArguments toolkitArguments(argc, argv);
    QApplication application(toolkitArguments.argc(), toolkitArguments.argv());
    glb::app::TfrmBackup frmBackup;
    const auto enviarBackup = glb::backup::makeSendBackupCommand(frmBackup, frmBackup.qryGlebarium());
    frmBackup.setSendCommand(enviarBackup.get());
    frmBackup.show();
    // The program always ends with exit code 0, whatever ended the loop.
    QApplication::exec();
    return 0;
}
