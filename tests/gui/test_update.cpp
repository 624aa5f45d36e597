// Whole updates from the main window against the simulated logger, in process: success,
// repeats, cancel, a port that is not there, and firmware files.
#include "tests/gui/GuiSupport.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"
#include "journal/uJournal.h"
#include "link/uExceptions1V0.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

TLoggerConfig Preset(const char* sName) {
    return LoggerPreset(sName).value_or(TLoggerConfig{});
}

void VerifyIdle(const TfrmMain& w) {
    QVERIFY(!w.IsRunning());
    QVERIFY(w.btnProg->isEnabled());
    QVERIFY(!w.btnClose->isHidden());
    QVERIFY(w.btnCancel->isHidden());
    QVERIFY(w.cbxPort->isEnabled());
    QVERIFY(!w.menInfoFile->isVisible() || w.menInfoFile->isEnabled());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QCOMPARE(w.windowTitle(), Texts::AppTitle);
}

qsizetype Count(const QStringList& a, const QString& s) {
    return a.count(s);
}

// The journal's newest row.
TJournalRun LatestRun() {
    THistoryFilter latest;
    latest.iLimit = 1;
    const auto aRuns = TJournal::Open(JournalPath())->History(latest);
    return aRuns.empty() ? TJournalRun{} : aRuns.front();
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT
private slots:
    void init() { store = std::make_unique<TOptionStore>(false); }
    void cleanup() { store.reset(); }
    void fullUpdate();
    void runningState();
    void cancel();
    void bootloaderNoteInMessage_data();
    void bootloaderNoteInMessage();
    void emptyPortBox();
    void repeatAfterCommunicationError();
    void cancelDuringRepeatWait();
    void repeatAfterProgrammingError();
    void firmwareFile();
    void unreadableFirmwareFileStartsNothing();
    void progressBackToZeroWithoutSuccess();
    void journalKeepsThePinOfACancelledLogger_data();
    void journalKeepsThePinOfACancelledLogger();
    void serialNumberFromTheLabel();
    void fatalRunIsRecordedAsAFailure();
    void closingDuringAnUpdateRecordsItCancelled();
    void journalHeldByAnotherProgramDoesNotStopTheWindow();

private:
    std::unique_ptr<TOptionStore> store;
};

void TestUpdate::fullUpdate() {
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    QStringList aTitles;
    connect(&w, &QWidget::windowTitleChanged, [&](const QString& s) { aTitles << s; });
    w.show();
    QTest::mouseClick(w.btnProg, Qt::LeftButton);
    QCOMPARE(rig.aQuestions, std::vector<std::string>{Texts::AskSaveMeasurements});
    QVERIFY(rig.WaitIdle());

    const std::string sDone = "Update Kelvo model 26113 V5.138 succesfully completed.";
    QCOMPARE(rig.aMessages, std::vector<std::string>{sDone});
    const QStringList aReport = rig.Report();
    QCOMPARE(aReport.front(), "Start at serial port \"sim\"");
    QCOMPARE(aReport.back(), QString::fromStdString(sDone));
    QVERIFY(aReport.contains("Class 26113 [Kelvo model 26113]"));
    QVERIFY(aReport.contains("Vector table is programmed."));
    QVERIFY(aReport.contains("Progress 98%"));
    QCOMPARE(w.StatusText(), QString::fromStdString(sDone));
    QCOMPARE(w.ProgressBar1->value(), 100);
    // The percentage stood in the title during the update; the name is back at the end.
    QVERIFY(aTitles.contains("50%"));
    QCOMPARE(aTitles.back(), Texts::AppTitle);
    VerifyIdle(w);
    QCOMPARE(rig.iOpens.load(), 1);
    QVERIFY(rig.fake.bClosed);
}

void TestUpdate::runningState() {
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    w.menInfoFile->setVisible(true);
    TTestKelvo::bHold = true;
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);
    QVERIFY(w.IsRunning());
    QVERIFY(!w.btnProg->isEnabled());
    QVERIFY(!w.btnFile->isEnabled());
    QVERIFY(w.btnClose->isHidden());
    QVERIFY(!w.btnCancel->isHidden());
    QVERIFY(!w.cbxPort->isEnabled());
    QVERIFY(!w.menInfoFile->isEnabled());
    QVERIFY(QApplication::overrideCursor() &&
            QApplication::overrideCursor()->shape() == Qt::WaitCursor);
    QCOMPARE(w.StatusText(), "Start at serial port \"sim\"");
    TTestKelvo::bHold = false;
    QVERIFY(rig.WaitIdle());
    VerifyIdle(w);
}

