// The history window over a journal made through the journal's own interface: newest first, the
// filters, the CSV export (the same as kelvo-update's), a run's details, an empty, missing or
// unreadable journal, a journal held by a writer; and the accessible names of every window and
// the history window's sizes at the screen's scale factor.
#include "tests/gui/GuiSupport.h"

#include "frontend/uHistory.h"
#include "ui/uHistoryWindow.h"
#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"
#include "ui/uStationWindow.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <sqlite3.h>

namespace {

// The runs of the fixture, oldest first (as they were written): id order is time order.
std::vector<TJournalRun> FixtureRuns() {
    std::vector<TJournalRun> a(4);
    a[0].sStarted = "2026-12-01T08:00:00.000Z";
    a[0].sPort = "/dev/ttyUSB0";
    a[0].iSerial = 1001;
    a[0].sImage = "Kelvo model 26114 V5.138";
    a[0].iStatus = 0;
    a[0].sStatusText = "The firmware was updated.";
    a[1].sStarted = "2026-12-01T09:30:00.000Z";
    a[1].sPort = "/dev/ttyUSB1";
    a[1].iSerial = 1002;
    a[1].iStatus = 10;
    a[1].sStatusText = "The port \"ttyUSB1\" is in use, by another program";
    a[1].sReason = "Device or resource busy";
    a[2].sStarted = "2026-12-02T10:00:00.000Z";
    a[2].sPort = "/dev/ttyUSB0";
    a[2].iSerial = 1001;
    a[2].iStatus = 30;
    a[2].sStatusText = "No answer from the logger.";
    a[2].bLeftInBootloader = true;
    a[3].sStarted = "2026-12-02T11:00:00.000Z";
    a[3].sPort = "/dev/ttyUSB2";
    a[3].sConverter = "/dev/serial/by-id/usb-Kelvo_Converter_A1-if00-port0";
    for (TJournalRun& r : a) {
        r.sProgram = "kelvo-update";
        r.sVersion = "1.0";
        if (r.iStatus)
            r.sEnded = r.sStarted;
    }
    return a;
}

QStringList StartedColumn(const TfrmHistory& w) {
    QStringList a;
    for (int i = 0; i < w.tblRuns->rowCount(); ++i)
        a << w.tblRuns->item(i, 0)->text();
    return a;
}

bool WaitRead(const TfrmHistory& w) {
    return QTest::qWaitFor([&] { return !w.IsReading(); }, 5000);
}

// A minimal RFC 4180 reader: the records and their fields.
QList<QStringList> ParseCsv(const QString& s) {
    QList<QStringList> aRecords;
    QStringList aFields;
    QString sField;
    bool bQuoted = false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (bQuoted) {
            if (c == '"' && i + 1 < s.size() && s[i + 1] == '"')
                sField += '"', ++i;
            else if (c == '"')
                bQuoted = false;
            else
                sField += c;
        } else if (c == '"') {
            bQuoted = true;
        } else if (c == ',') {
            aFields << sField;
            sField.clear();
        } else if (c == '\n') {
            aRecords << (aFields << sField);
            aFields.clear();
            sField.clear();
        } else {
            sField += c;
        }
    }
    return aRecords;
}

// Every accessible control under iface without a name (or, for a widget, a description).
// Returns how many controls it looked at.
int Unnamed(QAccessibleInterface* iface, QStringList& aMissing) {
    if (!iface)
        return 0;
    int iControls = 0;
    static const QList<QAccessible::Role> aControls = {
        QAccessible::PushButton,  QAccessible::CheckBox,     QAccessible::RadioButton,
        QAccessible::ComboBox,    QAccessible::EditableText, QAccessible::SpinBox,
        QAccessible::ProgressBar, QAccessible::Table,        QAccessible::List,
        QAccessible::Client,      QAccessible::Tree,         QAccessible::StaticText,
        QAccessible::StatusBar,   QAccessible::MenuBar,      QAccessible::MenuItem,
        QAccessible::Window,      QAccessible::Dialog};
    const QAccessible::Role role = iface->role();
    if (aControls.contains(role)) {
        ++iControls;
        const QObject* pObject = iface->object();
        const QString sWho = QString("%1 '%2' (role %3)")
                                 .arg(pObject ? pObject->metaObject()->className() : "item",
                                      pObject ? pObject->objectName() : "")
                                 .arg(role);
        if (iface->text(QAccessible::Name).isEmpty())
            aMissing << sWho + " has no name";
        else if (pObject && pObject->isWidgetType() && role != QAccessible::MenuItem &&
                 iface->text(QAccessible::Description).isEmpty())
            aMissing << sWho + " has no description";
    }
    // The parts of a list, a table, a box or a text field are told by the control's name.
    static const QList<QAccessible::Role> aWhole = {QAccessible::Table,   QAccessible::List,
                                                    QAccessible::Tree,    QAccessible::ComboBox,
                                                    QAccessible::SpinBox, QAccessible::EditableText,
                                                    QAccessible::MenuItem};
    if (aWhole.contains(role))
        return iControls;
    for (int i = 0; i < iface->childCount(); ++i)
        iControls += Unnamed(iface->child(i), aMissing);
    return iControls;
}

