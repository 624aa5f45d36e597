#include "ui/uInitForms.h"

#include "ui/uInfo.h"
#include "ui/uMain.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

void InitForms(TfrmMain& mainWindow) {
    // The main window owns them; they live as long as it does.
    frmInfo = new TfrmInfo(&mainWindow);
    frmProtocol = new TfrmProtocol(mainWindow);
    frmMessage = new TfrmMessage(&mainWindow);
}
