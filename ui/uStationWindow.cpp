#include "ui/uStationWindow.h"

#include "ui/uAccessNames.h"
#include "ui/uQuestion.h"

#include "frontend/uNotifyTexts.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>

namespace {

// The question before "Cancel all" cancels the running updates.
constexpr const char* AskCancelAll =
    "Do you really cancel all running updates ?\r\nA logger cancelled while it is programmed "
    "waits in its bootloader until it is updated again.";

// Tiles side by side in a row.
constexpr int TileColumns = 3;

QString Q(const std::string& s) {
    return QString::fromStdString(s).replace("\r\n", "\n");
}

// The port as a tile names it: without the folder that every port shares, and in any other folder
// (a device folder of tests) by its name alone.
std::string TileName(const std::string& sPort) {
    const std::string_view sShort = ShortPort(sPort);
    if (sShort.size() < sPort.size())
        return std::string(sShort);
    const std::size_t i = sPort.find_last_of("/\\");
    return i == std::string::npos || i + 1 == sPort.size() ? sPort : sPort.substr(i + 1);
}

// A time left; never below nothing.
std::string TimeLeft(int iSeconds) {
    return MinutesSeconds(std::max(iSeconds, 0));
}

// "42 %, 1:10 left" while an update runs; empty before its first progress.
std::string ProgressWords(const TStationTile& tile) {
    if (!tile.bHasRun || !tile.iPercent || tile.bEnded || tile.state != TStationPort::Running)
        return {};
    std::string s = std::to_string(*tile.iPercent) + " %";
    if (tile.iSecondsLeft && *tile.iPercent < 100)
        s += ", " + TimeLeft(*tile.iSecondsLeft) + " left";
    return s;
}

std::string ClockTime(std::chrono::system_clock::time_point t) {
    const auto iMs = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(iMs.count()).toString("HH:mm:ss").toStdString();
}

// The running update's stage as the tile says it.
std::string RunningWords(const std::string& sStage) {
    if (sStage.starts_with("settling"))
        return "settling";
    if (sStage == "programming" || sStage == "finishing")
        return "programming";
    return "identifying";
}

// The frame of a tile as its update ends (the words say the same).
const char* TileStyle(const TStationTile& tile) {
    if (!tile.bEnded)
        return "";
    if (tile.bSuccess)
        return "TStationTileWidget { border: 2px solid #2e7d32; }";
    if (tile.bCancelled)
        return "TStationTileWidget { border: 2px dashed #757575; }";
    return "TStationTileWidget { border: 3px double #c62828; }";
}

} // namespace

std::string StationProgram() {
    if (const char* s = std::getenv("KELVO_UPDATE_PROGRAM"); s != nullptr && *s != '\0')
        return s;
#ifdef _WIN32
    const QString sName = "kelvo-update.exe";
#else
    const QString sName = "kelvo-update";
#endif
    const QDir dir(QCoreApplication::applicationDirPath());
    for (const QString& sPath : {dir.filePath(sName), dir.filePath("../cli/" + sName)}) {
        if (QFileInfo(sPath).isExecutable())
            return QDir::toNativeSeparators(QDir::cleanPath(sPath)).toStdString();
    }
    return QDir::toNativeSeparators(dir.filePath(sName)).toStdString();
}

TStationTileWidget::TStationTileWidget(QWidget* pParent) : QFrame(pParent) {
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::TabFocus); // a screen reader reaches each tile with Tab
    auto* pLayout = new QVBoxLayout(this);
    lblName = new QLabel(this);
    lblName->setObjectName("lblName");
    QFont bold = lblName->font();
    bold.setBold(true);
    lblName->setFont(bold);
    lblState = new QLabel(this);
    lblState->setObjectName("lblState");
    barProgress = new QProgressBar(this);
    barProgress->setObjectName("barProgress");
    barProgress->setRange(0, 100);
    lblLogger = new QLabel(this);
    lblLogger->setObjectName("lblLogger");
    lblLogger->setWordWrap(true);
    lblOutcome = new QLabel(this);
    lblOutcome->setObjectName("lblOutcome");
    lblOutcome->setWordWrap(true);
    // The grid gives a row the height its tiles ask for before their width is known: room for
    // the serial number and image on two lines and an outcome on four, so that none is cut.
    const int iLine = fontMetrics().lineSpacing();
    lblLogger->setMinimumHeight(2 * iLine);
    lblOutcome->setMinimumHeight(4 * iLine);
    lblLogger->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblOutcome->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QWidget* p : {static_cast<QWidget*>(lblName), static_cast<QWidget*>(lblState),
                       static_cast<QWidget*>(barProgress), static_cast<QWidget*>(lblLogger),
                       static_cast<QWidget*>(lblOutcome)})
        pLayout->addWidget(p);
    Describe(*lblName, "Port", "The port of this tile");
    Describe(*lblState, "State", "Where the port's update stands");
    Describe(*barProgress, "Progress", "How much of the image has been sent");
    Describe(*lblLogger, "Logger", "The logger's serial number and image");
    Describe(*lblOutcome, "Outcome", "How the update ended, and when");
    setMinimumWidth(220);
}

