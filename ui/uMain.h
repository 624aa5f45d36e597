// The main window: the operator picks a port, starts an update and follows it through the
// progress bar, the status bar, the report and the final message box. It starts one update session
// per update, on a thread of its own, and afterwards only shows the session's steps.
#pragma once

#include "frontend/uNotifyTexts.h"
#include "link/uCommThread.h"

#include <QEvent>
#include <QMainWindow>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;

// What the main window is made from besides the options it reads itself.
struct TMainSettings {
    std::vector<std::string> aParams; // the command-line parameters after the program's path
    std::string sDevDir = "/dev";     // where the port devices appear (not used on Windows)
    TPortOpener openPort = OpenComPort;
};

// The program's settings, once QApplication has taken its own options: the key:value parameters
// of the command line and the device folder (KELVO_DEV_DIR, else /dev).
TMainSettings ProgramSettings();

// A step of the update session on its way to the window thread, or (bEnd) the end of the session.
class TStepEvent : public QEvent {
public:
    static const QEvent::Type EventType;
    explicit TStepEvent(TStep step, bool bEnd = false)
        : QEvent(EventType), step(std::move(step)), bEnd(bEnd) {}
    const TStep step;
    const bool bEnd;
};

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int RestartWaitMs = 1500;

    explicit TfrmMain(TMainSettings settings);
    ~TfrmMain() override;

    void StartUpdate(std::int32_t iCmd);
    void EndUpdate();
    // Clears the report, selects the built-in images or loads sFileName into the file slot, and
    // takes the port from the box. False (the reason in *psError) when the file cannot be read;
    // then FPort is left as it was.
    bool PrepareUpdate(const std::string& sFileName, std::string* psError = nullptr);
    void AddReport(const std::string& sText);
    void SetStatusText(const std::string& sText);
    void ShowResultBox(const std::string& sText);
    // Shows one step of the running update session.
    void ShowStep(const TStep& step);
    // Refills the port box with aPorts after a change of the present port devices.
    void HandleDeviceChange(const std::vector<std::string>& aPorts);

    void btnProgClick();
    void btnFileClick();
    void btnCancelClick();
    void btnCloseClick();
    void menFileExitClick();
    void menInfoFirmwareClick();
    void menInfoFileClick();
    void menWorkshopHistoryClick();
    void menStationClick();
    void ApplicationEvents1Idle();

    // True while an update runs, the wait before a restart included.
    bool IsRunning() const { return FSession != nullptr; }
    QString StatusText() const;
    void SetPortOpener(TPortOpener openPort) { FOpenPort = std::move(openPort); }
    void SetRestartWait(int iMs) { FiRestartWaitMs = iMs; }

    // The modal interactions. Empty: the program's own dialogs. Tests set them so that nothing
    // waits for an operator.
    std::function<bool(const std::string& sQuestion)> OnConfirm; // true only for "Yes"
    std::function<void(const std::string& sText)> OnResultBox;   // the outcome box
    std::function<std::string()> OnChooseFile;                   // empty when cancelled
    std::function<void(const std::string& sText)> OnErrorBox;    // the standard error box

    QWidget* Panel1;
    QFrame* Bevel1;
    QLabel* Label1;
    QComboBox* cbxPort;
    QProgressBar* ProgressBar1;
    QPushButton* btnProg;
    QPushButton* btnFile;
    QPushButton* btnClose;
    QPushButton* btnCancel;
    QCheckBox* chkReadInfoOnly;
    // Internal mode: the serial number from the label of a logger found in its bootloader.
    QLabel* lblSerial;
    QLineEdit* edtSerial;
    QStatusBar* StatusBar1;
    QMenu* menInfo;
    QAction* menInfoFirmware;
    QAction* menInfoFile;
    QAction* N1;
    QAction* menFileExit;
    QMenu* menWorkshop;
    QAction* menWorkshopHistory;
    QAction* menWorkshopStation;
    QPointer<QWidget> frmStation; // the workshop station's window, once opened
    QFileDialog* OpenDialog1;

protected:
    bool event(QEvent* pEvent) override;
    void closeEvent(QCloseEvent* pEvent) override;
    void moveEvent(QMoveEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
#ifdef _WIN32
    bool nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult) override;
#endif

private:
    void CreateControls();
    void ReadOptionsAndLayout(const std::vector<std::string>& aParams);
    // The platform's notice of arriving and departing port devices.
    void StartDeviceChangeHook();
    bool FormCloseQuery();
    // Cancels a running update and waits until its session has ended: the port is closed and the
    // journal's row written.
    void StopWorker();
    // The session has ended: its thread is joined.
    void SessionEnded();
    // The question with "Yes" and "No"; Enter answers with the default button.
    bool Confirm(const std::string& sQuestion, bool bDefaultYes = true);
    // The serial number field's number into FiLabelSerial (0: empty); false, after telling the
    // operator, when it is not a serial number.
    bool ReadLabelSerial();
    std::string ChooseFile();
    void SetBusy(bool bBusy);
    void HandleWindowMove();
    // The main window's frame has appeared or changed.
    void HandleFrameChange();

    std::string FPort;
    // The firmware file of the prepared update and its SHA-256, for the journal; empty for the
    // built-in images.
    std::string FsFileName;
    std::string FsFileSha256;
    // The catalogue selection as the overview shows it: iFwIndex as the window thread last saw it
    // without a worker writing it (when the update was prepared, from the session's steps, after
    // an attempt ended). Written on the window thread only.
    std::int32_t FiFwIndex = -1;
    std::int32_t FiCandidate = -1;   // the entry of the latest "Check" notification
    std::uint32_t FiLabelSerial = 0; // from the serial number field, for the prepared update
    TPortOpener FOpenPort;
    std::string FsDevDir;
    std::vector<std::string> FaParams; // the start-up parameters, which the station's children take
    struct TRunningSession;
    std::unique_ptr<TRunningSession> FSession; // the running update, or none
    int FiRestartWaitMs = RestartWaitMs;
    bool FbBusy = false;
    bool FbIdleDone = false;
    QLabel* FStatusPanel;
    // Where the file-open dialog opens: the user's home folder, then the folder of the last file
    // chosen in this run.
    QString FsFileDir;
};

extern QPointer<TfrmMain> frmMain;