// The labels and buttons of w whose size is smaller than their text needs.
QStringList Clipped(const QWidget& w) {
    QStringList a;
    for (const QWidget* p : w.findChildren<QWidget*>()) {
        if (!p->isVisible() ||
            (!qobject_cast<const QLabel*>(p) && !qobject_cast<const QAbstractButton*>(p)))
            continue;
        const auto* pLabel = qobject_cast<const QLabel*>(p);
        const QSize hint = p->sizeHint();
        const bool bFits = pLabel && pLabel->wordWrap()
                               ? pLabel->heightForWidth(p->width()) <= p->height()
                               : p->width() >= hint.width() && p->height() >= hint.height();
        if (!bFits)
            a << QString("%1 '%2' %3x%4 < %5x%6")
                     .arg(p->metaObject()->className(), p->objectName())
                     .arg(p->width())
                     .arg(p->height())
                     .arg(hint.width())
                     .arg(hint.height());
    }
    return a;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void listsNewestFirst();
    void filters_data();
    void filters();
    void exportEqualsTheCommandLine_data();
    void exportEqualsTheCommandLine();
    void details();
    void emptyMissingOrUnreadable();
    void aWriterDoesNotFreezeTheWindow();
    void openedFromTheMenu();
    void accessibleNames();
    void sizesFit();

private:
    QTemporaryDir FDir;
    QString FsJournal;
    std::unique_ptr<TOptionStore> FStore;
};

void TestHistory::initTestCase() {
    QVERIFY(FDir.isValid());
    FsJournal = FDir.filePath("journal.sqlite3");
    const auto journal = TJournal::Open(FsJournal.toStdString());
    for (TJournalRun r : FixtureRuns())
        journal->Begin(r);
    FStore = std::make_unique<TOptionStore>(true);
}

void TestHistory::init() {
    qputenv("KELVO_JOURNAL", FsJournal.toUtf8());
}

void TestHistory::listsNewestFirst() {
    TfrmHistory w;
    QVERIFY(WaitRead(w));
    QCOMPARE(StartedColumn(w), QStringList({"2026-12-02 11:00:00", "2026-12-02 10:00:00",
                                            "2026-12-01 09:30:00", "2026-12-01 08:00:00"}));
    QCOMPARE(w.StateText(), "4 runs, newest first.");
    const auto Row = [&](int i) {
        QStringList a;
        for (int c = 0; c < w.tblRuns->columnCount(); ++c)
            a << w.tblRuns->item(i, c)->text();
        return a;
    };
    // The interrupted run, the one left in its bootloader, and the reason of a busy port.
    QCOMPARE(Row(0), QStringList({"2026-12-02 11:00:00", "/dev/ttyUSB2", "-", "-", "-",
                                  "interrupted (the run ended without recording its outcome)",
                                  "maybe", ""}));
    QCOMPARE(Row(1)[6], "yes");
    QCOMPARE(Row(2)[4], "10");
    QCOMPARE(Row(2)[7], "Device or resource busy");
    QCOMPARE(Row(3)[3], "Kelvo model 26114 V5.138");
    QCOMPARE(Row(3)[6], "no");
}

