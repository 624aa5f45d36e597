#include "TestWorker.h"

#include <stdexcept>

namespace {

using TPosts = std::vector<std::pair<std::int32_t, std::int32_t>>;
const TBytes WakeUp(8, 0);

// Runs one worker on the fake through the factory and waits for it.
void RunWorker(TFakeSerial& fake, TRecorder& rec, std::int32_t cmd,
               std::function<void(TTestWorker&)> procedure, bool bOpenFails = false) {
    TTestWorker::Procedure = std::move(procedure);
    const auto create = CommThreadClassOf<TTestWorker>();
    TCommThreadPtr p = create(rec, cmd, "COM7", fake.Opener(bOpenFails), nullptr);
    p->WaitFor();
    EXPECT_TRUE(p->Finished());
    TTestWorker::Procedure = nullptr;
}

} // namespace

struct Worker : ::testing::Test {
    TFakeSerial fake;
    TRecorder rec{&fake};
    void SetUp() override { bCancel = false; }
    void TearDown() override { bCancel = false; }
};

TEST_F(Worker, SuccessWakesTheLoggerTwiceAndEndsWithDoneAfterClose) {
    RunWorker(fake, rec, 7, [](TTestWorker& w) {
        EXPECT_EQ(w.aPauses, (std::vector<std::int32_t>{100, 100}));
        w.SetProgress(50, 100);
    });
    EXPECT_EQ(fake.sOpenedPort, "COM7");
    EXPECT_EQ(fake.Writes, (std::vector{WakeUp, WakeUp}));
    EXPECT_EQ(rec.aPosts, (TPosts{{1, 49}, {0, 7}}));
    EXPECT_EQ(rec.aClosedAtPost, (std::vector{false, true}));
}

TEST_F(Worker, PortThatCannotBeOpenedPostsExactlyStatus10) {
    RunWorker(
        fake, rec, 0, [](TTestWorker&) { ADD_FAILURE() << "no procedure without a port"; }, true);
    EXPECT_EQ(rec.aPosts, (TPosts{{10, 10}}));
    EXPECT_TRUE(fake.Calls.empty());
}

TEST_F(Worker, EveryEndingBecomesOneFinalNotificationAfterClose) {
    const struct {
        const char* sWhy;
        std::function<void(TTestWorker&)> procedure;
        std::pair<std::int32_t, std::int32_t> final;
    } aCases[] = {
        {"no answer", [](TTestWorker&) { throw EQuarn(30); }, {13, 5}},
        {"programming error", [](TTestWorker&) { throw EQuarn(44, "echo"); }, {10, 44}},
        {"status with info", [](TTestWorker&) { throw EQuarn(47, 3); }, {10, 47}},
        {"standard exception", [](TTestWorker&) { throw std::runtime_error("x"); }, {10, 0}},
        {"foreign exception", [](TTestWorker&) { throw 42; }, {10, 0}},
        {"silent logger",
         [](TTestWorker& w) { w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); },
         {13, 5}},
    };
    for (const auto& c : aCases) {
        TFakeSerial f;
        TRecorder r{&f};
        RunWorker(f, r, 5, c.procedure);
        EXPECT_EQ(r.aPosts, (TPosts{c.final})) << c.sWhy;
        EXPECT_EQ(r.aClosedAtPost, std::vector{true}) << c.sWhy;
    }
}

TEST_F(Worker, WakeUpFailures) {
    fake.FailNext(TSerialCall::Write);
    RunWorker(fake, rec, 3, [](TTestWorker&) { ADD_FAILURE(); });
    EXPECT_EQ(rec.aPosts, (TPosts{{10, 11}}));

    TFakeSerial f;
    TRecorder r{&f};
    f.ShortWriteNext(5);
    RunWorker(f, r, 3, [](TTestWorker&) { ADD_FAILURE(); });
    EXPECT_EQ(r.aPosts, (TPosts{{13, 3}}));
    EXPECT_EQ(r.aClosedAtPost, std::vector{true});
}

TEST_F(Worker, CancelledBeforeStartEndsWithStatus20WithoutWriting) {
    bCancel = true;
    RunWorker(fake, rec, 0, [](TTestWorker&) { ADD_FAILURE(); });
    EXPECT_EQ(rec.aPosts, (TPosts{{10, 20}}));
    EXPECT_TRUE(fake.Writes.empty());
    EXPECT_TRUE(fake.bClosed);
}

TEST(Progress, PercentageIsTruncatedClampedAndPostedOnChange) {
    TRecorder r;
    TTestWorker w{r, 0, "fake"};
    w.ResetProgress();
    w.SetProgress(0, 744);
    EXPECT_TRUE(r.aPosts.empty());
    w.SetProgress(743, 744);
    w.SetProgress(743, 744);
    w.SetProgress(750, 744);
    w.SetProgress(-5, 744);
    w.SetProgress(-5, 744);
    w.SetProgress(10, 0);
    w.SetProgress(744, 744);
    w.SetProgress(10, 0);
    w.SetProgress(0x7FFFFFFF, 0x7FFFFFFF);
    EXPECT_EQ(r.aPosts, (TPosts{{1, 98}, {1, 99}, {1, 0}, {1, 99}, {1, 0}, {1, 99}}));
    w.ResetProgress();
    EXPECT_EQ(w.FnProgres, 0);
}
