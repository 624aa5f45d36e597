#include "cli/uPortLines.h"

#include "cli/uConsolePlatform.h"
#include "frontend/uPortList.h"
#include "frontend/uRunJournal.h"
#include "frontend/uUpdateSession.h"
#include "hexline/uFmt.h"
#include "hexline/uShownText.h"
#include "link/uExceptions1V0.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace {

using TClock = std::chrono::steady_clock;

// The columns of the percentage and of the time left in a live line ("  2:11 left").
constexpr std::size_t PercentWidth = 4;
constexpr std::size_t TimeLeftWidth = 11;
// The stage column when room is short: as wide as "programming" and a space, so that the stages
// that come with a percentage fit, and the other columns keep their place from stage to stage.
constexpr std::size_t CompactStageWidth = 12;
// The narrowest a port and a stage become in the live lines before the lines are cut.
constexpr std::size_t MinPortWidth = 10;
constexpr std::size_t MinStageWidth = 6;

} // namespace
std::string LiveLine(const TPortRun& run, const TLiveLayout& layout) {
    const std::string sPortShown =
        EscapeControlChars(layout.bShortPorts ? ShortPort(run.sPort) : std::string_view(run.sPort));
    std::string s =
        PadToWidth(CutMiddle(sPortShown, layout.iPortWidth, layout.sEllipsis), layout.iPortWidth) +
        "  " + PadToWidth(run.iSerial ? std::to_string(*run.iSerial) : "-", layout.iSerialWidth) +
        "  ";
    // Without a percentage the stage has its columns, and those of the time left, too.
    if (!run.iPercent)
        return s +
               CutEnd(run.sStage,
                      layout.iStageWidth + PercentWidth + (layout.bTimeLeft ? TimeLeftWidth : 0),
                      layout.sEllipsis);
    // A space at least between the stage and the percentage.
    const std::size_t iStage = std::max<std::size_t>(layout.iStageWidth, 1) - 1;
    s += PadToWidth(CutEnd(run.sStage, iStage, layout.sEllipsis), layout.iStageWidth);
    s += Fmt("%3d%%", *run.iPercent);
    if (layout.bTimeLeft && !run.bEnded && *run.iPercent < 100) {
        const std::optional<int> iLeft = run.SecondsLeft();
        s += "  " + (iLeft ? MinutesSeconds(*iLeft) : std::string("--:--")) + " left";
    }
    return s;
}

std::vector<std::string> LiveLines(const std::vector<TPortRun>& aRuns, int iColumns,
                                   std::string_view sEllipsis) {
    TLiveLayout layout;
    layout.sEllipsis = sEllipsis;
    const auto widest = [&](auto width) {
        std::size_t i = 0;
        for (const TPortRun& run : aRuns)
            i = std::max(i, width(run));
        return i;
    };
    layout.iPortWidth =
        widest([](const TPortRun& run) { return DisplayWidth(EscapeControlChars(run.sPort)); });
    const auto lines = [&] {
        std::vector<std::string> a;
        for (const TPortRun& run : aRuns)
            a.push_back(LiveLine(run, layout));
        return a;
    };
    if (iColumns <= 0)
        return lines();
    const auto iLimit = static_cast<std::size_t>(iColumns - 1);
    const auto excess = [&] {
        const std::size_t i =
            widest([&](const TPortRun& run) { return DisplayWidth(LiveLine(run, layout)); });
        return i > iLimit ? i - iLimit : 0;
    };
    const auto shrink = [&](std::size_t& iWidth, std::size_t iMin) {
        if (iWidth > iMin)
            iWidth = std::max(iMin, iWidth - std::min(iWidth, excess()));
    };
    // What gives way, in this order, until every line fits: the ports' folder, the spare room of
    // the serial number and stage columns, the time left, then the middle of the ports and the
    // end of the stages. The percentage and the stage stay; only a terminal too narrow even for
    // them cuts the lines at the right.
    const std::function<void()> aSteps[] = {
        [&] {
            layout.bShortPorts = true;
            layout.iPortWidth = widest([](const TPortRun& run) {
                return DisplayWidth(EscapeControlChars(ShortPort(run.sPort)));
            });
        },
        [&] {
            layout.iSerialWidth = widest([](const TPortRun& run) {
                return run.iSerial ? std::to_string(*run.iSerial).size() : 1;
            });
            layout.iStageWidth = CompactStageWidth;
        },
        [&] { layout.bTimeLeft = false; },
        [&] { shrink(layout.iPortWidth, MinPortWidth); },
        [&] { shrink(layout.iStageWidth, MinStageWidth); },
    };
    for (const auto& step : aSteps) {
        if (excess() == 0)
            break;
        step();
    }
    std::vector<std::string> a = lines();
    for (std::string& sLine : a)
        sLine = CutToWidth(sLine, iLimit);
    return a;
}

