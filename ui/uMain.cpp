#include "ui/uMain.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uUpdateSession.h"
#include "hexline/uSha256.h"
#include "link/uExceptions1V0.h"
#include "ui/uAccessNames.h"
#include "ui/uHistoryWindow.h"
#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"
#include "ui/uQuestion.h"
#include "ui/uStationWindow.h"
#include "ui/uWindowPlace.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

QPointer<TfrmMain> frmMain;

const QEvent::Type TStepEvent::EventType = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {

constexpr int InnerWidth = 444;
constexpr int PanelHeight = 201;
constexpr int StatusBarHeight = 19;

QString Q(const std::string& s) {
    return QString::fromStdString(s).replace("\r\n", "\n");
}

// The answer to a question that the session asks the window: given on the window thread, awaited
// on the session's.
struct TAnswer {
    std::mutex lock;
    std::condition_variable given;
    std::optional<bool> bYes;
};

// The session's question whether the logger is the one of an interrupted update on the same port
// name, on its way to the window thread.
class TPinQuestionEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    TPinQuestionEvent(std::string sText, std::shared_ptr<TAnswer> answer)
        : QEvent(EventType), sText(std::move(sText)), answer(std::move(answer)) {}
    const std::string sText;
    const std::shared_ptr<TAnswer> answer;
};
const QEvent::Type TPinQuestionEvent::EventType =
    static_cast<QEvent::Type>(QEvent::registerEventType());

// Asks the window from the session's thread and waits for the operator; a cancel (also by
// closing the window) ends the wait with no.
bool AskWindow(QObject& window, const TPinQuestion& q) {
    const auto answer = std::make_shared<TAnswer>();
    QCoreApplication::postEvent(&window, new TPinQuestionEvent(q.sText, answer));
    std::unique_lock lock(answer->lock);
    while (!answer->bYes && !bCancel)
        answer->given.wait_for(lock, std::chrono::milliseconds(50));
    return answer->bYes.value_or(false) && !bCancel;
}

} // namespace

// The running update: its session and the thread that runs it. The session's steps and its end
// reach the window as posted events (the queue takes ownership; posting is safe from any thread
// and never blocks the session). Released only after the thread has ended.
struct TfrmMain::TRunningSession {
    TRunningSession(TSessionSettings settings, QObject& window)
        : session(std::move(settings),
                  [&window](const TStep& step) {
                      QCoreApplication::postEvent(&window, new TStepEvent(step));
                  }),
          thread([this, &window] {
              try {
                  session.Run();
              } catch (const std::exception& e) {
                  // Nothing the session calls throws but a failing allocation: the operator
                  // still sees that the update has ended.
                  QCoreApplication::postEvent(&window, new TStepEvent({TAction::Report, e.what()}));
                  QCoreApplication::postEvent(&window, new TStepEvent({TAction::EndUpdate, ""}));
              }
              QCoreApplication::postEvent(&window, new TStepEvent({TAction::EndUpdate, ""}, true));
          }) {}
    ~TRunningSession() { thread.join(); }
    TRunningSession(const TRunningSession&) = delete;
    TRunningSession& operator=(const TRunningSession&) = delete;

    TUpdateSession session;
    std::thread thread; // last: it starts once the session is complete
};

TfrmMain::TfrmMain(TMainSettings settings)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      FOpenPort(std::move(settings.openPort)), FsDevDir(std::move(settings.sDevDir)) {
    setObjectName("frmMain");
    CreateControls();

    setWindowTitle(Texts::AppTitle);
    menInfo->setTitle("Info v2021-02-22");
    FsFileDir = QDir::homePath();
    OpenDialog1->setDirectory(FsFileDir);
    ReadOptionsAndLayout(settings.aParams);
    FaParams = settings.aParams;

    std::vector<std::string> aPorts;
    ListComPorts(aPorts, FsDevDir);
    for (const auto& s : aPorts)
        cbxPort->addItem(QString::fromStdString(s));
    cbxPort->setCurrentIndex(aPorts.empty() ? -1 : 0);
    StartDeviceChangeHook();

    SetStatusText(bFormatMemory ? "F" : "");
    EndUpdate();

    if (const QScreen* pScreen = QGuiApplication::primaryScreen())
        move(pScreen->availableGeometry().center() - rect().center());
    // The secondary windows are placed by the main window's frame, which the window manager adds
    // only after the window has been shown.
    new TFrameWatch(*this, [this] { HandleFrameChange(); });
}

