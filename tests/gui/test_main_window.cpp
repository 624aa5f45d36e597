// The main window on its own: controls, option layouts, questions, the notification handler and
// the close query.
#include "tests/gui/GuiSupport.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void controlsAndCaptions();
    void optionLayouts_data();
    void optionLayouts();
    void questions_data();
    void questions();
    void notifications_data();
    void notifications();
    void closeQuery();
    void keyboardUpdate_data();
    void keyboardUpdate();
    void keyboardClose();
    void fileDialog();
};

void TestMainWindow::controlsAndCaptions() {
    TOptionStore store(false);
    TRig rig;
    TfrmMain& w = *rig.main;
    const std::pair<const char*, const char*> aButtons[] = {
        {"btnProg", "Update"}, {"btnFile", "File"}, {"btnClose", "Close"}, {"btnCancel", "Cancel"}};
    for (const auto& [sName, sCaption] : aButtons) {
        auto* p = w.findChild<QPushButton*>(sName);
        QVERIFY2(p, sName);
        QCOMPARE(p->text(), sCaption);
    }
    QCOMPARE(w.findChild<QCheckBox*>("chkReadInfoOnly")->text(), "Read info only");
    QVERIFY(w.findChild<QComboBox*>("cbxPort")->isEditable());
    QCOMPARE(w.findChild<QProgressBar*>("ProgressBar1")->maximum(), 100);
    QVERIFY(w.findChild<QStatusBar*>("StatusBar1"));
    QCOMPARE(w.findChild<QMenu*>("menInfo")->title(), "Info v2021-02-22");
    const std::pair<const char*, const char*> aItems[] = {
        {"menInfoFirmware", "Firmware"}, {"menInfoFile", "File version"}, {"menFileExit", "Exit"}};
    for (const auto& [sName, sCaption] : aItems) {
        auto* p = w.findChild<QAction*>(sName);
        QVERIFY2(p, sName);
        QCOMPARE(p->text(), sCaption);
    }
    QVERIFY(w.findChild<QAction*>("N1")->isSeparator());
    QCOMPARE(w.windowTitle(), Texts::AppTitle);

    // Idle at start: the cancel button stands hidden where "Close" is.
    QVERIFY(!w.btnClose->isHidden());
    QVERIFY(w.btnCancel->isHidden());
    QCOMPARE(w.btnCancel->geometry(), w.btnClose->geometry());
    QVERIFY(w.btnProg->isEnabled());

    // The window is as high as the panel and the status bar below its menu.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.Panel1->height(), 201);
    QCOMPARE(w.height(), w.menuBar()->height() + 201 + w.StatusBar1->height());
    QCOMPARE(w.width(), 444);
}

void TestMainWindow::optionLayouts_data() {
    QTest::addColumn<bool>("bInternal");
    QTest::addColumn<long long>("iCode");
    QTest::addColumn<QStringList>("aParams");
    QTest::addColumn<int>("iFileMode");
    QTest::addColumn<bool>("bCheckClass");
    QTest::addColumn<QString>("sStatus");

    QTest::newRow("normal") << false << 7315LL << QStringList{} << 0 << true << "";
    QTest::newRow("normal ignores internal keys, not mf")
        << false << 7315LL << QStringList{"f:+", "cc:-", "mf:+"} << 0 << true << "F";
    QTest::newRow("another number is normal")
        << true << 1234LL << QStringList{"f:+"} << 0 << true << "";
    QTest::newRow("internal") << true << 7315LL << QStringList{"cc:"} << 1 << true << "";
    QTest::newRow("internal with files, upper-case keys")
        << true << 7315LL << QStringList{"F:+", "CC:-", "mf:-", "mf:+"} << 2 << false << "";
}

void TestMainWindow::optionLayouts() {
    QFETCH(bool, bInternal);
    QFETCH(long long, iCode);
    QFETCH(QStringList, aParams);
    QFETCH(int, iFileMode);
    QFETCH(bool, bCheckClass);
    QFETCH(QString, sStatus);

    TOptionStore store(bInternal, iCode);
    std::vector<std::string> a;
    for (const QString& s : aParams)
        a.push_back(s.toStdString());
    TRig rig({}, a);
    TfrmMain& w = *rig.main;

    QCOMPARE(::iFileMode, iFileMode);
    QCOMPARE(::bCheckClass, bCheckClass);
    QCOMPARE(w.StatusText(), sStatus);
    QCOMPARE(w.chkReadInfoOnly->isHidden(), iFileMode == 0);
    QVERIFY(!w.chkReadInfoOnly->isChecked());
    QCOMPARE(w.btnFile->isHidden(), iFileMode != 2);
    QCOMPARE(w.menInfoFile->isVisible(), iFileMode == 2);
    if (iFileMode == 2) {
        QCOMPARE(w.btnProg->width(), 69);
        QCOMPARE(w.btnFile->width(), 69);
        QCOMPARE(w.btnFile->x(), w.btnProg->x() + 69 + 8);
    } else {
        QCOMPARE(w.btnProg->width(), w.btnClose->width());
    }
}

