// Runs one update from the command line the way the main window does: starts the worker, turns
// its notifications into steps and repeats after a communication failure or a programming error,
// but at most iMaxRepeats times, since nobody may be watching.
#pragma once

#include "frontend/uNotifyTexts.h"
#include "frontend/uRunJournal.h"
#include "link/uCommThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct TRunSettings {
    std::string sPort;
    int iMaxRepeats = 3;
    TPortOpener openPort = OpenComPort;
    std::int32_t iRestartWaitMs = 1500; // the pause before a repeat after a communication failure
    // How long the run waits for a notification before it asks whether the worker has ended.
    std::int32_t iNotifyWaitMs = 60000;
    // The run's row in the update journal (none: the run is not recorded); its warnings are
    // diagnostics.
    std::optional<TRunJournal::TStart> journal;
};

// The end of a run. iStatus: 0 success, else the status code that ended it (30 or 44 when the
// repeats ran out; 0 never: a fatal exception is bFatal). sMessage: the outcome message.
struct TRunResult {
    bool bSuccess = false;
    bool bFatal = false; // ended by an exception that is not one of the program's statuses
    std::int32_t iStatus = 0;
    std::string sMessage;
    // The outcome in one line: the message without the reason that the message box adds to it
    // (a port name may hold line breaks of its own, so the first line is not the outcome).
    std::string sOutcome;
    // The logger as the run's first identification in its application found it; bIdentified
    // false: the run never found it there (then iSerial is 0).
    bool bIdentified = false;
    std::uint32_t iSerial = 0;
    // Why the port could not be opened or used, when the run ended with status 10 or 11.
    std::string sReason;
};

// Receives every step as it happens: iCode/iValue of its notification (iCode -1 for the start
// line, which is not a notification).
using TStepSink = std::function<void(std::int32_t iCode, std::int32_t iValue, const TStep& step)>;

// Set from a signal handler: the operator wants to stop. Survives restarts, unlike bCancel,
// which every start clears.
extern std::atomic<bool> bInterrupted;

TRunResult RunUpdate(const TRunSettings& settings, const TStepSink& sink);