TMainSettings ProgramSettings() {
    TMainSettings settings;
    // Qt has taken its own options out; the rest are the program's key:value parameters.
    const QStringList aArgs = QCoreApplication::arguments();
    for (qsizetype i = 1; i < aArgs.size(); ++i)
        settings.aParams.push_back(aArgs[i].toLocal8Bit().toStdString());
    settings.sDevDir = PortDeviceDir();
    return settings;
}

TfrmMain::~TfrmMain() {
    // No session may outlive the window it posts to.
    if (FSession) {
        FSession->session.Cancel();
        FSession.reset();
    }
    QCoreApplication::removePostedEvents(this, TStepEvent::EventType);
    SetBusy(false);
}

void TfrmMain::CreateControls() {
    auto* pMenuBar = menuBar();
    pMenuBar->setObjectName("MainMenu1");
    menInfo = pMenuBar->addMenu("Info");
    menInfo->setObjectName("menInfo");
    menInfoFirmware = menInfo->addAction("Firmware", this, &TfrmMain::menInfoFirmwareClick);
    menInfoFirmware->setObjectName("menInfoFirmware");
    menInfoFile = menInfo->addAction("File version", this, &TfrmMain::menInfoFileClick);
    menInfoFile->setObjectName("menInfoFile");
    N1 = menInfo->addSeparator();
    N1->setObjectName("N1");
    menFileExit = menInfo->addAction("Exit", this, &TfrmMain::menFileExitClick);
    menFileExit->setObjectName("menFileExit");
    // The workshop's tools, after the menu of the original program.
    menWorkshop = pMenuBar->addMenu("Workshop");
    menWorkshop->setObjectName("menWorkshop");
    menWorkshopStation = menWorkshop->addAction("Station...", this, &TfrmMain::menStationClick);
    menWorkshopStation->setObjectName("menWorkshopStation");
    menWorkshopHistory =
        menWorkshop->addAction("History...", this, &TfrmMain::menWorkshopHistoryClick);
    menWorkshopHistory->setObjectName("menWorkshopHistory");

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(PanelHeight);
    setCentralWidget(Panel1);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(0, 0, InnerWidth, 10);

    Label1 = new QLabel("Comport:", Panel1);
    Label1->setObjectName("Label1");
    Label1->move(16, 18);

    cbxPort = new QComboBox(Panel1);
    cbxPort->setObjectName("cbxPort");
    cbxPort->setEditable(true);
    cbxPort->setInsertPolicy(QComboBox::NoInsert);
    cbxPort->setGeometry(96, 14, 329, cbxPort->sizeHint().height());

    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(16, 57, 409, 33);

    // The buttons take Enter as well as Space when they have the focus.
    btnProg = new QPushButton("Update", Panel1);
    btnProg->setObjectName("btnProg");
    btnProg->setAutoDefault(true);
    btnProg->setGeometry(50, 107, 141, 41);
    connect(btnProg, &QPushButton::clicked, this, &TfrmMain::btnProgClick);

    btnFile = new QPushButton("File", Panel1);
    btnFile->setObjectName("btnFile");
    btnFile->setAutoDefault(true);
    btnFile->setGeometry(126, 107, 65, 41);
    connect(btnFile, &QPushButton::clicked, this, &TfrmMain::btnFileClick);

    btnClose = new QPushButton("Close", Panel1);
    btnClose->setObjectName("btnClose");
    btnClose->setAutoDefault(true);
    btnClose->setGeometry(250, 107, 139, 41);
    connect(btnClose, &QPushButton::clicked, this, &TfrmMain::btnCloseClick);

    btnCancel = new QPushButton("Cancel", Panel1);
    btnCancel->setObjectName("btnCancel");
    btnCancel->setAutoDefault(true);
    btnCancel->setGeometry(btnClose->geometry());
    btnCancel->hide();
    connect(btnCancel, &QPushButton::clicked, this, &TfrmMain::btnCancelClick);

    chkReadInfoOnly = new QCheckBox("Read info only", Panel1);
    chkReadInfoOnly->setObjectName("chkReadInfoOnly");
    chkReadInfoOnly->setGeometry(32, 168, 145, 17);

    lblSerial = new QLabel("Serial number:", Panel1);
    lblSerial->setObjectName("lblSerial");
    lblSerial->setGeometry(196, 168, 110, 17);
    edtSerial = new QLineEdit(Panel1);
    edtSerial->setObjectName("edtSerial");
    edtSerial->setMaxLength(10);
    edtSerial->setPlaceholderText("from the label");
    edtSerial->setToolTip("For a logger found in its bootloader, which does not tell its serial "
                          "number: the number on its label. Empty: none.");
    edtSerial->setGeometry(310, 164, 115, 25);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(std::max(StatusBarHeight, StatusBar1->sizeHint().height()));
    FStatusPanel = new QLabel(StatusBar1);
    // A long text must not widen the window: it is cut, and the hint shows all of it.
    FStatusPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusBar1->addWidget(FStatusPanel, 1);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilters({"Firmware files (*.kfw)", "All files (*)"});
    DescribeControls(*this);
}

