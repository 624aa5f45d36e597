// The secondary windows and the port box: report lines and docking, the message box's place,
// the firmware overview, start-up placement, the refresh of the port list and the program's icon
// on every window.
#include "tests/gui/GuiSupport.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "uVersionInfo.h"
#include "ui/uInfo.h"
#include "ui/uInitForms.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpontaneKeyEvent>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QStringList Column(const QTreeWidget& list, int iColumn) {
    QStringList a;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        a << list.topLevelItem(i)->text(iColumn);
    return a;
}

// Opens the overview through the menu item and closes it as soon as it runs.
void OpenOverview(QAction& item) {
    QTimer::singleShot(0, frmInfo, &QDialog::accept);
    item.trigger();
}

void Touch(const QString& sPath) {
    QFile f(sPath);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void init() { store = std::make_unique<TOptionStore>(false); }
    void cleanup() { store.reset(); }
    void reportLinesAndDocking();
    void reportKeepsTimesInView();
    void reportWindowAtFirstIdle_data();
    void reportWindowAtFirstIdle();
    void reportWindowRefusesToClose();
    void messagePlacement();
    void overview();
    void overviewOfAFile();
    void overviewDuringAnUpdate();
    void portList();
    void programIcon();

private:
    std::unique_ptr<TOptionStore> store;
};

void TestWindows::reportLinesAndDocking() {
    TRig rig;
    TfrmMain& w = *rig.main;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    frmProtocol->Clear();
    frmProtocol->Add("Process cancelled!");
    frmProtocol->Add("first\r\nsecond");
    const QStringList aLines = frmProtocol->Text().split('\n');
    QCOMPARE(aLines.size(), 3);
    QVERIFY(QRegularExpression("^\\d\\d-\\d\\d-\\d\\d -> Process cancelled!$")
                .match(aLines[0])
                .hasMatch());
    QVERIFY(aLines[1].endsWith(" -> first"));
    QCOMPARE(aLines[2], "second");

    // Moving the main window takes the (hidden) report window along, under it, keeping its own
    // size when that was changed by hand.
    frmProtocol->resize(300, 120);
    const QRect r = w.frameGeometry();
    w.move(r.left() + 30, r.top() + 5);
    QTRY_COMPARE(frmProtocol->frameGeometry().topLeft(),
                 QPoint(r.left() + 30, r.top() + 5 + r.height()));
    QCOMPARE(frmProtocol->size(), QSize(300, 120));
    QVERIFY(!frmProtocol->isVisible());
}

void TestWindows::reportKeepsTimesInView() {
    // Long lines: the newest line is in view from its start, with its time of day.
    TRig rig;
    rig.main->show();
    frmProtocol->show();
    QTRY_VERIFY(frmProtocol->isVisible());
    const QScrollBar& h = *frmProtocol->Memo1->horizontalScrollBar();
    const QScrollBar& v = *frmProtocol->Memo1->verticalScrollBar();
    for (int i = 0; i < 20; ++i)
        frmProtocol->Add("Reason: " + std::string(300, 'x') + std::to_string(i));
    QVERIFY(h.maximum() > h.minimum());
    QCOMPARE(h.value(), h.minimum());
    QVERIFY(v.maximum() > v.minimum());
    QCOMPARE(v.value(), v.maximum());
}

void TestWindows::reportWindowAtFirstIdle_data() {
    QTest::addColumn<bool>("bInternal");
    QTest::newRow("normal: hidden") << false;
    QTest::newRow("internal: shown under the main window") << true;
}

void TestWindows::reportWindowAtFirstIdle() {
    QFETCH(bool, bInternal);
    store = std::make_unique<TOptionStore>(bInternal);
    TRig rig;
    TfrmMain& w = *rig.main;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(20);
    QCOMPARE(frmProtocol->isVisible(), bInternal);
    QVERIFY(frmProtocol->Text().isEmpty());
    if (!bInternal)
        return;
    const QRect rMain = w.frameGeometry();
    const QRect rReport = frmProtocol->frameGeometry();
    QCOMPARE(rReport.left(), rMain.left());
    QCOMPARE(rReport.top(), rMain.top() + rMain.height());
    QCOMPARE(rReport.width(), rMain.width());
}

