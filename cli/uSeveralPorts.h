// kelvo-update with several ports: one child process per port, each a kelvo-update of its own
// with one port and JSON Lines. The program-wide state of an update (the cancel flag, the
// options, the catalogue's selection and file slot, the HEX line buffer) is one per process, so
// that the loggers cannot mix; this process only starts the children, reads their JSON Lines,
// shows them and sums them up.
#pragma once

#include "cli/uCliOutput.h"
#include "cli/uJsonRead.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

    // The live line: port, serial number, stage, percentage and time left, in columns of
    // iPortWidth and the serial's width.
    std::string LiveLine(std::size_t iPortWidth) const;

    const std::string sPort;
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
    double dSeconds = 0;             // from the start to the end

private:
    TClock::time_point FtStart;
    TRecentRate FRate;
    int FiAttempts = 0;
    bool FbSelected = false;
    bool FbResult = false;
    // The latest identification found the logger in its bootloader, and no success came since.
    bool FbInBootloader = false;
};

// The exit status of several runs: 0 when every one succeeded, else that of the first that did
// not, in port order.
int ExitOfSeveral(const std::vector<TPortRun>& aRuns);

// The summary at the end: a table with port, serial number, image, exit status, time and
// outcome, then a line that says which failed; the notes follow the table.
std::vector<std::string> SummaryLines(const std::vector<TPortRun>& aRuns);

// The summary as the last JSON object ("event":"summary").
std::string SummaryJson(const std::vector<TPortRun>& aRuns);

// Lines kept on the terminal and redrawn in place (on standard error).
class TLiveLines {
public:
    void Show(const std::vector<std::string>& aLines);
    // Erases the lines; the next Redraw shows them again.
    void Clear();
    void Redraw();

private:
    void Draw();
    std::vector<std::string> FaLines;
    std::size_t FiShown = 0; // the lines on the terminal now
};

// How a run of several ports shows itself.
struct TSeveralSettings {
    std::vector<std::string> aPorts;
    // The arguments of every child besides --port (--json and the hidden child option included).
    std::vector<std::string> aChildArgs;
    // What every child reads on its standard input: the firmware file's bytes, read and checked
    // once here, so that every logger gets the same image whatever happens to the file meanwhile.
    std::string sChildInput;
    bool bJson = false;
    bool bQuiet = false;
};

// Runs the update on every port at once; the exit status. Cancels them all once bInterrupted
// is set.
int RunSeveral(const TSeveralSettings& settings);
