// The workshop station without its view: it watches the serial ports and updates the logger
// plugged into each, one child process per update, as its plan says, and keeps what it did in its
// book. Both front ends drive it: kelvo-update --watch steps it on its main thread and draws its
// lines, the GUI's station window steps it on a thread of its own and shows a tile per port.
#pragma once

#include "frontend/uChildRuns.h"
#include "frontend/uJsonLines.h"
#include "frontend/uPortList.h"
#include "frontend/uPortRun.h"
#include "frontend/uPortWatch.h"
#include "frontend/uStationBook.h"
#include "frontend/uStationPlan.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The arguments that every child of several ports or of a station starts with: one port's update
// as JSON Lines, the question answered (it was asked once for all), at most iMaxRepeats repeats,
// watching the program iParentPid that started it.
std::vector<std::string> ChildBaseArgs(int iMaxRepeats, long long iParentPid);

// The question asked before updates start (the one of the GUI's "Update" button), as the update
// options have it; null when there is none.
const char* StartQuestion();

// What a station starts with.
struct TStationStart {
    TStationRules rules;
    // The arguments of every child besides --port-arrived, --port and --update-id (--json and the
    // hidden child option included).
    std::vector<std::string> aChildArgs;
    // What every child reads on its standard input (the firmware file's bytes, checked once).
    std::string sChildInput;
    // The children's program (TChildRuns); empty: this program itself.
    std::string sProgram;
    std::chrono::milliseconds tKillAfter = TChildRuns::DefaultKillAfter;
    // The folder the port watch looks in.
    std::string sDevDir = PortDeviceDir();
};

// What the station tells as it goes, on the thread that steps it, in the order it happens. Every
// member does nothing unless overridden.
class TStationListener {
public:
    virtual ~TStationListener() = default;
    // A port has come, has gone, or waits for its turn: Plugged, Unplugged or Waiting.
    virtual void PortEvent(const std::string& /*sPort*/, TEvent /*event*/,
                           const std::string& /*sText*/) {}
    // Starting has been stopped, not by a cancel; iRunning updates go on to their end.
    virtual void Stopping(std::size_t /*iRunning*/) {}
    // The iRunning updates are being cancelled.
    virtual void Cancelling(std::size_t /*iRunning*/) {}
    // A line of a child's standard output or error; o: the object that a line of its output
    // holds, read into run already (nothing when it holds none).
    virtual void ChildLine(const TChildRuns::TItem& /*item*/, const TPortRun& /*run*/,
                           const std::optional<TJson>& /*o*/) {}
    // A child has ended, before its run takes that; bCancelled: it had been asked to.
    virtual void ChildEnding(const TChildRuns::TItem& /*end*/, const TPortRun& /*run*/,
                             bool /*bCancelled*/) {}
    // The child ended without telling its result: what the run means has been decided
    // (run.unreported); its journal row is completed after this.
    virtual void Unreported(const TPortRun& /*run*/) {}
    // The journal row of such a run could not be completed.
    virtual void JournalWarning(const TPortRun& /*run*/, const std::string& /*sWarning*/) {}
    // An update has ended; its run is complete.
    virtual void RunEnded(const TPortRun& /*run*/) {}
};

// A port as the station's view shows it.
struct TStationTile {
    std::string sPort;
    TStationPort state = TStationPort::Absent;
    // The port's latest update, running or ended (nothing: none yet).
    bool bHasRun = false;
    long long iUpdate = 0;
    std::string sStage;
    std::optional<int> iPercent;
    std::optional<int> iSecondsLeft;
    std::optional<std::uint32_t> iSerial;
    std::string sImage;
    std::string sVersion; // of the image a successful update programmed ("5.138")
    bool bEnded = false;
    bool bSuccess = false;
    bool bCancelled = false;
    int iExit = 0;
    std::string sOutcome;
    std::chrono::system_clock::time_point tEnded; // once bEnded
    bool operator==(const TStationTile&) const = default;
};

// The station as a whole, for its view.
struct TStationView {
    std::vector<TStationTile> aTiles; // every port seen, in order of arrival
    TStationTally tally;
    bool bStopping = false;
    bool bCancelling = false;
    bool bDone = false;
};

class TStation {
public:
    // Starts watching the ports at once. Throws std::runtime_error when the watch cannot start.
    TStation(TStationStart start, TStationListener& listener);
    // The updates still running are cancelled and awaited (within the kill time and a moment).
    ~TStation();
    TStation(const TStation&) = delete;
    TStation& operator=(const TStation&) = delete;

    // From any thread, a signal handler included: no update starts from now on (Ctrl+C once);
    // the running updates are cancelled (Ctrl+C twice). Step takes them at its next turn.
    void RequestStop() noexcept { FbStopRequested = true; }
    void RequestCancel() noexcept { FbCancelRequested = true; }
    // From any thread but a signal handler: the next turn comes now.
    void Wake();

    // All members below belong to the thread that steps the station.

    // One turn: waits for what comes (at most 100 ms while updates run, else a second; never
    // longer than tMaxWait), takes it, and starts the updates the plan says. True once the
    // station is done: starting has been stopped (or its count reached) and nothing runs.
    bool Step(std::chrono::milliseconds tMaxWait = std::chrono::seconds(1));
    // Once done: the loggers still waiting for their turn are booked as not started.
    void Finish();

    bool Stopping() const { return FbStopping; }
    bool Cancelling() const { return FbCancelling; }
    bool Done() const { return FPlan.Done() && FChildren.Running() == 0; }
    std::size_t Running() const { return FChildren.Running(); }
    const TStationPlan& Plan() const { return FPlan; }
    const TStationBook& Book() const { return FBook; }
    const std::vector<std::string>& Ports() const { return FaPorts; }
    TStationView View() const;
    // Whether anything shown has changed since the last call.
    bool TakeChanged();

private:
    void TakeItem(TChildRuns::TItem& item);
    void TakeList(const std::vector<std::string>& aList);

    const TStationStart FStart;
    TStationListener& FListener;
    std::atomic<bool> FbStopRequested{false};
    std::atomic<bool> FbCancelRequested{false};
    TStationPlan FPlan;
    TStationBook FBook;
    std::vector<std::string> FaPorts;    // every port seen, in order of arrival
    std::set<std::string> FaListed;      // the latest list
    std::set<std::string> FaToldWaiting; // waiting ports whose wait has been told
    // When each port's latest update ended, by the clock on the wall.
    std::map<std::string, std::chrono::system_clock::time_point> FaEndedAt;
    bool FbStopping = false;
    bool FbCancelling = false;
    bool FbChanged = true;
    // The updates are numbered as they start, from 1, for as long as the station runs.
    long long FiLastUpdate = 0;
    // The watcher's newest list, handed over through the children's queue.
    std::optional<std::vector<std::string>> FaNewList;
    TChildRuns FChildren;
    // Last: it stops (and no longer posts) before the children go.
    std::unique_ptr<TPortWatch> FWatch;
};
