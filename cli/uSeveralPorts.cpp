#include "cli/uSeveralPorts.h"

#include "cli/uConsolePlatform.h"
#include "frontend/uChildRuns.h"
#include "frontend/uUpdateSession.h"

#include <chrono>

namespace {

using TClock = std::chrono::steady_clock;

} // namespace

int RunSeveral(const TSeveralSettings& settings) {
    const bool bLive =
        !settings.bJson && !settings.bQuiet && IsTerminal(stderr) && EnableCursorControl(stderr);
    // On the terminal that shows the live lines, the report would only repeat them.
    const bool bReport = !settings.bJson && !settings.bQuiet && !(bLive && IsTerminal(stdout));

    std::vector<TPortRun> aRuns;
    // A child's number is its port's index.
    TChildRuns children;

    TInPlaceLines live(TInPlaceLines::TKind::Block);
    const TChildOutput output{settings.bJson, bReport, false, live};
    for (const std::string& sPort : settings.aPorts) {
        TPortRun& run = aRuns.emplace_back(sPort, TClock::now());
        // The updates are numbered in port order, from 1.
        run.iUpdate = static_cast<long long>(aRuns.size());
        std::vector<std::string> aArgs = settings.aChildArgs;
        aArgs.insert(aArgs.end(), {"--port", sPort, "--update-id", std::to_string(run.iUpdate)});
        children.Start(aArgs, settings.sChildInput);
    }

    const auto liveLines = [&] {
        return LiveLines(aRuns, StatusColumns(), TerminalEllipsis());
    };
    // The live lines are redrawn at most ten times a second.
    constexpr auto DrawInterval = std::chrono::milliseconds(100);
    auto tDrawn = TClock::now() - DrawInterval;
    bool bDirty = true;
    bool bCancelSent = false;
    while (children.Running() > 0) {
        std::vector<TChildRuns::TItem> aItems = children.Take(DrawInterval);
        if (bInterrupted && !bCancelSent) {
            bCancelSent = true;
            children.CancelAll();
        }
        const auto tNow = TClock::now();
        // Nothing posts to these children's queue: every item is a child's.
        for (const TChildRuns::TItem& item : aItems) {
            TakeChildItem(item, aRuns[item.id], bCancelSent, tNow, output);
            bDirty = true;
        }
        if (bLive && bDirty && (children.Running() == 0 || tNow - tDrawn >= DrawInterval)) {
            live.Show(liveLines());
            tDrawn = tNow;
            bDirty = false;
        }
    }

    ShowSummary(aRuns, settings.bJson, bLive ? &live : nullptr);
    return ExitOfSeveral(aRuns);
}
