// One update from the operator's "Update" (or the command) to its result, the same for every front
// end: the session starts the attempts, turns each notification of the worker into steps for the
// front end to show, repeats after a communication failure or a programming error, cancels, keeps
// the run's row in the update journal and decides what the run means (its status, outcome and
// note). The window, kelvo-update and every child of several ports and of the station run it and
// only show its steps and its result.
#pragma once

#include "frontend/uNotifyTexts.h"
#include "frontend/uRunJournal.h"
#include "link/uCommThread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>

// The question asked when an interrupted update on the same port name, with no converter identity
// to tie it to this logger, left a logger with the same hardware in its bootloader.
struct TPinQuestion {
    std::uint32_t iSerial = 0; // what that update read
    std::string sStarted;      // when it began (UTC)
    std::string sText;         // the question, lines separated by "\r\n"
};
// Answers the question on the session's thread: true, the logger is that one and its serial
// number is applied. It may wait for the operator; it should return false once the session is
// cancelled.
using TPinAsker = std::function<bool(const TPinQuestion& question)>;

struct TSessionSettings {
    std::string sPort;
    std::int32_t iCommand = 0; // the command number of the first attempt
    // Repeats after a communication failure or a programming error. A front end whose operator
    // watches and can cancel repeats without a limit; a command may have nobody watching.
    static constexpr int Unlimited = std::numeric_limits<int>::max();
    int iMaxRepeats = 3;
    TPortOpener openPort = OpenComPort;
    std::int32_t iRestartWaitMs = 1500; // the pause before a repeat after a communication failure
    // How long the session waits for a notification before it asks whether the worker has ended.
    std::int32_t iNotifyWaitMs = 60000;
    // The run's row in the update journal (none: the run is not recorded).
    std::optional<TRunJournal::TStart> journal;
    // The port has just arrived: for this long from the run's start, an open refused because
    // another program holds the port (a modem manager probing it) or because its permissions are
    // not set yet is tried again, every iSettlePauseMs, before the run counts it as status 10.
    // Zero: the first refusal counts.
    std::chrono::milliseconds settle{0};
    std::int32_t iSettlePauseMs = 200;
    // The serial number from the logger's label (0: none): a logger found in its bootloader is
    // selected for with it; a logger whose application reports another one is not updated.
    std::uint32_t iLabelSerial = 0;
    // Asked about an interrupted update found through the port name alone. None: its serial
    // number is not applied, and a logger that it says is pinned is not updated.
    TPinAsker askPin;
};

// How long a port that has just arrived may take to settle: udev's rules, and a modem manager's
// probe of a new tty, take a few seconds at most.
constexpr std::chrono::milliseconds PortSettleTime = std::chrono::seconds(5);

// The step while an arrived port settles: "settling: held by NAME (pid N)" when the programs that
// hold the port are seen, "settling: " and the reason of the refused open otherwise.
std::string SettlingText(const std::string& sPortReason, const std::string& sHolders);

// What a run means, decided once for every front end.
struct TRunResult {
    bool bSuccess = false;
    bool bFatal = false; // ended by an exception that is not one of the program's statuses
    // The status code that ended the run (30 or 44 when the repeats ran out); 0 for a success
    // and for a fatal end.
    std::int32_t iStatus = 0;
    // The message box's text: the outcome with the reason and the note added.
    std::string sMessage;
    // The outcome in one line: the success text, the status text, or that the repeats ran out.
    std::string sOutcome;
    // The logger waits in its bootloader with no image programmed completely; sNote says so (and
    // what helps), empty otherwise.
    bool bLeftInBootloader = false;
    // The port was lost after the finish request, before the restarted logger answered: whether
    // it runs its new image or waits in its bootloader is unknown (not bLeftInBootloader); sNote
    // says what helps.
    bool bRestartUnconfirmed = false;
    std::string sNote;
    // The logger was found in its bootloader and its serial number stayed unknown (not read, not
    // from a journal's pin, not given from its label).
    bool bSerialUnknown = false;
    // The logger as the run's first identification in its application found it; bIdentified
    // false: the run never found it there (then iSerial is 0).
    bool bIdentified = false;
    std::uint32_t iSerial = 0;
    // The class and version word of the run's first identification, and the catalogue entry of
    // the image it selected last; nothing when the run did not get that far.
    std::optional<std::int32_t> iClass;
    std::optional<std::int32_t> iVersion;
    std::optional<std::int32_t> iEntry;
    // Why the port could not be opened or used, when the run ended with status 10 or 11.
    std::string sReason;

    // The run's status as the journal records it and kelvo-update exits with: 0 a success, 1 a
    // fatal end, else the status code.
    std::int32_t ExitStatus() const { return bSuccess ? 0 : bFatal ? 1 : iStatus; }
};

// Receives every step as it happens, on the thread that runs the session.
using TStepSink = std::function<void(const TStep& step)>;

// Set from a signal handler: the operator wants to stop. Every session sees it as its Cancel.
extern std::atomic<bool> bInterrupted;

class TUpdateSession {
public:
    TUpdateSession(TSessionSettings settings, TStepSink sink);

    // Runs the update to its end on the calling thread and returns what it means. The worker of
    // every attempt has ended and the journal's row is written when it returns.
    TRunResult Run();
    // From any thread: the operator cancels. The running attempt ends with status 20 at its next
    // exchange, and no repeat runs past it.
    void Cancel() noexcept;
    // The run's row in the update journal, once Run has written it; nothing before, or when the
    // run is not recorded. For the steps' sink, which runs on the thread of Run.
    std::optional<std::int64_t> JournalRow() const { return FiJournalRow; }

private:
    bool Stopping() const { return FbStop || bInterrupted; }
    void Emit(TStep step) const { FSink(step); }

    const TSessionSettings FSettings;
    const TStepSink FSink;
    std::atomic<bool> FbStop{false};
    std::optional<std::int64_t> FiJournalRow;
};

// What a run means whose update program ended without telling its result (killed, crashed, or
// exited without a word), as the program that started it knows it: sHow says how it ended
// (empty: not known); bCancelled: it had been asked to cancel; bInBootloader: the logger was last
// seen in its bootloader. A cancelled run is 20; any other is a fatal end (1): the program ended
// in a way that none of its statuses describes.
TRunResult UnreportedRunResult(const std::string& sPort, const std::string& sHow, bool bCancelled,
                               bool bInBootloader);
