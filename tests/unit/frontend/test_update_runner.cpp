// The run of an update whose worker's notifications do not all arrive: a run must still end, as
// the worker's own end says, instead of waiting for ever.
#include "frontend/uUpdateRunner.h"
#include "link/uExceptions1V0.h"
#include "link/uNotifyQueue.h"
#include "tests/support/FakeSerial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

TEST(UpdateRunner, EndsAsTheWorkerEndedWhenItsFinalNotificationIsLost) {
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
        TRunSettings settings;
        settings.sPort = "sim";
        settings.openPort = fake.Opener();
        settings.iRestartWaitMs = 0;
        settings.iNotifyWaitMs = 20;
        int iStarts = 0;
        std::vector<std::int32_t> aCodes;
        auto run = std::async(std::launch::async, [&] {
            return RunUpdate(settings, [&](std::int32_t iCode, std::int32_t, const TStep& step) {
                if (iCode == -1 && step.action == TAction::Report && step.sText == StartText("sim"))
                    ++iStarts;
                if (iCode != -1)
                    aCodes.push_back(iCode);
            });
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
TEST(UpdateRunner, AnExceptionFromTheSinkCancelsTheRunningAttempt) {
    const TCommThreadClass before = CommThreadClass;
    CommThreadClass = CommThreadClassOf<TPatientWorker>();
    TPatientWorker::bSawCancel = false;
    TFakeSerial fake;
    TRunSettings settings;
    settings.sPort = "sim";
    settings.openPort = fake.Opener();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(RunUpdate(settings,
                           [](std::int32_t iCode, std::int32_t, const TStep&) {
                               if (iCode == Notify::Class)
                                   throw std::runtime_error("the sink failed");
                           }),
                 std::runtime_error);
    EXPECT_TRUE(TPatientWorker::bSawCancel);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    CommThreadClass = before;
    bCancel = false;
}