void TestMainWindow::questions_data() {
    QTest::addColumn<bool>("bFormat");
    QTest::addColumn<int>("iMode");
    QTest::addColumn<QString>("sQuestion");
    const QString sClears = Texts::AskClearsMeasurements;
    const QString sSave = Texts::AskSaveMeasurements;
    QTest::newRow("format, level 0") << true << 0 << sClears;
    QTest::newRow("format, level 1") << true << 1 << sClears;
    QTest::newRow("format, level 2") << true << 2 << sClears;
    QTest::newRow("level 0") << false << 0 << sSave;
    QTest::newRow("level 1") << false << 1 << QString();
    QTest::newRow("level 2") << false << 2 << QString();
}

void TestMainWindow::questions() {
    QFETCH(bool, bFormat);
    QFETCH(int, iMode);
    QFETCH(QString, sQuestion);
    TOptionStore store(false);
    TRig rig;
    bFormatMemory = bFormat;
    iFileMode = iMode;

    rig.main->cbxPort->setEditText("typed");
    if (!sQuestion.isEmpty()) {
        // "No" starts nothing.
        rig.bAnswer = false;
        rig.main->btnProgClick();
        QCOMPARE(rig.aQuestions, std::vector<std::string>{sQuestion.toStdString()});
        QVERIFY(!rig.main->IsRunning());
        QCOMPARE(rig.iOpens.load(), 0);
        QVERIFY(rig.Report().isEmpty());
        rig.bAnswer = true;
        rig.aQuestions.clear();
    }
    // "Yes", or no question at all, starts an update on the port in the box.
    rig.main->btnProgClick();
    QCOMPARE(rig.aQuestions.size(), sQuestion.isEmpty() ? 0u : 1u);
    QVERIFY(rig.WaitIdle());
    QCOMPARE(rig.iOpens.load(), 1);
    QCOMPARE(rig.fake.sOpenedPort, "typed");
    QCOMPARE(rig.Report().value(0), "Start at serial port \"typed\"");
}

using TTexts = QStringList;

void TestMainWindow::notifications_data() {
    QTest::addColumn<int>("iCode");
    QTest::addColumn<int>("iValue");
    QTest::addColumn<TTexts>("aReport");
    QTest::addColumn<QString>("sStatus"); // "before" when untouched
    QTest::addColumn<QString>("sMessage");
    QTest::addColumn<QString>("sTitle");

    const QString sApp = Texts::AppTitle;
    QTest::newRow("done names the selected image")
        << 0 << 0 << TTexts{"Update Kelvo model 26113 V5.138 succesfully completed."}
        << "Update Kelvo model 26113 V5.138 succesfully completed."
        << "Update Kelvo model 26113 V5.138 succesfully completed." << sApp;
    QTest::newRow("progress") << 1 << 42 << TTexts{"Progress 42%"} << "before"
                              << ""
                              << "42%";
    QTest::newRow("port not ready names the box text")
        << 10 << 10 << TTexts{"Aborted because serial port \"COM7\" is not ready!"}
        << "Aborted because serial port \"COM7\" is not ready!"
        << "Aborted because serial port \"COM7\" is not ready!" << sApp;
    QTest::newRow("cancelled") << 10 << 20 << TTexts{"Process cancelled!"} << "Process cancelled!"
                               << "Process cancelled!" << sApp;
    QTest::newRow("conversion error: message only") << 10 << 43 << TTexts{} << "before"
                                                    << "Aborted because conversion error!" << sApp;
    QTest::newRow("status 0 is fatal")
        << 10 << 0 << TTexts{"Fatal Exception has occurred!"} << "Fatal Exception has occurred!"
        << "Fatal Exception has occurred!" << sApp;
    QTest::newRow("unknown status is fatal")
        << 10 << 99 << TTexts{"Fatal Exception has occurred!"} << "Fatal Exception has occurred!"
        << "Fatal Exception has occurred!" << sApp;
    QTest::newRow("programming error line")
        << 11 << 17 << TTexts{"Aborted because programming error at line 17 !"}
        << "Aborted because programming error at line 17 !"
        << ""
        << "before";
    QTest::newRow("conversion error line, two blanks")
        << 12 << 5 << TTexts{"Aborted because conversion error at line  5 !"} << "before"
        << ""
        << "before";
    QTest::newRow("serial number") << 29 << 328297 << TTexts{"Serial number 328297"} << "before"
                                   << ""
                                   << "before";
    QTest::newRow("vector table value 2") << 40 << 2 << TTexts{} << "before"
                                          << ""
                                          << "before";
    QTest::newRow("unknown code 5") << 5 << 1 << TTexts{} << "before"
                                    << ""
                                    << "before";
    QTest::newRow("unknown code 101") << 101 << 0 << TTexts{} << "before"
                                      << ""
                                      << "before";
}

