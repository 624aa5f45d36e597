#include "ui/uAccessNames.h"

#include "ui/uInfo.h"
#include "ui/uMain.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

void Describe(QWidget& w, const char* sName, const char* sDescription) {
    w.setAccessibleName(sName);
    w.setAccessibleDescription(sDescription);
}

void SetAccelerator(QAbstractButton& button, const QKeySequence& key) {
    button.setShortcut(key);
    // Told to the reader of the tooltip and to assistive technology, since the caption cannot
    // underline a letter.
    button.setToolTip(button.toolTip().isEmpty()
                          ? key.toString(QKeySequence::NativeText)
                          : button.toolTip() + " (" + key.toString(QKeySequence::NativeText) + ")");
}

void DescribeControls(TfrmMain& w) {
    Describe(w, "Kelvo Firmware Update", "Updates the firmware of a Kelvo logger");
    Describe(*w.menuBar(), "Menu bar", "Info and Workshop menus");
    Describe(*w.Panel1, "Update controls", "Port, progress and the update's buttons");
    Describe(*w.Bevel1, "Separator", "A line under the menu bar");
    Describe(*w.Label1, "Comport:", "Names the port box");
    Describe(*w.cbxPort, "Comport", "The serial port of the logger; a name may be typed");
    if (QLineEdit* pEdit = w.cbxPort->lineEdit())
        Describe(*pEdit, "Comport", "The serial port of the logger");
    w.Label1->setBuddy(w.cbxPort);
    Describe(*w.ProgressBar1, "Progress", "How much of the update is done");
    Describe(*w.btnProg, "Update", "Starts the update of the logger on the chosen port (Alt+U)");
    Describe(*w.btnFile, "File", "Updates the logger with a firmware file (Alt+F)");
    Describe(*w.btnClose, "Close", "Closes the program (Alt+C)");
    Describe(*w.btnCancel, "Cancel", "Cancels the running update (Alt+A)");
    Describe(*w.chkReadInfoOnly, "Read info only",
             "Stops once the logger's information has been read (Alt+R)");
    Describe(*w.lblSerial, "Serial number:", "Names the serial number field");
    Describe(*w.edtSerial, "Serial number",
             "The number on the label of a logger found in its bootloader");
    w.lblSerial->setBuddy(w.edtSerial);
    Describe(*w.StatusBar1, "Status", "The state of the update");
    for (QLabel* pLabel : w.StatusBar1->findChildren<QLabel*>())
        Describe(*pLabel, "Status text", "The state of the update");
    SetAccelerator(*w.btnProg, QKeySequence(Qt::ALT | Qt::Key_U));
    SetAccelerator(*w.btnFile, QKeySequence(Qt::ALT | Qt::Key_F));
    SetAccelerator(*w.btnClose, QKeySequence(Qt::ALT | Qt::Key_C));
    SetAccelerator(*w.btnCancel, QKeySequence(Qt::ALT | Qt::Key_A));
    SetAccelerator(*w.chkReadInfoOnly, QKeySequence(Qt::ALT | Qt::Key_R));
    // The order of the rows: the port, the buttons from left to right, then the options.
    QWidget::setTabOrder(w.cbxPort, w.btnProg);
    QWidget::setTabOrder(w.btnProg, w.btnFile);
    QWidget::setTabOrder(w.btnFile, w.btnClose);
    QWidget::setTabOrder(w.btnClose, w.btnCancel);
    QWidget::setTabOrder(w.btnCancel, w.chkReadInfoOnly);
    QWidget::setTabOrder(w.chkReadInfoOnly, w.edtSerial);
}

void DescribeControls(TfrmProtocol& w) {
    Describe(w, "Report", "The timestamped report of the update");
    Describe(*w.Memo1, "Report", "The report's lines, each with its time");
}

void DescribeControls(TfrmMessage& w) {
    Describe(w, "Information", "The outcome of the update");
    Describe(*w.Memo1, "Message", "The outcome of the update in words");
    Describe(*w.Panel1, "Buttons", "The message's button");
    Describe(*w.Button1, "OK", "Closes the message (Alt+O)");
    SetAccelerator(*w.Button1, QKeySequence(Qt::ALT | Qt::Key_O));
}

void DescribeControls(TfrmInfo& w) {
    Describe(w, "Overview", "The built-in firmware images and the program's version");
    Describe(*w.ListView1, "Firmware images", "One row per firmware image the program holds");
    Describe(*w.lblAbout, "About", "The program's version and where its notices are");
    Describe(*w.Panel1, "Buttons", "The overview's button");
    Describe(*w.Button1, "OK", "Closes the overview (Alt+O)");
    SetAccelerator(*w.Button1, QKeySequence(Qt::ALT | Qt::Key_O));
}
