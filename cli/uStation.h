// kelvo-update as a workshop station: it watches the serial ports and updates the logger plugged
// into each, one child process per update as with several ports, until it is stopped or has
// updated the loggers it was asked to.
#pragma once

#include "cli/uPortLines.h"
#include "frontend/uStationBook.h"
#include "frontend/uStationPlan.h"

#include <string>
#include <string_view>
#include <vector>

// What the station shows of a port: where the plan has it, and its latest run, if any.
struct TStationRow {
    std::string sPort;
    TStationPort state = TStationPort::Absent;
    const TPortRun* pRun = nullptr;
    std::string sVersion; // of the image its run programmed, when that run succeeded
};

// The station's lines on a terminal of iColumns (0 or less: no limit): one per port, then the
// count of updates done, failed, in progress and waiting (and, once bStopping, that no more
// start: the waiting ones are not started). sEllipsis stands for what a text leaves out, sDash
// separates "done 5.138" from what to do next.
std::vector<std::string> StationLines(const std::vector<TStationRow>& aRows,
                                      const TStationTally& tally, bool bStopping, int iColumns,
                                      std::string_view sEllipsis, std::string_view sDash);

// The summary at the end on a terminal of iColumns (0 or less: no limit): the latest updates and
// the loggers not started as a table (see SummaryTable), the count of updates and loggers, one
// line per port that has failed updates or a logger not started, then the notes.
std::vector<std::string> StationSummaryLines(const TStationBook& book, int iColumns = 0);

struct TStationSettings {
    TStationRules rules;
    // The arguments of every child besides --port (--json and the hidden child option included).
    std::vector<std::string> aChildArgs;
    // What every child reads on its standard input (the firmware file's bytes, checked once here).
    std::string sChildInput;
    bool bJson = false;
    bool bQuiet = false;
};

// The handler of Ctrl+C, SIGTERM (and Ctrl+Break) for the station: Ctrl+C once stops new updates
// from starting, a second Ctrl+C or SIGTERM cancels the running ones.
void OnStationSignal(int iSignal);

// Runs the station until it is done; the exit status: 0 when every update succeeded and no logger
// plugged in was left out, else that of the first update that failed, else 20 (cancelled) for a
// logger whose update never started. Install OnStationSignal first.
int RunStation(const TStationSettings& settings);
