#include "cli/uStation.h"

#include "cli/uChildRuns.h"
#include "cli/uConsolePlatform.h"
#include "cli/uStationBook.h"
#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortWatch.h"
#include "hexline/uShownText.h"
#include "link/uExceptions1V0.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <map>
#include <optional>
#include <set>

namespace {

using TClock = std::chrono::steady_clock;

// Ctrl+C presses, and whether the running updates are to be cancelled.
std::atomic<int> iStopRequests{0};
std::atomic<bool> bCancelRequested{false};

// The version of an image as the report shows it ("5.138").
std::string ImageVersion(std::int32_t iEntry) {
    return FirmwareRow(GetFwHeader(iEntry))[1];
}

} // namespace

void OnStationSignal(int iSignal) {
    // Windows puts a signal back to its default once its handler has run: the second Ctrl+C must
    // come here too.
    std::signal(iSignal, OnStationSignal);
    if (iSignal == SIGINT && iStopRequests.fetch_add(1) == 0)
        return;
    bCancelRequested = true;
}

std::vector<std::string> StationLines(const std::vector<TStationRow>& aRows,
                                      const TStationTally& tally, bool bStopping, int iColumns,
                                      std::string_view sEllipsis, std::string_view sDash) {
    // Each port as a run's line, with the stage column telling where the port stands.
    std::vector<TPortRun> aShown;
    for (const TStationRow& row : aRows) {
        if (row.state == TStationPort::Running && row.pRun != nullptr) {
            aShown.push_back(*row.pRun);
            continue;
        }
        const bool bRunShown = row.state == TStationPort::Idle && row.pRun != nullptr;
        TPortRun& shown = bRunShown ? aShown.emplace_back(*row.pRun)
                                    : aShown.emplace_back(row.sPort, TClock::now());
        shown.iPercent.reset();
        if (row.state == TStationPort::Absent) {
            shown.sStage = "waiting";
        } else if (row.state == TStationPort::Waiting) {
            // Once the station stops, a waiting logger's turn never comes.
            shown.sStage = bStopping ? "not started " + std::string(sDash) + " the station stops"
                                     : std::string("waiting for its turn");
        } else if (!bRunShown) {
            shown.sStage = std::string("here at start ") + std::string(sDash) + " replug to update";
        } else if (row.pRun->bSuccess) {
            shown.sStage = "done" + (row.sVersion.empty() ? "" : " " + row.sVersion) + " " +
                           std::string(sDash) + " unplug it";
        } else if (row.pRun->iExit == Status::Cancelled) {
            shown.sStage = "cancelled";
        } else {
            shown.sStage = "failed: " + EscapeControlChars(row.pRun->sOutcome);
        }
    }
    std::vector<std::string> aLines = LiveLines(aShown, iColumns, sEllipsis);
    std::string sCount = std::to_string(tally.iSucceeded) + " done, " +
                         std::to_string(tally.iFailed) + " failed, " +
                         std::to_string(tally.iRunning) + " in progress";
    if (tally.iWaiting > 0)
        sCount += ", " + std::to_string(tally.iWaiting) + (bStopping ? " not started" : " waiting");
    sCount += bStopping ? "; stopping: no new update starts" : "; Ctrl+C stops the station";
    aLines.push_back(iColumns > 0 ? CutToWidth(sCount, static_cast<std::size_t>(iColumns - 1))
                                  : sCount);
    return aLines;
}

