#include "frontend/uUpdateSession.h"

#include "firmware/uFWVersions.h"
#include "link/uExceptions1V0.h"
#include "link/uNotifyQueue.h"
#include "link/uPortReason.h"
#include "link/uRS232.h"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

std::atomic<bool> bInterrupted{false};

namespace {

// A refused open that a port may get past once it has settled after its arrival: another program
// holds it for a moment, or udev has not given it its group yet.
bool MaySettle(const std::string& sPortReason) {
    return sPortReason.starts_with(PortReason::InUse) ||
           sPortReason.starts_with(PortReason::Permission);
}

} // namespace

std::string SettlingText(const std::string& sPortReason, const std::string& sHolders) {
    if (!sHolders.empty())
        return "settling: held by " + sHolders;
    return std::string("settling: ") + (sPortReason.starts_with(PortReason::InUse)
                                            ? PortReason::InUse
                                            : PortReason::Permission);
}

TUpdateSession::TUpdateSession(TSessionSettings settings, TStepSink sink)
    : FSettings(std::move(settings)), FSink(std::move(sink)) {}

void TUpdateSession::Cancel() noexcept {
    FbStop = true;
    bCancel = true;
}

TRunResult TUpdateSession::Run() {
    TNotifyQueue queue;
    TRunRecord run; // before the worker: it outlives every worker of the run
    TCommThreadPtr worker;
    // An exception that leaves the run (a sink that fails) cancels the running attempt before
    // its worker is joined, instead of waiting until the attempt ends by itself.
    struct TCancelOnUnwind {
        const TCommThreadPtr& worker;
        const int iUncaught = std::uncaught_exceptions();
        ~TCancelOnUnwind() {
            if (worker && std::uncaught_exceptions() > iUncaught)
                bCancel = true;
        }
    } cancelOnUnwind{worker};
    TRunResult result;
    int iRepeats = 0;
    std::unique_ptr<TRunJournal> journal;
    const auto warnings = [&] {
        if (journal) {
            for (std::string& s : journal->TakeWarnings())
                Emit({TAction::Diagnostic, std::move(s), 0, TSource::Warning});
        }
    };
    if (FSettings.journal) {
        journal = std::make_unique<TRunJournal>(*FSettings.journal);
        journal->Prepare(run);
        FiJournalRow = journal->RowId();
        warnings();
    }
    run.iLabelSerial = FSettings.iLabelSerial;
    run.portNamePin =
        FSettings.askPin ? TRunRecord::TPortNamePin::Ask : TRunRecord::TPortNamePin::Withhold;
    // The run's serial number is known: read, applied from a pin, or given from the label.
    bool bSerialGiven = FSettings.iLabelSerial != 0;
    // The outcome that replaces the status text of the run's end, when the worker said why.
    std::string sOwnOutcome;
    const std::string sEarlierStarted = journal ? journal->EarlierStarted() : std::string();

    std::int32_t iAttemptCmd = FSettings.iCommand;
    const auto launch = [&] {
        // A cancel by the operator survives every start; nothing else stops the new attempt.
        bCancel = Stopping();
        worker = CommThreadClass(queue, iAttemptCmd, FSettings.sPort, FSettings.openPort, &run);
    };
    const auto start = [&](std::int32_t cmd) {
        const std::string s = StartText(FSettings.sPort);
        Emit({TAction::BeginUpdate, "", 0, TSource::Start});
        Emit({TAction::Report, s, 0, TSource::Start});
        Emit({TAction::Status, s, 0, TSource::Start});
        iAttemptCmd = cmd;
        launch();
    };
    const auto tSettleEnd = std::chrono::steady_clock::now() + FSettings.settle;
    std::string sSettling; // the settling step shown last: each change is shown once
    // Waits up to iMs, ending early when the operator cancels (the new attempt then ends at once).
    const auto wait = [&](std::int32_t iMs) {
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
        while (!Stopping() && std::chrono::steady_clock::now() < tEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    // The end of the run's last attempt, once its worker has been joined: the note, then the
    // message box.
    const auto finish = [&](TStep message) {
        result.bLeftInBootloader =
            !result.bSuccess && run.bInBootloader && !result.bRestartUnconfirmed;
        result.bSerialUnknown = run.bInBootloader && !run.bIdentified && !bSerialGiven;
        if (result.bLeftInBootloader) {
            // Running the update again cannot tell a serial number that nothing could know.
            result.sNote = result.bSerialUnknown ? Texts::LoggerWaitsSerialUnknown
                                                 : Texts::LoggerWaitsInBootloader;
        } else if (result.bRestartUnconfirmed) {
            result.sNote = Texts::CheckRestartedLogger;
        }
        if (!result.sNote.empty()) {
            Emit({TAction::Report, result.sNote, 0, TSource::Note});
            message.sText += "\r\n" + result.sNote;
        }
        result.sMessage = message.sText;
        Emit(std::move(message));
    };

    start(FSettings.iCommand);
    for (;;) {
        // Nothing to do between notifications (the worker watches the cancel flag itself): no
        // wake-ups for nothing during the minutes of a transfer.
        auto n = queue.Wait(std::chrono::milliseconds(FSettings.iNotifyWaitMs));
        if (!n) {
            // A notification lost on its way (its post ran out of memory) must not keep the run
            // waiting for ever: a worker that has ended ends its attempt as its final
            // notification says.
            const auto last = worker ? worker->FinalNotification() : std::nullopt;
            if (!last)
                continue;
            worker.reset(); // joined: every post it made is in the queue now, or lost
            n = queue.Wait(std::chrono::milliseconds(0));
            if (!n)
                n = TNotification{last->first, last->second};
        }
        // A port that has just arrived and refuses the open for now is opened again after a
        // pause, within the same attempt: no new start, no repeat, the same journal row.
        if (n->iCode == Notify::Status && n->iValue == Status::PortNotReady && !Stopping() &&
            std::chrono::steady_clock::now() < tSettleEnd) {
            worker.reset(); // it has ended: its run record can be read
            if (MaySettle(run.sPortReason)) {
                std::string s = SettlingText(run.sPortReason, PortHolders(FSettings.sPort));
                if (s != sSettling) {
                    sSettling = s;
                    Emit({TAction::Report, std::move(s), 0, TSource::Settling});
                }
                wait(FSettings.iSettlePauseMs);
                if (!Stopping()) {
                    launch();
                    continue;
                }
                // Cancelled while the port settled: the run ends as a cancelled attempt does.
                n = TNotification{Notify::Status, Status::Cancelled};
            }
        }
        const auto stamped = [&](TStep step) {
            step.iCode = n->iCode;
            step.iNotified = n->iValue;
            if (n->iCode == Notify::Progress)
                step.iLinesSent = run.iLinesSent;
            return step;
        };
        if (journal) {
            journal->Notification(n->iCode, n->iValue);
            if (n->iCode == Notify::PinFromJournal)
                Emit(stamped({TAction::Report, journal->PinLine()}));
            warnings();
        }
        const auto iSerial = static_cast<std::uint32_t>(n->iValue);
        switch (n->iCode) {
        case Notify::PinFromJournal:
            bSerialGiven = true;
            break;
        case Notify::PinAsk: {
            const TPinQuestion q{iSerial, sEarlierStarted,
                                 PinQuestionText(iSerial, sEarlierStarted)};
            const bool bYes = FSettings.askPin && !Stopping() && FSettings.askPin(q);
            run.iPinAnswer = bYes ? 1 : 0; // the worker waits for it
            break;
        }
        case Notify::PinNotTaken:
            Emit(stamped({TAction::Report, PinNotTakenText(iSerial, sEarlierStarted)}));
            break;
        case Notify::SerialUnknown:
            Emit(stamped({TAction::Report, PinNotTakenText(iSerial, sEarlierStarted)}));
            sOwnOutcome = Texts::SerialUnknownOutcome;
            break;
        case Notify::LabelSerial:
            Emit(stamped({TAction::Report, LabelSerialText(iSerial)}));
            break;
        case Notify::SerialDiffers:
            sOwnOutcome = SerialDiffersText(iSerial, FSettings.iLabelSerial);
            break;
        case Notify::Class:
            if (!result.iClass)
                result.iClass = n->iValue;
            break;
        case Notify::Version:
            if (!result.iVersion)
                result.iVersion = n->iValue;
            break;
        case Notify::TransferBegins:
            // The worker selected iFwIndex before it posted this, and the queue orders the two.
            result.iEntry = iFwIndex;
            break;
        default:
            break;
        }
        // The thread has posted its last notification: join it; from then on its run record
        // can be read.
        std::string sPortReason;
        if (IsFinal(n->iCode)) {
            worker.reset();
            sPortReason = run.sPortReason;
            // Read here, between the attempts: the next worker writes it again.
            Emit(stamped({TAction::Selection, "", iFwIndex}));
        }
        const bool bRepeatLeft = iRepeats < FSettings.iMaxRepeats;
        const bool bEnds = n->iCode == Notify::Done ||
                           (n->iCode == Notify::Status && n->iValue != Status::EchoMismatch);
        if (bEnds) {
            result.bSuccess = n->iCode == Notify::Done;
            result.iStatus = result.bSuccess ? 0 : n->iValue;
            result.bFatal = !result.bSuccess && n->iValue == 0;
            result.sOutcome = result.bSuccess        ? DoneText(iFwIndex)
                              : !sOwnOutcome.empty() ? sOwnOutcome
                                                     : StatusText(n->iValue, FSettings.sPort);
            if (result.iStatus == Status::PortNotReady || result.iStatus == Status::PortIoError)
                result.sReason = sPortReason;
            // Lost after the finish request: the logger may well run its new image already.
            result.bRestartUnconfirmed =
                result.iStatus == Status::PortIoError && run.bFinishRequested;
            if (result.bRestartUnconfirmed)
                result.sOutcome = Texts::RestartNotConfirmed;
        }
        // A repeat that is due; with none left the run gives up and does not announce it.
        std::optional<std::int32_t> iRepeatCmd;
        std::int32_t iRestartWait = 0;
        bool bEndShown = false;
        for (TStep step : NotificationSteps(n->iCode, n->iValue, FSettings.sPort, sPortReason)) {
            switch (step.action) {
            case TAction::RestartAfterWait:
                iRepeatCmd = step.iValue;
                iRestartWait = FSettings.iRestartWaitMs;
                break;
            case TAction::RepeatNow:
                iRepeatCmd = step.iValue;
                break;
            case TAction::Report:
            case TAction::Status:
                // The worker said why the run ends: that replaces the status's text.
                if (bEnds && !sOwnOutcome.empty())
                    step.sText = sOwnOutcome;
                if (!bRepeatLeft &&
                    (n->iCode == Notify::NoAnswer ||
                     (n->iCode == Notify::Status && n->iValue == Status::EchoMismatch)))
                    break;
                Emit(stamped(std::move(step)));
                break;
            case TAction::Diagnostic:
                step.bNoSuchPort = sPortReason == PortReason::NoDevice;
                Emit(stamped(std::move(step)));
                break;
            case TAction::Message:
                if (bEnds && !sOwnOutcome.empty())
                    step.sText = sOwnOutcome;
                finish(stamped(std::move(step)));
                break;
            case TAction::EndUpdate:
                bEndShown = true;
                Emit(stamped(std::move(step)));
                break;
            default:
                Emit(stamped(std::move(step)));
                break;
            }
        }
        if (iRepeatCmd) {
            if (bRepeatLeft) {
                ++iRepeats;
                if (journal)
                    journal->Repeat();
                wait(iRestartWait);
                start(*iRepeatCmd);
                continue;
            }
            const bool bSilent = n->iCode == Notify::NoAnswer;
            result.iStatus = bSilent ? Status::NoAnswer : Status::EchoMismatch;
            result.sOutcome = "Gave up after " + std::to_string(iRepeats) + " repeats: " +
                              (bSilent ? "communication error!" : "programming error!");
            if (!bEndShown) {
                Emit({TAction::EndUpdate, "", 0, TSource::GaveUp});
                Emit({TAction::Beep, "", 0, TSource::GaveUp});
            }
            Emit({TAction::Report, result.sOutcome, 0, TSource::GaveUp});
            if (bSilent)
                Emit({TAction::Diagnostic, Texts::CheckSilentLogger, 0, TSource::GaveUp});
            finish({TAction::Message, result.sOutcome, 0, TSource::GaveUp});
        } else if (!bEnds) {
            continue;
        }
        result.bIdentified = run.bIdentified;
        result.iSerial = run.iSerial;
        if (journal) {
            journal->End(result.ExitStatus(), result.sOutcome, result.sReason,
                         result.bLeftInBootloader, result.bRestartUnconfirmed, run);
            journal->Flush();
            warnings();
        }
        return result;
    }
}

TRunResult UnreportedRunResult(const std::string& sPort, const std::string& sHow, bool bCancelled,
                               bool bInBootloader) {
    TRunResult result;
    if (bCancelled) {
        result.iStatus = Status::Cancelled;
        result.sOutcome = StatusText(Status::Cancelled, sPort);
    } else {
        result.bFatal = true;
        result.sOutcome = "The update program ended unexpectedly: " +
                          (sHow.empty() ? std::string("it did not exit by itself") : sHow) + ".";
    }
    result.bLeftInBootloader = bInBootloader;
    if (bInBootloader)
        result.sNote = Texts::LoggerWaitsInBootloader;
    result.sMessage = result.sOutcome + (result.sNote.empty() ? "" : "\r\n" + result.sNote);
    return result;
}
