// Every exchange of an update against every fault the simulated logger can inject: the update
// ends in the status the protocol gives, repeats where it must, and leaves no port, descriptor or
// thread behind. The updater runs in this process (so descriptors and threads can be counted)
// against the simulator program on a pseudo-terminal.
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "frontend/uUpdateSession.h"
#include "link/uExceptions1V0.h"
#include "link/uRS232.h"
#include "sim/uLoggerModel.h"
#include "sim/uSimOptions.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The procedure with its fixed waits cut to a tenth: the simulated logger restarts at once, and
// the matrix is about outcomes, not timing. Attempt time limits stay real.
class TQuickKelvo : public TKelvoCommThread {
public:
    using TKelvoCommThread::TKelvoCommThread;

protected:
    void Sleep(std::int32_t iMs) override { TKelvoCommThread::Sleep(iMs / 10); }
};

std::size_t CountEntries(const char* sDir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(sDir))
        ++n;
    return n;
}

struct TOutcome {
    bool bSuccess = false;
    std::int32_t iStatus = 0;
    int iStarts = 0; // 1 + the repeats
    std::chrono::milliseconds tAfterCancel{0};
};

// Starts the simulator with aSimArgs, runs one update against it (at most one repeat) and checks
// that the port was closed and nothing was left behind.
using TCancelAt = std::function<bool(std::int32_t iCode, std::int32_t iValue)>;

TOutcome RunAgainst(const std::vector<std::string>& aSimArgs, const fs::path& dir,
                    const TCancelAt& cancelAt = nullptr, bool bSimSeesClose = true) {
    const bool bHangupRow = aSimArgs.back().find("hangup") != std::string::npos;
    // The procedure's waits are cut to a tenth here, 200 ms after the finish request: the
    // simulated logger restarts within that.
    std::vector<std::string> aArgs{"--verbose", "--restart-ms", "100"};
    aArgs.insert(aArgs.end(), aSimArgs.begin(), aSimArgs.end());
    TSimProcess sim(KELVO_SIM_EXE, dir, aArgs);
    const std::string sPort = sim.sPort;

    const std::size_t iFds = CountEntries("/proc/self/fd");
    const std::size_t iThreads = CountEntries("/proc/self/task");
    TOutcome o;
    std::chrono::steady_clock::time_point tCancel{};
    TSessionSettings settings;
    settings.sPort = sPort;
    settings.iMaxRepeats = 1;
    settings.iRestartWaitMs = 100;
    iFwIndex = -1;
    const TRunResult r =
        TUpdateSession(settings, [&](const TStep& step) {
            if (step.action == TAction::BeginUpdate)
                ++o.iStarts;
            if (cancelAt && tCancel == std::chrono::steady_clock::time_point{} &&
                step.action == TAction::Report && cancelAt(step.iCode, step.iNotified)) {
                // As Ctrl+C does: the flag of the running worker and the
                // operator's wish.
                tCancel = std::chrono::steady_clock::now();
                bInterrupted = true;
                bCancel = true;
            }
        }).Run();
    if (tCancel != std::chrono::steady_clock::time_point{})
        o.tAfterCancel = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - tCancel);
    o.bSuccess = r.bSuccess;
    o.iStatus = r.iStatus;
    EXPECT_EQ(CountEntries("/proc/self/fd"), iFds) << "descriptors left open";
    // A joined thread has ended, but the kernel may list it under /proc for a moment longer: only
    // one that stays is left running.
    const auto tThreadsEnd = std::chrono::steady_clock::now() + 1s;
    while (CountEntries("/proc/self/task") != iThreads &&
           std::chrono::steady_clock::now() < tThreadsEnd)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(CountEntries("/proc/self/task"), iThreads) << "threads left running";
    if (!bHangupRow) {
        TPortHandle hAgain = OpenComPort(sPort, 9600);
        EXPECT_TRUE(hAgain) << "the port opens again at once";
    }

    // The simulator notices a close at its next poll: on a busy machine that may take a while.
    const auto tSeenEnd = std::chrono::steady_clock::now() + 3s;
    while (bSimSeesClose && !bHangupRow &&
           ReadFile(dir / "sim.out.err").find("port closed") == std::string::npos &&
           std::chrono::steady_clock::now() < tSeenEnd)
        std::this_thread::sleep_for(10ms);
    const int iSimExit = sim.Stop();
    // The simulator saw the port closed (a hang-up fault ends it by itself). A port opened and
    // closed without a byte in between can pass unseen between two of its polls.
    if (iSimExit != 3) {
        EXPECT_EQ(iSimExit, 0);
        if (bSimSeesClose) {
            EXPECT_NE(ReadFile(dir / "sim.out.err").find("port closed"), std::string::npos);
        }
    }
    return o;
}

struct TRow {
    std::string sFault; // KIND:FAULT[:N[:TIMES]]
    bool bSuccess;
    std::int32_t iStatus; // when not successful
    int iStarts;
};

std::string RowName(const TRow& r) {
    return r.sFault;
}

