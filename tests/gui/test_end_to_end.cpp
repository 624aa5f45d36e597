// The main window with the real update procedure and the real serial code against the simulated
// logger program on a pseudo-terminal: the operator types the port, presses "Update", answers the
// question and reads the outcome.
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "frontend/uNotifyTexts.h"
#include "tests/gui/GuiSupport.h"
#include "tests/support/Process.h"
#include "ui/uInitForms.h"
#include "ui/uProtocol.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <filesystem>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const QString sDone = "Update Kelvo model 26113 V5.138 succesfully completed.";
// The finish request of bootloader 51202: the logger accepted the whole image.
const std::string sFinishLine = ":0100000533C7";

// kelvo-logger-sim with the hardware of image 9 and the options of a row.
std::vector<std::string> SimOptions(const QStringList& aOptions) {
    std::vector<std::string> a{"--preset", "entry9"};
    for (const QString& s : aOptions)
        a.push_back(s.toStdString());
    return a;
}

QStringList ReportLines() {
    QStringList a = frmProtocol->Text().split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression rTime("^\\d\\d-\\d\\d-\\d\\d -> ");
    for (QString& s : a)
        s.remove(rTime);
    return a;
}

// True when the lines matching aPatterns appear in aLines in this order (others may lie between).
bool ContainsInOrder(const QStringList& aLines, const QStringList& aPatterns) {
    qsizetype iFrom = 0;
    for (const QString& sPattern : aPatterns) {
        iFrom = aLines.indexOf(QRegularExpression("^" + sPattern + "$"), iFrom);
        if (iFrom < 0)
            return false;
        ++iFrom;
    }
    return true;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void init() {
        store = std::make_unique<TOptionStore>(false);
        ResetGlobals();
        // The program's own procedure with its real waits, on the real serial code.
        CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
    }
    void cleanup() {
        store.reset();
        ResetGlobals();
        qunsetenv("KELVO_DEV_DIR");
    }
    void update_data();
    void update();
    void hotPlug();

private:
    std::unique_ptr<TOptionStore> store;
};

void TestEndToEnd::update_data() {
    QTest::addColumn<QStringList>("aSimOptions");
    QTest::addColumn<bool>("bCancel");
    QTest::addColumn<QString>("sMessage"); // the message box's text
    // Report lines as patterns, in their order; %1 is the port.
    QTest::addColumn<QStringList>("aReport");
    QTest::addColumn<bool>("bFinished");

    const QString sStart = "Start at serial port \"%1\"";
    QTest::newRow("success") << QStringList{} << false << sDone
                             << QStringList{sStart, "Class 26113 \\[Kelvo model 26113\\]",
                                            "Vector table is programmed\\.", sDone}
                             << true;
    QTest::newRow("echo mismatch repeats the update")
        << QStringList{"--fault", "line:echo:5"} << false << sDone
        << QStringList{sStart,
                       "Aborted because programming error at line \\d+ !",
                       "Repeat because programming error!",
                       sStart,
                       "Vector table is programmed\\.",
                       sDone}
        << true;
    // Paced at the real line speed, so that the transfer is still running when "Cancel" comes.
    QTest::newRow("cancel during the transfer")
        << QStringList{"--baud", "9600"} << true
        << QString("Process cancelled!\r\n") + Texts::LoggerWaitsInBootloader
        << QStringList{sStart, "Update Kelvo model 26113 V5\\.138, .*", "Process cancelled!",
                       "The logger is waiting in its bootloader: run the update again to finish "
                       "it\\."}
        << false;
}