void TfrmMain::ReadOptionsAndLayout(const std::vector<std::string>& aParams) {
    const bool bInternal = IsInternalMode();
    chkReadInfoOnly->setChecked(false);
    chkReadInfoOnly->setVisible(bInternal && bReadInfoSupported);
    lblSerial->setVisible(bInternal);
    edtSerial->setVisible(bInternal);
    ReadStartupOptions(aParams, bInternal);

    if (iFileMode == 2) {
        // "Update" and "File" share the place of one button.
        const int iWidth = btnClose->width() / 2;
        menInfoFile->setVisible(true);
        btnFile->setVisible(true);
        btnProg->resize(iWidth, btnProg->height());
        btnFile->setGeometry(btnProg->x() + iWidth + 8, btnFile->y(), iWidth, btnFile->height());
    } else {
        menInfoFile->setVisible(false);
        btnFile->setVisible(false);
        btnProg->resize(btnClose->width(), btnProg->height());
    }
    setFixedSize(InnerWidth,
                 menuBar()->sizeHint().height() + Panel1->height() + StatusBar1->height());
}

void TfrmMain::SetBusy(bool bBusy) {
    if (bBusy == FbBusy)
        return;
    FbBusy = bBusy;
    if (bBusy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

bool TfrmMain::PrepareUpdate(const std::string& sFileName, std::string* psError) {
    if (frmProtocol)
        frmProtocol->Clear();
    iFwIndex = -1;
    FiFwIndex = -1;
    // The file is read once: what is checked is what is programmed and recorded.
    std::string sContent;
    if (!sFileName.empty()) {
        try {
            sContent = ReadFwFileContent(sFileName);
        } catch (const std::exception& e) {
            if (psError != nullptr)
                *psError = e.what();
            return false;
        }
        if (!LoadFwFileContent(sFileName, sContent, psError))
            return false;
        FiFwIndex = 0;
    }
    FPort = cbxPort->currentText().toStdString();
    FsFileName = sFileName;
    FsFileSha256 = sFileName.empty() ? std::string() : Sha256Hex(sContent);
    return true;
}

void TfrmMain::StartUpdate(std::int32_t iCmd) {
    if (FSession)
        return; // one update at a time
    // The worker reads the options while it runs: they are written before the session starts.
    bReadInfoOnly = chkReadInfoOnly->isChecked();
    bCancel = false;
    TSessionSettings settings;
    settings.sPort = FPort;
    settings.iCommand = iCmd;
    settings.iMaxRepeats = TSessionSettings::Unlimited; // the operator watches and can cancel
    settings.openPort = FOpenPort;
    settings.iRestartWaitMs = FiRestartWaitMs;
    settings.journal =
        TRunJournal::TStart{"kelvo-firmware-update", FPort, FsFileName, FsFileSha256};
    settings.iLabelSerial = FiLabelSerial;
    settings.askPin = [this](const TPinQuestion& q) {
        return AskWindow(*this, q);
    };
    FSession = std::make_unique<TRunningSession>(std::move(settings), *this);
}

void TfrmMain::EndUpdate() {
    const QWidget* pFocus = focusWidget();
    const bool bFocusBack = pFocus == Panel1 || pFocus == btnCancel;
    btnProg->setEnabled(true);
    btnFile->setEnabled(true);
    btnClose->show();
    btnCancel->hide();
    // The focus parked at the start, or left on "Cancel" that goes now, returns to "Update".
    if (bFocusBack)
        btnProg->setFocus(Qt::OtherFocusReason);
    cbxPort->setEnabled(true);
    menInfoFile->setEnabled(true);
    SetBusy(false);
    setWindowTitle(Texts::AppTitle);
}

void TfrmMain::AddReport(const std::string& sText) {
    if (frmProtocol)
        frmProtocol->Add(sText);
}

void TfrmMain::SetStatusText(const std::string& sText) {
    FStatusPanel->setText(QString::fromStdString(sText));
    StatusBar1->setToolTip(QString::fromStdString(sText));
}

QString TfrmMain::StatusText() const {
    return FStatusPanel->text();
}

void TfrmMain::ShowResultBox(const std::string& sText) {
    if (OnResultBox) {
        OnResultBox(sText);
        return;
    }
    const QRect r = OuterGeometry(*this);
    if (frmMessage)
        frmMessage->showMsg(sText, r.left(), r.top(), r.width(), r.height());
    else
        QMessageBox::information(nullptr, Texts::AppTitle, Q(sText));
}

bool TfrmMain::Confirm(const std::string& sQuestion, bool bDefaultYes) {
    if (OnConfirm)
        return OnConfirm(sQuestion);
    return AskYesNo(this, sQuestion, bDefaultYes);
}

std::string TfrmMain::ChooseFile() {
    if (OnChooseFile)
        return OnChooseFile();
    // A folder looked into but left without a choice is not kept.
    OpenDialog1->setDirectory(FsFileDir);
    if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty())
        return {};
    const QString sFile = OpenDialog1->selectedFiles().front();
    FsFileDir = QFileInfo(sFile).absolutePath();
    return sFile.toStdString();
}

bool TfrmMain::ReadLabelSerial() {
    FiLabelSerial = 0;
    if (edtSerial->isHidden())
        return true; // not in the internal mode
    const std::string s = edtSerial->text().trimmed().toStdString();
    if (s.empty())
        return true;
    std::uint32_t i = 0;
    const auto [pEnd, ec] = std::from_chars(s.data(), s.data() + s.size(), i);
    if (ec != std::errc() || pEnd != s.data() + s.size() || i == 0) {
        const std::string sText = "The serial number \"" + s +
                                  "\" is not one from a logger's label (a number from 1 to "
                                  "4294967295): nothing was started.";
        SetStatusText(sText);
        ShowResultBox(sText);
        return false;
    }
    FiLabelSerial = i;
    return true;
}

bool TfrmMain::event(QEvent* pEvent) {
    if (pEvent->type() == TPinQuestionEvent::EventType) {
        const auto* p = static_cast<const TPinQuestionEvent*>(pEvent);
        // Not that logger unless the operator says so: "No" is the default. A question left
        // behind by an update that has ended is not shown.
        const bool bYes = FSession != nullptr && Confirm(p->sText, false);
        {
            const std::lock_guard guard(p->answer->lock);
            p->answer->bYes = bYes;
        }
        p->answer->given.notify_all();
        return true;
    }
    if (pEvent->type() == TStepEvent::EventType) {
        const auto* p = static_cast<const TStepEvent*>(pEvent);
        if (p->bEnd)
            SessionEnded();
        else
            ShowStep(p->step);
        return true;
    }
    return QMainWindow::event(pEvent);
}

void TfrmMain::SessionEnded() {
    FSession.reset(); // its thread has posted this as its last act: the join does not wait
    QCoreApplication::removePostedEvents(this, TPinQuestionEvent::EventType);
}

void TfrmMain::ShowStep(const TStep& step) {
    if (step.source == TSource::Notification) {
        if (step.iCode == Notify::Candidate) {
            // The worker cleared its selection before it examined the first entry.
            FiFwIndex = -1;
            FiCandidate = step.iNotified;
        } else if (step.iCode == Notify::TransferBegins) {
            // The transfer sends the entry examined last: the one selected.
            FiFwIndex = FiCandidate;
        }
    }
    switch (step.action) {
    case TAction::BeginUpdate:
        // The focus would pass from the disabled button to "Cancel", where a second key press
        // meant for "Update" cancels the update: it waits on the panel instead, and comes back
        // at the end.
        if (QWidget* pFocus = focusWidget(); pFocus == btnProg || pFocus == btnFile ||
                                             pFocus == btnClose || pFocus == cbxPort ||
                                             (pFocus != nullptr && cbxPort->isAncestorOf(pFocus)))
            Panel1->setFocus(Qt::OtherFocusReason);
        ProgressBar1->setValue(0);
        btnProg->setEnabled(false);
        btnFile->setEnabled(false);
        btnClose->hide();
        btnCancel->show();
        cbxPort->setEnabled(false);
        // The running update reads the file slot and iFwIndex: nothing may replace them meanwhile.
        menInfoFile->setEnabled(false);
        SetBusy(true);
        break;
    case TAction::Report:
    case TAction::Diagnostic:
        AddReport(step.sText);
        break;
    case TAction::Status:
        SetStatusText(step.sText);
        break;
    case TAction::Message:
        ShowResultBox(step.sText);
        break;
    case TAction::Progress:
        ProgressBar1->setValue(step.iValue);
        break;
    case TAction::Title:
        setWindowTitle(QString::fromStdString(step.sText));
        break;
    case TAction::EndUpdate:
        EndUpdate();
        // Only a success leaves the bar full; an update that failed leaves no share standing.
        if (step.iCode != Notify::Done)
            ProgressBar1->setValue(0);
        break;
    case TAction::Beep:
        QApplication::beep();
        break;
    case TAction::Selection:
        FiFwIndex = step.iValue;
        break;
    case TAction::RestartAfterWait:
    case TAction::RepeatNow:
        break; // the session repeats by itself
    }
}

void TfrmMain::btnProgClick() {
    if (IsRunning())
        return; // one update at a time
    if (bFormatMemory) {
        if (!Confirm(Texts::AskClearsMeasurements))
            return;
    } else if (iFileMode < 1) {
        if (!Confirm(Texts::AskSaveMeasurements))
            return;
    }
    if (!ReadLabelSerial())
        return;
    PrepareUpdate("");
    StartUpdate(0);
}

void TfrmMain::btnFileClick() {
    if (IsRunning())
        return;
    if (!ReadLabelSerial())
        return;
    const std::string sFile = ChooseFile();
    if (sFile.empty())
        return;
    std::string sError;
    if (!PrepareUpdate(sFile, &sError)) {
        // No update with a file that cannot be read, nor in its place with the built-in images;
        // the bar shows no share of an earlier update beside this outcome.
        ProgressBar1->setValue(0);
        AddReport(Texts::FileNotReadable);
        AddReport(sError);
        SetStatusText(Texts::FileNotReadable);
        ShowResultBox(std::string(Texts::FileNotReadable) + "\r\n" + sError);
        return;
    }
    StartUpdate(0);
}

void TfrmMain::btnCancelClick() {
    if (FSession)
        FSession->session.Cancel();
}

void TfrmMain::btnCloseClick() {
    close();
}

void TfrmMain::menStationClick() {
    // One station window; it lives until the main window goes, which cancels its updates.
    if (!frmStation) {
        TStationWindowSettings settings;
        settings.aParams = FaParams;
        settings.sDevDir = FsDevDir;
        frmStation = new TfrmStation(std::move(settings), this);
    }
    frmStation->show();
    frmStation->raise();
    frmStation->activateWindow();
}

void TfrmMain::menFileExitClick() {
    close();
}

void TfrmMain::closeEvent(QCloseEvent* pEvent) {
    if (FormCloseQuery())
        pEvent->accept();
    else
        pEvent->ignore();
}

bool TfrmMain::FormCloseQuery() {
    // The station's window asks for its own updates, and cancels them.
    if (frmStation && frmStation->isVisible() && !frmStation->close())
        return false;
    if (!IsRunning())
        return true;
    // Closing cancels the update: Enter alone must not do that.
    if (!Confirm(Texts::AskCloseWhileRunning, false))
        return false;
    StopWorker();
    return true;
}

void TfrmMain::StopWorker() {
    // Deliberately cancel and wait instead of leaving the worker behind: the port is closed, the
    // journal records the cancelled run and no thread outlives the program. The wait is bounded
    // by one exchange attempt, the fixed pauses of the procedure and the journal's last write.
    if (FSession) {
        FSession->session.Cancel();
        SetBusy(true);
        FSession.reset();
    }
    // Its last steps would show a result box for an update nobody waits for any more.
    QCoreApplication::removePostedEvents(this, TStepEvent::EventType);
    QCoreApplication::removePostedEvents(this, TPinQuestionEvent::EventType);
    EndUpdate();
}

void TfrmMain::moveEvent(QMoveEvent* pEvent) {
    QMainWindow::moveEvent(pEvent);
    HandleWindowMove();
}

void TfrmMain::HandleWindowMove() {
    if (frmProtocol) {
        const QRect r = OuterGeometry(*this);
        frmProtocol->Dock(r.left(), r.top(), r.height());
    }
}

void TfrmMain::HandleFrameChange() {
    // The outer size has changed with the frame: the report's width too, as at its creation.
    if (frmProtocol)
        frmProtocol->PlaceUnder(OuterGeometry(*this));
}

void TfrmMain::showEvent(QShowEvent* pEvent) {
    QMainWindow::showEvent(pEvent);
    if (!FbIdleDone)
        QTimer::singleShot(0, this, &TfrmMain::ApplicationEvents1Idle);
}

void TfrmMain::ApplicationEvents1Idle() {
    if (FbIdleDone)
        return;
    FbIdleDone = true;
    if (frmProtocol) {
        frmProtocol->setVisible(iFileMode > 0);
        HandleWindowMove();
    }
}

void TfrmMain::HandleDeviceChange(const std::vector<std::string>& aPorts) {
    // The text in the box stays, even when its port has just gone.
    const QString sText = cbxPort->currentText();
    cbxPort->clear();
    for (const auto& s : aPorts)
        cbxPort->addItem(QString::fromStdString(s));
    cbxPort->setCurrentIndex(-1);
    cbxPort->setEditText(sText);
    // Show the new list at once, but only to an operator who is at the program and not running
    // an update.
    if (QApplication::activeWindow() != nullptr && cbxPort->isEnabled()) {
        cbxPort->hidePopup();
        cbxPort->update();
        cbxPort->showPopup();
    }
}

void TfrmMain::menInfoFirmwareClick() {
    if (!frmInfo)
        return;
    const QRect r = OuterGeometry(*this);
    frmInfo->Execute(r.left(), r.top(), r.height(), FiFwIndex);
}

void TfrmMain::menInfoFileClick() {
    if (IsRunning())
        return;
    if (!ReadLabelSerial())
        return;
    const std::string sFile = ChooseFile();
    if (sFile.empty())
        return;
    std::error_code ec;
    if (!std::filesystem::exists(sFile, ec))
        return;
    try {
        InspectFwFile(sFile);
        FiFwIndex = 0;
    } catch (const std::exception& e) {
        if (OnErrorBox)
            OnErrorBox(e.what());
        else
            QMessageBox::critical(this, Texts::AppTitle, QString::fromStdString(e.what()));
        return;
    }
    menInfoFirmwareClick();
}

void TfrmMain::menWorkshopHistoryClick() {
    if (!frmHistory)
        frmHistory = new TfrmHistory(this);
    frmHistory->show();
    frmHistory->raise();
    frmHistory->activateWindow();
    frmHistory->Refresh();
}