void TestUpdate::cancel() {
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    w.show();
    TTestKelvo::bHold = true;
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);
    QTest::mouseClick(w.btnCancel, Qt::LeftButton);
    QVERIFY(rig.WaitIdle());
    QCOMPARE(rig.aMessages, std::vector<std::string>{"Process cancelled!"});
    QCOMPARE(rig.Report().back(), "Process cancelled!");
    QCOMPARE(w.StatusText(), "Process cancelled!");
    VerifyIdle(w);
}

void TestUpdate::bootloaderNoteInMessage_data() {
    QTest::addColumn<bool>("bInternal");
    QTest::newRow("normal mode: the box is all the operator sees") << false;
    QTest::newRow("internal mode: the same box beside the report") << true;
}

void TestUpdate::bootloaderNoteInMessage() {
    // The transfer breaks off, and the operator cancels the repeat: the logger waits in its
    // bootloader.
    QFETCH(bool, bInternal);
    store = std::make_unique<TOptionStore>(bInternal);
    TLoggerConfig c = Preset("entry9");
    c.aFaults = {{TExchangeKind::Line, TFaultType::NoAnswer, 10, 5}};
    TRig rig(c);
    TfrmMain& w = *rig.main;
    QCOMPARE(iFileMode, bInternal ? 1 : 0);
    w.SetRestartWait(400);
    w.btnProgClick();
    QTRY_COMPARE(w.StatusText(), "Repeat update because communication error!");
    w.btnCancelClick();
    QVERIFY(rig.WaitIdle());
    const std::string sNote = Texts::LoggerWaitsInBootloader;
    QCOMPARE(rig.aMessages, std::vector<std::string>{"Process cancelled!\r\n" + sNote});
    const QStringList aReport = rig.Report();
    QCOMPARE(aReport.mid(aReport.size() - 2),
             (QStringList{"Process cancelled!", QString::fromStdString(sNote)}));
    QCOMPARE(w.StatusText(), "Process cancelled!");
}

void TestUpdate::emptyPortBox() {
    TRig rig;
    rig.main->SetPortOpener(OpenComPort);
    rig.main->cbxPort->setEditText("");
    rig.main->btnProgClick();
    QVERIFY(rig.WaitIdle());
    // The operator learns why, in the message box and the report.
    const std::string s = "Aborted because serial port \"\" is not ready!";
    QCOMPARE(rig.aMessages, std::vector<std::string>{s + "\r\nReason: no port name"});
    QCOMPARE(rig.Report(), (QStringList{"Start at serial port \"\"", QString::fromStdString(s),
                                        "Reason: no port name"}));
    VerifyIdle(*rig.main);
}

void TestUpdate::repeatAfterCommunicationError() {
    // The logger stays silent for the five attempts of the first identification.
    TLoggerConfig c = Preset("entry9");
    c.aFaults = {{TExchangeKind::Ident, TFaultType::NoAnswer, 1, 5}};
    TRig rig(c);
    TfrmMain& w = *rig.main;
    w.SetRestartWait(400);
    const QString sRepeat = "Repeat update because communication error!";
    w.btnProgClick();
    QTRY_COMPARE(w.StatusText(), sRepeat);
    // Waiting to restart: still the running state, no second start yet.
    QVERIFY(w.IsRunning());
    QVERIFY(!w.btnCancel->isHidden());
    QVERIFY(!w.btnProg->isEnabled());
    QCOMPARE(Count(rig.Report(), "Start at serial port \"sim\""), 1);

    QVERIFY(rig.WaitIdle());
    const QStringList aReport = rig.Report();
    QCOMPARE(Count(aReport, "Start at serial port \"sim\""), 2);
    QCOMPARE(aReport.indexOf(sRepeat) + 1, aReport.lastIndexOf("Start at serial port \"sim\""));
    QCOMPARE(rig.aMessages.size(), 1u);
    QVERIFY(rig.aMessages[0].find("succesfully completed.") != std::string::npos);
    QCOMPARE(rig.iOpens.load(), 2);
}

void TestUpdate::cancelDuringRepeatWait() {
    TLoggerConfig c = Preset("entry9");
    c.aFaults = {{TExchangeKind::Ident, TFaultType::NoAnswer, 1, 5}};
    TRig rig(c);
    TfrmMain& w = *rig.main;
    w.SetRestartWait(400);
    w.show();
    w.btnProgClick();
    QTRY_COMPARE(w.StatusText(), "Repeat update because communication error!");
    QTest::mouseClick(w.btnCancel, Qt::LeftButton);
    // The new worker starts with the cancel request and ends at its first attempt.
    QVERIFY(rig.WaitIdle());
    QCOMPARE(rig.iOpens.load(), 2);
    QCOMPARE(rig.aMessages, std::vector<std::string>{"Process cancelled!"});
}

