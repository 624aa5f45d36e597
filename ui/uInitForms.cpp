#include "ui/uInitForms.h"

#include "ui/uInfo.h"
#include "ui/uMain.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

#include <QApplication>

#include <initializer_list>

QIcon ProgramIcon() {
    QIcon icon;
    for (int iSize : {16, 24, 32, 48, 64, 256})
        icon.addFile(QString(":/icons/kelvo-firmware-update-%1.png").arg(iSize),
                     QSize(iSize, iSize));
    return icon;
}

void InitForms(TfrmMain& mainWindow) {
    // The application's icon: the windows without a parent (message boxes) take it too.
    QApplication::setWindowIcon(ProgramIcon());
    // The main window owns them; they live as long as it does.
    frmInfo = new TfrmInfo(&mainWindow);
    frmProtocol = new TfrmProtocol(mainWindow);
    frmMessage = new TfrmMessage(&mainWindow);
}