int RunStation(const TStationSettings& settings) {
    const bool bLive =
        !settings.bJson && !settings.bQuiet && IsTerminal(stderr) && EnableCursorControl(stderr);
    // On the terminal that shows the live lines, the report would only repeat them.
    const bool bReport = !settings.bJson && !settings.bQuiet && !(bLive && IsTerminal(stdout));

    TStationPlan plan(settings.rules);
    TStationBook book;
    std::vector<std::string> aPorts;    // every port seen, in order of arrival
    std::set<std::string> aListed;      // the latest list
    std::set<std::string> aToldWaiting; // waiting ports whose wait has been told

    // The count below the ports stays however many ports there are.
    TInPlaceLines live(TInPlaceLines::TKind::Block, 1);
    const TChildOutput output{settings.bJson, bReport, settings.bQuiet, live};
    // The station's own events: a JSON object with the port, or a report line.
    const auto tell = [&](const std::string& sPort, TEvent event, const std::string& sText) {
        if (settings.bJson) {
            TJson o = RunObject(event, TJson(), TJson(), sText);
            o["port"] = sPort;
            Console.Out(JsonText(o));
        } else if (bReport) {
            live.Clear();
            Console.Out(EscapeControlChars(sPort) + ": " + ReportLine(EscapeControlChars(sText)));
            live.Redraw();
        }
    };

    TChildRuns children;
    // The watcher's lists come to this thread through the children's queue, which wakes it; only
    // the newest list counts.
    std::optional<std::vector<std::string>> aNewList;
    const TPortWatch watch([&](const std::vector<std::string>& a) {
        children.Post([&aNewList, a] { aNewList = a; });
    });

    const bool bUtf8 = TerminalShowsUtf8(stderr);
    const auto stationLines = [&] {
        std::vector<TStationRow> aRows;
        for (const std::string& sPort : aPorts) {
            TStationRow& row = aRows.emplace_back();
            row.sPort = sPort;
            row.state = plan.State(sPort);
            row.pRun = book.Latest(sPort);
            if (row.pRun != nullptr && row.pRun->bSuccess && row.pRun->iEntry)
                row.sVersion = ImageVersion(*row.pRun->iEntry);
        }
        return StationLines(aRows, plan.Tally(), iStopRequests > 0 || bCancelRequested,
                            StatusColumns(), TerminalEllipsis(), bUtf8 ? "\u2014" : "-");
    };

    // The lines are redrawn at most ten times a second while updates run; an idle station wakes
    // once a second, to notice Ctrl+C.
    constexpr auto DrawInterval = std::chrono::milliseconds(100);
    constexpr auto IdleWait = std::chrono::seconds(1);
    auto tDrawn = TClock::now() - DrawInterval;
    bool bDirty = true;
    bool bStopping = false;
    bool bCancelling = false;
    // The updates are numbered as they start, from 1, for as long as the station runs.
    long long iLastUpdate = 0;
    for (;;) {
        std::vector<TChildRuns::TItem> aItems =
            children.Take(children.Running() > 0 ? std::chrono::milliseconds(DrawInterval)
                                                 : std::chrono::milliseconds(IdleWait));
        if (!bStopping && (iStopRequests > 0 || bCancelRequested)) {
            bStopping = true;
            plan.StopStarting();
            if (!bCancelRequested)
                output.Diagnostic("kelvo-update: stopping: no new update starts; the " +
                                  std::to_string(children.Running()) +
                                  " running finish (Ctrl+C again cancels them)");
            bDirty = true;
        }
        if (!bCancelling && bCancelRequested) {
            bCancelling = true;
            if (children.Running() > 0)
                output.Diagnostic("kelvo-update: cancelling the " +
                                  std::to_string(children.Running()) + " running updates");
            children.CancelAll();
        }
        const auto tNow = TClock::now();
        for (TChildRuns::TItem& item : aItems) {
            if (item.kind == TChildRuns::TItem::TKind::Posted) {
                if (item.posted)
                    item.posted();
                continue;
            }
            TPortRun* pRun = book.Running(item.id);
            if (pRun == nullptr)
                continue;
            TakeChildItem(item, *pRun, bCancelling, tNow, output);
            bDirty = true;
            if (item.kind == TChildRuns::TItem::TKind::End) {
                plan.RunEnded(pRun->sPort, pRun->bSuccess);
                book.Finish(item.id);
                if (bLive)
                    Console.ErrInPlace("\a");
            }
        }

        if (aNewList) {
            const std::set<std::string> aNow(aNewList->begin(), aNewList->end());
            for (const std::string& sPort : aListed) {
                if (aNow.count(sPort) == 0)
                    tell(sPort, TEvent::Unplugged, "Logger unplugged");
            }
            for (const std::string& sPort : *aNewList) {
                if (aListed.count(sPort) != 0)
                    continue;
                if (std::find(aPorts.begin(), aPorts.end(), sPort) == aPorts.end())
                    aPorts.push_back(sPort);
                tell(sPort, TEvent::Plugged, "Logger plugged in");
            }
            plan.Ports(*aNewList);
            aListed = aNow;
            aNewList.reset();
            bDirty = true;
        }

        for (const std::string& sPort : plan.TakeStarts()) {
            aToldWaiting.erase(sPort);
            const long long iUpdate = ++iLastUpdate;
            std::vector<std::string> aArgs = settings.aChildArgs;
            // Started as the port appears: udev, a modem manager's probe or another program may
            // still hold it for a moment, and the child waits for that.
            aArgs.insert(aArgs.end(), {"--port-arrived", "--port", sPort, "--update-id",
                                       std::to_string(iUpdate)});
            // A child that cannot be started has its end queued, taken from the next Take on.
            book.Start(children.Start(aArgs, settings.sChildInput), sPort, TClock::now()).iUpdate =
                iUpdate;
            bDirty = true;
        }
        // A port that waits for its turn is told once per wait.
        for (const std::string& sPort : aListed) {
            const TStationPort state = plan.State(sPort);
            if (state != TStationPort::Waiting)
                aToldWaiting.erase(sPort);
            else if (!bStopping && aToldWaiting.insert(sPort).second)
                tell(sPort, TEvent::Waiting,
                     "Waiting for its turn: " + std::to_string(settings.rules.iMaxParallel) +
                         " updates run at once");
        }

        const bool bDone = plan.Done() && children.Running() == 0;
        if (bLive && bDirty && (bDone || TClock::now() - tDrawn >= DrawInterval)) {
            live.Show(stationLines());
            tDrawn = TClock::now();
            bDirty = false;
        }
        if (bDone)
            break;
    }

    // The loggers still waiting for their turn are left out: the station was stopped, or has made
    // the updates it was asked to.
    for (const std::string& sPort : aPorts) {
        if (plan.State(sPort) == TStationPort::Waiting)
            book.NotStarted(sPort, bStopping
                                       ? "Not started: the station was stopped before its turn."
                                       : "Not started: the station had made its " +
                                             std::to_string(settings.rules.iCount.value_or(0)) +
                                             " updates (--count).");
    }
    ShowSummary(
        settings.bJson ? book.SummaryJson() : std::string(),
        [&](int iColumns) { return book.SummaryLines(iColumns); }, settings.bJson,
        bLive ? &live : nullptr);
    return book.ExitStatus();
}