void TestUpdate::repeatAfterProgrammingError() {
    // A logger pinned to 5.136: the repeat finds it in its bootloader and still selects 5.136.
    TLoggerConfig c = Preset("entry8");
    c.aFaults = {{TExchangeKind::Line, TFaultType::Echo, 100, 1}};
    TRig rig(c);
    rig.main->btnProgClick();
    QVERIFY(rig.WaitIdle());
    const QStringList aReport = rig.Report();
    const qsizetype iError =
        aReport.indexOf(QRegularExpression("^Aborted because programming error at line \\d+ !$"));
    QVERIFY(iError > 0);
    QCOMPARE(aReport.value(iError + 1), "Repeat because programming error!");
    QCOMPARE(aReport.value(iError + 2), "Start at serial port \"sim\"");
    QCOMPARE(aReport.back(), "Update Kelvo model 26113 V5.136 succesfully completed.");
    QCOMPARE(rig.aMessages.size(), 1u);
    QCOMPARE(rig.iOpens.load(), 2);
}

void TestUpdate::firmwareFile() {
    // "File" loads the file into the file slot and updates with it alone.
    TRig rig(Preset("entry9"));
    rig.main->OnChooseFile = [] {
        return std::string(KELVO_SOURCE_DIR "/firmware/images/entry9.kfw");
    };
    rig.main->btnFileClick();
    QVERIFY(rig.aQuestions.empty());
    QVERIFY(rig.WaitIdle());
    QCOMPARE(iFwIndex, 0);
    QCOMPARE(rig.aMessages,
             std::vector<std::string>{"Update Kelvo model 26113 V5.138 succesfully completed."});
    // The file alone is examined, not the built-in images.
    QCOMPARE(rig.Report().filter(QRegularExpression("^Check ")).size(), 1);
}

void TestUpdate::unreadableFirmwareFileStartsNothing() {
    QTemporaryDir dir;
    const std::string sHeader = "bootloader=3\nbootloader version=0\nclass=26113\nversionH=5\n"
                                "versionL=138\nplatform=12\nprint=44\ndate=x\n";
    // A header that cannot be read, and a file whose line 9 the update would pass over.
    const struct {
        std::string sFile;
        QString sReason;
    } aCases[] = {
        {WriteFwFile(dir, "bad.kfw", "bootloader=3\nbootloader version=oops\n"),
         "'oops' is not a valid integer value"},
        {WriteFwFile(dir, "hex16.kfw", sHeader + ":10250000000102030405060708090A0B0C0D0E0F53\n"),
         "line 9: data record of 16 bytes is not sent by the update (only 64-byte records are)"},
    };
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    // A previous update left its port behind; it must not be reused.
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    w.cbxPort->setEditText("other");

    for (const auto& c : aCases) {
        rig.aMessages.clear();
        w.OnChooseFile = [&] {
            return c.sFile;
        };
        w.btnFileClick();
        QCOMPARE(rig.iOpens.load(), 1);
        QVERIFY(!w.IsRunning());
        const QString sAbort = "Aborted because the firmware file could not be read!";
        const QStringList aReport = rig.Report();
        QCOMPARE(aReport.value(0), sAbort);
        QVERIFY2(aReport.value(1).startsWith(c.sReason), qPrintable(aReport.join('|')));
        QVERIFY(!aReport.join('\n').contains("Start at"));
        QCOMPARE(w.StatusText(), sAbort);
        QCOMPARE(rig.aMessages.size(), 1u);
        QCOMPARE(QString::fromStdString(rig.aMessages[0]), sAbort + "\r\n" + aReport.value(1));
        QCOMPARE(iFwIndex, -1);
        VerifyIdle(w);
    }
}

void TestUpdate::progressBackToZeroWithoutSuccess() {
    // After its restart the logger reports another class: the whole image was sent, and the
    // update failed.
    TLoggerConfig c = Preset("entry9");
    c.aFaults = {{TExchangeKind::RestartIdent, TFaultType::WrongClass, 1, 1}};
    TRig rig(c);
    TfrmMain& w = *rig.main;
    QList<int> aValues;
    connect(w.ProgressBar1, &QProgressBar::valueChanged, [&](int i) { aValues << i; });
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    QCOMPARE(rig.aMessages, std::vector<std::string>{"Update was not successfull!"});
    QVERIFY(aValues.contains(98));
    QCOMPARE(w.ProgressBar1->value(), 0);

    // A successful update fills the bar; a refused file then empties it.
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    QCOMPARE(w.ProgressBar1->value(), 100);
    QTemporaryDir dir;
    const std::string sBad = WriteFwFile(dir, "bad.kfw", "bootloader=3\n");
    w.OnChooseFile = [&] {
        return sBad;
    };
    w.btnFileClick();
    QVERIFY(QString::fromStdString(rig.aMessages.back()).startsWith(Texts::FileNotReadable));
    QCOMPARE(w.ProgressBar1->value(), 0);
}

