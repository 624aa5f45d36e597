// The update session that every front end runs: what a run means for each way its attempts end,
// a run whose worker's notifications do not all arrive, and a sink that fails.
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "frontend/uUpdateSession.h"
#include "journal/uJournal.h"
#include "link/uExceptions1V0.h"
#include "link/uNotifyQueue.h"
#include "link/uPortReason.h"
#include "sim/uLoggerModel.h"
#include "tests/support/FakeSerial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Hands the worker's notifications on to the run's queue but loses every final one, as a post
// that ran out of memory does.
class TLosingTarget final : public TNotifyTarget {
public:
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override {
        if (!IsFinal(iCode))
            pQueue->Post(iCode, iValue);
    }
    TNotifyTarget* pQueue = nullptr;
};
TLosingTarget LosingTarget;

// A worker whose attempt n ends with status aEnds[n] (0: success). It takes a while, so that the
// run's waits come back empty while it still works.
class TScriptedWorker : public TCommThread {
public:
    using TCommThread::TCommThread;
    // Set before the run; each worker starts after the previous one has been joined.
    static inline std::vector<std::int32_t> aEnds;
    static inline std::size_t iAttempt = 0;

protected:
    void DoProcess() override {
        Post(Notify::Class, 26113);
        std::this_thread::sleep_for(60ms);
        const std::int32_t iStatus = aEnds.at(iAttempt++);
        if (iStatus != 0)
            throw EQuarn(iStatus);
    }
    void Sleep(std::int32_t) override {}
};

TCommThreadPtr CreateLosingWorker(TNotifyTarget& hQueue, std::int32_t cmd, const std::string& sPort,
                                  TPortOpener openPort, TRunRecord* pRun) {
    LosingTarget.pQueue = &hQueue;
    return CommThreadClassOf<TScriptedWorker>()(LosingTarget, cmd, sPort, std::move(openPort),
                                                pRun);
}

} // namespace

TEST(UpdateSession, EndsAsTheWorkerEndedWhenItsFinalNotificationIsLost) {
    const struct {
        std::vector<std::int32_t> aEnds;
        bool bSuccess;
        std::int32_t iStatus;
        int iStarts;
    } aCases[] = {
        {{0}, true, 0, 1},
        {{Status::WrongLogger}, false, Status::WrongLogger, 1},
        // The repeats after a communication failure and a programming error still happen.
        {{Status::NoAnswer, Status::EchoMismatch, 0}, true, 0, 3},
    };
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = &CreateLosingWorker;
    for (std::size_t i = 0; i < std::size(aCases); ++i) {
        const auto& k = aCases[i];
        SCOPED_TRACE(i);
        TScriptedWorker::aEnds = k.aEnds;
        TScriptedWorker::iAttempt = 0;
        TFakeSerial fake;
        TSessionSettings settings;
        settings.sPort = "sim";
        settings.openPort = fake.Opener();
        settings.iRestartWaitMs = 0;
        settings.iNotifyWaitMs = 20;
        int iStarts = 0;
        std::vector<std::int32_t> aCodes;
        auto run = std::async(std::launch::async, [&] {
            return TUpdateSession(settings,
                                  [&](const TStep& step) {
                                      if (step.action == TAction::BeginUpdate)
                                          ++iStarts;
                                      if (step.source == TSource::Notification)
                                          aCodes.push_back(step.iCode);
                                  })
                .Run();
        });
        if (run.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the run still waits for the lost notification";
            // End the stuck run, so that the test can go on.
            LosingTarget.pQueue->Post(Notify::Status, Status::Cancelled);
        }
        const TRunResult r = run.get();
        EXPECT_EQ(r.bSuccess, k.bSuccess);
        EXPECT_EQ(r.iStatus, k.iStatus);
        EXPECT_FALSE(r.bFatal);
        EXPECT_FALSE(r.sMessage.empty());
        EXPECT_EQ(iStarts, k.iStarts);
        EXPECT_EQ(TScriptedWorker::iAttempt, k.aEnds.size());
        // What arrived before the lost notification is passed on as usual.
        EXPECT_NE(std::find(aCodes.begin(), aCodes.end(), Notify::Class), aCodes.end());
    }
    CommThreadClass = before;
}

