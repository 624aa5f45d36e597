#include "TestWorker.h"

using Frames = LinkFixture;

namespace {
const TBytes IdentAnswer = AnswerFrame(0x00, 0x00, 0x66, 0x01, 0x05, 0x88, 0x00);
}

TEST_F(Frames, ExactBytesOfEveryFrame) {
    const struct {
        bool bAnswer;
        std::uint8_t iCmd;
        std::array<std::uint8_t, 6> d;
        TBytes aFrame;
    } aCases[] = {
        {false, 255, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {false, 255, {1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {true, 1, {0, 0, 0, 0, 0, 0}, {0x81, 0, 0, 0, 0, 0, 0, 0xAA}},
        {true, 1, {3, 0, 0, 0, 0, 0}, {0x81, 3, 0, 0, 0, 0, 0, 0xF3}},
        {false, 5, {3, 0xA5, 0x5A, 0, 0, 0}, {0x85, 3, 0xA5, 0x5A, 0, 0, 0, 0x25}},
        {false, 0x85, {3, 0xA5, 0x5A, 0, 0, 0}, {0x85, 3, 0xA5, 0x5A, 0, 0, 0, 0x25}},
    };
    for (const auto& c : aCases) {
        if (c.bAnswer)
            fake.QueueReply(IdentAnswer);
        ASSERT_TRUE(
            w.SendCommand(c.bAnswer, c.iCmd, c.d[0], c.d[1], c.d[2], c.d[3], c.d[4], c.d[5]));
        EXPECT_EQ(fake.Writes.back(), c.aFrame) << "command " << int(c.iCmd);
    }
    EXPECT_EQ(fake.Writes.size(), std::size(aCases));
    EXPECT_TRUE(w.aPauses.empty());
}

TEST_F(Frames, OneAttemptCallsInOrderAndKeepsTheAnswer) {
    fake.QueueReply(IdentAnswer);
    ASSERT_TRUE(w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(fake.Calls, (std::vector{TSerialCall::ClearErrors, TSerialCall::Purge,
                                       TSerialCall::Write, TSerialCall::Read}));
    EXPECT_EQ(MakeWord(w.FRxBuffer[2], w.FRxBuffer[3]), 26113);
}

TEST_F(Frames, NoAnswerAwaitedSucceedsAfterTheWrite) {
    ASSERT_TRUE(w.SendCommand(false, 5, 3, 0xA5, 0x5A, 0, 0, 0));
    EXPECT_EQ(fake.iReads, 0);
}

TEST_F(Frames, BadAnswersAreRetriedFiveTimesThenStatus30) {
    TBytes aWrongCheck = IdentAnswer;
    aWrongCheck[7] ^= 0x01;
    TBytes aExceptionWrongCheck = AnswerFrame(0x20, 0, 0, 0, 0, 0, 0);
    aExceptionWrongCheck[7] ^= 0x40;
    const struct {
        const char* sWhy;
        TBytes aReply;
    } aCases[] = {
        {"silence", {}},
        {"seven bytes", TBytes(IdentAnswer.begin(), IdentAnswer.end() - 1)},
        {"wrong check byte", aWrongCheck},
        {"exception bit with wrong check byte", aExceptionWrongCheck},
    };
    for (const auto& c : aCases) {
        TFakeSerial f;
        TRecorder r;
        TTestWorker worker{r, 0, "fake"};
        worker.FhPort = f.Open();
        for (int i = 0; i < 5; ++i)
            f.QueueReply(c.aReply);
        EXPECT_EQ(StatusOf([&] { worker.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); }), 30) << c.sWhy;
        EXPECT_EQ(f.Writes.size(), 5u) << c.sWhy;
        EXPECT_EQ(worker.aPauses, (std::vector<std::int32_t>{100, 100, 100, 100})) << c.sWhy;
    }
}

TEST_F(Frames, RecoversWhenALaterAttemptSucceeds) {
    fake.QueueSilence(2);
    fake.QueueReply(IdentAnswer);
    ASSERT_TRUE(w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(fake.Writes.size(), 3u);
    EXPECT_EQ(w.aPauses.size(), 2u);
}

TEST_F(Frames, ShortWritesAreRetried) {
    fake.ShortWriteNext(5);
    EXPECT_EQ(StatusOf([&] { w.SendCommand(false, 255, 0, 0, 0, 0, 0, 0); }), 30);
    EXPECT_EQ(fake.Writes.size(), 5u);
}

TEST_F(Frames, ExceptionBitGivesStatus41AtOnce) {
    fake.QueueReply(AnswerFrame(0x20, 0, 0x66, 0x01, 0, 0, 0));
    std::string sMsg;
    EXPECT_EQ(StatusOf([&] { w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); }, &sMsg), 41);
    EXPECT_EQ(sMsg, "Quarn Exception!");
    EXPECT_EQ(fake.Writes.size(), 1u);
}

TEST_F(Frames, OtherStatusBitsAreIgnored) {
    fake.QueueReply(AnswerFrame(0xDF, 0, 0x66, 0x01, 0, 0, 0));
    EXPECT_TRUE(w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0));
}

TEST_F(Frames, FailingSystemCallGivesStatus11WithItsNameAndReason) {
    // The port's own reason goes to the run, where the report finds it; without one, the call.
    const struct {
        TSerialCall call;
        const char* sName;
        const char* sWhy;
        const char* sReason;
    } aCases[] = {{TSerialCall::ClearErrors, "ClearCommError", "", "ClearCommError failed"},
                  {TSerialCall::Purge, "PurgeComm", "", "PurgeComm failed"},
                  {TSerialCall::Write, "WriteFile",
                   "the device was disconnected (Input/output error)",
                   "the device was disconnected (Input/output error)"},
                  {TSerialCall::Read, "ReadFile", "the device was disconnected (hang-up)",
                   "the device was disconnected (hang-up)"}};
    for (const auto& c : aCases) {
        TFakeSerial f;
        TRecorder r;
        TRunRecord run;
        TTestWorker worker{r, 0, "fake", OpenComPort, &run};
        worker.FhPort = f.Open();
        f.FailNext(c.call, 1, c.sWhy);
        std::string sMsg;
        EXPECT_EQ(StatusOf([&] { worker.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); }, &sMsg), 11);
        EXPECT_EQ(sMsg, c.sName);
        EXPECT_EQ(run.sPortReason, c.sReason);
        EXPECT_TRUE(worker.aPauses.empty()) << c.sName << ": no retry";
        EXPECT_LE(f.Writes.size(), 1u);
    }
}

TEST_F(Frames, CancelBeforeTheFirstAttemptWritesNothing) {
    bCancel = true;
    std::string sMsg = "x";
    EXPECT_EQ(StatusOf([&] { w.SendCommand(false, 255, 0, 0, 0, 0, 0, 0); }, &sMsg), 20);
    EXPECT_EQ(sMsg, "");
    EXPECT_TRUE(fake.Calls.empty());
}

TEST_F(Frames, CancelTakesEffectAtTheNextAttempt) {
    fake.OnRead = [](int iRead) {
        if (iRead == 2)
            bCancel = true;
    };
    EXPECT_EQ(StatusOf([&] { w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); }), 20);
    EXPECT_EQ(fake.Writes.size(), 2u);
}

TEST_F(Frames, CancelDuringTheFifthAttemptStillGivesStatus30) {
    fake.OnRead = [](int iRead) {
        if (iRead == 5)
            bCancel = true;
    };
    EXPECT_EQ(StatusOf([&] { w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); }), 30);
    EXPECT_EQ(fake.Writes.size(), 5u);
}

TEST_F(Frames, CancelDoesNotUndoASucceedingAttempt) {
    fake.QueueReply(IdentAnswer);
    fake.OnRead = [](int) {
        bCancel = true;
    };
    EXPECT_TRUE(w.SendCommand(true, 1, 0, 0, 0, 0, 0, 0));
}