void TestWindows::reportWindowRefusesToClose() {
    store = std::make_unique<TOptionStore>(true);
    TRig rig;
    TfrmMain& w = *rig.main;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY(frmProtocol->isVisible());

    // A window manager's close request (spontaneous, as from a close button it offers against
    // the hint) hides nothing.
    QCloseEvent request;
    QSpontaneKeyEvent::setSpontaneous(&request);
    qApp->notify(frmProtocol, &request); // sendEvent would make it a program's own request
    QVERIFY(!request.isAccepted());
    QVERIFY(frmProtocol->isVisible());

    // The program's end closes every window, the report too, so that nothing keeps it running.
    QApplication::closeAllWindows();
    QVERIFY(!frmProtocol->isVisible());
    QVERIFY(!w.isVisible());
}

void TestWindows::messagePlacement() {
    TRig rig;
    QCOMPARE(frmMessage->windowTitle(), "Information");
    QCOMPARE(frmMessage->Button1->text(), "OK");
    frmMessage->setFixedHeight(140);
    frmMessage->Prepare("one\r\ntwo", 100, 200, 460, 300);
    QCOMPARE(frmMessage->frameGeometry(), QRect(110, 350, 440, 140));
    // A fixed-size dialog without buttons in its title bar, whatever the window manager offers.
    QCOMPARE(frmMessage->minimumSize(), frmMessage->maximumSize());
    QCOMPARE(frmMessage->windowFlags() & (Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint |
                                          Qt::WindowSystemMenuHint),
             Qt::WindowFlags());
    QCOMPARE(frmMessage->Memo1->document()->blockCount(), 2);

    // The real box runs modally until "OK".
    QTimer::singleShot(0, frmMessage, [] { frmMessage->Button1->click(); });
    frmMessage->showMsg("done", 0, 0, 460, 300);
    QVERIFY(!frmMessage->isVisible());
    QCOMPARE(frmMessage->Memo1->toPlainText(), "done");
}

void TestWindows::overview() {
    TRig rig;
    TfrmMain& w = *rig.main;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    frmInfo->resize(500, 50); // whatever the operator left behind
    OpenOverview(*w.menInfoFirmware);

    const QTreeWidget& list = *frmInfo->ListView1;
    QCOMPARE(frmInfo->windowTitle(), "Overview");
    QCOMPARE(list.headerItem()->text(0), "Firmware");
    QCOMPARE(list.headerItem()->text(5), "BL");
    const QStringList aVersions = Column(list, 1);
    QCOMPARE(aVersions.size(), 9);
    QCOMPARE(aVersions.front(), "5.138"); // entry 9 first
    QCOMPARE(aVersions.back(), "3.20");   // entry 1 last
    QCOMPARE(aVersions[7], "4.08");       // entry 2
    QCOMPARE(Column(list, 5)[4], "2.1");  // entry 5
    // Over the main window, as high as it.
    const QRect rMain = w.frameGeometry();
    QCOMPARE(frmInfo->frameGeometry().topLeft(), rMain.topLeft());
    QCOMPARE(frmInfo->frameGeometry().height(), rMain.height());
    QVERIFY(frmInfo->width() >= 30 + 6 * 5);
    // Under the list: the version and the installed notices' folder, each line shown whole.
    const QLabel& about = *frmInfo->lblAbout;
    QVERIFY(about.isVisibleTo(frmInfo));
    QCOMPARE(about.text(), AboutText(QCoreApplication::applicationDirPath()));
    QVERIFY(about.geometry().top() >= list.geometry().bottom());
    QVERIFY(about.height() >= about.sizeHint().height());
#ifdef Q_OS_WIN
    QCOMPARE(AboutText("C:/Program Files/Kelvo Firmware Update"),
             QString("Kelvo Firmware Update %1\nThird-party software: see THIRD-PARTY-NOTICES.txt "
                     "in\nC:\\Program Files\\Kelvo Firmware Update")
                 .arg(KelvoVersion));
#else
    QCOMPARE(AboutText("/usr/bin"),
             QString("Kelvo Firmware Update %1\nThird-party software: see THIRD-PARTY-NOTICES.txt "
                     "in\n/usr/share/doc/kelvo-firmware-update")
                 .arg(KelvoVersion));
#endif

    OpenOverview(*w.menInfoFirmware);
    QCOMPARE(Column(list, 1), aVersions);
}

