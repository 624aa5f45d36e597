#include "TestWorker.h"

#include "hexline/uConvert1V0.h"

using Lines = LinkFixture;

namespace {

TBytes Text(const std::string& s) {
    return TBytes(s.begin(), s.end());
}

// The reply of the read-platform request: six data bytes.
const std::string PlatformReply = ":06000005000C00260001C2";

} // namespace

TEST(LineCrc, UpdateIdRecordIsLittleEndian) {
    const std::uint8_t aRecord[10] = {0x01, 0x66, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(TCommThread::calculateCRC16(26113, 0, 0, 0, 0), CalcCRC16(aRecord, 10));
    const std::uint8_t aMixed[10] = {0x01, 0x66, 0x34, 0x12, 0x0C, 0x00, 0x26, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(TCommThread::calculateCRC16(26113, 0x1234, 12, 38, 0xFFFF), CalcCRC16(aMixed, 10));
}

TEST_F(Lines, ReplyFixtureIsAValidLine) {
    sHexLine = PlatformReply;
    ASSERT_TRUE(HexLineToRec());
    EXPECT_EQ(HexRec.Count, 6);
}

TEST_F(Lines, NoReplyExpectedWritesAndReadsNothing) {
    ASSERT_TRUE(w.TxRxLine(":0100000533C7", 0));
    EXPECT_EQ(fake.Writes, std::vector<TBytes>{Text(":0100000533C7")});
    EXPECT_EQ(fake.iReads, 0);
    EXPECT_EQ(w.FRxCnt, 0);
    std::string s = "old";
    w.GetRxLine(s);
    EXPECT_EQ(s, "");
}

TEST_F(Lines, ValidReplyIsKeptAsText) {
    fake.QueueReply(Text(PlatformReply));
    ASSERT_TRUE(w.SendLine(":0100000520DA", 6, true));
    EXPECT_EQ(fake.Calls, (std::vector{TSerialCall::ClearErrors, TSerialCall::Purge,
                                       TSerialCall::Write, TSerialCall::Read}));
    EXPECT_EQ(w.FRxCnt, 23);
    std::string s;
    w.GetRxLine(s);
    EXPECT_EQ(s, PlatformReply);
}

TEST_F(Lines, BadRepliesFailTheAttempt) {
    std::string sBadSum = PlatformReply;
    sBadSum.back() = '3';
    std::string sLower = PlatformReply;
    sLower[9] = 'c';
    const struct {
        const char* sWhy;
        std::string sReply;
    } aCases[] = {
        {"silence", ""},
        {"one byte short", PlatformReply.substr(0, PlatformReply.size() - 1)},
        {"wrong checksum", sBadSum},
        {"lower-case digit", sLower},
    };
    for (const auto& c : aCases) {
        TFakeSerial f;
        TRecorder r;
        TTestWorker worker{r, 0, "fake"};
        worker.FhPort = f.Open();
        f.QueueReply(Text(c.sReply));
        EXPECT_FALSE(worker.TxRxLine(":0100000520DA", 6)) << c.sWhy;
        EXPECT_EQ(worker.FRxCnt, 23) << c.sWhy << ": the expected length, whatever came";
    }
}

TEST_F(Lines, FiveFailedAttemptsRaiseOrReturnFalse) {
    EXPECT_EQ(StatusOf([&] { w.SendLine(":0100000531C9", 1, true); }), 30);
    EXPECT_EQ(fake.Writes.size(), 5u);
    EXPECT_EQ(w.aPauses, (std::vector<std::int32_t>{100, 100, 100, 100}));

    TFakeSerial f;
    TRecorder r;
    TTestWorker worker{r, 0, "fake"};
    worker.FhPort = f.Open();
    EXPECT_FALSE(worker.SendLine(":0100000520DA", 6, false));
    EXPECT_EQ(f.Writes.size(), 5u);
}

TEST_F(Lines, FailingCallsAndShortWritesGiveStatus11AtOnce) {
    const struct {
        TSerialCall call;
        const char* sName;
    } aCases[] = {{TSerialCall::ClearErrors, "ClearCommError"},
                  {TSerialCall::Purge, "PurgeComm"},
                  {TSerialCall::Write, "WriteFile"},
                  {TSerialCall::Read, "ReadFile"}};
    for (const auto& c : aCases) {
        TFakeSerial f;
        TRecorder r;
        TTestWorker worker{r, 0, "fake"};
        worker.FhPort = f.Open();
        f.FailNext(c.call);
        std::string sMsg;
        EXPECT_EQ(StatusOf([&] { worker.SendLine(":0100000520DA", 6, false); }, &sMsg), 11);
        EXPECT_EQ(sMsg, c.sName);
    }
    fake.ShortWriteNext();
    std::string sMsg;
    EXPECT_EQ(StatusOf([&] { w.SendLine(":0100000533C7", 0, false); }, &sMsg), 11);
    EXPECT_EQ(sMsg, "WriteFile <> txCnt");
    EXPECT_TRUE(w.aPauses.empty());
}

TEST_F(Lines, CancelBeforeALineWritesNothing) {
    bCancel = true;
    EXPECT_EQ(StatusOf([&] { w.SendLine(":0100000531C9", 1, false); }), 20);
    EXPECT_TRUE(fake.Writes.empty());
}
