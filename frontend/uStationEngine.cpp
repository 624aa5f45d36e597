#include "frontend/uStationEngine.h"

#include "device/uOptions.h"
#include "frontend/uNotifyTexts.h"
#include "link/uExceptions1V0.h"

#include <algorithm>

namespace {

using TClock = std::chrono::steady_clock;

} // namespace

const char* StartQuestion() {
    return bFormatMemory    ? Texts::AskClearsMeasurements
           : iFileMode == 0 ? Texts::AskSaveMeasurements
                            : nullptr;
}

std::vector<std::string> ChildBaseArgs(int iMaxRepeats, long long iParentPid) {
    return {"--child",
            "--json",
            "--yes",
            "--max-repeats",
            std::to_string(iMaxRepeats),
            "--parent-pid",
            std::to_string(iParentPid)};
}

TStation::TStation(TStationStart start, TStationListener& listener)
    : FStart(std::move(start)), FListener(listener), FPlan(FStart.rules),
      FChildren(FStart.sProgram, FStart.tKillAfter) {
    // The watcher's lists come to the stepping thread through the children's queue, which wakes
    // it; only the newest list counts.
    FWatch = std::make_unique<TPortWatch>(
        [this](const std::vector<std::string>& a) { FChildren.Post([this, a] { FaNewList = a; }); },
        FStart.sDevDir);
}

TStation::~TStation() {
    // No list may come once the children are gone.
    FWatch.reset();
}

void TStation::Wake() {
    FChildren.Post([] {});
}

bool TStation::Step(std::chrono::milliseconds tMaxWait) {
    // Ten turns a second while updates run, for the time left; an idle station wakes once a
    // second, to notice a stop from a signal handler, which cannot wake it.
    constexpr auto RunningWait = std::chrono::milliseconds(100);
    constexpr auto IdleWait = std::chrono::milliseconds(1000);
    std::vector<TChildRuns::TItem> aItems = FChildren.Take(std::min<std::chrono::milliseconds>(
        FChildren.Running() > 0 ? RunningWait : IdleWait, tMaxWait));
    if (!FbStopping && (FbStopRequested || FbCancelRequested)) {
        FbStopping = true;
        FPlan.StopStarting();
        if (!FbCancelRequested)
            FListener.Stopping(FChildren.Running());
        FbChanged = true;
    }
    if (!FbCancelling && FbCancelRequested) {
        FbCancelling = true;
        FListener.Cancelling(FChildren.Running());
        FChildren.CancelAll();
        FbChanged = true;
    }
    for (TChildRuns::TItem& item : aItems)
        TakeItem(item);

    if (FaNewList) {
        TakeList(*FaNewList);
        FaNewList.reset();
    }

    for (const std::string& sPort : FPlan.TakeStarts()) {
        FaToldWaiting.erase(sPort);
        const long long iUpdate = ++FiLastUpdate;
        std::vector<std::string> aArgs = FStart.aChildArgs;
        // Started as the port appears: udev, a modem manager's probe or another program may
        // still hold it for a moment, and the child waits for that.
        aArgs.insert(aArgs.end(),
                     {"--port-arrived", "--port", sPort, "--update-id", std::to_string(iUpdate)});
        // A child that cannot be started has its end queued, taken from the next Take on.
        FBook.Start(FChildren.Start(aArgs, FStart.sChildInput), sPort, TClock::now()).iUpdate =
            iUpdate;
        FaEndedAt.erase(sPort);
        FbChanged = true;
    }
    // A port that waits for its turn is told once per wait.
    for (const std::string& sPort : FaListed) {
        const TStationPort state = FPlan.State(sPort);
        if (state != TStationPort::Waiting) {
            FaToldWaiting.erase(sPort);
        } else if (!FbStopping && FaToldWaiting.insert(sPort).second) {
            FListener.PortEvent(
                sPort, TEvent::Waiting,
                "Waiting for its turn: " + std::to_string(FStart.rules.iMaxParallel) +
                    " updates run at once");
            FbChanged = true;
        }
    }
    return Done();
}