void TestWindows::overviewOfAFile() {
    QTemporaryDir dir;
    const std::string sFile =
        WriteFwFile(dir, "custom.kfw",
                    "bootloader=65535\nbootloader version=0\nclass=26113\nversionH=6\nversionL=1\n"
                    "platform=12\nprint=44\ndate=\n");
    const std::string sBad = WriteFwFile(dir, "bad.kfw", "bootloader=2\nbootloader version=oops\n");
    TRig rig;
    TfrmMain& w = *rig.main;
    iFileMode = 2;
    std::string sChosen = sBad;
    w.OnChooseFile = [&] {
        return sChosen;
    };
    std::vector<std::string> aErrors;
    w.OnErrorBox = [&](const std::string& s) {
        aErrors.push_back(s);
    };

    // An unreadable header: the error's text, no overview, nothing selected.
    w.menInfoFile->trigger();
    QCOMPARE(aErrors.size(), 1u);
    QVERIFY2(aErrors[0].starts_with("'oops' is not a valid integer value"), aErrors[0].c_str());
    QCOMPARE(iFwIndex, -1);

    sChosen = sFile;
    OpenOverview(*w.menInfoFile);
    const QTreeWidget& list = *frmInfo->ListView1;
    QCOMPARE(list.topLevelItemCount(), 10);
    QCOMPARE(list.topLevelItem(0)->text(1), "6.01");
    QCOMPARE(list.topLevelItem(0)->text(4), "");
    QCOMPARE(list.topLevelItem(0)->text(5), "65535.0");
    QCOMPARE(list.topLevelItem(1)->text(1), "5.138");

    // A file that does not exist: nothing happens.
    sChosen = dir.filePath("missing.kfw").toStdString();
    w.menInfoFile->trigger();
    QCOMPARE(aErrors.size(), 1u);
}

