// The workshop station in the operator's program: it watches the serial ports and updates every
// logger plugged in, each in a kelvo-update child process, and shows a tile per port. The station
// itself (TStation) runs on a thread of its own; the window only shows the views it posts.
#pragma once

#include "frontend/uStationEngine.h"

#include <QFrame>
#include <QWidget>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

// What the station window is made from.
struct TStationWindowSettings {
    // The start-up parameters (key:value) that every child takes too.
    std::vector<std::string> aParams;
    std::string sDevDir = PortDeviceDir();
    // kelvo-update, which runs each update; empty: StationProgram().
    std::string sProgram;
    // The start question is answered with yes (--station --yes): the station starts at once.
    bool bYes = false;
    std::chrono::milliseconds tKillAfter = TChildRuns::DefaultKillAfter;
};

// kelvo-update beside this program (KELVO_UPDATE_PROGRAM names another): in the installed
// folder, else in the build tree's cli folder next to ui.
std::string StationProgram();

// A port's tile: its name, its state in words, the progress with the time left, the logger's
// serial number and image, the outcome with its time.
class TStationTileWidget : public QFrame {
    Q_OBJECT
public:
    explicit TStationTileWidget(QWidget* pParent);
    void Show(const TStationTile& tile, bool bStopping);

    QLabel* lblName;
    QLabel* lblState;
    QProgressBar* barProgress;
    QLabel* lblLogger;
    QLabel* lblOutcome;
};

class TfrmStation : public QWidget {
    Q_OBJECT
public:
    explicit TfrmStation(TStationWindowSettings settings, QWidget* pParent = nullptr);
    ~TfrmStation() override;

    // Starts the station with the settings shown, after the start question (unless answered
    // already). False when the operator said no or it could not start (told in a box).
    bool StartStation();
    void btnStopStartingClick();
    void btnCancelAllClick();

    bool IsRunning() const { return FThread.joinable(); }
    // The latest view shown.
    const TStationView& View() const { return FView; }
    // The tile of a port, once it has one.
    TStationTileWidget* Tile(const std::string& sPort) const;
    // The state of a tile in words ("waiting", "programming", "done", ...).
    static std::string StateWords(const TStationTile& tile, bool bStopping);

    // The modal interactions; empty: the program's own dialogs. Tests set them.
    std::function<bool(const std::string& sQuestion, bool bDefaultYes)> OnConfirm;
    std::function<void(const std::string& sText)> OnErrorBox;
    // Called after each view has been shown (tests wait on it).
    std::function<void()> OnViewShown;

    QCheckBox* chkOnlyNew;
    QSpinBox* spnMaxParallel;
    QPushButton* btnStart;
    QPushButton* btnStopStarting;
    QPushButton* btnCancelAll;
    QLabel* lblCount;

protected:
    void closeEvent(QCloseEvent* pEvent) override;

private:
    void ShowView(const TStationView& view);
    bool Confirm(const std::string& sQuestion, bool bDefaultYes);
    // Cancels what runs and waits for the station's thread.
    void StopStation();
    void SetStarted(bool bStarted);
    // The station's loop, on its thread.
    void RunLoop(TStation& station);

    TStationWindowSettings FSettings;
    // The station's thread tells the window nothing but its views.
    TStationListener FListener;
    std::unique_ptr<TStation> FStation;
    std::thread FThread;
    TStationView FView;
    bool FbCancelAsked = false;
    QWidget* FTiles;
    QGridLayout* FTileGrid;
    std::map<std::string, TStationTileWidget*> FaTiles;
};