void TStationTileWidget::Show(const TStationTile& tile, bool bStopping) {
    const std::string sName = TileName(tile.sPort);
    lblName->setText(Q(sName));
    lblName->setToolTip(Q(tile.sPort));
    const std::string sWords = TfrmStation::StateWords(tile, bStopping);
    std::string sState = sWords;
    // The stage in detail while it runs, where the words say less ("identifying: checking").
    if (tile.state == TStationPort::Running && tile.bHasRun && !tile.sStage.empty() &&
        tile.sStage != "waiting")
        sState = tile.sStage.starts_with(sWords) ? tile.sStage : sWords + ": " + tile.sStage;
    lblState->setText(Q(sState));
    const std::string sProgress = ProgressWords(tile);
    const int iPercent = tile.bHasRun && tile.iPercent ? *tile.iPercent : 0;
    barProgress->setValue(iPercent);
    barProgress->setFormat(
        sProgress.empty()
            ? QString("%p%")
            : QString("%p%") + (tile.iSecondsLeft ? Q("  " + TimeLeft(*tile.iSecondsLeft) + " left")
                                                  : QString()));
    std::string sLogger;
    if (tile.bHasRun && tile.iSerial)
        sLogger = "Serial " + std::to_string(*tile.iSerial);
    if (tile.bHasRun && !tile.sImage.empty())
        sLogger += (sLogger.empty() ? "" : ", ") + tile.sImage;
    lblLogger->setText(Q(sLogger));
    std::string sOutcome;
    if (tile.bEnded) {
        sOutcome = ClockTime(tile.tEnded) + " ";
        sOutcome += tile.bSuccess     ? "done" + (tile.sVersion.empty() ? "" : " " + tile.sVersion)
                    : tile.bCancelled ? std::string("cancelled")
                                      : "failed (" + std::to_string(tile.iExit) + ")";
        if (!tile.sOutcome.empty())
            sOutcome += ": " + tile.sOutcome;
    }
    lblOutcome->setText(Q(sOutcome));
    setStyleSheet(TileStyle(tile));
    setAccessibleName(Q(tile.sPort));
    setAccessibleDescription(Q(sProgress.empty() ? sState : sState + ", " + sProgress));
}

std::string TfrmStation::StateWords(const TStationTile& tile, bool bStopping) {
    switch (tile.state) {
    case TStationPort::Absent:
        return "waiting";
    case TStationPort::Waiting:
        return bStopping ? "not started: the station stops" : "waiting for its turn";
    case TStationPort::Running:
        return RunningWords(tile.sStage);
    case TStationPort::Idle:
        break;
    }
    if (!tile.bHasRun || !tile.bEnded)
        return "here at start: plug it in again to update it";
    return tile.bSuccess ? "done" : tile.bCancelled ? "cancelled" : "failed";
}