void TestEndToEnd::update() {
    QFETCH(QStringList, aSimOptions);
    QFETCH(bool, bCancel);
    QFETCH(QString, sMessage);
    QFETCH(QStringList, aReport);
    QFETCH(bool, bFinished);

    QTemporaryDir dir;
    TSimProcess sim(KELVO_SIM_EXE, dir.path().toStdString(), SimOptions(aSimOptions));
    QVERIFY2(!sim.sPort.empty(), "the simulated logger did not start");
    const QString sPort = QString::fromStdString(sim.sPort);

    TMainSettings settings;
    settings.sDevDir = "/nonexistent-dev"; // no port devices: the box starts empty
    TfrmMain w(std::move(settings));
    QStringList aQuestions, aMessages;
    RecordDialogs(w, aQuestions, aMessages);
    InitForms(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCOMPARE(w.cbxPort->currentText(), "");
    QTest::keyClicks(w.cbxPort->lineEdit(), sPort);
    QTest::mouseClick(w.btnProg, Qt::LeftButton);
    QCOMPARE(aQuestions, QStringList{Texts::AskSaveMeasurements});
    QVERIFY(w.IsRunning());

    if (bCancel) {
        // The image has been chosen: the transfer begins.
        QTRY_VERIFY_WITH_TIMEOUT(w.StatusText().startsWith("Update Kelvo"), 5000);
        QVERIFY(w.IsRunning());
        QTest::mouseClick(w.btnCancel, Qt::LeftButton);
    }
    QVERIFY(QTest::qWaitFor([&] { return !w.IsRunning(); }, 15000));

    QCOMPARE(aMessages, QStringList{sMessage});
    // The status bar has the outcome alone, without the message box's further lines.
    QCOMPARE(w.StatusText(), sMessage.section("\r\n", 0, 0));
    const QStringList aLines = ReportLines();
    for (QString& s : aReport)
        s.replace("%1", QRegularExpression::escape(sPort));
    QVERIFY2(ContainsInOrder(aLines, aReport), qPrintable(aLines.join('\n')));
    QVERIFY2(QRegularExpression("^" + aReport.back() + "$").match(aLines.back()).hasMatch(),
             qPrintable(aLines.back()));
    QCOMPARE(w.ProgressBar1->value() == 100, bFinished);

    // Idle again: the controls, the cursor and the title are back.
    QVERIFY(w.btnProg->isEnabled());
    QVERIFY(w.btnCancel->isHidden());
    QVERIFY(!w.btnClose->isHidden());
    QVERIFY(w.cbxPort->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QCOMPARE(w.windowTitle(), Texts::AppTitle);

    // What the logger itself accepted: the finish request ends a complete update, and a cancelled
    // one stops before it.
    const std::vector<std::string> aRecord = sim.Record();
    QVERIFY(!aRecord.empty());
    QCOMPARE(aRecord.back() == sFinishLine, bFinished);
}

// The program's own settings with its device folder in KELVO_DEV_DIR, and simulated loggers that
// appear there as USB serial devices and go again.
void TestEndToEnd::hotPlug() {
    QTemporaryDir dir;
    QTemporaryDir dev;
    QVERIFY(QDir(dir.path()).mkpath("a") && QDir(dir.path()).mkpath("b"));
    const QString sUsb0 = dev.filePath("ttyUSB0");
    const QString sUsb1 = dev.filePath("ttyUSB1");
    qputenv("KELVO_DEV_DIR", dev.path().toLocal8Bit());
    TSimProcess simA(KELVO_SIM_EXE, dir.filePath("a").toStdString(), SimOptions({"--link", sUsb0}));

    TfrmMain w(ProgramSettings());
    QStringList aQuestions, aMessages;
    RecordDialogs(w, aQuestions, aMessages);
    InitForms(w);
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(w.cbxPort->count(), 1);
    QCOMPARE(w.cbxPort->currentText(), sUsb0);

    // A second logger arrives: the list drops down with it; the text in the box stays.
    TSimProcess simB(KELVO_SIM_EXE, dir.filePath("b").toStdString(), SimOptions({"--link", sUsb1}));
    QTRY_COMPARE(w.cbxPort->count(), 2);
    QCOMPARE(w.cbxPort->itemText(1), sUsb1);
    QCOMPARE(w.cbxPort->currentText(), sUsb0);
    QTRY_VERIFY(w.cbxPort->view()->isVisible());
    w.cbxPort->hidePopup();

    // The first one's device goes while it is being updated (the open port stays usable): the
    // list is refilled silently, and nothing the operator sees or the update changes.
    QTest::mouseClick(w.btnProg, Qt::LeftButton);
    QTRY_VERIFY(!ReportLines().filter(QRegularExpression("^Class ")).isEmpty());
    QVERIFY(QFile::remove(sUsb0));
    QTRY_COMPARE(w.cbxPort->count(), 1);
    QVERIFY(w.IsRunning());
    QCOMPARE(w.cbxPort->currentText(), sUsb0);
    QVERIFY(!w.cbxPort->isEnabled());
    QVERIFY(!w.cbxPort->view()->isVisible());

    // It ends as usual; the box offers the port that is left and still shows the text it had.
    QVERIFY(QTest::qWaitFor([&] { return !w.IsRunning(); }, 15000));
    QCOMPARE(aMessages, QStringList{sDone});
    QCOMPARE(w.cbxPort->itemText(0), sUsb1);
    QCOMPARE(w.cbxPort->currentText(), sUsb0);
    QVERIFY(w.cbxPort->isEnabled());
    QVERIFY(!w.cbxPort->view()->isVisible());
}

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
