// Windows: the operator's main window with the real procedure and the Win32 serial backend,
// against the simulated logger behind a Wine COM port (scripts/lib/wine-e2e.sh starts the
// simulator for each row and names the port in KELVO_TEST_PORT, then checks what it recorded).
// Run one row: gui_wine_update.exe update:<row>.
#include "device/uKelvoCommThread.h"
#include "frontend/uNotifyTexts.h"
#include "tests/gui/GuiSupport.h"
#include "ui/uInitForms.h"
#include "ui/uProtocol.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

class TestWineUpdate : public QObject {
    Q_OBJECT
private slots:
    void update_data();
    void update();
};

void TestWineUpdate::update_data() {
    QTest::addColumn<bool>("bCancel");
    QTest::addColumn<QString>("sMessage");
    QTest::addColumn<QString>("sInReport");
    const QString sDone = "Update Kelvo model 26113 V5.138 succesfully completed.";
    QTest::newRow("success") << false << sDone << "Vector table is programmed.";
    QTest::newRow("echo") << false << sDone << "Repeat because programming error!";
    QTest::newRow("cancel") << true
                            << QString("Process cancelled!\r\n") + Texts::LoggerWaitsInBootloader
                            << Texts::LoggerWaitsInBootloader;
}

void TestWineUpdate::update() {
    QFETCH(bool, bCancel);
    QFETCH(QString, sMessage);
    QFETCH(QString, sInReport);
    const QString sPort = qEnvironmentVariable("KELVO_TEST_PORT");
    if (sPort.isEmpty())
        QSKIP("KELVO_TEST_PORT names no port with a simulated logger behind it");

    ResetGlobals();
    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
    TOptionStore store(false);
    TfrmMain w{TMainSettings{}};
    QStringList aQuestions, aMessages;
    RecordDialogs(w, aQuestions, aMessages);
    InitForms(w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.cbxPort->setEditText(sPort);
    QTest::mouseClick(w.btnProg, Qt::LeftButton);
    QCOMPARE(aQuestions, QStringList{Texts::AskSaveMeasurements});
    QVERIFY(w.IsRunning());
    if (bCancel) {
        QTRY_VERIFY_WITH_TIMEOUT(w.StatusText().startsWith("Update Kelvo"), 20000);
        QTest::mouseClick(w.btnCancel, Qt::LeftButton);
    }
    QVERIFY(QTest::qWaitFor([&] { return !w.IsRunning(); }, 60000));
    QCOMPARE(aMessages, QStringList{sMessage});
    const QString sReport = frmProtocol->Text();
    QVERIFY2(sReport.contains(sInReport), qPrintable(sReport));
    QVERIFY2(sReport.contains("Start at serial port \"" + sPort + "\""), qPrintable(sReport));
}

QTEST_MAIN(TestWineUpdate)
#include "test_wine_update_win32.moc"