void TestWindows::overviewDuringAnUpdate() {
    // The overview stays open to the operator while an update runs, and the worker changes the
    // catalogue selection meanwhile. The update is held at its first data line: the selection is
    // made and the transfer has begun.
    const std::string sFile = KELVO_SOURCE_DIR "/firmware/images/entry9.kfw";
    const struct {
        bool bFile;
        int iRows;           // the file slot is the tenth
        std::int32_t iStray; // what a worker in the middle of its selection might leave
    } aCases[] = {{false, 9, 0}, {true, 10, -1}};
    for (const auto& k : aCases) {
        // Before the rig: the worker that reads them is joined when the rig goes.
        std::atomic<bool> bHeld{false};
        std::atomic<bool> bRelease{false};
        TRig rig(*LoggerPreset("entry9"));
        TfrmMain& w = *rig.main;
        w.OnChooseFile = [&] {
            return sFile;
        };
        rig.fake.Responder = [&](const TBytes& a) {
            if (!bHeld && a.size() > 3 && a[0] == ':' && a[1] == '4' && a[2] == '0') {
                bHeld = true;
                while (!bRelease && !bCancel)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return rig.model.Receive(a.data(), a.size());
        };
        if (k.bFile)
            w.btnFileClick();
        else
            w.btnProgClick();
        QTRY_VERIFY(bHeld);
        // The steps of everything the worker posted before the line arrive.
        QTRY_VERIFY2(w.StatusText().startsWith("Update Kelvo model 26113 V5.138"),
                     qPrintable(w.StatusText()));
        QVERIFY(w.menInfoFirmware->isEnabled());

        const QTreeWidget& list = *frmInfo->ListView1;
        OpenOverview(*w.menInfoFirmware);
        QCOMPARE(list.topLevelItemCount(), k.iRows);
        // The window's own view of the selection fills the list, not the worker's variable.
        const std::int32_t iSelected = iFwIndex;
        iFwIndex = k.iStray;
        OpenOverview(*w.menInfoFirmware);
        QCOMPARE(list.topLevelItemCount(), k.iRows);
        iFwIndex = iSelected;

        bRelease = true;
        QVERIFY(rig.WaitIdle());
        QCOMPARE(rig.aMessages, std::vector<std::string>{
                                    "Update Kelvo model 26113 V5.138 succesfully completed."});
        OpenOverview(*w.menInfoFirmware);
        QCOMPARE(list.topLevelItemCount(), k.iRows);
    }
}

void TestWindows::portList() {
#ifdef _WIN32
    QSKIP("Windows lists the ports of the registry: see test_port_notice_win32");
#endif
    QTemporaryDir dev;
    Touch(dev.filePath("ttyUSB0"));
    TRig rig(*LoggerPreset("entry9"), {}, dev.path().toStdString());
    TfrmMain& w = *rig.main;
    QCOMPARE(w.cbxPort->count(), 1);
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.cbxPort->setEditText("typed");

    // An arriving port: the list is refilled in natural order, the text stays, the list drops
    // down for the operator.
    Touch(dev.filePath("ttyUSB10"));
    Touch(dev.filePath("ttyUSB2"));
    const QString sDev = dev.path() + "/";
    QTRY_COMPARE(w.cbxPort->count(), 3);
    QCOMPARE(w.cbxPort->itemText(1), sDev + "ttyUSB2");
    QCOMPARE(w.cbxPort->itemText(2), sDev + "ttyUSB10");
    QCOMPARE(w.cbxPort->currentText(), "typed");
    QTRY_VERIFY(w.cbxPort->view()->isVisible());
    w.cbxPort->hidePopup();
    QTRY_VERIFY(QApplication::activeWindow() == &w);

    // Another kind of node changes nothing.
    Touch(dev.filePath("lp0"));
    QTest::qWait(300);
    QCOMPARE(w.cbxPort->count(), 3);
    QVERIFY(!w.cbxPort->view()->isVisible());

    // During an update the list is refilled silently.
    TTestKelvo::bHold = true;
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);
    QVERIFY(QFile::remove(dev.filePath("ttyUSB0")));
    QTRY_COMPARE(w.cbxPort->count(), 2);
    QCOMPARE(w.cbxPort->currentText(), "typed");
    QTest::qWait(50);
    QVERIFY(!w.cbxPort->view()->isVisible());
    TTestKelvo::bHold = false;
    QVERIFY(rig.WaitIdle());
}

void TestWindows::programIcon() {
    // Read from the program's resources by the image readers that the build has: an icon that
    // cannot be read leaves the window with a null icon and the system's generic one.
    TRig rig;
    QMessageBox box(QMessageBox::Information, "t", "t"); // like the result boxes: no parent
    const QWidget* const aWindows[] = {rig.main.get(), frmProtocol, frmMessage, frmInfo, &box};
    for (const QWidget* w : aWindows) {
        const QIcon icon = w->windowIcon();
        QVERIFY2(!icon.isNull(), qPrintable(w->metaObject()->className()));
        QVERIFY2(!icon.pixmap(32, 32).isNull(), qPrintable(w->metaObject()->className()));
    }
    QVERIFY(ProgramIcon().availableSizes().contains(QSize(256, 256)));
}

QTEST_MAIN(TestWindows)
#include "test_windows.moc"