void TestHistory::filters_data() {
    QTest::addColumn<QString>("sSerial");
    QTest::addColumn<QString>("sPort");
    QTest::addColumn<QDate>("day");
    QTest::addColumn<QStringList>("aStarted");
    const QDate none(2000, 1, 1);
    QTest::newRow("serial") << "1001"
                            << "" << none
                            << QStringList{"2026-12-02 10:00:00", "2026-12-01 08:00:00"};
    QTest::newRow("short port") << ""
                                << "ttyUSB0" << none
                                << QStringList{"2026-12-02 10:00:00", "2026-12-01 08:00:00"};
    QTest::newRow("full port") << ""
                               << "/dev/ttyUSB1" << none << QStringList{"2026-12-01 09:30:00"};
    QTest::newRow("converter") << ""
                               << "usb-Kelvo_Converter_A1-if00-port0" << none
                               << QStringList{"2026-12-02 11:00:00"};
    QTest::newRow("day") << ""
                         << "" << QDate(2026, 12, 1)
                         << QStringList{"2026-12-01 09:30:00", "2026-12-01 08:00:00"};
    QTest::newRow("serial and day")
        << "1001"
        << "" << QDate(2026, 12, 2) << QStringList{"2026-12-02 10:00:00"};
    QTest::newRow("no match") << "9999"
                              << "" << none << QStringList{};
}

void TestHistory::filters() {
    QFETCH(QString, sSerial);
    QFETCH(QString, sPort);
    QFETCH(QDate, day);
    QFETCH(QStringList, aStarted);
    TfrmHistory w;
    QVERIFY(WaitRead(w));
    // Typed as an operator would: the window reads again by itself.
    QTest::keyClicks(w.edtSerial, sSerial);
    QTest::keyClicks(w.edtPort, sPort);
    w.dteDay->setDate(day);
    QVERIFY(w.IsReading());
    QVERIFY(WaitRead(w));
    QCOMPARE(StartedColumn(w), aStarted);
    if (aStarted.isEmpty())
        QCOMPARE(w.StateText(), "No run matches the filter.");
    // Emptied, the filters show every run again.
    w.edtSerial->clear();
    w.edtPort->clear();
    w.dteDay->setDate(QDate(2000, 1, 1));
    w.Refresh();
    QVERIFY(WaitRead(w));
    QCOMPARE(w.tblRuns->rowCount(), 4);
}

void TestHistory::exportEqualsTheCommandLine_data() {
    QTest::addColumn<QString>("sSerial");
    QTest::addColumn<QString>("sPort");
    QTest::newRow("all") << ""
                         << "";
    QTest::newRow("serial") << "1001"
                            << "";
    QTest::newRow("port") << ""
                          << "ttyUSB1";
}