namespace {

// A worker whose attempt lasts until it is cancelled, or 20 s.
class TPatientWorker : public TCommThread {
public:
    using TCommThread::TCommThread;
    static inline std::atomic<bool> bSawCancel = false;

protected:
    void DoProcess() override {
        Post(Notify::Class, 26113);
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (!bCancel && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(5ms);
        bSawCancel = bCancel.load();
        throw EQuarn(Status::Cancelled);
    }
    void Sleep(std::int32_t) override {}
};

} // namespace

// A sink that throws ends the run at once: its running attempt is cancelled, not waited for.
TEST(UpdateSession, AnExceptionFromTheSinkCancelsTheRunningAttempt) {
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TPatientWorker>();
    TPatientWorker::bSawCancel = false;
    TFakeSerial fake;
    TSessionSettings settings;
    settings.sPort = "sim";
    settings.openPort = fake.Opener();
    const auto t0 = std::chrono::steady_clock::now();
    TUpdateSession session(settings, [](const TStep& step) {
        if (step.iCode == Notify::Class)
            throw std::runtime_error("the sink failed");
    });
    EXPECT_THROW(session.Run(), std::runtime_error);
    EXPECT_TRUE(TPatientWorker::bSawCancel);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    CommThreadClass = before;
    bCancel = false;
}

namespace {

// One attempt of a scripted run: how it ends, and whether it leaves the logger in its bootloader.
struct TAttempt {
    enum class TEnd { Done, Status, NoAnswer, Fatal, PortMissing };
    TEnd end = TEnd::Done;
    std::int32_t iStatus = 0; // TEnd::Status
    bool bInBootloader = false;
    bool bFinishRequested = false; // it ends after the finish request, before the restart answered
};

// A worker that plays the attempts of aScript one after the other: it identifies the logger in
// its application (serial 328297), selects entry 9 and ends as its attempt says.
class TPlayedWorker : public TCommThread {
public:
    using TCommThread::TCommThread;
    static inline std::vector<TAttempt> aScript;
    static inline std::size_t iAttempt = 0;

protected:
    void DoProcess() override {
        const TAttempt a = aScript.at(iAttempt++);
        Post(Notify::Class, 26113);
        Post(Notify::Version, 0x058A);
        Post(Notify::Serial, 328297);
        FRun.bIdentified = true;
        FRun.iSerial = 328297;
        iFwIndex = 9;
        Post(Notify::TransferBegins, FCmd);
        FRun.bInBootloader = a.bInBootloader;
        FRun.bFinishRequested = a.bFinishRequested;
        switch (a.end) {
        case TAttempt::TEnd::Done:
            return;
        case TAttempt::TEnd::Status:
            throw EQuarn(a.iStatus);
        case TAttempt::TEnd::NoAnswer:
            throw EQuarn(Status::NoAnswer);
        case TAttempt::TEnd::Fatal:
            throw std::logic_error("not one of the program's statuses");
        case TAttempt::TEnd::PortMissing:
            break; // the opener fails before this attempt runs
        }
    }
    void Sleep(std::int32_t) override {}
};

#ifdef _WIN32
void SetJournalPath(const std::string& s) {
    _putenv_s("KELVO_JOURNAL", s.c_str()); // an empty value removes it
}
#else
void SetJournalPath(const std::string& s) {
    if (s.empty())
        ::unsetenv("KELVO_JOURNAL");
    else
        ::setenv("KELVO_JOURNAL", s.c_str(), 1);
}
#endif

// The session's own journal, gone at the end.
struct TTempJournal {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("kelvo-session-test-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".sqlite3");
    TTempJournal() { SetJournalPath(path.string()); }
    ~TTempJournal() {
        SetJournalPath("");
        for (const char* sEnd : {"", "-wal", "-shm"})
            std::filesystem::remove(path.string() + sEnd);
    }
    TJournalRun Latest() const {
        const std::vector<TJournalRun> a = TJournal::Open(path.string())->History({});
        return a.empty() ? TJournalRun{} : a.front();
    }
};

} // namespace

// What a run means, for every way its attempts can end, as every front end gets it: the result,
// the note, the journal's row and the steps that end the run.
TEST(UpdateSession, WhatARunMeansForEachEnd) {
    using E = TAttempt::TEnd;
    const std::string sDone = DoneText(9);
    const std::string sNote = Texts::LoggerWaitsInBootloader;
    const std::string sCheck = Texts::CheckRestartedLogger;
    const std::string sLost = "Aborted because error when reading/writing to serial port!";
    const struct {
        const char* sName;
        std::vector<TAttempt> aAttempts;
        int iMaxRepeats;
        bool bSuccess;
        std::int32_t iExit; // the journal's status and kelvo-update's exit status
        std::string sOutcome;
        std::string sMessage; // the message box
        std::string sNote;    // sNote: left in the bootloader; sCheck: restart unconfirmed
        TSource lastReport;   // where the run's last report line comes from
    } aCases[] = {
        {"success", {{}}, 3, true, 0, sDone, sDone, "", TSource::Notification},
        {"fatal exception",
         {{E::Fatal}},
         3,
         false,
         1,
         "Fatal Exception has occurred!",
         "Fatal Exception has occurred!",
         "",
         TSource::Notification},
        {"cancelled in the bootloader",
         {{E::Status, Status::Cancelled, true}},
         3,
         false,
         20,
         "Process cancelled!",
         "Process cancelled!\r\n" + sNote,
         sNote,
         TSource::Note},
        {"the port is missing",
         {{E::PortMissing}},
         3,
         false,
         10,
         "Aborted because serial port \"sim\" is not ready!",
         "Aborted because serial port \"sim\" is not ready!\r\nReason: no such device",
         "",
         TSource::Notification},
        {"the port is lost in the transfer",
         {{E::Status, Status::PortIoError, true}},
         3,
         false,
         11,
         sLost,
         sLost + "\r\n" + sNote,
         sNote,
         TSource::Note},
        // The logger may run its new image already, or wait in its bootloader: nobody can tell.
        {"the port is lost while the logger restarts",
         {{E::Status, Status::PortIoError, true, true}},
         3,
         false,
         11,
         Texts::RestartNotConfirmed,
         sLost + "\r\n" + sCheck,
         sCheck,
         TSource::Note},
        {"conversion error",
         {{E::Status, Status::BadImageLine}},
         3,
         false,
         43,
         "Aborted because conversion error!",
         "Aborted because conversion error!",
         "",
         TSource::Notification},
        {"no answer, then success",
         {{E::NoAnswer}, {}},
         3,
         true,
         0,
         sDone,
         sDone,
         "",
         TSource::Notification},
        {"programming error, then success",
         {{E::Status, Status::EchoMismatch}, {}},
         3,
         true,
         0,
         sDone,
         sDone,
         "",
         TSource::Notification},
        {"no answer, repeats run out",
         {{E::NoAnswer, 0, true}, {E::NoAnswer, 0, true}},
         1,
         false,
         30,
         "Gave up after 1 repeats: communication error!",
         "Gave up after 1 repeats: communication error!\r\n" + sNote,
         sNote,
         TSource::Note},
        {"programming error, repeats run out",
         {{E::Status, Status::EchoMismatch}, {E::Status, Status::EchoMismatch}},
         1,
         false,
         44,
         "Gave up after 1 repeats: programming error!",
         "Gave up after 1 repeats: programming error!",
         "",
         TSource::GaveUp},
    };
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TPlayedWorker>();
    TTempJournal journal;
    for (const auto& k : aCases) {
        SCOPED_TRACE(k.sName);
        TPlayedWorker::aScript = k.aAttempts;
        TPlayedWorker::iAttempt = 0;
        TFakeSerial fake;
        TSessionSettings settings;
        settings.sPort = "sim";
        settings.iMaxRepeats = k.iMaxRepeats;
        settings.iRestartWaitMs = 0;
        settings.openPort = [&](const std::string& sPort, std::int32_t iBaud, std::string* psWhy) {
            if (TPlayedWorker::aScript.at(TPlayedWorker::iAttempt).end == E::PortMissing) {
                *psWhy = PortReason::NoDevice;
                return TPortHandle();
            }
            return fake.Opener()(sPort, iBaud, psWhy);
        };
        settings.journal = TRunJournal::TStart{"test", "sim", "", ""};
        std::vector<TStep> aSteps;
        const TRunResult r =
            TUpdateSession(settings, [&](const TStep& step) { aSteps.push_back(step); }).Run();

        EXPECT_EQ(r.bSuccess, k.bSuccess);
        EXPECT_EQ(r.ExitStatus(), k.iExit);
        EXPECT_EQ(r.bFatal, k.iExit == 1);
        EXPECT_EQ(r.sOutcome, k.sOutcome);
        EXPECT_EQ(r.sMessage, k.sMessage);
        EXPECT_EQ(r.bLeftInBootloader, k.sNote == sNote);
        EXPECT_EQ(r.bRestartUnconfirmed, k.sNote == sCheck);
        EXPECT_EQ(r.sNote, k.sNote);
        // What the attempts learnt of the logger, unless the port never opened.
        const bool bReached = k.aAttempts.front().end != E::PortMissing;
        EXPECT_EQ(r.bIdentified, bReached);
        EXPECT_EQ(r.iSerial, bReached ? 328297u : 0u);
        EXPECT_EQ(r.iEntry, bReached ? std::optional<std::int32_t>(9) : std::nullopt);
        const auto iAttempts = static_cast<std::int32_t>(k.aAttempts.size());

        // One start per attempt; the message box comes last, once, after the last report line;
        // every attempt's end puts the controls back.
        const auto count = [&](TAction a) {
            return std::count_if(aSteps.begin(), aSteps.end(),
                                 [&](const TStep& s) { return s.action == a; });
        };
        EXPECT_EQ(count(TAction::BeginUpdate), iAttempts);
        EXPECT_EQ(count(TAction::Message), 1);
        ASSERT_FALSE(aSteps.empty());
        EXPECT_EQ(aSteps.back().action, TAction::Message);
        EXPECT_EQ(aSteps.back().sText, k.sMessage);
        EXPECT_GE(count(TAction::EndUpdate), 1);
        const auto lastReport = std::find_if(aSteps.rbegin(), aSteps.rend(), [](const TStep& s) {
            return s.action == TAction::Report;
        });
        ASSERT_NE(lastReport, aSteps.rend());
        EXPECT_EQ(lastReport->source, k.lastReport);
        // A port that does not exist is said to be missing, so a front end can point to the list.
        EXPECT_EQ(
            std::any_of(aSteps.begin(), aSteps.end(), [](const TStep& s) { return s.bNoSuchPort; }),
            k.aAttempts.front().end == E::PortMissing);

        const TJournalRun row = journal.Latest();
        EXPECT_EQ(row.iStatus, std::optional<std::int32_t>(k.iExit));
        EXPECT_EQ(row.sStatusText, k.sOutcome);
        EXPECT_EQ(row.bLeftInBootloader, k.sNote == sNote);
        EXPECT_EQ(row.bRestartUnconfirmed, k.sNote == sCheck) << "unknown, not the bootloader";
        EXPECT_EQ(row.sReason, k.aAttempts.front().end == E::PortMissing
                                   ? std::string(PortReason::NoDevice)
                                   : std::string())
            << "the reason of a port that could not be opened, kept";
        EXPECT_EQ(row.iRepeats, iAttempts - 1);
        EXPECT_FALSE(row.sEnded.empty());
    }
    CommThreadClass = before;
    iFwIndex = -1;
}

// A cancel during the wait before a repeat ends the run as cancelled at once: the repeat starts
// with the cancel standing, and the journal records 20.
TEST(UpdateSession, ACancelDuringTheRestartWaitEndsTheRun) {
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TPlayedWorker>();
    TTempJournal journal;
    TPlayedWorker::aScript = {{TAttempt::TEnd::NoAnswer}, {}};
    TPlayedWorker::iAttempt = 0;
    TFakeSerial fake;
    TSessionSettings settings;
    settings.sPort = "sim";
    settings.openPort = fake.Opener();
    settings.iRestartWaitMs = 20000;
    settings.journal = TRunJournal::TStart{"test", "sim", "", ""};
    const auto t0 = std::chrono::steady_clock::now();
    TUpdateSession* pSession = nullptr;
    TUpdateSession session(settings, [&](const TStep& step) {
        if (step.iCode == Notify::NoAnswer && step.action == TAction::Report)
            pSession->Cancel();
    });
    pSession = &session;
    const TRunResult r = session.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_EQ(r.ExitStatus(), Status::Cancelled);
    EXPECT_EQ(r.sOutcome, "Process cancelled!");
    EXPECT_EQ(journal.Latest().iStatus, std::optional<std::int32_t>(Status::Cancelled));
    // The second attempt never ran its procedure.
    EXPECT_EQ(TPlayedWorker::iAttempt, 1u);
    CommThreadClass = before;
    bCancel = false;
    iFwIndex = -1;
}

// A port that has just arrived may refuse the open for a moment (a modem manager probes it, udev
// has not set its group yet): the run opens it again until the settle time is up, in the same
// attempt and journal row, and says once that it waits. Other refusals, and a run whose port did
// not just arrive, end at the first one.
TEST(UpdateSession, AnArrivedPortIsOpenedAgainWhileItSettles) {
    const std::string sPermission =
        std::string(PortReason::Permission) + ": only its owner root may open it (mode 0600)";
    const std::string sInUse = std::string(PortReason::InUse) + ": sleep (pid 4242)";
    const struct {
        const char* sName;
        std::chrono::milliseconds settle;
        std::string sReason;
        int iRefusals; // opens refused before the port opens; -1: every one
        bool bCancel;  // the operator cancels when the settling is shown
        std::int32_t iExit;
        int iOpens; // the opener's calls; -1: more than one
        const char* sSettling;
    } aCases[] = {
        {"permission set late", 5s, sPermission, 3, false, 0, 4, "settling: permission denied"},
        {"held for a while", 5s, sInUse, 2, false, 0, 3, "settling: in use by another program"},
        {"held beyond the settle time", 150ms, sInUse, -1, false, Status::PortNotReady, -1,
         "settling: in use by another program"},
        {"cancelled while it settles", 5s, sPermission, -1, true, Status::Cancelled, 1,
         "settling: permission denied"},
        {"no such device: no wait", 5s, PortReason::NoDevice, -1, false, Status::PortNotReady, 1,
         nullptr},
        {"not arrived: no wait", 0ms, sPermission, -1, false, Status::PortNotReady, 1, nullptr},
    };
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TPlayedWorker>();
    TTempJournal journal;
    for (const auto& k : aCases) {
        SCOPED_TRACE(k.sName);
        TPlayedWorker::aScript = {{}};
        TPlayedWorker::iAttempt = 0;
        TFakeSerial fake;
        int iOpens = 0;
        TSessionSettings settings;
        settings.sPort = "sim";
        settings.settle = k.settle;
        settings.iSettlePauseMs = 10;
        settings.journal = TRunJournal::TStart{"test", "sim", "", ""};
        settings.openPort = [&](const std::string& sPort, std::int32_t iBaud, std::string* psWhy) {
            if (const int i = iOpens++; k.iRefusals < 0 || i < k.iRefusals) {
                *psWhy = k.sReason;
                return TPortHandle();
            }
            return fake.Opener()(sPort, iBaud, psWhy);
        };
        std::vector<TStep> aSteps;
        TUpdateSession* pSession = nullptr;
        TUpdateSession session(settings, [&](const TStep& step) {
            aSteps.push_back(step);
            if (k.bCancel && step.source == TSource::Settling)
                pSession->Cancel();
        });
        pSession = &session;
        const auto t0 = std::chrono::steady_clock::now();
        const TRunResult r = session.Run();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
        EXPECT_EQ(r.ExitStatus(), k.iExit);
        if (k.iOpens < 0)
            EXPECT_GT(iOpens, 1);
        else
            EXPECT_EQ(iOpens, k.iOpens);
        // The refusal that ends the run is its reason, as without the wait.
        EXPECT_EQ(r.sReason, k.iExit == Status::PortNotReady ? k.sReason : "");

        std::vector<std::string> aSettling;
        for (const TStep& s : aSteps) {
            if (s.source == TSource::Settling) {
                EXPECT_EQ(s.action, TAction::Report);
                aSettling.push_back(s.sText);
            }
        }
        EXPECT_EQ(aSettling,
                  k.sSettling ? std::vector<std::string>{k.sSettling} : std::vector<std::string>{});
        // One attempt, one start and one row, however often the port was opened.
        EXPECT_EQ(std::count_if(aSteps.begin(), aSteps.end(),
                                [](const TStep& s) { return s.action == TAction::BeginUpdate; }),
                  1);
        const TJournalRun row = journal.Latest();
        EXPECT_EQ(row.iStatus, std::optional<std::int32_t>(k.iExit));
        EXPECT_EQ(row.iRepeats, 0);
    }
    CommThreadClass = before;
    bCancel = false;
    bInterrupted = false;
    iFwIndex = -1;
}

namespace {

// The update procedure with its waits left out.
class TFastKelvo : public TKelvoCommThread {
public:
    using TKelvoCommThread::TKelvoCommThread;

protected:
    void Sleep(std::int32_t) override {}
};

// Entry 8's logger (pinned by its serial number 328297) waiting in its bootloader, behind a fake
// port.
struct TEntry8InBootloader {
    TLoggerModel model{[] {
        TLoggerConfig c = LoggerPreset("entry8").value();
        c.bStartInBootloader = true;
        return c;
    }()};
    TFakeSerial fake;
    TEntry8InBootloader() {
        fake.Responder = [this](const TBytes& a) {
            return model.Receive(a.data(), a.size());
        };
    }
};

// An update of a pinned logger (entry 8's hardware, serial 328297, application 5.136) on port
// "sim", broken off with the logger left in its bootloader: its row is never completed.
void BeginInterruptedPinnedRun(const TTempJournal& journal, const std::string& sStarted) {
    TJournalRun earlier;
    earlier.sProgram = "test";
    earlier.sPort = "sim";
    earlier.sStarted = sStarted;
    earlier.iSerial = 328297;
    earlier.iAppVersion = Kelvo::PinnedAppVersion;
    const TBl3FileHeader h = GetFwHeader(8);
    earlier.iBootClass = Kelvo::BootClassBL3;
    earlier.iBootVersion = h.quarn_bl_ver;
    earlier.iPlatform = h.quarn_platform;
    earlier.iPrint = h.quarn_print;
    TJournal::Open(journal.path.string())->Begin(earlier);
}

} // namespace

// A pinned logger in its bootloader (entry 8's hardware) on a port whose latest run was
// interrupted with a logger of that hardware, serial 328297 and application 5.136, left there. The
// port's name is all that ties them: a station's next logger could be anyone.
TEST(UpdateSession, APinThroughThePortNameIsAskedForOrNotApplied) {
    const std::string sStarted = "2026-12-10T08:00:00.000Z";
    const std::string sAsked = PinQuestionText(328297, sStarted);
    const std::string sNotTaken = PinNotTakenText(328297, sStarted);
    const std::string sDone8 = DoneText(8);
    const std::string sWaits = Texts::LoggerWaitsSerialUnknown;
    const struct {
        const char* sName;
        std::optional<bool> bAnswer; // none: nobody to ask
        std::uint32_t iLabel;
        std::int32_t iExit;
        std::string sOutcome;
        std::optional<std::uint32_t> iRowSerial;
        bool bAsked;
        std::string sLine; // a report line of the run
        bool bSerialUnknown;
    } aCases[] = {
        {"nobody to ask",
         {},
         0,
         Status::NoFittingImage,
         Texts::SerialUnknownOutcome,
         {},
         false,
         sNotTaken,
         true},
        {"answered yes", true, 0, 0, sDone8, 328297u, true,
         "Serial number 328297 taken from the interrupted update of " + sStarted, false},
        // The operator says it is another logger: the rule as for any logger in its bootloader,
        // and this one, pinned after all, takes image 7 badly.
        {"answered no",
         false,
         0,
         Status::WrongClassAfter,
         "Update was not successfull!",
         {},
         true,
         sNotTaken,
         true},
        {"the serial number from the label",
         {},
         328297,
         0,
         sDone8,
         328297u,
         false,
         LabelSerialText(328297),
         false},
    };
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TFastKelvo>();
    for (const auto& k : aCases) {
        SCOPED_TRACE(k.sName);
        TTempJournal journal;
        BeginInterruptedPinnedRun(journal, sStarted);
        TEntry8InBootloader logger;
        TSessionSettings settings;
        settings.sPort = "sim";
        settings.openPort = logger.fake.Opener();
        settings.iMaxRepeats = 0;
        settings.journal = TRunJournal::TStart{"test", "sim", "", ""};
        settings.iLabelSerial = k.iLabel;
        std::vector<TPinQuestion> aAsked;
        if (k.bAnswer) {
            settings.askPin = [&](const TPinQuestion& q) {
                aAsked.push_back(q);
                return *k.bAnswer;
            };
        }
        iFwIndex = -1;
        std::vector<std::string> aReport;
        const TRunResult r = TUpdateSession(settings, [&](const TStep& step) {
                                 if (step.action == TAction::Report)
                                     aReport.push_back(step.sText);
                             }).Run();
        EXPECT_EQ(r.ExitStatus(), k.iExit);
        EXPECT_EQ(r.sOutcome, k.sOutcome);
        EXPECT_EQ(aAsked.size(), k.bAsked ? 1u : 0u);
        if (!aAsked.empty()) {
            EXPECT_EQ(aAsked[0].iSerial, 328297u);
            EXPECT_EQ(aAsked[0].sStarted, sStarted);
            EXPECT_EQ(aAsked[0].sText, sAsked);
        }
        EXPECT_NE(std::find_if(aReport.begin(), aReport.end(),
                               [&](const std::string& s) { return s.starts_with(k.sLine); }),
                  aReport.end())
            << k.sLine;
        // A logger whose serial number nobody knows: only its label can help, not a new run.
        EXPECT_EQ(r.bSerialUnknown, k.bSerialUnknown);
        EXPECT_EQ(r.sNote, k.iExit == 0 ? "" : sWaits);
        const TJournalRun row = journal.Latest();
        EXPECT_EQ(row.iStatus, std::optional<std::int32_t>(k.iExit));
        EXPECT_EQ(row.sStatusText, k.sOutcome);
        EXPECT_EQ(row.iSerial, k.iRowSerial) << "never another logger's serial number";
        EXPECT_EQ(row.bLeftInBootloader, k.iExit != 0);
    }
    CommThreadClass = before;
    iFwIndex = -1;
}

// The question waits for the operator; a cancel meanwhile ends the run as cancelled.
TEST(UpdateSession, ACancelWhileThePinQuestionIsOpenEndsTheRun) {
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TFastKelvo>();
    TTempJournal journal;
    BeginInterruptedPinnedRun(journal, "");
    TEntry8InBootloader logger;
    TSessionSettings settings;
    settings.sPort = "sim";
    settings.openPort = logger.fake.Opener();
    settings.journal = TRunJournal::TStart{"test", "sim", "", ""};
    TUpdateSession* pSession = nullptr;
    settings.askPin = [&](const TPinQuestion&) {
        std::thread([&] { pSession->Cancel(); }).join(); // the operator, from elsewhere
        while (!bCancel)
            std::this_thread::sleep_for(1ms);
        return false;
    };
    TUpdateSession session(settings, [](const TStep&) {});
    pSession = &session;
    const TRunResult r = session.Run();
    EXPECT_EQ(r.ExitStatus(), Status::Cancelled);
    EXPECT_LE(logger.model.TakeRecord().size(), 2u) << "the hardware requests, nothing programmed";
    CommThreadClass = before;
    bCancel = false;
    iFwIndex = -1;
}