void TestMainWindow::notifications() {
    QFETCH(int, iCode);
    QFETCH(int, iValue);
    QFETCH(TTexts, aReport);
    QFETCH(QString, sStatus);
    QFETCH(QString, sMessage);
    QFETCH(QString, sTitle);

    TOptionStore store(false);
    TRig rig;
    TfrmMain& w = *rig.main;
    iFwIndex = 9;
    w.cbxPort->setEditText("COM7");
    w.SetStatusText("before");
    w.setWindowTitle("before");
    // The message comes last: report and status are written when it shows.
    QStringList aReportAtMessage;
    QString sStatusAtMessage;
    w.OnResultBox = [&](const std::string& s) {
        rig.aMessages.push_back(s);
        aReportAtMessage = rig.Report();
        sStatusAtMessage = w.StatusText();
    };

    // The steps of the notification, as the session hands them on.
    for (TStep step : NotificationSteps(iCode, iValue, "COM7")) {
        step.iCode = iCode;
        step.iNotified = iValue;
        w.ShowStep(step);
    }

    QCOMPARE(rig.Report(), aReport);
    QCOMPARE(w.StatusText(), sStatus);
    QCOMPARE(w.windowTitle(), sTitle);
    if (sMessage.isEmpty()) {
        QVERIFY(rig.aMessages.empty());
    } else {
        QCOMPARE(rig.aMessages, std::vector<std::string>{sMessage.toStdString()});
        QCOMPARE(aReportAtMessage, aReport);
        QCOMPARE(sStatusAtMessage, sStatus);
    }
    if (iCode == 0)
        QCOMPARE(w.ProgressBar1->value(), 100);
    if (iCode == 1)
        QCOMPARE(w.ProgressBar1->value(), 42);
    QVERIFY(!w.IsRunning());
}

void TestMainWindow::closeQuery() {
    TOptionStore store(false);
    {
        // Idle: "Exit" closes without a question.
        TRig rig;
        rig.main->show();
        rig.main->menFileExit->trigger();
        QVERIFY(rig.aQuestions.empty());
        QVERIFY(!rig.main->isVisible());
    }
    {
        // Running: the question; "No" keeps the update running.
        TRig rig(*LoggerPreset("entry9"));
        TTestKelvo::bHold = true;
        rig.main->show();
        rig.main->btnProgClick();
        QTRY_VERIFY(TTestKelvo::iWaiting > 0);
        // The worker waits before the window has taken the update's first step, which shows
        // "Cancel".
        QTRY_VERIFY(!rig.main->btnCancel->isHidden());
        rig.bAnswer = false;
        rig.aQuestions.clear();
        QVERIFY(!rig.main->close());
        QCOMPARE(rig.aQuestions, std::vector<std::string>{Texts::AskCloseWhileRunning});
        QVERIFY(rig.main->isVisible());
        QVERIFY(rig.main->IsRunning());
        QVERIFY(!rig.main->btnCancel->isHidden());

        // "Yes" cancels and waits for the worker: when close returns, the port is closed and
        // no result box comes for the abandoned update.
        rig.bAnswer = true;
        QVERIFY(rig.main->close());
        QVERIFY(!rig.main->IsRunning());
        QVERIFY(rig.fake.bClosed);
        QCOMPARE(TTestKelvo::iWaiting.load(), 0);
        QTest::qWait(50);
        QVERIFY(rig.aMessages.empty());
    }
}

namespace {

// The main window shown and active, so that keys reach its focus widget.
bool ShowActive(TfrmMain& w) {
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w);
}

// A key press as the operator makes it: to the widget that has the focus.
void PressKey(Qt::Key key) {
    QTest::keyClick(QApplication::focusWidget(), key);
}

} // namespace