void TestHistory::exportEqualsTheCommandLine() {
    QFETCH(QString, sSerial);
    QFETCH(QString, sPort);
    TfrmHistory w;
    w.edtSerial->setText(sSerial);
    w.edtPort->setText(sPort);
    w.Refresh();
    QVERIFY(WaitRead(w));
    const QString sFile = FDir.filePath("export.csv");
    w.OnChooseExportFile = [&] {
        return sFile;
    };
    w.btnExport->click();
    QFile file(sFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray exported = file.readAll();

    const QList<QStringList> aRecords = ParseCsv(QString::fromUtf8(exported));
    QCOMPARE(aRecords.size(), static_cast<qsizetype>(w.Runs().size() + 1));
    QCOMPARE(aRecords[0].size(), 24);
    QCOMPARE(aRecords[0][0], "started");
    for (const QStringList& a : aRecords)
        QCOMPARE(a.size(), 24);
    if (sPort == "ttyUSB1") {
        QCOMPARE(aRecords[1][21], "The port \"ttyUSB1\" is in use, by another program");
        QCOMPARE(aRecords[1][23], "Device or resource busy");
    }

#ifdef KELVO_UPDATE_EXE
    QStringList aArgs{"--history", "--csv", "--limit", QString::number(TfrmHistory::RowLimit)};
    if (!sSerial.isEmpty())
        aArgs << "--serial" << sSerial;
    if (!sPort.isEmpty())
        aArgs << "--port" << sPort;
    QProcess cli;
    cli.start(KELVO_UPDATE_EXE, aArgs);
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(exported, cli.readAllStandardOutput());
#endif
}

void TestHistory::details() {
    TfrmHistory w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(WaitRead(w));
    w.tblRuns->selectRow(2);
    w.btnDetails->click();
    QVERIFY(w.frmDetails && w.frmDetails->isVisible());
    const QString s = w.memDetails->toPlainText();
    QVERIFY(w.memDetails->isReadOnly());
    for (const char* sFact : {"started: 2026-12-01T09:30:00.000Z", "port: /dev/ttyUSB1",
                              "serial: 1002", "status: 10", "reason: Device or resource busy",
                              "left in bootloader: no", "converter: -", "lines sent: 0"})
        QVERIFY2(s.contains(sFact), qPrintable(s));
    QCOMPARE(s.count('\n'), static_cast<qsizetype>(RunFacts(TJournalRun{}).size()));
    // A double click shows that row's run.
    const QRect r = w.tblRuns->visualItemRect(w.tblRuns->item(0, 0));
    // (The view takes a double click only on the row pressed before.)
    QTest::mousePress(w.tblRuns->viewport(), Qt::LeftButton, {}, r.center());
    QTest::mouseDClick(w.tblRuns->viewport(), Qt::LeftButton, {}, r.center());
    QVERIFY(w.memDetails->toPlainText().contains("left in bootloader: maybe"));
}

void TestHistory::emptyMissingOrUnreadable() {
    struct TCase {
        const char* sName;
        std::function<void(const QString&)> make;
        QString sState;
    };
    const std::vector<TCase> aCases = {
        {"missing", [](const QString&) {}, "There is no journal yet"},
        {"empty", [](const QString& s) { TJournal::Open(s.toStdString()); },
         "The journal is empty"},
        {"not a journal",
         [](const QString& s) {
             QFile f(s);
             QVERIFY(f.open(QIODevice::WriteOnly));
             f.write(QByteArray(4096, 'x'));
         },
         "The journal cannot be read: "},
    };
    for (const TCase& c : aCases) {
        const QString sPath = FDir.filePath(QString("case-%1.sqlite3").arg(c.sName));
        c.make(sPath);
        qputenv("KELVO_JOURNAL", sPath.toUtf8());
        TfrmHistory w;
        QVERIFY(WaitRead(w));
        QVERIFY2(w.StateText().startsWith(c.sState), qPrintable(w.StateText()));
        QCOMPARE(w.tblRuns->rowCount(), 0);
        // Reading never creates a journal.
        QCOMPARE(QFile::exists(sPath), QString(c.sName) != "missing");
    }
}

void TestHistory::aWriterDoesNotFreezeTheWindow() {
    // Another program holds the journal: first with a write transaction open (readers still see
    // the committed runs), then with an exclusive lock that no reader passes.
    sqlite3* hDb = nullptr;
    QCOMPARE(sqlite3_open(FsJournal.toUtf8().constData(), &hDb), SQLITE_OK);
    const auto exec = [&](const char* sSql) {
        return sqlite3_exec(hDb, sSql, nullptr, nullptr, nullptr);
    };
    QCOMPARE(exec("BEGIN IMMEDIATE; UPDATE runs SET repeats = 1;"), SQLITE_OK);
    {
        TfrmHistory w;
        QVERIFY(WaitRead(w));
        QCOMPARE(w.tblRuns->rowCount(), 4);
    }
    QCOMPARE(exec("ROLLBACK; PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                  " UPDATE runs SET repeats = 1;"),
             SQLITE_OK);
    {
        int iTicks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++iTicks; });
        ticker.start(10);
        TfrmHistory w;
        // The window is there while the reader still waits for the lock.
        QVERIFY(w.IsReading());
        QCOMPARE(w.StateText(), "Reading the journal...");
        QVERIFY(WaitRead(w));
        // The window thread went on while the reader waited for the lock.
        QVERIFY2(iTicks >= 5, qPrintable(QString::number(iTicks)));
        QVERIFY2(w.StateText().startsWith("The journal cannot be read: ") &&
                     w.StateText().contains("press Refresh"),
                 qPrintable(w.StateText()));
    }
    QCOMPARE(exec("ROLLBACK;"), SQLITE_OK);
    sqlite3_close(hDb);
    TfrmHistory w;
    QVERIFY(WaitRead(w));
    QCOMPARE(w.tblRuns->rowCount(), 4);
}

void TestHistory::openedFromTheMenu() {
    TRig rig;
    QCOMPARE(rig.main->menWorkshop->objectName(), "menWorkshop");
    QCOMPARE(rig.main->menWorkshop->title(), "Workshop");
    rig.main->menWorkshopHistory->trigger();
    QVERIFY(frmHistory && frmHistory->isVisible());
    QCOMPARE(frmHistory->parentWidget(), rig.main.get());
    QVERIFY(WaitRead(*frmHistory));
    QCOMPARE(frmHistory->tblRuns->rowCount(), 4);
}

