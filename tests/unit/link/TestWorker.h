// A worker whose device procedure is a test's function, with its pauses recorded instead of slept.
#pragma once

#include "hexline/uConvert1V0.h"
#include "link/uCommThread.h"
#include "link/uExceptions1V0.h"
#include "tests/support/FakeSerial.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

class TTestWorker : public TCommThread {
public:
    using TCommThread::FhPort;
    using TCommThread::FnProgres;
    using TCommThread::FRxBuffer;
    using TCommThread::FRxCnt;
    using TCommThread::GetRxLine;
    using TCommThread::ResetProgress;
    using TCommThread::SendCommand;
    using TCommThread::SendLine;
    using TCommThread::SetProgress;
    using TCommThread::TCommThread;
    using TCommThread::TxRxFrame;
    using TCommThread::TxRxLine;

    // What DoProcess does; set before the thread starts.
    static inline std::function<void(TTestWorker&)> Procedure;
    std::vector<std::int32_t> aPauses;

protected:
    void DoProcess() override {
        if (Procedure)
            Procedure(*this);
    }
    void Sleep(std::int32_t iMs) override { aPauses.push_back(iMs); }
};

// Records notifications; also notes whether the fake port was closed when each arrived.
class TRecorder final : public TNotifyTarget {
public:
    explicit TRecorder(const TFakeSerial* pPort = nullptr) : FpPort(pPort) {}
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override {
        aPosts.push_back({iCode, iValue});
        aClosedAtPost.push_back(FpPort != nullptr && FpPort->bClosed);
    }
    std::vector<std::pair<std::int32_t, std::int32_t>> aPosts;
    std::vector<bool> aClosedAtPost;

private:
    const TFakeSerial* FpPort;
};

// Runs f and returns the status of the EQuarn it raises (-1 when it raises none).
template <class F> std::int32_t StatusOf(F&& f, std::string* pMsg = nullptr) {
    try {
        f();
    } catch (const EQuarn& e) {
        if (pMsg)
            *pMsg = e.what();
        return e.iException;
    }
    return -1;
}

// A worker on a fake port, not started: its exchanges are called from the test thread.
struct LinkFixture : ::testing::Test {
    TFakeSerial fake;
    TRecorder rec{&fake};
    TTestWorker w{rec, 0, "fake"};

    void SetUp() override {
        bCancel = false;
        w.FhPort = fake.Open();
    }
    void TearDown() override { bCancel = false; }
};
