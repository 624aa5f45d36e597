// kelvo-firmware-update: the operator's program for updating the firmware of a Kelvo logger.
#include "device/uKelvoCommThread.h"
#include "ui/uInitForms.h"
#include "ui/uMain.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kelvo-firmware-update");
    QApplication::setWindowIcon(QIcon(":/icons/kelvo-firmware-update.svg"));

    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();

    // Qt has taken its own options out; the rest are the program's key:value parameters.
    TMainSettings settings;
    const QStringList aArgs = QCoreApplication::arguments();
    for (qsizetype i = 1; i < aArgs.size(); ++i)
        settings.aParams.push_back(aArgs[i].toLocal8Bit().toStdString());
    settings.sProgramDir = QCoreApplication::applicationDirPath().toStdString();

    TfrmMain mainWindow(std::move(settings));
    frmMain = &mainWindow;
    InitForms(mainWindow);
    mainWindow.show();
    return QApplication::exec();
}