void TestUpdate::journalKeepsThePinOfACancelledLogger_data() {
    QTest::addColumn<bool>("bSameLogger"); // the operator's answer
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void TestUpdate::journalKeepsThePinOfACancelledLogger() {
    // A logger pinned to 5.136 (serial 328297) goes silent in its transfer, and the operator
    // cancels the repeat: it waits in its bootloader, where it tells no serial number. The next
    // "Update" finds it there; the journal knows it, but only through the port's name, so the
    // operator is asked whether it is that logger.
    QFETCH(bool, bSameLogger);
    TLoggerConfig c = Preset("entry8");
    c.aFaults = {{TExchangeKind::Line, TFaultType::NoAnswer, 10, 5}};
    TRig rig(c);
    TfrmMain& w = *rig.main;
    w.OnConfirm = [&](const std::string& s) {
        rig.aQuestions.push_back(s);
        return s == Texts::AskSaveMeasurements || bSameLogger;
    };
    w.SetRestartWait(400);
    w.btnProgClick();
    QTRY_COMPARE(w.StatusText(), "Repeat update because communication error!");
    w.btnCancelClick();
    QVERIFY(rig.WaitIdle());
    rig.aMessages.clear();
    rig.aQuestions.clear();
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    // Asked after the texts of the logger's hardware, once.
    QCOMPARE(rig.aQuestions.size(), 2u);
    QCOMPARE(rig.aQuestions[0], Texts::AskSaveMeasurements);
    QVERIFY(rig.aQuestions[1].starts_with("The update of "));
    QVERIFY(rig.aQuestions[1].ends_with("Is the serial number on its label 328297 ?"));
    QCOMPARE(rig.aMessages,
             std::vector<std::string>{bSameLogger
                                          ? "Update Kelvo model 26113 V5.136 succesfully completed."
                                          : std::string("Update was not successfull!\r\n") +
                                                Texts::LoggerWaitsSerialUnknown});
    QCOMPARE(rig.Report()
                 .filter(QRegularExpression("^Serial number 328297 taken from the "
                                            "interrupted update of "))
                 .size(),
             bSameLogger ? 1 : 0);
    QCOMPARE(rig.Report()
                 .filter(QRegularExpression("^Serial number 328297 of the interrupted "
                                            "update of .* not taken"))
                 .size(),
             bSameLogger ? 0 : 1);

    // Both runs are in the journal, newest first.
    THistoryFilter latest;
    latest.iLimit = 2;
    const auto aRuns = TJournal::Open(JournalPath())->History(latest);
    QCOMPARE(aRuns.size(), 2u);
    QCOMPARE(aRuns[0].sProgram, "kelvo-firmware-update");
    QCOMPARE(aRuns[0].iStatus, std::optional<std::int32_t>(bSameLogger ? 0 : 45));
    QCOMPARE(aRuns[0].iSerial, bSameLogger ? std::optional<std::uint32_t>(328297) : std::nullopt);
    if (bSameLogger) {
        QCOMPARE(aRuns[0].iEntry, std::optional<std::int32_t>(8));
        QCOMPARE(aRuns[0].iLinesSent, GetSelFwLastIndex()); // every line of image 8 is a data line
        QVERIFY(!aRuns[0].bLeftInBootloader);
    }
    QCOMPARE(aRuns[1].iStatus, std::optional<std::int32_t>(20));
    QCOMPARE(aRuns[1].iRepeats, 1);
    QVERIFY(aRuns[1].bLeftInBootloader);
    QCOMPARE(aRuns[1].iSerial, std::optional<std::uint32_t>(328297));
}

void TestUpdate::serialNumberFromTheLabel() {
    {
        TRig normal;
        QVERIFY(normal.main->edtSerial->isHidden());
    }
    store.reset();
    store = std::make_unique<TOptionStore>(true);
    // A pinned logger in its bootloader that no earlier run knows.
    TLoggerConfig c = Preset("entry8");
    c.bStartInBootloader = true;
    TRig rig(c);
    TfrmMain& w = *rig.main;
    QVERIFY(!w.edtSerial->isHidden());

    w.edtSerial->setText("32829x");
    w.btnProgClick();
    QCOMPARE(rig.iOpens.load(), 0);
    QCOMPARE(rig.aMessages.size(), 1u);
    QVERIFY(rig.aMessages[0].starts_with("The serial number \"32829x\" is not one from a logger's "
                                         "label"));
    QVERIFY(!w.IsRunning());

    rig.aMessages.clear();
    w.edtSerial->setText("328297");
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    QCOMPARE(rig.aMessages,
             std::vector<std::string>{"Update Kelvo model 26113 V5.136 succesfully completed."});
    QVERIFY(rig.Report().contains("Serial number 328297 from the logger's label"));
    QCOMPARE(LatestRun().iSerial, std::optional<std::uint32_t>(328297));
}

void TestUpdate::fatalRunIsRecordedAsAFailure() {
    // Something that is not one of the program's statuses breaks the transfer.
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    rig.fake.Responder = [&](const TBytes& a) -> TBytes {
        if (a.size() > 3 && a[0] == ':' && a[1] == '4' && a[2] == '0')
            throw std::runtime_error("the port driver failed");
        return rig.model.Receive(a.data(), a.size());
    };
    w.btnProgClick();
    QVERIFY(rig.WaitIdle());
    // The transfer had begun: the logger waits in its bootloader.
    QCOMPARE(rig.aMessages.back(),
             std::string("Fatal Exception has occurred!\r\n") + Texts::LoggerWaitsInBootloader);
    const TJournalRun row = LatestRun();
    QCOMPARE(row.sProgram, "kelvo-firmware-update");
    QCOMPARE(row.iStatus, std::optional<std::int32_t>(1));
    QCOMPARE(row.sStatusText, "Fatal Exception has occurred!");
    QVERIFY(row.bLeftInBootloader);
}

void TestUpdate::closingDuringAnUpdateRecordsItCancelled() {
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    TTestKelvo::bHold = true;
    w.show();
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);
    QVERIFY(w.close());
    QVERIFY(!w.IsRunning());
    const TJournalRun row = LatestRun();
    QCOMPARE(row.iStatus, std::optional<std::int32_t>(Status::Cancelled));
    QCOMPARE(row.sStatusText, "Process cancelled!");
    QVERIFY(!row.sEnded.empty());
}