void TStation::TakeItem(TChildRuns::TItem& item) {
    if (item.kind == TChildRuns::TItem::TKind::Posted) {
        if (item.posted)
            item.posted();
        return;
    }
    TPortRun* pRun = FBook.Running(item.id);
    if (pRun == nullptr)
        return;
    TPortRun& run = *pRun;
    const auto tNow = TClock::now();
    FbChanged = true;
    if (item.kind != TChildRuns::TItem::TKind::End) {
        std::optional<TJson> o;
        if (item.kind == TChildRuns::TItem::TKind::Out) {
            o = ReadJsonLine(item.sLine);
            if (o)
                run.Event(*o, tNow);
        }
        FListener.ChildLine(item, run, o);
        return;
    }
    FListener.ChildEnding(item, run, FbCancelling);
    run.Ended(item.iExitStatus, FbCancelling, tNow, item.sWhy, item.sHow);
    if (run.unreported) {
        FListener.Unreported(run);
        if (const std::string sWarning = CompleteUnreported(run); !sWarning.empty())
            FListener.JournalWarning(run, sWarning);
    }
    FPlan.RunEnded(run.sPort, run.bSuccess);
    FaEndedAt[run.sPort] = std::chrono::system_clock::now();
    FListener.RunEnded(run);
    FBook.Finish(item.id);
}

void TStation::TakeList(const std::vector<std::string>& aList) {
    const std::set<std::string> aNow(aList.begin(), aList.end());
    for (const std::string& sPort : FaListed) {
        if (aNow.count(sPort) == 0)
            FListener.PortEvent(sPort, TEvent::Unplugged, "Logger unplugged");
    }
    for (const std::string& sPort : aList) {
        if (FaListed.count(sPort) != 0)
            continue;
        if (std::find(FaPorts.begin(), FaPorts.end(), sPort) == FaPorts.end())
            FaPorts.push_back(sPort);
        FListener.PortEvent(sPort, TEvent::Plugged, "Logger plugged in");
    }
    FPlan.Ports(aList);
    FaListed = aNow;
    FbChanged = true;
}

void TStation::Finish() {
    // The loggers still waiting for their turn are left out: the station was stopped, or has made
    // the updates it was asked to.
    for (const std::string& sPort : FaPorts) {
        if (FPlan.State(sPort) == TStationPort::Waiting)
            FBook.NotStarted(sPort, FbStopping
                                        ? "Not started: the station was stopped before its turn."
                                        : "Not started: the station had made its " +
                                              std::to_string(FStart.rules.iCount.value_or(0)) +
                                              " updates (--count).");
    }
}

bool TStation::TakeChanged() {
    return std::exchange(FbChanged, false);
}

TStationView TStation::View() const {
    TStationView view;
    view.tally = FPlan.Tally();
    view.bStopping = FbStopping;
    view.bCancelling = FbCancelling;
    view.bDone = Done();
    for (const std::string& sPort : FaPorts) {
        TStationTile& tile = view.aTiles.emplace_back();
        tile.sPort = sPort;
        tile.state = FPlan.State(sPort);
        const TPortRun* pRun = FBook.Latest(sPort);
        if (pRun == nullptr)
            continue;
        const TPortRun& run = *pRun;
        tile.bHasRun = true;
        tile.iUpdate = run.iUpdate;
        tile.sStage = run.sStage;
        tile.iPercent = run.iPercent;
        if (!run.bEnded)
            tile.iSecondsLeft = run.SecondsLeft();
        tile.iSerial = run.iSerial;
        tile.sImage = run.sImage;
        tile.bEnded = run.bEnded;
        tile.bSuccess = run.bSuccess;
        tile.bCancelled = run.bEnded && run.iExit == Status::Cancelled;
        tile.iExit = run.iExit;
        tile.sOutcome = run.sOutcome;
        if (run.bSuccess && run.iEntry)
            tile.sVersion = ImageVersion(*run.iEntry);
        if (const auto it = FaEndedAt.find(sPort); it != FaEndedAt.end())
            tile.tEnded = it->second;
    }
    return view;
}
