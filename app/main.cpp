#include "app/MainWindow.h"
#include "service/ServiceContract.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    glb::service::RegisterBackupGlebariumTypes();
    QApplication application(argc, argv);
    glb::app::TfrmBackup frmBackup;
    frmBackup.show();
    // The program always ends with exit code 0, whatever ended the loop.
    QApplication::exec();
    return 0;
}