namespace {

// The last line of the summary: all updated, or which were not.
std::string SummaryText(const std::vector<TPortRun>& aRuns) {
    std::string sFailed;
    std::size_t iUpdated = 0;
    for (const TPortRun& run : aRuns) {
        if (run.iExit == 0) {
            ++iUpdated;
            continue;
        }
        sFailed += (sFailed.empty() ? "" : ", ") + EscapeControlChars(run.sPort) +
                   " (exit status " + std::to_string(run.iExit) + ")";
    }
    if (sFailed.empty())
        return "All " + std::to_string(aRuns.size()) + " loggers were updated.";
    return "Not updated: " + sFailed + "; " + std::to_string(iUpdated) + " of " +
           std::to_string(aRuns.size()) + " loggers were updated.";
}

} // namespace

namespace {

// s on lines of at most iLimit columns, each after iIndent spaces, broken at spaces; a word
// longer than a line stays whole.
std::vector<std::string> IndentedLines(const std::string& s, std::size_t iIndent,
                                       std::size_t iLimit) {
    const std::string sIndent(iIndent, ' ');
    std::vector<std::string> a;
    std::string sLine;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t iEnd = std::min(s.find(' ', i), s.size());
        const std::string sWord = s.substr(i, iEnd - i);
        if (!sLine.empty() && iIndent + DisplayWidth(sLine) + 1 + DisplayWidth(sWord) > iLimit) {
            a.push_back(sIndent + sLine);
            sLine.clear();
        }
        sLine += (sLine.empty() ? "" : " ") + sWord;
        i = iEnd + 1;
    }
    a.push_back(sIndent + sLine);
    return a;
}

} // namespace

std::vector<std::string> SummaryLines(const std::vector<TPortRun>& aRuns, int iColumns) {
    std::vector<std::string> aLines = SummaryTable(aRuns, iColumns);
    aLines.push_back(SummaryText(aRuns));
    for (std::string& s : SummaryNotes(aRuns))
        aLines.push_back(std::move(s));
    return aLines;
}

