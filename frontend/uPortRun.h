// What a parent (several ports, the workshop station) knows of the update at one port from its
// child's JSON Lines.
#pragma once

#include "frontend/uJsonLines.h"
#include "frontend/uRecentRate.h"
#include "frontend/uUpdateSession.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
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

    // The seconds until the transfer is through, from its recent rate; nothing while no progress
    // is seen.
    std::optional<int> SecondsLeft() const { return FRate.SecondsLeft(); }

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

// A time in seconds as the views of a run show it: "2:11" (minutes and seconds).
std::string MinutesSeconds(int iSeconds);

// The journal row of a run whose child ended without telling its result (run.unreported),
// completed as far as the child had not done so itself: a warning when that failed, else empty.
std::string CompleteUnreported(const TPortRun& run);

// A run as the summary's object (the last JSON object of several ports or a station) lists it under
// "ports".
TJson SummaryPortJson(const TPortRun& run);
// The summary's object with its text and exit status, the ports to be added.
TJson SummaryObject(const std::string& sText, int iExit);

// The exit status of several runs: 0 when every one succeeded, else that of the first that did
// not, in port order.
int ExitOfSeveral(const std::vector<TPortRun>& aRuns);
