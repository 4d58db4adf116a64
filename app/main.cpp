#include <QApplication>

#include "app/MainWindow.h"
#include "service/ServiceContract.h"

int main(int argc, char* argv[])
{
    glb::service::RegisterBackupGlebariumTypes();
    QApplication application(argc, argv);
    glb::app::TfrmBackup frmBackup;
    frmBackup.show();
    application.exec();
    return 0;
}