std::vector<std::string> SummaryTable(const std::vector<TPortRun>& aRuns, int iColumns) {
    // Texts that come from the children, ports and outcomes, may hold control characters.
    std::vector<std::vector<std::string>> aRows{
        {"Port", "Serial", "Image", "Exit", "Time", "Outcome"}};
    for (const TPortRun& run : aRuns) {
        aRows.push_back({EscapeControlChars(run.sPort),
                         run.iSerial              ? std::to_string(*run.iSerial)
                         : run.bFoundInBootloader ? "unknown (bootloader)"
                                                  : "-",
                         run.sImage.empty() ? "-" : EscapeControlChars(run.sImage),
                         std::to_string(run.iExit),
                         MinutesSeconds(static_cast<int>(run.dSeconds + 0.5)),
                         EscapeControlChars(run.sOutcome)});
    }
    constexpr std::size_t Image = 2;
    constexpr std::size_t Outcome = 5;
    constexpr std::size_t Indent = 4;
    const std::size_t iLimit =
        iColumns > 0 ? static_cast<std::size_t>(iColumns - 1) : std::string::npos;
    // The columns of a row, and those under it: all in the row while it fits the terminal, else
    // the outcome under it, else the image too.
    const std::vector<std::vector<std::size_t>> aLayouts{
        {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4}, {0, 1, 3, 4}};
    std::vector<std::size_t> aWidths(aRows.front().size(), 0);
    for (const auto& row : aRows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            aWidths[i] = std::max(aWidths[i], DisplayWidth(row[i]));
    }
    const auto rowLine = [&](const std::vector<std::string>& row,
                             const std::vector<std::size_t>& aInRow) {
        std::string s;
        for (std::size_t k = 0; k < aInRow.size(); ++k) {
            const std::string& sCell = row[aInRow[k]];
            s += k + 1 < aInRow.size() ? PadToWidth(sCell, aWidths[aInRow[k]]) + "  " : sCell;
        }
        return s;
    };
    const auto fits = [&](const std::vector<std::size_t>& aInRow) {
        return std::all_of(aRows.begin(), aRows.end(), [&](const auto& row) {
            return DisplayWidth(rowLine(row, aInRow)) <= iLimit;
        });
    };
    const auto layout = std::find_if(aLayouts.begin(), aLayouts.end() - 1, fits);
    std::vector<std::size_t> aUnder;
    for (std::size_t i : {Image, Outcome}) {
        if (std::find(layout->begin(), layout->end(), i) == layout->end())
            aUnder.push_back(i);
    }
    std::vector<std::string> aLines;
    for (const auto& row : aRows) {
        aLines.push_back(rowLine(row, *layout));
        for (std::size_t i : aUnder) {
            for (std::string& s : IndentedLines(row[i], Indent, iLimit))
                aLines.push_back(std::move(s));
        }
    }
    return aLines;
}

std::vector<std::string> SummaryNotes(const std::vector<TPortRun>& aRuns) {
    std::vector<std::string> aLines;
    for (const TPortRun& run : aRuns) {
        for (const std::string& sNote : run.aNotes)
            aLines.push_back(EscapeControlChars(run.sPort) + ": " + EscapeControlChars(sNote));
    }
    return aLines;
}

std::string SummaryJson(const std::vector<TPortRun>& aRuns) {
    TJson aPorts = TJson::array();
    for (const TPortRun& run : aRuns)
        aPorts.push_back(SummaryPortJson(run));
    TJson o = SummaryObject(SummaryText(aRuns), ExitOfSeveral(aRuns));
    o["ports"] = std::move(aPorts);
    return JsonText(o);
}

namespace {

// What is told on standard error when a child has ended: why it could not be started, that it
// had to be killed after its cancel, or how its process ended when it did not exit by itself and
// was not cancelled; empty otherwise.
std::string ChildEndDiagnostic(const std::string& sPort, const TChildRuns::TItem& end,
                               bool bCancelled) {
    if (!end.sWhy.empty())
        return PortDiagnostic(sPort, end.sWhy);
    if (end.bKilled)
        return PortDiagnostic(sPort, "its process did not end after its cancel: " +
                                         (end.sHow.empty() ? std::string("killed") : end.sHow));
    if (!end.sHow.empty() && !bCancelled)
        return PortDiagnostic(sPort, "its process was " + end.sHow);
    return {};
}

// The report line of a child's object, after its port: the result's text as it is, other texts
// as report lines with the time; every line of the text escaped.
std::string PortReportLine(const std::string& sPort, const TJson& o) {
    // The child's text may quote outside text (a port name): its lines, each escaped.
    const std::string sChildText = PlainLines(JsonStr(o, "text").value_or(""));
    std::string sText;
    for (std::string_view s = sChildText;;) {
        const std::size_t i = s.find('\n');
        sText += EscapeControlChars(s.substr(0, i));
        if (i == std::string_view::npos)
            break;
        sText += '\n';
        s.remove_prefix(i + 1);
    }
    return EscapeControlChars(sPort) + ": " +
           (JsonEvent(o) == TEvent::Result ? sText : ReportLine(sText));
}

} // namespace