// The rows, with what the protocol gives for each.
std::vector<TRow> Rows() {
    std::vector<TRow> a;
    const auto add = [&a](std::string s, bool b, std::int32_t i, int n) {
        a.push_back({std::move(s), b, i, n});
    };
    // Exchanges with an answer: one silent attempt is retried; five end the attempt series (a
    // command or a raising line exchange: status 30, repeated; the hardware reads: 46); a short
    // or corrupt answer is retried; a hang-up of the line is a port failure (11).
    const struct {
        const char* sKind;
        bool bReadRequest; // platform or update-ID: five failures give 46, not a repeat
    } aAnswered[] = {{"ident", false},    {"serial", false},   {"platform", true},
                     {"upid", true},      {"start", false},    {"line:1", false},
                     {"line:400", false}, {"line:783", false}, {"restart-ident", false}};
    for (const auto& k : aAnswered) {
        std::string sKind = k.sKind;
        std::string sAt = "1";
        if (const auto p = sKind.find(':'); p != std::string::npos) {
            sAt = sKind.substr(p + 1);
            sKind = sKind.substr(0, p);
        }
        add(sKind + ":noanswer:" + sAt, true, 0, 1);
        if (k.bReadRequest)
            add(sKind + ":noanswer:" + sAt + ":5", false, Status::BadHardwareReply, 1);
        else
            add(sKind + ":noanswer:" + sAt + ":5", true, 0, 2);
        add(sKind + ":short:" + sAt, true, 0, 1);
        add(sKind + ":corrupt:" + sAt, true, 0, 1);
        add(sKind + ":hangup:" + sAt, false, Status::PortIoError, 1);
    }
    // The logger flags an exception in a command answer.
    for (const char* s : {"ident", "serial", "restart-ident"})
        add(std::string(s) + ":exception", false, Status::LoggerException, 1);
    // An echo differing in one character: programming error, repeated, then programmed.
    for (const char* s : {"line:echo:1", "line:echo:400", "line:echo:783"})
        add(s, true, 0, 2);
    add("bootentry:stayapp", false, Status::WrongLogger, 1);
    add("bootentry:hangup", false, Status::PortIoError, 1);
    add("ident:wrongclass", false, Status::WrongLogger, 1);
    add("restart-ident:wrongclass", false, Status::WrongClassAfter, 1);
    // The finish request has no answer: unheard, the logger stays in its bootloader.
    add("finish:noanswer", false, Status::WrongClassAfter, 1);
    add("finish:hangup", false, Status::PortIoError, 1);
    return a;
}

} // namespace

class FaultMatrix : public ::testing::TestWithParam<TRow> {
protected:
    // A sanitizer runtime may start a thread of its own with the first thread of the process:
    // let that happen before threads are counted.
    static void SetUpTestSuite() {
        std::thread([] {}).join();
    }

    void SetUp() override {
        CommThreadClass = CommThreadClassOf<TQuickKelvo>();
        bCancel = false;
        bInterrupted = false;
        dir = fs::temp_directory_path() / ("kelvo-matrix-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        bCancel = false;
        bInterrupted = false;
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_P(FaultMatrix, EndsAsTheProtocolSays) {
    const TRow& row = GetParam();
    std::string sError;
    ASSERT_TRUE(ParseFault(row.sFault, sError)) << sError;
    const TOutcome o = RunAgainst({"--preset", "entry9", "--fault", row.sFault}, dir);
    EXPECT_EQ(o.bSuccess, row.bSuccess);
    if (!row.bSuccess) {
        EXPECT_EQ(o.iStatus, row.iStatus);
    }
    EXPECT_EQ(o.iStarts, row.iStarts) << "1 + the number of repeats";
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(Rows()), [](const auto& info) {
    std::string s = RowName(info.param);
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return s;
});

// Cancel at every stage: the update ends with status 20 within one attempt's time.
TEST_F(FaultMatrix, CancelAtEveryStage) {
    const struct {
        const char* sWhy;
        const char* sFault; // keeps the logger silent in that stage
        std::function<bool(std::int32_t, std::int32_t)> at;
    } aCases[] = {
        {"identification", "ident:noanswer:1:5",
         [](std::int32_t c, std::int32_t) {
             return c == -1;
         }},
        {"serial number", "serial:noanswer:1:5",
         [](std::int32_t c, std::int32_t v) {
             return c == 21 && v == 0x058A;
         }},
        {"hardware reads", "platform:noanswer:1:5",
         [](std::int32_t c, std::int32_t v) {
             return c == 20 && v == 51202;
         }},
        {"transfer", "line:noanswer:10:5",
         [](std::int32_t c, std::int32_t) {
             return c == 1;
         }},
        {"after the restart", "restart-ident:noanswer:1:5",
         [](std::int32_t c, std::int32_t v) {
             return c == 40 && v == 1;
         }},
    };
    for (const auto& c : aCases) {
        bCancel = false;
        bInterrupted = false;
        const TOutcome o = RunAgainst({"--preset", "entry9", "--fault", c.sFault}, dir, c.at,
                                      c.at(-1, 0) == false);
        EXPECT_FALSE(o.bSuccess) << c.sWhy;
        EXPECT_EQ(o.iStatus, Status::Cancelled) << c.sWhy;
        EXPECT_EQ(o.iStarts, 1) << c.sWhy;
        // One attempt: a read of up to 139 bytes (339 ms), a pause, plus the shortened waits.
        EXPECT_LT(o.tAfterCancel.count(), 800) << c.sWhy;
    }
}

// The logger hears nothing while it restarts after the finish request: an updater that asked
// before its 2,000 ms wait was over (a tenth of it here) gets no answer and does not succeed.
TEST_F(FaultMatrix, AnUpdaterThatAsksTooEarlyAfterTheRestartFails) {
    const TOutcome o = RunAgainst({"--preset", "entry9", "--restart-ms", "1500"}, dir);
    EXPECT_FALSE(o.bSuccess);
    EXPECT_EQ(o.iStatus, Status::NoAnswer);
}
