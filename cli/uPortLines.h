// How kelvo-update shows the updates of several ports from their children's JSON Lines: the live
// lines, the children's lines passed on, and the summary at the end.
#pragma once

#include "cli/uCliOutput.h"
#include "cli/uTerminal.h"
#include "frontend/uChildRuns.h"
#include "frontend/uPortRun.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// How the live lines are laid out: the widths of their columns, in terminal columns, and what
// they leave out to fit the terminal.
struct TLiveLayout {
    bool bShortPorts = false;      // ports without "/dev/serial/by-id/" or "/dev/"
    std::size_t iPortWidth = 0;    // a longer port loses its middle
    std::size_t iSerialWidth = 10; // as wide as the largest 32-bit number
    std::size_t iStageWidth =
        20; // with the space before a percentage; a longer stage loses its end
    bool bTimeLeft = true;
    std::string sEllipsis = "...";
};

// The live line of run: port, serial number, stage, percentage and time left, in the columns of
// layout.
std::string LiveLine(const TPortRun& run, const TLiveLayout& layout);

// The live lines of the runs for a terminal of iColumns, each narrower than that: the ports lose
// their prefix and then their middle, and the time left goes, before the percentage and the
// stage would; iColumns 0 or less: the full lines. sEllipsis stands for what a text leaves out.
std::vector<std::string> LiveLines(const std::vector<TPortRun>& aRuns, int iColumns,
                                   std::string_view sEllipsis);

// The summary at the end: a table with port, serial number, image, exit status, time and
// outcome, then a line that says which failed; the notes follow the table. On a terminal of
// iColumns, a table too wide for it has the outcome (and, if need be, the image) on indented
// lines under each row; iColumns 0 or less: no limit.
std::vector<std::string> SummaryLines(const std::vector<TPortRun>& aRuns, int iColumns = 0);
// Its parts: the table, a header line and a row per run, and the notes, each after its port.
std::vector<std::string> SummaryTable(const std::vector<TPortRun>& aRuns, int iColumns = 0);
std::vector<std::string> SummaryNotes(const std::vector<TPortRun>& aRuns);

// The summary as the last JSON object ("event":"summary").
std::string SummaryJson(const std::vector<TPortRun>& aRuns);

// Where the children's lines go: the JSON Lines passed on, report lines (or only the outcomes)
// on standard output, diagnostics on standard error, around the live lines.
struct TChildOutput {
    bool bJson = false;
    bool bReport = false;
    bool bOutcomes = false; // without the report: each run's outcome
    TInPlaceLines& live;
    void Diagnostic(const std::string& s) const;
};

// "kelvo-update: PORT: sText", the port escaped (sText is not).
std::string PortDiagnostic(const std::string& sPort, const std::string& sText);

// TakeChildItem's output in its parts, for a caller that takes the items into its runs itself
// (the station). Before the run takes its child's end: why the child could not start, was
// killed, or how its process ended.
void ShowChildEnd(const TChildRuns::TItem& end, const TPortRun& run, bool bCancelled,
                  const TChildOutput& output);
// The result that a child which ended without it would have written (run.unreported).
void ShowUnreported(const TPortRun& run, const TChildOutput& output);
// A line of the child's standard output or error; o: the object that a line of its output holds
// (read into the run already), nothing when it holds none.
void ShowChildLine(const TChildRuns::TItem& item, const TPortRun& run,
                   const std::optional<TJson>& o, const TChildOutput& output);

// What came from a child (not a posted item) to its run and to the output; bCancelled: it was
// asked to cancel.
void TakeChildItem(const TChildRuns::TItem& item, TPortRun& run, bool bCancelled,
                   std::chrono::steady_clock::time_point t, const TChildOutput& output);

// The summary, as JSON or as the table on standard output; pLive: the live lines on the
// terminal, which the table replaces when it goes there too.
void ShowSummary(const std::vector<TPortRun>& aRuns, bool bJson, TInPlaceLines* pLive);
// The same for a summary of its own: sJson its object, lines(iColumns) its lines for a terminal
// of iColumns (0: no limit).
void ShowSummary(const std::string& sJson,
                 const std::function<std::vector<std::string>(int iColumns)>& lines, bool bJson,
                 TInPlaceLines* pLive);