TfrmStation::TfrmStation(TStationWindowSettings settings, QWidget* pParent)
    : QWidget(pParent, Qt::Window), FSettings(std::move(settings)) {
    setObjectName("frmStation");
    setWindowTitle(QString(Texts::AppTitle) + " - Station");
    auto* pLayout = new QVBoxLayout(this);

    auto* pStart = new QHBoxLayout;
    chkOnlyNew = new QCheckBox("&Only loggers plugged in from now on", this);
    chkOnlyNew->setObjectName("chkOnlyNew");
    chkOnlyNew->setToolTip("Loggers present when the station starts are updated only once they "
                           "have been unplugged and plugged in again.");
    auto* pMax = new QLabel("At &most at once:", this);
    spnMaxParallel = new QSpinBox(this);
    spnMaxParallel->setObjectName("spnMaxParallel");
    spnMaxParallel->setRange(1, 999);
    spnMaxParallel->setValue(static_cast<int>(TStationRules{}.iMaxParallel));
    pMax->setBuddy(spnMaxParallel);
    btnStart = new QPushButton("&Start", this);
    btnStart->setObjectName("btnStart");
    pStart->addWidget(chkOnlyNew);
    pStart->addWidget(pMax);
    pStart->addWidget(spnMaxParallel);
    pStart->addStretch();
    pStart->addWidget(btnStart);
    pLayout->addLayout(pStart);

    auto* pControl = new QHBoxLayout;
    lblCount = new QLabel(this);
    lblCount->setObjectName("lblCount");
    btnStopStarting = new QPushButton("Stop s&tarting", this);
    btnStopStarting->setObjectName("btnStopStarting");
    btnStopStarting->setToolTip("No new update starts; the running ones finish.");
    btnCancelAll = new QPushButton("Cancel &all", this);
    btnCancelAll->setObjectName("btnCancelAll");
    btnCancelAll->setToolTip("Cancels the running updates.");
    btnStopStarting->setEnabled(false);
    btnCancelAll->setEnabled(false);
    pControl->addWidget(lblCount, 1);
    pControl->addWidget(btnStopStarting);
    pControl->addWidget(btnCancelAll);
    pLayout->addLayout(pControl);

    auto* pScroll = new QScrollArea(this);
    pScroll->setWidgetResizable(true);
    FTiles = new QWidget(pScroll);
    FTileGrid = new QGridLayout(FTiles);
    FTileGrid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    pScroll->setWidget(FTiles);
    pLayout->addWidget(pScroll, 1);
    resize(760, 480);

    connect(btnStart, &QPushButton::clicked, this, [this] { StartStation(); });
    connect(btnStopStarting, &QPushButton::clicked, this, &TfrmStation::btnStopStartingClick);
    connect(btnCancelAll, &QPushButton::clicked, this, &TfrmStation::btnCancelAllClick);
    lblCount->setText("Not started");

    Describe(*this, "Workshop station", "Updates every logger plugged in, a tile per port");
    Describe(*chkOnlyNew, "Only loggers plugged in from now on",
             "Leaves the loggers present at the start alone until they are plugged in again");
    Describe(*spnMaxParallel, "At most at once", "How many updates run at the same time");
    Describe(*btnStart, "Start", "Starts the station after its question");
    Describe(*lblCount, "Count", "Updates done, failed, in progress and waiting");
    Describe(*btnStopStarting, "Stop starting", btnStopStarting->toolTip().toUtf8().constData());
    Describe(*btnCancelAll, "Cancel all", btnCancelAll->toolTip().toUtf8().constData());
    Describe(*pMax, "At most at once:", "Names the box beside it");
    Describe(*pScroll, "Ports", "A tile per port with its logger's update");
    Describe(*pScroll->viewport(), "Ports", "The visible part of the tiles");
    Describe(*FTiles, "Tiles", "The ports the station has seen");
}

TfrmStation::~TfrmStation() {
    StopStation();
}

bool TfrmStation::Confirm(const std::string& sQuestion, bool bDefaultYes) {
    if (OnConfirm)
        return OnConfirm(sQuestion, bDefaultYes);
    return AskYesNo(this, sQuestion, bDefaultYes);
}

bool TfrmStation::StartStation() {
    if (FStation)
        return false;
    // Asked once for every update the station makes, as on the command line.
    if (const char* sQuestion = StartQuestion(); sQuestion != nullptr && !FSettings.bYes) {
        if (!Confirm(sQuestion, true))
            return false;
    }
    TStationStart start;
    start.rules.bOnlyNew = chkOnlyNew->isChecked();
    start.rules.iMaxParallel = static_cast<std::size_t>(spnMaxParallel->value());
    start.aChildArgs = ChildBaseArgs(TSessionSettings{}.iMaxRepeats,
                                     static_cast<long long>(QCoreApplication::applicationPid()));
    // The journal names this program for the runs of its station.
    start.aChildArgs.push_back("--gui-station");
    start.aChildArgs.insert(start.aChildArgs.end(), FSettings.aParams.begin(),
                            FSettings.aParams.end());
    start.sProgram = FSettings.sProgram.empty() ? StationProgram() : FSettings.sProgram;
    start.tKillAfter = FSettings.tKillAfter;
    start.sDevDir = FSettings.sDevDir;
    try {
        FStation = std::make_unique<TStation>(std::move(start), FListener);
    } catch (const std::exception& e) {
        const std::string sText = std::string("The station cannot start: ") + e.what();
        if (OnErrorBox)
            OnErrorBox(sText);
        else
            QMessageBox::critical(this, Texts::AppTitle, Q(sText));
        return false;
    }
    FView = {};
    FbCancelAsked = false;
    SetStarted(true);
    lblCount->setText("Watching the ports");
    TStation& station = *FStation;
    FThread = std::thread([this, &station] { RunLoop(station); });
    return true;
}

