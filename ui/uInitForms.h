// Creates the secondary windows once, after the main window: the overview dialog, the report
// window (which places itself under the main window) and the message window, in this order.
#pragma once

class TfrmMain;

void InitForms(TfrmMain& mainWindow);