void TestUpdate::journalHeldByAnotherProgramDoesNotStopTheWindow() {
    // The journal exists before the other program takes its write lock.
    TJournal::Open(JournalPath());
    TRig rig(Preset("entry9"));
    TfrmMain& w = *rig.main;
    TTestKelvo::bHold = true;
    w.btnProgClick();
    QTRY_VERIFY(TTestKelvo::iWaiting > 0);

    // Another program holds the journal's write lock for 10 s, longer than a write waits.
    QProcess holder;
    holder.start("python3", {"-c",
                             "import sqlite3, sys, time\n"
                             "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                             "c.execute('BEGIN IMMEDIATE')\n"
                             "print('locked', flush=True)\n"
                             "time.sleep(10)\n"
                             "c.execute('COMMIT')\n",
                             QString::fromStdString(JournalPath())});
    // The Linux test run installs Python; the Windows one has none to hold the journal with.
    if (!holder.waitForStarted(10000)) {
        TTestKelvo::bHold = false;
        QSKIP("python3 is not there to hold the journal");
    }
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), "locked");

    // The window's event loop keeps its pace while the update goes on and its row waits.
    QElapsedTimer clock;
    clock.start();
    qint64 iLastTick = 0;
    qint64 iLongestGap = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] {
        iLongestGap = std::max(iLongestGap, clock.elapsed() - iLastTick);
        iLastTick = clock.elapsed();
    });
    ticker.start(20);
    TTestKelvo::bHold = false;
    QVERIFY(rig.WaitIdle(40000));
    ticker.stop();
    QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(15000));
    QCOMPARE(rig.aMessages.back(), "Update Kelvo model 26113 V5.138 succesfully completed.");
    QVERIFY2(iLongestGap < 1000, qPrintable(QString::number(iLongestGap)));
    QVERIFY(clock.elapsed() > 5000); // the row waited for the lock

    // The row is complete: nothing was lost while the journal was held.
    const TJournalRun row = LatestRun();
    QCOMPARE(row.iStatus, std::optional<std::int32_t>(0));
    QCOMPARE(row.iEntry, std::optional<std::int32_t>(9));
    QVERIFY(row.iLinesSent > 0);
    QVERIFY(!row.sEnded.empty());
}

QTEST_MAIN(TestUpdate)
#include "test_update.moc"