void TfrmStation::RunLoop(TStation& station) {
    using TClock = std::chrono::steady_clock;
    // At most ten views a second while updates run, and one as soon as an update ends.
    constexpr auto ShowInterval = std::chrono::milliseconds(100);
    const auto post = [this](TStationView view) {
        QMetaObject::invokeMethod(
            this, [this, view = std::move(view)] { ShowView(view); }, Qt::QueuedConnection);
    };
    auto tShown = TClock::now() - ShowInterval;
    bool bPending = false;
    std::size_t iEnded = 0;
    for (;;) {
        const bool bDone = station.Step(bPending ? ShowInterval : std::chrono::milliseconds(1000));
        bPending = station.TakeChanged() || bPending;
        if (bDone)
            break;
        const TStationTally tally = station.Plan().Tally();
        const bool bEnded = tally.iSucceeded + tally.iFailed != iEnded;
        if (bPending && (bEnded || TClock::now() - tShown >= ShowInterval)) {
            post(station.View());
            tShown = TClock::now();
            bPending = false;
            iEnded = tally.iSucceeded + tally.iFailed;
        }
    }
    station.Finish();
    post(station.View());
}

void TfrmStation::ShowView(const TStationView& view) {
    const std::size_t iEndedBefore = FView.tally.iSucceeded + FView.tally.iFailed;
    if (view.tally.iSucceeded + view.tally.iFailed > iEndedBefore)
        QApplication::beep();
    FView = view;
    for (const TStationTile& tile : view.aTiles) {
        TStationTileWidget*& pTile = FaTiles[tile.sPort];
        if (pTile == nullptr) {
            pTile = new TStationTileWidget(FTiles);
            const int i = static_cast<int>(FaTiles.size()) - 1;
            FTileGrid->addWidget(pTile, i / TileColumns, i % TileColumns);
        }
        pTile->Show(tile, view.bStopping);
    }
    std::string sCount = std::to_string(view.tally.iSucceeded) + " done, " +
                         std::to_string(view.tally.iFailed) + " failed, " +
                         std::to_string(view.tally.iRunning) + " in progress, " +
                         std::to_string(view.tally.iWaiting) + " waiting";
    if (view.bDone)
        sCount += "; the station has stopped";
    else if (view.bCancelling)
        sCount += "; cancelling";
    else if (view.bStopping)
        sCount += "; stopping: no new update starts";
    lblCount->setText(Q(sCount));
    lblCount->setAccessibleName(Q(sCount));
    if (view.bStopping)
        btnStopStarting->setEnabled(false);
    if (view.bDone) {
        // The thread has posted its last view and ends.
        if (FThread.joinable())
            FThread.join();
        FStation.reset();
        SetStarted(false);
    }
    if (OnViewShown)
        OnViewShown();
}

TStationTileWidget* TfrmStation::Tile(const std::string& sPort) const {
    const auto it = FaTiles.find(sPort);
    return it == FaTiles.end() ? nullptr : it->second;
}

void TfrmStation::btnStopStartingClick() {
    if (!FStation)
        return;
    FStation->RequestStop();
    FStation->Wake();
    btnStopStarting->setEnabled(false);
}

void TfrmStation::btnCancelAllClick() {
    if (!FStation)
        return;
    // Asked once: after a yes the cancel is on its way.
    if (!FbCancelAsked && !Confirm(AskCancelAll, false))
        return;
    FbCancelAsked = true;
    FStation->RequestCancel();
    FStation->Wake();
    btnStopStarting->setEnabled(false);
    btnCancelAll->setEnabled(false);
}

void TfrmStation::closeEvent(QCloseEvent* pEvent) {
    // Closing cancels the running updates: Enter alone must not do that.
    if (FStation && FView.tally.iRunning > 0 && !Confirm(Texts::AskCloseWhileRunning, false)) {
        pEvent->ignore();
        return;
    }
    StopStation();
    pEvent->accept();
}

void TfrmStation::StopStation() {
    if (!FStation)
        return;
    // The children are cancelled and awaited (a child that does not end is killed in time), so
    // every port is closed and every journal row complete when the window goes.
    FStation->RequestCancel();
    FStation->Wake();
    if (FThread.joinable())
        FThread.join();
    FStation.reset();
    // Its last views would come to a window that no longer shows a station.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    SetStarted(false);
    lblCount->setText("Stopped");
}

void TfrmStation::SetStarted(bool bStarted) {
    // The start settings hold for a station's whole run; a stopped station may start again.
    chkOnlyNew->setEnabled(!bStarted);
    spnMaxParallel->setEnabled(!bStarted);
    btnStart->setEnabled(!bStarted);
    btnStopStarting->setEnabled(bStarted);
    btnCancelAll->setEnabled(bStarted);
}