void TestMainWindow::keyboardUpdate_data() {
    QTest::addColumn<int>("iKey");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

void TestMainWindow::keyboardUpdate() {
    QFETCH(int, iKey);
    const auto key = static_cast<Qt::Key>(iKey);
    TOptionStore store(false);
    TRig rig(*LoggerPreset("entry9"));
    TfrmMain& w = *rig.main;
    TTestKelvo::bHold = true;
    QVERIFY(ShowActive(w));

    // The key presses the focused "Update"; the question is answered "Yes".
    w.btnProg->setFocus();
    PressKey(key);
    QCOMPARE(rig.aQuestions, std::vector<std::string>{Texts::AskSaveMeasurements});
    QVERIFY(w.IsRunning());
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);

    // The focus has not passed to "Cancel": the same key again cancels nothing.
    QVERIFY(QApplication::focusWidget() != w.btnCancel);
    PressKey(key);
    QTest::qWait(20);
    QVERIFY(!bCancel);
    QVERIFY(w.IsRunning());

    // At the end the focus is back on "Update".
    w.btnCancel->click();
    QVERIFY(rig.WaitIdle());
    QCOMPARE(QApplication::focusWidget(), w.btnProg);
}

void TestMainWindow::keyboardClose() {
    TOptionStore store(false);
    TRig rig(*LoggerPreset("entry9"));
    TfrmMain& w = *rig.main;
    TTestKelvo::bHold = true;
    QVERIFY(ShowActive(w));
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);

    // The question before closing during an update, in the program's own box: "No" is its
    // default, so Enter keeps the update running.
    w.OnConfirm = nullptr;
    QString sDefault;
    QTimer::singleShot(0, &w, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (pBox == nullptr)
            return;
        sDefault = pBox->defaultButton()->text();
        QTest::keyClick(pBox, Qt::Key_Return);
    });
    QVERIFY(!w.close());
    QCOMPARE(sDefault, "No");
    QVERIFY(w.IsRunning());
    QVERIFY(w.isVisible());

    // Idle again: Enter on the focused "Close" closes the window.
    w.btnCancel->click();
    QVERIFY(rig.WaitIdle());
    QVERIFY(ShowActive(w));
    w.btnClose->setFocus();
    PressKey(Qt::Key_Return);
    QVERIFY(!w.isVisible());
}

namespace {

struct TDialogSeen {
    QStringList aFilters;
    QString sDir;
};

// Runs the window's file-open dialog through open: keeps what it offers, looks into sLookInto if
// given, then picks sFile (empty: cancels).
TDialogSeen RunFileDialog(TfrmMain& w, const std::function<void()>& open, const QString& sFile,
                          const QString& sLookInto = {}) {
    TDialogSeen seen;
    QTimer::singleShot(0, w.OpenDialog1, [&] {
        QFileDialog& d = *w.OpenDialog1;
        seen.aFilters = d.nameFilters();
        seen.sDir = QFileInfo(d.directory().absolutePath()).canonicalFilePath();
        if (!sLookInto.isEmpty())
            d.setDirectory(sLookInto);
        if (sFile.isEmpty()) {
            d.reject();
            return;
        }
        d.selectFile(sFile);
        static_cast<QDialog&>(d).accept(); // as its "Open" button does
    });
    open();
    return seen;
}

} // namespace

void TestMainWindow::fileDialog() {
    // The dialog of "File" and "File version" opens in the home folder, then where the last file
    // was chosen; a folder only looked into is not kept.
    TOptionStore store(false);
    QTemporaryDir home;
    QTemporaryDir other;
    QVERIFY(QDir(other.path()).mkpath("sub"));
    const QByteArray sHomeBefore = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    const auto restoreHome = qScopeGuard([&] { qputenv("HOME", sHomeBefore); });
    const auto canonical = [](const QString& s) {
        return QFileInfo(s).canonicalFilePath();
    };

    TRig rig;
    TfrmMain& w = *rig.main;
    // A file the update refuses: "File" starts nothing with it.
    const QString sBad =
        QString::fromStdString(WriteFwFile(other, "sub/bad.kfw", "bootloader=oops\n"));
    const auto file = [&] {
        w.btnFileClick();
    };

    const TDialogSeen first = RunFileDialog(w, file, sBad);
    QCOMPARE(first.aFilters, (QStringList{"Firmware files (*.kfw)", "All files (*)"}));
    // HOME decides on Linux; Windows takes the user's profile folder whatever HOME says.
    QCOMPARE(first.sDir, canonical(QDir::homePath()));
    QCOMPARE(rig.aMessages.size(), 1u); // the file was chosen and refused

    QCOMPARE(RunFileDialog(w, file, {}, other.path()).sDir, canonical(other.filePath("sub")));
    const TDialogSeen later = RunFileDialog(w, [&] { w.menInfoFileClick(); }, {});
    QCOMPARE(later.sDir, canonical(other.filePath("sub")));
    QCOMPARE(later.aFilters, first.aFilters);
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
