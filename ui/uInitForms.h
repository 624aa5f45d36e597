// Creates the secondary windows once, after the main window: the overview dialog, the report
// window (which places itself under the main window) and the message window, in this order; and
// gives every window of the program, the message boxes included, the program's icon.
#pragma once

#include <QIcon>

class TfrmMain;

void InitForms(TfrmMain& mainWindow);

// The program's icon in the sizes it is kept in.
QIcon ProgramIcon();
