#include "cli/uStation.h"

#include "cli/uConsolePlatform.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uStationEngine.h"
#include "hexline/uShownText.h"
#include "link/uExceptions1V0.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <optional>
#include <utility>

namespace {

using TClock = std::chrono::steady_clock;

// Ctrl+C presses, and whether the running updates are to be cancelled.
std::atomic<int> iStopRequests{0};
std::atomic<bool> bCancelRequested{false};
// The station that Ctrl+C reaches while it runs.
std::atomic<TStation*> pSignalled{nullptr};

} // namespace

void OnStationSignal(int iSignal) {
    // Windows puts a signal back to its default once its handler has run: the second Ctrl+C must
    // come here too.
    std::signal(iSignal, OnStationSignal);
    TStation* pStation = pSignalled.load();
    if (iSignal == SIGINT && iStopRequests.fetch_add(1) == 0) {
        if (pStation != nullptr)
            pStation->RequestStop();
        return;
    }
    bCancelRequested = true;
    if (pStation != nullptr)
        pStation->RequestCancel();
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

namespace {

// kelvo-update's view of the station: the station's own events as JSON objects or report lines,
// the children's lines passed on, the diagnostics around the live lines, a bell as an update ends.
class TCliStationListener : public TStationListener {
public:
    TCliStationListener(const TStationSettings& settings, bool bLive, bool bReport,
                        TInPlaceLines& live)
        : FSettings(settings), FbLive(bLive),
          FbReport(bReport), FOutput{settings.bJson, bReport, settings.bQuiet, live} {}

    void PortEvent(const std::string& sPort, TEvent event, const std::string& sText) override {
        if (FSettings.bJson) {
            TJson o = RunObject(event, TJson(), TJson(), sText);
            o["port"] = sPort;
            Console.Out(JsonText(o));
        } else if (FbReport) {
            FOutput.live.Clear();
            Console.Out(EscapeControlChars(sPort) + ": " + ReportLine(EscapeControlChars(sText)));
            FOutput.live.Redraw();
        }
    }
    void Stopping(std::size_t iRunning) override {
        FOutput.Diagnostic("kelvo-update: stopping: no new update starts; the " +
                           std::to_string(iRunning) +
                           " running finish (Ctrl+C again cancels them)");
    }
    void Cancelling(std::size_t iRunning) override {
        if (iRunning > 0)
            FOutput.Diagnostic("kelvo-update: cancelling the " + std::to_string(iRunning) +
                               " running updates");
    }
    void ChildLine(const TChildRuns::TItem& item, const TPortRun& run,
                   const std::optional<TJson>& o) override {
        ShowChildLine(item, run, o, FOutput);
    }
    void ChildEnding(const TChildRuns::TItem& end, const TPortRun& run, bool bCancelled) override {
        ShowChildEnd(end, run, bCancelled, FOutput);
    }
    void Unreported(const TPortRun& run) override { ShowUnreported(run, FOutput); }
    void JournalWarning(const TPortRun& run, const std::string& sWarning) override {
        FOutput.Diagnostic(PortDiagnostic(run.sPort, EscapeControlChars(sWarning)));
    }
    void RunEnded(const TPortRun& /*run*/) override {
        if (FbLive)
            Console.ErrInPlace("\a");
    }

private:
    const TStationSettings& FSettings;
    const bool FbLive;
    const bool FbReport;
    const TChildOutput FOutput;
};

} // namespace

std::vector<std::string> StationSummaryLines(const TStationBook& book, int iColumns) {
    std::vector<std::string> aLines;
    const std::vector<TPortRun> aRuns = book.TableRuns();
    if (std::string s = book.FoldedText(); !s.empty())
        aLines.push_back(std::move(s));
    for (std::string& s : SummaryTable(aRuns, iColumns))
        aLines.push_back(std::move(s));
    aLines.push_back(book.CountText());
    // One line per port: its failed updates, and its logger not started.
    std::vector<std::pair<std::string, std::string>> aNotUpdated = book.NotUpdated();
    if (!aNotUpdated.empty()) {
        aLines.push_back("Not updated:");
        std::size_t iWidth = 0;
        for (auto& [sPort, sText] : aNotUpdated) {
            sPort = EscapeControlChars(sPort);
            iWidth = std::max(iWidth, DisplayWidth(sPort));
        }
        for (const auto& [sPort, sText] : aNotUpdated)
            aLines.push_back("  " + PadToWidth(sPort, iWidth) + "  " + sText);
    }
    for (std::string& s : SummaryNotes(aRuns))
        aLines.push_back(std::move(s));
    return aLines;
}

int RunStation(const TStationSettings& settings) {
    const bool bLive =
        !settings.bJson && !settings.bQuiet && IsTerminal(stderr) && EnableCursorControl(stderr);
    // On the terminal that shows the live lines, the report would only repeat them.
    const bool bReport = !settings.bJson && !settings.bQuiet && !(bLive && IsTerminal(stdout));

    // The count below the ports stays however many ports there are.
    TInPlaceLines live(TInPlaceLines::TKind::Block, 1);
    TCliStationListener listener(settings, bLive, bReport, live);
    TStationStart start;
    start.rules = settings.rules;
    start.aChildArgs = settings.aChildArgs;
    start.sChildInput = settings.sChildInput;
    TStation station(std::move(start), listener);
    // Ctrl+C from here on reaches the station; presses before it are taken over.
    pSignalled = &station;
    if (iStopRequests > 0)
        station.RequestStop();
    if (bCancelRequested)
        station.RequestCancel();

    const bool bUtf8 = TerminalShowsUtf8(stderr);
    const auto stationLines = [&] {
        std::vector<TStationRow> aRows;
        for (const std::string& sPort : station.Ports()) {
            TStationRow& row = aRows.emplace_back();
            row.sPort = sPort;
            row.state = station.Plan().State(sPort);
            row.pRun = station.Book().Latest(sPort);
            if (row.pRun != nullptr && row.pRun->bSuccess && row.pRun->iEntry)
                row.sVersion = ImageVersion(*row.pRun->iEntry);
        }
        return StationLines(aRows, station.Plan().Tally(), station.Stopping(), StatusColumns(),
                            TerminalEllipsis(), bUtf8 ? "\u2014" : "-");
    };

    // The lines are redrawn at most ten times a second while updates run; an idle station wakes
    // once a second, to notice Ctrl+C.
    constexpr auto DrawInterval = std::chrono::milliseconds(100);
    auto tDrawn = TClock::now() - DrawInterval;
    bool bDirty = true;
    for (;;) {
        const bool bDone = station.Step();
        bDirty = station.TakeChanged() || bDirty;
        if (bLive && bDirty && (bDone || TClock::now() - tDrawn >= DrawInterval)) {
            live.Show(stationLines());
            tDrawn = TClock::now();
            bDirty = false;
        }
        if (bDone)
            break;
    }
    pSignalled = nullptr;

    station.Finish();
    ShowSummary(
        settings.bJson ? station.Book().SummaryJson() : std::string(),
        [&](int iColumns) { return StationSummaryLines(station.Book(), iColumns); }, settings.bJson,
        bLive ? &live : nullptr);
    return station.Book().ExitStatus();
}