void TestHistory::accessibleNames() {
    TRig rig;
    TfrmProtocol protocol(*rig.main);
    TfrmMessage message(rig.main.get());
    message.Prepare("The firmware was updated.", 0, 0, 500, 300);
    TfrmInfo info(rig.main.get());
    TfrmHistory history;
    QVERIFY(WaitRead(history));
    history.btnDetails->click();
    QVERIFY(history.frmDetails);
    TfrmStation station(TStationWindowSettings{});
    const QList<QWidget*> aWindows = {rig.main.get(), &protocol,          &message, &info,
                                      &history,       history.frmDetails, &station};
    for (QWidget* w : aWindows) {
        w->show();
        QStringList aMissing;
        const int iControls = Unnamed(QAccessible::queryAccessibleInterface(w), aMissing);
        QVERIFY2(aMissing.isEmpty(), qPrintable(w->objectName() + ": " + aMissing.join("; ")));
        // The walk reached the window's controls, not only the window.
        QVERIFY2(iControls >= 2, qPrintable(w->objectName()));
        QVERIFY2(!QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty(),
                 qPrintable(w->objectName()));
    }
    // Buttons whose captions stay as they are still answer to a key.
    // (Qt's own parts, such as the menu bar's overflow button, and the file dialog excepted.)
    for (QAbstractButton* p : rig.main->findChildren<QAbstractButton*>())
        QVERIFY2(!p->shortcut().isEmpty() || p->objectName().startsWith("qt_") ||
                     p->window() != rig.main.get(),
                 qPrintable(p->objectName()));
    for (QWidget* w : {static_cast<QWidget*>(&history), static_cast<QWidget*>(&station)}) {
        for (QAbstractButton* p : w->findChildren<QAbstractButton*>())
            QVERIFY2(!p->shortcut().isEmpty() || !p->isVisible(), qPrintable(p->objectName()));
    }
    // The tab order follows the layout: rows from the top, each from the left.
    const auto TabOrder = [](QWidget* pFirst, const QList<QWidget*>& aControls) {
        QList<QWidget*> aOrder;
        QWidget* p = pFirst;
        do {
            if (aControls.contains(p) && !aOrder.contains(p))
                aOrder << p;
            p = p->nextInFocusChain();
        } while (p != pFirst);
        return aOrder;
    };
    const QList<QWidget*> aHistory = {history.edtSerial,  history.edtPort, history.dteDay,
                                      history.btnRefresh, history.tblRuns, history.btnDetails,
                                      history.btnExport,  history.btnClose};
    QCOMPARE(TabOrder(history.edtSerial, aHistory), aHistory);
    const QList<QWidget*> aMain = {
        rig.main->cbxPort,   rig.main->btnProg,         rig.main->btnFile,  rig.main->btnClose,
        rig.main->btnCancel, rig.main->chkReadInfoOnly, rig.main->edtSerial};
    QCOMPARE(TabOrder(rig.main->cbxPort, aMain), aMain);
    QCOMPARE(rig.main->btnProg->text(), "Update");
    QCOMPARE(message.Button1->text(), "OK");
}

void TestHistory::sizesFit() {
    TfrmHistory w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(WaitRead(w));
    QStringList aClipped = Clipped(w);
    QVERIFY2(aClipped.isEmpty(), qPrintable(aClipped.join("; ")));
    // As small as its layout lets it be.
    w.resize(w.minimumSizeHint());
    QCoreApplication::processEvents();
    aClipped = Clipped(w);
    QVERIFY2(aClipped.isEmpty(), qPrintable(aClipped.join("; ")));

    // The station's window is laid out the same way.
    TfrmStation station(TStationWindowSettings{});
    station.show();
    QVERIFY(QTest::qWaitForWindowExposed(&station));
    for (const QSize size : {station.size(), station.minimumSizeHint()}) {
        station.resize(size);
        QCoreApplication::processEvents();
        aClipped = Clipped(station);
        QVERIFY2(aClipped.isEmpty(), qPrintable(aClipped.join("; ")));
    }

    // The windows of fixed geometry are only reported.
    TRig rig;
    TfrmMessage message(rig.main.get());
    message.Prepare("The firmware was updated.", 0, 0, 500, 300);
    TfrmInfo info(rig.main.get());
    for (QWidget* p : QList<QWidget*>{rig.main.get(), &message, &info}) {
        p->show();
        QCoreApplication::processEvents();
        if (const QStringList a = Clipped(*p); !a.isEmpty())
            qInfo("%s at scale factor %s: %s", qPrintable(p->objectName()),
                  qEnvironmentVariable("QT_SCALE_FACTOR", "1").toUtf8().constData(),
                  qPrintable(a.join("; ")));
    }
}

QTEST_MAIN(TestHistory)
#include "test_history.moc"
