#include "frontend/uUpdateRunner.h"

#include "link/uExceptions1V0.h"
#include "link/uNotifyQueue.h"

#include <chrono>
#include <exception>
#include <thread>

std::atomic<bool> bInterrupted{false};

namespace {

// Waits up to iMs, ending early when the operator interrupts.
void InterruptibleWait(std::int32_t iMs) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!bInterrupted && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

} // namespace

TRunResult RunUpdate(const TRunSettings& settings, const TStepSink& sink) {
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
    if (settings.journal) {
        journal = std::make_unique<TRunJournal>(*settings.journal, [&](const std::string& s) {
            sink(-1, 0, {TAction::Diagnostic, s});
        });
        journal->Prepare(run);
    }

    const auto start = [&](std::int32_t cmd) {
        const std::string s = StartText(settings.sPort);
        sink(-1, 0, {TAction::Report, s});
        sink(-1, 0, {TAction::Status, s});
        // Every start clears the cancel flag; an interrupt by the operator still stands.
        bCancel = bInterrupted.load();
        worker = CommThreadClass(queue, cmd, settings.sPort, settings.openPort, &run);
    };
    // A repeat if any are left; otherwise the run ends with iStatus.
    const auto repeat = [&](std::int32_t cmd, std::int32_t iStatus, const char* sWhy) {
        if (iRepeats < settings.iMaxRepeats) {
            ++iRepeats;
            if (journal)
                journal->Repeat();
            start(cmd);
            return true;
        }
        result.iStatus = iStatus;
        result.sMessage = "Gave up after " + std::to_string(iRepeats) + " repeats: " + sWhy;
        result.sOutcome = result.sMessage;
        sink(-1, 0, {TAction::Report, result.sMessage});
        if (iStatus == Status::NoAnswer)
            sink(-1, 0, {TAction::Diagnostic, Texts::CheckSilentLogger});
        sink(-1, 0, {TAction::Message, result.sMessage});
        return false;
    };

    // Every return comes after the last worker has ended: its run record can be read.
    const auto ended = [&] {
        result.bIdentified = run.bIdentified;
        result.iSerial = run.iSerial;
        if (result.iStatus == Status::PortNotReady || result.iStatus == Status::PortIoError)
            result.sReason = run.sPortReason;
        if (journal)
            journal->End(result.bSuccess ? 0
                         : result.bFatal ? 1
                                         : result.iStatus,
                         result.sOutcome, run);
        return result;
    };

    start(0);
    for (;;) {
        // Nothing to do between notifications (the worker watches the cancel flag itself): no
        // wake-ups for nothing during the minutes of a transfer.
        auto n = queue.Wait(std::chrono::milliseconds(settings.iNotifyWaitMs));
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
        if (journal) {
            journal->Notification(n->iCode, n->iValue);
            if (n->iCode == Notify::PinFromJournal)
                sink(n->iCode, n->iValue, {TAction::Report, journal->PinLine()});
        }
        // The thread has posted its last notification: join it; from then on its run record
        // can be read.
        std::string sPortReason;
        if (IsFinal(n->iCode)) {
            worker.reset();
            sPortReason = run.sPortReason;
        }
        bool bEnded = false;
        // With no repeat left, the run gives up at once and does not announce a repeat.
        const bool bRepeatLeft = iRepeats < settings.iMaxRepeats;
        const bool bRepeatNotice =
            n->iCode == Notify::NoAnswer ||
            (n->iCode == Notify::Status && n->iValue == Status::EchoMismatch);
        std::string sDiagnostic; // of this notification, which its message may add
        for (const TStep& step :
             NotificationSteps(n->iCode, n->iValue, settings.sPort, sPortReason)) {
            switch (step.action) {
            case TAction::RestartAfterWait:
                if (bRepeatLeft)
                    InterruptibleWait(settings.iRestartWaitMs);
                bEnded = !repeat(step.iValue, Status::NoAnswer, "communication error!");
                break;
            case TAction::RepeatNow:
                bEnded = !repeat(step.iValue, Status::EchoMismatch, "programming error!");
                break;
            case TAction::Report:
            case TAction::Status:
                if (bRepeatNotice && !bRepeatLeft)
                    break;
                [[fallthrough]];
            default:
                sink(n->iCode, n->iValue, step);
                if (step.action == TAction::Diagnostic)
                    sDiagnostic = step.sText;
                if (step.action == TAction::Message) {
                    result.sMessage = step.sText;
                    const std::string sAdded = "\r\n" + sDiagnostic;
                    result.sOutcome = !sDiagnostic.empty() && step.sText.ends_with(sAdded)
                                          ? step.sText.substr(0, step.sText.size() - sAdded.size())
                                          : step.sText;
                }
                break;
            }
        }
        if (n->iCode == Notify::Done) {
            result.bSuccess = true;
            return ended();
        }
        if (n->iCode == Notify::Status && n->iValue != Status::EchoMismatch) {
            result.iStatus = n->iValue;
            result.bFatal = n->iValue == 0;
        } else if (!bEnded) {
            continue;
        }
        // The run ends: whether the logger waits unfinished in its bootloader.
        if (const std::string sNote = EndOfRunNote(run); !sNote.empty())
            sink(-1, 0, {TAction::Report, sNote});
        return ended();
    }
}
