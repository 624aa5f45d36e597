// What a parent (several ports, the workshop station) knows of the update at one port from its
// child's JSON Lines, and how it shows it: the live lines, the children's lines passed on, and the
// summary at the end.
#pragma once

#include "cli/uChildRuns.h"
#include "cli/uCliOutput.h"
#include "cli/uJsonLines.h"
#include "cli/uTerminal.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
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

// What is known of the update at one port, from its child's JSON Lines.
class TPortRun {
public:
    using TClock = std::chrono::steady_clock;

    TPortRun(std::string sPort, TClock::time_point tStart)
        : sPort(std::move(sPort)), FtStart(tStart) {}

    // One object of the child's JSON Lines, read at t.
    void Event(const TJson& o, TClock::time_point t);
    // The child has ended with iExitStatus (-1: not by itself, sHow says how); bCancelled: it was
    // asked to. sWhy: why it ended without a result, when it could not even be started.
    void Ended(int iExitStatus, bool bCancelled, TClock::time_point t, const std::string& sWhy = {},
               const std::string& sHow = {});

    // The live line: port, serial number, stage, percentage and time left, in the columns of
    // layout.
    std::string LiveLine(const TLiveLayout& layout) const;

    const std::string sPort;
    // The update's number, which the parent gave its child (0: none, a logger never started).
    long long iUpdate = 0;
    // The child's row in the update journal, as its start told it.
    std::optional<std::int64_t> iJournalRow;
    // The data lines the logger has taken, as the latest progress told it.
    std::int32_t iLinesSent = 0;
    // What the run means when its child ended without telling it (killed, crashed): decided here
    // from what its lines told, for the parent to report and to complete the journal's row.
    std::optional<TRunResult> unreported;
    std::optional<std::uint32_t> iSerial;
    std::string sStage = "waiting";
    std::optional<int> iPercent;
    std::optional<std::int32_t> iEntry; // the image chosen last
    std::string sImage;                 // its description
    bool bEnded = false;
    int iExit = 0;
    bool bSuccess = false;
    std::string sOutcome;
    std::vector<std::string> aNotes; // the run's notes: a logger left in its bootloader
    // An attempt found the logger already in its bootloader, where it tells no serial number.
    bool bFoundInBootloader = false;
    double dSeconds = 0; // from the start to the end

private:
    TClock::time_point FtStart;
    TRecentRate FRate;
    int FiAttempts = 0;
    bool FbSelected = false;
    bool FbResult = false;
    bool FbIdentified = false; // the attempt has had its first identification
    // The class and version word of the run's first identification.
    std::optional<std::int32_t> FiClass;
    std::optional<std::int32_t> FiVersion;
    // The latest identification found the logger in its bootloader, and no success came since.
    bool FbInBootloader = false;
};

// The exit status of several runs: 0 when every one succeeded, else that of the first that did
// not, in port order.
int ExitOfSeveral(const std::vector<TPortRun>& aRuns);

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
// A run as that object lists it under "ports".
TJson SummaryPortJson(const TPortRun& run);
// The summary's object with its text and exit status, the ports to be added.
TJson SummaryObject(const std::string& sText, int iExit);

// Where the children's lines go: the JSON Lines passed on, report lines (or only the outcomes)
// on standard output, diagnostics on standard error, around the live lines.
struct TChildOutput {
    bool bJson = false;
    bool bReport = false;
    bool bOutcomes = false; // without the report: each run's outcome
    TInPlaceLines& live;
    void Diagnostic(const std::string& s) const;
};

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