std::string PortDiagnostic(const std::string& sPort, const std::string& sText) {
    return "kelvo-update: " + EscapeControlChars(sPort) + ": " + sText;
}

void TChildOutput::Diagnostic(const std::string& s) const {
    live.Clear();
    Console.Err(s);
    live.Redraw();
}

void ShowChildEnd(const TChildRuns::TItem& end, const TPortRun& run, bool bCancelled,
                  const TChildOutput& output) {
    if (const std::string s = ChildEndDiagnostic(run.sPort, end, bCancelled); !s.empty())
        output.Diagnostic(s);
}

void ShowUnreported(const TPortRun& run, const TChildOutput& output) {
    const TRunResult& r = *run.unreported;
    if (output.bJson) {
        TJsonRun json(run.sPort, true, run.iUpdate,
                      [](const std::string& sLine) { Console.Out(sLine); });
        json.JournalRow(run.iJournalRow);
        json.Result(r);
    } else if (output.bReport || output.bOutcomes) {
        output.live.Clear();
        Console.Out(EscapeControlChars(run.sPort) + ": " + r.sOutcome);
        output.live.Redraw();
    }
}

void ShowChildLine(const TChildRuns::TItem& item, const TPortRun& run,
                   const std::optional<TJson>& o, const TChildOutput& output) {
    // The child's diagnostics name the port already.
    if (item.kind == TChildRuns::TItem::TKind::Err) {
        output.Diagnostic(item.sLine);
        return;
    }
    // A line that holds no JSON object (a child cut off in the middle of one) is told, never
    // passed on: the output stays JSON Lines.
    if (!o) {
        output.Diagnostic(PortDiagnostic(run.sPort, EscapeControlChars(item.sLine)));
        return;
    }
    if (output.bJson)
        Console.Out(JsonText(*o));
    const std::optional<TEvent> event = JsonEvent(*o);
    if (event == TEvent::Reason ||
        !(output.bReport || (output.bOutcomes && event == TEvent::Result)))
        return;
    output.live.Clear();
    Console.Out(PortReportLine(run.sPort, *o));
    output.live.Redraw();
}

void TakeChildItem(const TChildRuns::TItem& item, TPortRun& run, bool bCancelled,
                   TClock::time_point t, const TChildOutput& output) {
    if (item.kind == TChildRuns::TItem::TKind::End) {
        ShowChildEnd(item, run, bCancelled, output);
        run.Ended(item.iExitStatus, bCancelled, t, item.sWhy, item.sHow);
        if (run.unreported) {
            ShowUnreported(run, output);
            if (const std::string sWarning = CompleteUnreported(run); !sWarning.empty())
                output.Diagnostic(PortDiagnostic(run.sPort, EscapeControlChars(sWarning)));
        }
        return;
    }
    std::optional<TJson> o;
    if (item.kind == TChildRuns::TItem::TKind::Out) {
        o = ReadJsonLine(item.sLine);
        if (o)
            run.Event(*o, t);
    }
    ShowChildLine(item, run, o, output);
}

void ShowSummary(const std::vector<TPortRun>& aRuns, bool bJson, TInPlaceLines* pLive) {
    ShowSummary(
        bJson ? SummaryJson(aRuns) : std::string(),
        [&](int iColumns) { return SummaryLines(aRuns, iColumns); }, bJson, pLive);
}

void ShowSummary(const std::string& sJson,
                 const std::function<std::vector<std::string>(int iColumns)>& lines, bool bJson,
                 TInPlaceLines* pLive) {
    // On the terminal of the live lines the summary takes their place; elsewhere (redirected) it
    // keeps its full width, and the live lines stay as they ended.
    const bool bSummaryOnTerminal = IsTerminal(stdout);
    if (pLive != nullptr && bSummaryOnTerminal)
        pLive->Clear();
    if (bJson) {
        Console.Out(sJson);
        return;
    }
    for (const std::string& s : lines(bSummaryOnTerminal ? TerminalColumns(stdout) : 0))
        Console.Out(s);
}
