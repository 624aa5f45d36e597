// The windows as the operator meets them on a desktop: on a real X server with a window manager
// (run-under-wm.sh), which frames the windows some time after they are shown, places them by
// their frames and hands out the keyboard focus. Placement by the outer rectangle and the focus
// at start-up can only be seen there.
#include "tests/gui/GuiSupport.h"

#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

// The window's frame as the window system has it now.
QRect Frame(const QWidget& w) {
    return w.windowHandle() != nullptr ? w.windowHandle()->frameGeometry() : QRect();
}

QString Describe(const char* sName, const QWidget& w) {
    const QRect r = Frame(w);
    return QString("%1 %2,%3 %4x%5")
        .arg(sName)
        .arg(r.left())
        .arg(r.top())
        .arg(r.width())
        .arg(r.height());
}

// The main window shown as the program shows it, active, and framed by the window manager.
bool StartMain(TfrmMain& w) {
    w.show();
    return QTest::qWaitForWindowActive(&w, 5000) &&
           QTest::qWaitFor([&] { return w.windowHandle()->frameMargins().top() > 0; }, 2000);
}

} // namespace

class TestWindowManager : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void startUp_data();
    void startUp();
    void messageBox();
    void overviewAtFirstShowing();
};

void TestWindowManager::initTestCase() {
    if (QGuiApplication::platformName() != "xcb")
        QSKIP("needs an X server with a window manager: run through run-under-wm.sh");
}

void TestWindowManager::startUp_data() {
    QTest::addColumn<bool>("bInternal");
    QTest::newRow("normal: no report window") << false;
    // The frames arrive at their own time: a few starts, so that a race shows.
    for (const char* sRow :
         {"internal: report docked, start 1", "internal: start 2", "internal: start 3"})
        QTest::newRow(sRow) << true;
}

void TestWindowManager::startUp() {
    QFETCH(bool, bInternal);
    TOptionStore store(bInternal);
    TRig rig;
    TfrmMain& w = *rig.main;
    QVERIFY(StartMain(w));

    const auto bDocked = [&] {
        const QRect rMain = Frame(w);
        const QRect rReport = Frame(*frmProtocol);
        return frmProtocol->isVisible() && rReport.left() == rMain.left() &&
               rReport.top() == rMain.top() + rMain.height() && rReport.width() == rMain.width();
    };
    const auto sPlaces = [&] {
        return Describe("main", w) + ", " + Describe("report", *frmProtocol);
    };
    if (bInternal) {
        // Under the main window with its frame: the same left edge and outer width, the report's
        // frame on the main window's bottom edge, not over it.
        QTRY_VERIFY2_WITH_TIMEOUT(bDocked(), qPrintable(sPlaces()), 3000);
    }
    // Once everything has settled: still in place, and the keyboard focus is the main window's.
    QTest::qWait(300);
    QCOMPARE(frmProtocol->isVisible(), bInternal);
    if (bInternal) {
        QVERIFY2(bDocked(), qPrintable(sPlaces()));
        QVERIFY(!Frame(*frmProtocol).intersects(Frame(w)));
    }
    QCOMPARE(QApplication::activeWindow(), &w);
    QVERIFY(!frmProtocol->isActiveWindow());
}

void TestWindowManager::messageBox() {
    TOptionStore store(false);
    TRig rig;
    TfrmMain& w = *rig.main;
    w.OnResultBox = nullptr; // the program's own message window
    QVERIFY(StartMain(w));

    // Over the lower part of the main window: 10 pixels inside it left, right and at the bottom,
    // frames counted, from its first showing on.
    const auto bPlaced = [&] {
        const QRect rMain = Frame(w);
        const QRect rBox = Frame(*frmMessage);
        return frmMessage->isVisible() && frmMessage->windowHandle()->frameMargins().top() > 0 &&
               rBox.left() == rMain.left() + 10 && rBox.width() == rMain.width() - 20 &&
               rBox.top() + rBox.height() == rMain.top() + rMain.height() - 10;
    };
    // The first showing, when the frame comes only after the box is shown, and the next one.
    for (int iShowing = 1; iShowing <= 2; ++iShowing) {
        bool bInPlace = false;
        bool bStays = false;
        bool bActive = false;
        QString sPlaces;
        QTimer::singleShot(0, &w, [&] {
            bInPlace = QTest::qWaitFor(bPlaced, 3000);
            QTest::qWait(200);
            bStays = bPlaced();
            bActive = frmMessage->isActiveWindow();
            sPlaces = Describe("main", w) + ", " + Describe("message", *frmMessage);
            frmMessage->Button1->click();
        });
        w.ShowResultBox("Process cancelled!");
        const QByteArray sWhere =
            QString("showing %1: %2").arg(iShowing).arg(sPlaces).toLocal8Bit();
        QVERIFY2(bInPlace, sWhere);
        QVERIFY2(bStays, sWhere);
        QVERIFY2(bActive, sWhere);
        QVERIFY(!frmMessage->isVisible());
    }
}

void TestWindowManager::overviewAtFirstShowing() {
    TOptionStore store(false);
    TRig rig;
    TfrmMain& w = *rig.main;
    QVERIFY(StartMain(w));

    // On the main window's top-left corner with its outer height, from its first showing on.
    const auto bPlaced = [&] {
        const QRect rMain = Frame(w);
        const QRect rInfo = Frame(*frmInfo);
        return frmInfo->isVisible() && frmInfo->windowHandle()->frameMargins().top() > 0 &&
               rInfo.topLeft() == rMain.topLeft() && rInfo.height() == rMain.height();
    };
    bool bInPlace = false;
    QString sPlaces;
    QTimer::singleShot(0, &w, [&] {
        bInPlace = QTest::qWaitFor(bPlaced, 3000);
        sPlaces = Describe("main", w) + ", " + Describe("overview", *frmInfo);
        frmInfo->accept();
    });
    w.menInfoFirmware->trigger();
    QVERIFY2(bInPlace, qPrintable(sPlaces));
}

QTEST_MAIN(TestWindowManager)
#include "test_window_manager.moc"
