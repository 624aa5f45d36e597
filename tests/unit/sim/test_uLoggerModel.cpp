// The simulated logger, byte in and byte out. Requests and replies are built and checked with the
// updater's own HEX codec, so that model and host are held to the same line format.
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "hexline/uConvert1V0.h"
#include "sim/uLoggerModel.h"
#include "sim/uSimOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Frame(std::uint8_t iCmd, std::array<std::uint8_t, 6> aData) {
    TBytes a(8, 0);
    a[0] = static_cast<std::uint8_t>(iCmd | 0x80);
    std::copy(aData.begin(), aData.end(), a.begin() + 1);
    a[7] = CalcCRC8(a.data(), 7);
    return a;
}

const TBytes Ident = Frame(1, {0, 0, 0, 0, 0, 0});
const TBytes Serial = Frame(1, {3, 0, 0, 0, 0, 0});
const TBytes BootEntry = Frame(5, {3, 0xA5, 0x5A, 0, 0, 0});

TBytes Bytes(const std::string& s) {
    return TBytes(s.begin(), s.end());
}
std::string Text(const TBytes& a) {
    return std::string(a.begin(), a.end());
}

// A line formatted by the updater's codec.
std::string Line(std::uint16_t iAddress, std::uint8_t iType, const TBytes& aData) {
    HexRec = {};
    HexRec.Count = static_cast<std::uint8_t>(aData.size());
    HexRec.AddrHi = static_cast<std::uint8_t>(iAddress >> 8);
    HexRec.AddrLo = static_cast<std::uint8_t>(iAddress);
    HexRec.RecType = iType;
    std::copy(aData.begin(), aData.end(), HexRec.Data.begin());
    EXPECT_TRUE(HexRecToLine());
    return sHexLine;
}
std::string Request(std::uint8_t iCode, std::uint16_t iAddress = 0) {
    return Line(iAddress, 5, {iCode});
}
// A 64-byte data line whose bytes depend on the seed.
std::string DataLine(std::uint16_t iAddress, std::uint8_t iSeed) {
    TBytes a(64);
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<std::uint8_t>(iSeed * 31 + i * 7);
    return Line(iAddress, 0, a);
}

// A reply parsed by the updater's codec; empty when it does not parse.
std::optional<THexRec> Parse(const TBytes& a) {
    sHexLine = Text(a);
    if (!HexLineToRec())
        return std::nullopt;
    return HexRec;
}

std::uint16_t AnswerClass(const TBytes& a) {
    return MakeWord(a.at(2), a.at(3));
}
std::uint16_t AnswerVersion(const TBytes& a) {
    return MakeWord(a.at(4), a.at(5));
}
bool FrameCheckHolds(const TBytes& a) {
    return a.size() == 8 && CalcCRC8(a.data(), 7) == a[7];
}

TLoggerConfig BootloaderConfig(std::uint16_t iBlClass, std::uint16_t iPlatform = 12) {
    TLoggerConfig config;
    config.iBlClass = iBlClass;
    config.iPlatform = iPlatform;
    config.bStartInBootloader = true;
    return config;
}

// A logger that expects the given lines as its image.
TLoggerConfig ExpectingImage(TLoggerConfig config, std::vector<std::string> aLines,
                             std::uint16_t iVersion = 0x0600) {
    config.iImage = 0;
    config.image = {iVersion, std::move(aLines)};
    return config;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Command frames

TEST(LoggerModelFrames, IdentificationAnswersApplicationThenBootloader) {
    TLoggerModel model({});
    // Status 0, class 26113 and version 5.138 big-endian, check byte over bytes 0-6.
    const TBytes aApp = model.Receive(Ident.data(), Ident.size());
    EXPECT_EQ(aApp, (TBytes{0x00, 0x00, 0x66, 0x01, 0x05, 0x8A, 0x00, 0xFF}));
    EXPECT_TRUE(FrameCheckHolds(aApp));

    EXPECT_TRUE(model.Receive(BootEntry.data(), BootEntry.size()).empty());
    EXPECT_EQ(model.State(), TLoggerModel::TState::Bootloader);
    const TBytes aBl = model.Receive(Ident.data(), Ident.size());
    ASSERT_TRUE(FrameCheckHolds(aBl));
    EXPECT_EQ(aBl[0], 0x00);
    EXPECT_EQ(AnswerClass(aBl), 51202);
    EXPECT_EQ(AnswerVersion(aBl), 0);
}

TEST(LoggerModelFrames, IdentificationReportsTheConfiguredCodes) {
    struct TCase {
        std::uint16_t iBlClass;
        std::uint16_t iBlVersion;
        bool bStartInBootloader;
        std::uint16_t iClass;
        std::uint16_t iVersion;
    };
    for (const TCase& c :
         {TCase{51201, 1, true, 51201, 1}, TCase{51200, 0x0102, true, 51200, 0x0102},
          TCase{51202, 0xABCD, true, 51202, 0xABCD}, TCase{51201, 1, false, 26200, 0x1234}}) {
        TLoggerConfig config;
        config.iAppClass = 26200;
        config.iAppVersion = 0x1234;
        config.iBlClass = c.iBlClass;
        config.iBlVersion = c.iBlVersion;
        config.bStartInBootloader = c.bStartInBootloader;
        TLoggerModel model(config);
        const TBytes a = model.Receive(Ident.data(), Ident.size());
        ASSERT_TRUE(FrameCheckHolds(a)) << c.iBlClass;
        EXPECT_EQ(AnswerClass(a), c.iClass);
        EXPECT_EQ(AnswerVersion(a), c.iVersion);
    }
}

TEST(LoggerModelFrames, SerialNumberLeastSignificantByteFirst) {
    for (const std::uint32_t iSerial : {328297u, 0xA1B2C3D4u}) {
        TLoggerConfig config;
        config.iSerial = iSerial;
        TLoggerModel model(config);
        const TBytes a = model.Receive(Serial.data(), Serial.size());
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(a[1], static_cast<std::uint8_t>(iSerial));
        EXPECT_EQ(MakeSerial(a[4], a[3], a[2], a[1]), iSerial);
    }
}

TEST(LoggerModelFrames, InputThatMakesNoSenseGetsNoAnswerAndChangesNothing) {
    TBytes aBadCheck = Ident;
    aBadCheck[7] ^= 0x01;
    TBytes aNoBit7 = Ident;
    aNoBit7[0] = 0x01;
    aNoBit7[7] = CalcCRC8(aNoBit7.data(), 7);
    struct TCase {
        const char* sWhat;
        bool bInBootloader;
        TBytes aInput;
    };
    const TCase aCases[] = {
        {"wake-up frame", false, TBytes(8, 0)},
        {"wrong check byte", false, aBadCheck},
        {"command without bit 7", false, aNoBit7},
        {"identification with a data byte set", false, Frame(1, {0, 0, 0, 0, 0, 1})},
        {"unknown command", false, Frame(2, {0, 0, 0, 0, 0, 0})},
        {"bootloader entry with other data", false, Frame(5, {3, 0xA5, 0x5B, 0, 0, 0})},
        {"serial number in the bootloader", true, Serial},
        {"bootloader entry in the bootloader", true, BootEntry},
        {"HEX request in the application", false, Bytes(Request(0x20))},
    };
    for (const TCase& c : aCases) {
        TLoggerConfig config;
        config.bStartInBootloader = c.bInBootloader;
        TLoggerModel model(config);
        EXPECT_TRUE(model.Receive(c.aInput.data(), c.aInput.size()).empty()) << c.sWhat;
        EXPECT_EQ(model.State(), c.bInBootloader ? TLoggerModel::TState::Bootloader
                                                 : TLoggerModel::TState::Application)
            << c.sWhat;
        // Still in step: the next identification is answered.
        EXPECT_EQ(model.Receive(Ident.data(), Ident.size()).size(), 8u) << c.sWhat;
    }
}

// ---------------------------------------------------------------------------------------------
// Bootloader requests

TEST(LoggerModelRequests, PlatformReplyIsBigEndian) {
    TLoggerConfig config = BootloaderConfig(51201, 1);
    config.iPrint = 2;
    config.iInfo = 0x1234;
    TLoggerModel model(config);
    const auto rec = Parse(model.Receive(":0100000520DA"));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->Count, 6);
    EXPECT_EQ(rec->Address(), 0);
    EXPECT_EQ(TBytes(rec->Data.begin(), rec->Data.begin() + 6),
              (TBytes{0x00, 0x01, 0x00, 0x02, 0x12, 0x34}));
}

TEST(LoggerModelRequests, UpdateIdBlockOnlyAtTheLayoutAddress) {
    struct TCase {
        std::uint16_t iBlClass;
        std::uint16_t iPlatform;
        std::uint16_t iAddress; // where the block is answered
        std::uint16_t iOther;   // an address that gets no reply
    };
    const TCase aCases[] = {
        {51201, 1, 0x1000, 0x0040},  // byte address
        {51202, 12, 0x0060, 0x1800}, // block address: 0x1800 / 64
        {51202, 8, 0x0064, 0x0060},  // 0x1900 / 64
        {51201, 0, 0x0000, 0x1000},  // platform without region 0
    };
    for (const TCase& c : aCases) {
        TLoggerConfig config = BootloaderConfig(c.iBlClass, c.iPlatform);
        config.iPrint = 30;
        config.iUpidInfo = 0x0102;
        config.iUpidReserve = 0xBEEF;
        TLoggerModel model(config);
        EXPECT_EQ(model.UpidAddress(), c.iAddress);
        EXPECT_TRUE(model.Receive(Request(0x30, c.iOther)).empty()) << c.iPlatform;

        const auto rec = Parse(model.Receive(Request(0x30, c.iAddress)));
        ASSERT_TRUE(rec) << c.iPlatform;
        EXPECT_EQ(rec->Count, 64);
        EXPECT_EQ(rec->Address(), c.iAddress);
        const auto& d = rec->Data;
        EXPECT_EQ(MakeWord(d[1], d[0]), 26113);
        EXPECT_EQ(MakeWord(d[3], d[2]), 0x0102);
        EXPECT_EQ(MakeWord(d[5], d[4]), c.iPlatform);
        EXPECT_EQ(MakeWord(d[7], d[6]), 30);
        EXPECT_EQ(MakeWord(d[9], d[8]), 0xBEEF);
        EXPECT_EQ(MakeWord(d[11], d[10]), CalcCRC16(d.data(), 10));
        for (std::size_t i = 12; i < 64; ++i)
            EXPECT_EQ(d[i], 0xFF) << i;
    }
    // The documented request texts.
    TLoggerModel bl2(BootloaderConfig(51201, 1));
    EXPECT_EQ(bl2.Receive(":0110000530BA").size(), 139u);
    TLoggerModel bl3(BootloaderConfig(51202, 12));
    EXPECT_EQ(bl3.Receive(":01006005306A").size(), 139u);
}

TEST(LoggerModelRequests, UpdateIdBlockFieldsAndCrcModes) {
    TLoggerConfig config = BootloaderConfig(51202, 12);
    config.iUpidClass = 26120;
    config.iUpidPlatform = 7;
    config.iUpidPrint = 9;
    for (const TUpidCrc eCrc : {TUpidCrc::Valid, TUpidCrc::Wrong, TUpidCrc::Erased}) {
        config.eUpidCrc = eCrc;
        TLoggerModel model(config);
        const auto rec = Parse(model.Receive(":01006005306A"));
        ASSERT_TRUE(rec);
        const auto& d = rec->Data;
        const std::uint16_t iStored = MakeWord(d[11], d[10]);
        if (eCrc == TUpidCrc::Erased) {
            EXPECT_TRUE(std::all_of(d.begin(), d.begin() + 64, [](auto b) { return b == 0xFF; }));
            continue;
        }
        EXPECT_EQ(MakeWord(d[1], d[0]), 26120);
        EXPECT_EQ(MakeWord(d[5], d[4]), 7);
        EXPECT_EQ(MakeWord(d[7], d[6]), 9);
        EXPECT_EQ(iStored == CalcCRC16(d.data(), 10), eCrc == TUpidCrc::Valid);
    }
}

TEST(LoggerModelRequests, TransferEchoesDataLinesAndRestartsIntoTheApplication) {
    for (const std::optional<std::uint16_t> iAfter :
         {std::optional<std::uint16_t>(), std::optional<std::uint16_t>(26120)}) {
        const std::string aLine[] = {DataLine(0x0128, 1), DataLine(0x0129, 2), DataLine(0x03DF, 3)};
        const std::string sShort = Line(0x0400, 0, TBytes(32, 0x55));
        TLoggerConfig config =
            ExpectingImage({}, {aLine[0], aLine[1], sShort, aLine[2], ":00000001FF"}, 0x0601);
        config.iClassAfterRestart = iAfter;
        TLoggerModel model(config);
        model.Receive(BootEntry.data(), BootEntry.size());
        const std::string sEarly = DataLine(0x0128, 1);
        EXPECT_TRUE(model.Receive(sEarly).empty()) << "no programming before the start request";

        const auto start = Parse(model.Receive(":0100000531C9"));
        ASSERT_TRUE(start);
        EXPECT_EQ(start->Count, 1);
        EXPECT_TRUE(model.ProgrammingOpen());
        for (const std::string& s : aLine)
            EXPECT_EQ(Text(model.Receive(s)), s);
        EXPECT_TRUE(model.Receive(sShort).empty()) << "only 64-byte data lines are programmed";
        EXPECT_TRUE(model.Receive(":00000001FF").empty());

        EXPECT_TRUE(model.Receive(":0100000533C7").empty());
        EXPECT_EQ(model.State(), TLoggerModel::TState::Application);
        EXPECT_FALSE(model.ProgrammingOpen());
        const TBytes a = model.Receive(Ident.data(), Ident.size());
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(AnswerClass(a), iAfter.value_or(26113));
        EXPECT_EQ(AnswerVersion(a), 0x0601) << "the version of the image";
        EXPECT_EQ(model.ExchangeCount(TExchangeKind::RestartIdent), 1u);

        EXPECT_EQ(model.Record(), (std::vector<std::string>{":0100000531C9", aLine[0], aLine[1],
                                                            aLine[2], ":0100000533C7"}));
        EXPECT_EQ(model.TakeRecord().size(), 5u);
        EXPECT_TRUE(model.Record().empty());
    }
}

TEST(LoggerModelRequests, OldBootloaderKnowsOnlyStartAndFinish) {
    TLoggerModel model(ExpectingImage(BootloaderConfig(51200), {DataLine(0x2500, 4)}));
    EXPECT_TRUE(model.Receive(":0100000520DA").empty());
    EXPECT_TRUE(model.Receive(Request(0x30, 0x0060)).empty());
    EXPECT_TRUE(model.Receive(":0100000531C9").empty());
    EXPECT_TRUE(Parse(model.Receive(":0100000511E9")));
    EXPECT_EQ(Text(model.Receive(DataLine(0x2500, 4))), DataLine(0x2500, 4));
    EXPECT_TRUE(model.Receive(":0100000533C7").empty());
    EXPECT_EQ(model.State(), TLoggerModel::TState::Bootloader);
    EXPECT_TRUE(model.Receive(":0100000513E7").empty());
    EXPECT_EQ(model.State(), TLoggerModel::TState::Application);
}

TEST(LoggerModelRequests, DamagedLinesAreIgnored) {
    TLoggerModel model(BootloaderConfig(51202));
    ASSERT_TRUE(Parse(model.Receive(":0100000531C9")));
    const std::string sGood = DataLine(0x0400, 9);
    std::string sBadSum = sGood;
    sBadSum.back() = sBadSum.back() == '0' ? '1' : '0';
    std::string sLower = DataLine(0x0400, 0); // its data begins with 00 07 0E: 'E' is a digit
    std::replace(sLower.begin(), sLower.end(), 'E', 'e');
    ASSERT_NE(sLower, DataLine(0x0400, 0));
    EXPECT_TRUE(model.Receive(sBadSum).empty());
    EXPECT_TRUE(model.Receive(sLower).empty());
    EXPECT_TRUE(model.Receive(":0100000520DB").empty()) << "request with a wrong checksum";
    EXPECT_TRUE(model.Receive(Request(0x20, 0x0001)).empty()) << "request at another address";
    EXPECT_EQ(Text(model.Receive(sGood)), sGood);
    EXPECT_EQ(model.Record().size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// The flash: what the finish request finds

namespace {

// The data lines of a built-in image in catalogue order, the end record left out.
std::vector<std::string> ImageDataLines(std::int32_t iEntry) {
    std::vector<std::string> a;
    for (std::int32_t i = 0; i < GetFwLastIndex(iEntry); ++i) {
        std::string s;
        std::int32_t iLast = 0;
        TBl3FileHeader header;
        GetFwEntry(iEntry, FwQuery::Line, i, s, iLast, header);
        a.push_back(s);
    }
    return a;
}

// The order in which the updater sends them: the vector-table line last.
std::vector<std::string> SendOrder(std::vector<std::string> a) {
    const auto it = std::find_if(a.begin(), a.end(),
                                 [](const std::string& s) { return s.starts_with(":4003DF00"); });
    if (it != a.end())
        std::rotate(it, it + 1, a.end());
    return a;
}

// Start requests, each followed by its data lines, then the finish request; false when a line
// is not echoed.
bool Transfer(TLoggerModel& model, const std::vector<std::vector<std::string>>& aSessions) {
    for (const auto& aLines : aSessions) {
        if (!Parse(model.Receive(":0100000531C9")))
            return false;
        for (const std::string& s : aLines)
            if (Text(model.Receive(s)) != s)
                return false;
    }
    return model.Receive(":0100000533C7").empty();
}

} // namespace

TEST(LoggerModelFlash, RestartsOnlyWithTheWholeExpectedImage) {
    const std::vector<std::string> aImage = SendOrder(ImageDataLines(9));
    ASSERT_EQ(aImage.size(), 783u);
    std::vector<std::string> aCut(aImage.begin(), aImage.begin() + 50);
    aCut.push_back(aImage.back());
    std::vector<std::string> aExtra = aImage;
    aExtra.insert(aExtra.end() - 1, DataLine(0x0700, 1));

    const struct {
        const char* sWhy;
        std::vector<std::vector<std::string>> aSessions; // the data lines after each start
        const char* sReason;                             // logged; empty: restarted
    } aCases[] = {
        {"the whole image, vector table last", {aImage}, ""},
        {"cut short", {aCut}, "flash incomplete: 51 of 783 data lines"},
        {"image 8", {SendOrder(ImageDataLines(8))}, "differs from the image"},
        {"vector table not last", {ImageDataLines(9)}, "vector table not last"},
        {"a line that is not in the image", {aExtra}, "line at 0x0700 is not in the image"},
        {"repeat after an interrupted transfer", {aCut, aImage}, ""},
        {"a new start erases the whole image", {aImage, {}}, "flash incomplete: 0 of 783"},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.sWhy);
        TLoggerConfig config = *LoggerPreset("entry9");
        config.iAppVersion = 0x0586; // 5.134 before the update
        TLoggerModel model(config);
        std::string sLog;
        model.SetLog([&sLog](const std::string& s) { sLog += s + "\n"; });
        model.Receive(BootEntry.data(), BootEntry.size());
        ASSERT_TRUE(Transfer(model, c.aSessions));
        EXPECT_FALSE(model.ProgrammingOpen());

        const bool bComplete = *c.sReason == '\0';
        const TBytes a = model.Receive(Ident.data(), Ident.size());
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(AnswerClass(a), bComplete ? 26113 : 51202);
        EXPECT_EQ(AnswerVersion(a), bComplete ? 0x058A : 0);
        EXPECT_EQ(model.AppVersion(), bComplete ? 0x058A : 0x0586);
        if (bComplete)
            continue;
        EXPECT_NE(sLog.find(c.sReason), std::string::npos) << sLog.substr(sLog.size() - 200);

        // The update is repeated: the bootloader takes the whole image and restarts.
        ASSERT_TRUE(Transfer(model, {aImage}));
        EXPECT_EQ(model.State(), TLoggerModel::TState::Application);
        EXPECT_EQ(AnswerVersion(model.Receive(Ident.data(), Ident.size())), 0x058A);
    }

    for (const std::int32_t iImage : {-1, 10}) {
        TLoggerConfig config;
        config.iImage = iImage;
        EXPECT_THROW(TLoggerModel{config}, std::invalid_argument) << iImage;
    }
}

// ---------------------------------------------------------------------------------------------
// Framing and resynchronisation

TEST(LoggerModelFraming, PartialInputIsDroppedWhenTheLineGoesIdle) {
    TLoggerModel model(BootloaderConfig(51202));
    ASSERT_TRUE(Parse(model.Receive(":0100000531C9")));

    // Without the quiet period a half frame swallows the next one.
    model.Receive(Ident.data(), 4);
    EXPECT_TRUE(model.Receive(Ident.data(), Ident.size()).empty());
    model.LineIdle();
    model.Receive(Ident.data(), 4);
    model.LineIdle();
    EXPECT_EQ(model.Receive(Ident.data(), Ident.size()).size(), 8u);

    // A truncated line, then the whole line again.
    const std::string s = DataLine(0x0400, 5);
    EXPECT_TRUE(model.Receive(s.substr(0, 70)).empty());
    model.LineIdle();
    EXPECT_EQ(Text(model.Receive(s)), s);
}

TEST(LoggerModelFraming, StrayColonAndImpossibleCountResynchronise) {
    TLoggerModel model(BootloaderConfig(51202));
    // A ':' followed by no count digit is dropped and the frame after it is taken as such.
    TBytes a = {':'};
    a.insert(a.end(), Ident.begin(), Ident.end());
    EXPECT_EQ(model.Receive(a.data(), a.size()).size(), 8u);
    // A count above 64 cannot start a line: the model does not wait for 141 characters; the
    // digits are looked at again (here they begin a frame, which fails its check).
    const std::string sIn = ":41" + std::string(6, '\0') + ":0100000520DA";
    EXPECT_EQ(model.Receive(sIn).size(), 6 * 2 + 11u);
}

TEST(LoggerModelFraming, SplitAndJoinedInputGivesTheSameAnswers) {
    TLoggerModel whole(BootloaderConfig(51202));
    TLoggerModel bytewise(BootloaderConfig(51202));
    TBytes aIn = Ident;
    const std::string aText[] = {":0100000520DA", "\r\n", ":0100000531C9", DataLine(0x0128, 7)};
    for (const std::string& s : aText)
        aIn.insert(aIn.end(), s.begin(), s.end());
    aIn.insert(aIn.end(), Ident.begin(), Ident.end());

    const TBytes aWhole = whole.Receive(aIn.data(), aIn.size());
    TBytes aSplit;
    for (std::uint8_t b : aIn) {
        const TBytes a = bytewise.Receive(&b, 1);
        aSplit.insert(aSplit.end(), a.begin(), a.end());
    }
    EXPECT_EQ(aSplit, aWhole);
    EXPECT_EQ(aWhole.size(), 8 + 23 + 13 + 139 + 8u);
}

// ---------------------------------------------------------------------------------------------
// Faults

namespace {

// One whole update, step by step: the kind of each step and what the host sends.
struct TStep {
    TExchangeKind eKind;
    TBytes aInput;
};

std::vector<TStep> UpdateSteps() {
    return {
        {TExchangeKind::Ident, Ident},
        {TExchangeKind::Serial, Serial},
        {TExchangeKind::BootEntry, BootEntry},
        {TExchangeKind::Ident, Ident},
        {TExchangeKind::Platform, Bytes(":0100000520DA")},
        {TExchangeKind::Upid, Bytes(":01006005306A")},
        {TExchangeKind::Start, Bytes(":0100000531C9")},
        {TExchangeKind::Line, Bytes(DataLine(0x0128, 1))},
        {TExchangeKind::Line, Bytes(DataLine(0x0129, 2))},
        {TExchangeKind::Finish, Bytes(":0100000533C7")},
        {TExchangeKind::RestartIdent, Ident},
    };
}

// The logger of these steps: it expects their two data lines.
TLoggerConfig StepsConfig() {
    return ExpectingImage({}, {DataLine(0x0128, 1), DataLine(0x0129, 2)});
}

std::vector<TBytes> RunSteps(TLoggerModel& model) {
    std::vector<TBytes> a;
    for (const TStep& step : UpdateSteps())
        a.push_back(model.Receive(step.aInput.data(), step.aInput.size()));
    return a;
}

enum class TEffect {
    NoAnswer,
    OneByteShort,
    FrameCheckFails,
    LineChecksumFails,
    ExceptionFlagged,
    ClassPlusOne,
    EchoDiffersWithValidChecksum,
    ReportsApplication,
    ReportsBootloader,
    HangsUp
};

struct TFaultCase {
    const char* sFault;
    std::size_t iStep; // the step whose answer the fault changes
    TEffect eEffect;
};

void PrintTo(const TFaultCase& c, std::ostream* os) {
    *os << c.sFault;
}

class LoggerModelFault : public ::testing::TestWithParam<TFaultCase> {};

} // namespace

TEST_P(LoggerModelFault, ChangesOnlyTheStruckAnswer) {
    const TFaultCase& c = GetParam();
    std::vector<TBytes> aBase;
    {
        TLoggerModel model(StepsConfig());
        aBase = RunSteps(model);
    }
    std::string sError;
    const auto fault = ParseFault(c.sFault, sError);
    ASSERT_TRUE(fault) << sError;
    TLoggerConfig config = StepsConfig();
    config.aFaults = {*fault};
    TLoggerModel model(config);
    const std::vector<TBytes> aGot = RunSteps(model);

    for (std::size_t i = 0; i < c.iStep; ++i)
        EXPECT_EQ(aGot[i], aBase[i]) << "step " << i << " comes before the fault";
    const TBytes& a = aGot[c.iStep];
    const TBytes& base = aBase[c.iStep];
    switch (c.eEffect) {
    case TEffect::NoAnswer:
        EXPECT_TRUE(a.empty());
        EXPECT_FALSE(model.HangupRequested());
        break;
    case TEffect::OneByteShort:
        EXPECT_EQ(a, TBytes(base.begin(), base.end() - 1));
        break;
    case TEffect::FrameCheckFails:
        ASSERT_EQ(a.size(), 8u);
        EXPECT_NE(a, base);
        EXPECT_FALSE(FrameCheckHolds(a));
        break;
    case TEffect::LineChecksumFails:
        ASSERT_EQ(a.size(), base.size());
        EXPECT_EQ(std::mismatch(a.begin(), a.end(), base.begin()).first - a.begin(), 9)
            << "the first data digit";
        EXPECT_NE(HexTextChecksum(reinterpret_cast<const char*>(a.data()) + 1,
                                  static_cast<std::int32_t>(a.size() / 2)),
                  0);
        break;
    case TEffect::ExceptionFlagged:
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(a[0], base[0] | 0x20);
        EXPECT_TRUE(std::equal(a.begin() + 1, a.begin() + 7, base.begin() + 1));
        break;
    case TEffect::ClassPlusOne:
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(AnswerClass(a), AnswerClass(base) + 1);
        break;
    case TEffect::EchoDiffersWithValidChecksum: {
        const auto rec = Parse(a);
        ASSERT_TRUE(rec) << "the echo's checksum holds";
        ASSERT_EQ(a.size(), base.size());
        std::size_t iDiff = 0;
        for (std::size_t i = 0; i + 2 < a.size(); ++i)
            iDiff += a[i] != base[i];
        EXPECT_EQ(iDiff, 1u) << "one data digit differs";
        break;
    }
    case TEffect::ReportsApplication:
    case TEffect::ReportsBootloader:
        ASSERT_TRUE(FrameCheckHolds(a));
        EXPECT_EQ(AnswerClass(a), c.eEffect == TEffect::ReportsApplication ? 26113 : 51202);
        break;
    case TEffect::HangsUp:
        EXPECT_TRUE(model.HangupRequested());
        for (std::size_t i = c.iStep; i < aGot.size(); ++i)
            EXPECT_TRUE(aGot[i].empty()) << "step " << i << " after the hangup";
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, LoggerModelFault,
    ::testing::Values(TFaultCase{"ident:noanswer", 0, TEffect::NoAnswer},
                      TFaultCase{"ident:short:2", 3, TEffect::OneByteShort},
                      TFaultCase{"ident:corrupt", 0, TEffect::FrameCheckFails},
                      TFaultCase{"ident:exception:2", 3, TEffect::ExceptionFlagged},
                      TFaultCase{"ident:wrongclass", 0, TEffect::ClassPlusOne},
                      TFaultCase{"ident:hangup", 0, TEffect::HangsUp},
                      TFaultCase{"serial:noanswer", 1, TEffect::NoAnswer},
                      TFaultCase{"serial:short", 1, TEffect::OneByteShort},
                      TFaultCase{"serial:corrupt", 1, TEffect::FrameCheckFails},
                      TFaultCase{"serial:exception", 1, TEffect::ExceptionFlagged},
                      TFaultCase{"bootentry:stayapp", 3, TEffect::ReportsApplication},
                      TFaultCase{"bootentry:hangup", 2, TEffect::HangsUp},
                      TFaultCase{"platform:noanswer", 4, TEffect::NoAnswer},
                      TFaultCase{"platform:short", 4, TEffect::OneByteShort},
                      TFaultCase{"platform:corrupt", 4, TEffect::LineChecksumFails},
                      TFaultCase{"upid:noanswer", 5, TEffect::NoAnswer},
                      TFaultCase{"upid:short", 5, TEffect::OneByteShort},
                      TFaultCase{"upid:corrupt", 5, TEffect::LineChecksumFails},
                      TFaultCase{"upid:hangup", 5, TEffect::HangsUp},
                      TFaultCase{"start:noanswer", 6, TEffect::NoAnswer},
                      TFaultCase{"start:short", 6, TEffect::OneByteShort},
                      TFaultCase{"start:corrupt", 6, TEffect::LineChecksumFails},
                      TFaultCase{"line:noanswer:2", 8, TEffect::NoAnswer},
                      TFaultCase{"line:short:2", 8, TEffect::OneByteShort},
                      TFaultCase{"line:corrupt", 7, TEffect::LineChecksumFails},
                      TFaultCase{"line:echo:2", 8, TEffect::EchoDiffersWithValidChecksum},
                      TFaultCase{"line:hangup:2", 8, TEffect::HangsUp},
                      TFaultCase{"finish:noanswer", 10, TEffect::ReportsBootloader},
                      TFaultCase{"finish:hangup", 9, TEffect::HangsUp},
                      TFaultCase{"restart-ident:noanswer", 10, TEffect::NoAnswer},
                      TFaultCase{"restart-ident:short", 10, TEffect::OneByteShort},
                      TFaultCase{"restart-ident:corrupt", 10, TEffect::FrameCheckFails},
                      TFaultCase{"restart-ident:exception", 10, TEffect::ExceptionFlagged},
                      TFaultCase{"restart-ident:wrongclass", 10, TEffect::ClassPlusOne}),
    [](const auto& info) {
        std::string s = info.param.sFault;
        std::replace_if(
            s.begin(), s.end(), [](char c) { return !std::isalnum(c); }, '_');
        return s;
    });

TEST(LoggerModelFaults, OccurrencesCountRetriesAndRepeatForTimes) {
    TLoggerConfig config;
    config.bStartInBootloader = true;
    config.aFaults = {{TExchangeKind::Ident, TFaultType::NoAnswer, 2, 3},
                      {TExchangeKind::Line, TFaultType::Short, 1, 2}};
    TLoggerModel model(config);
    std::vector<std::size_t> aSizes;
    for (int i = 0; i < 5; ++i)
        aSizes.push_back(model.Receive(Ident.data(), Ident.size()).size());
    EXPECT_EQ(aSizes, (std::vector<std::size_t>{8, 0, 0, 0, 8}));
    EXPECT_EQ(model.ExchangeCount(TExchangeKind::Ident), 5u);

    // The host repeats a line until its echo is whole: every repetition is a new occurrence,
    // and every line the bootloader took is in the record.
    ASSERT_TRUE(Parse(model.Receive(":0100000531C9")));
    const std::string s = DataLine(0x0128, 1);
    EXPECT_EQ(model.Receive(s).size(), 138u);
    EXPECT_EQ(model.Receive(s).size(), 138u);
    EXPECT_EQ(Text(model.Receive(s)), s);
    EXPECT_EQ(model.Record().size(), 4u);
}

TEST(LoggerModelFaults, NoAnswerOnStartKeepsProgrammingClosed) {
    TLoggerConfig config = BootloaderConfig(51202);
    config.aFaults = {{TExchangeKind::Start, TFaultType::NoAnswer}};
    TLoggerModel model(config);
    EXPECT_TRUE(model.Receive(":0100000531C9").empty());
    EXPECT_TRUE(model.Receive(DataLine(0x0128, 1)).empty());
    EXPECT_TRUE(model.Record().empty());
    ASSERT_TRUE(Parse(model.Receive(":0100000531C9"))) << "the repeated start is taken";
    EXPECT_TRUE(model.ProgrammingOpen());
}

TEST(LoggerModelFaults, FaultsThatCannotStrikeAreRefused) {
    for (const TFault& fault : {TFault{TExchangeKind::BootEntry, TFaultType::NoAnswer},
                                TFault{TExchangeKind::Ident, TFaultType::NoAnswer, 0, 1},
                                TFault{TExchangeKind::Ident, TFaultType::NoAnswer, 1, 0}}) {
        TLoggerConfig config;
        config.aFaults = {fault};
        EXPECT_THROW(TLoggerModel{config}, std::invalid_argument);
    }
}

// ---------------------------------------------------------------------------------------------
// Presets

TEST(LoggerModelPresets, EachEntryFitsItsBuiltInImage) {
    for (int iEntry = 1; iEntry <= LoggerPresetCount; ++iEntry) {
        SCOPED_TRACE("entry" + std::to_string(iEntry));
        const TBl3FileHeader header = GetFwHeader(iEntry);
        const auto config = LoggerPreset("entry" + std::to_string(iEntry));
        ASSERT_TRUE(config);
        EXPECT_EQ(config->iAppClass, 26113);
        EXPECT_EQ(config->iBlClass, header.quarn_bl == 2 ? 51201 : 51202);
        EXPECT_EQ(config->iBlVersion, header.quarn_bl_ver);
        EXPECT_EQ(config->iPlatform, header.quarn_platform);
        EXPECT_EQ(config->iPrint, header.quarn_print);
        EXPECT_EQ(config->iImage, iEntry);
        EXPECT_TRUE(config->aFaults.empty());
        // Pinned to 5.136 exactly when the preset is entry 8.
        const bool bPinned =
            config->iAppVersion == 0x0588 && config->iSerial >= 328297 && config->iSerial <= 328504;
        EXPECT_EQ(bPinned, iEntry == 8);

        // What the bootloader reports: a valid update-ID block naming the same hardware.
        TLoggerModel model(*config);
        model.Receive(BootEntry.data(), BootEntry.size());
        const TBytes aId = model.Receive(Ident.data(), Ident.size());
        ASSERT_TRUE(FrameCheckHolds(aId));
        EXPECT_EQ(AnswerClass(aId), config->iBlClass);
        EXPECT_EQ(AnswerVersion(aId), header.quarn_bl_ver);
        TFlashLayout layout;
        GetFlashLayout(header.quarn_platform, layout);
        const auto iAddress =
            static_cast<std::uint16_t>(layout[0].iFirst / (header.quarn_bl == 3 ? 64 : 1));
        const auto rec = Parse(model.Receive(Request(0x30, iAddress)));
        ASSERT_TRUE(rec);
        const auto& d = rec->Data;
        EXPECT_EQ(MakeWord(d[1], d[0]), 26113);
        EXPECT_EQ(MakeWord(d[5], d[4]), header.quarn_platform);
        EXPECT_EQ(MakeWord(d[7], d[6]), header.quarn_print);
        EXPECT_EQ(MakeWord(d[11], d[10]), CalcCRC16(d.data(), 10));
    }
    for (const char* s : {"", "entry0", "entry10", "Entry1", "entry", "1"})
        EXPECT_FALSE(LoggerPreset(s)) << s;
    EXPECT_EQ(LoggerPreset("entry9"), TLoggerConfig{}) << "the default logger is entry9";
}

// ---------------------------------------------------------------------------------------------
// Against constants: the simulator shares the updater's check-byte, checksum and CRC code, so a
// fault in that code would hit both sides alike and pass every end-to-end test. These bytes are
// written out here (their check bytes, checksums and CRC computed independently), so the
// simulator is held to the wire format itself.

TEST(LoggerModelWire, AnswersTheUpdatesExchangesWithKnownBytes) {
    const auto hex = [](std::string_view s) {
        TBytes a;
        for (std::size_t i = 0; i + 1 < s.size(); i += 3)
            a.push_back(
                static_cast<std::uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
        return a;
    };
    // The logger of preset entry9: application 5.138, serial number 320000 (0x0004E200).
    TLoggerModel model(*LoggerPreset("entry9"));
    const struct {
        const char* sWhat;
        TBytes aIn;
        TBytes aOut;
    } aExchanges[] = {
        {"identification, application", hex("81 00 00 00 00 00 00 AA"),
         hex("00 00 66 01 05 8A 00 FF")},
        {"serial number", hex("81 03 00 00 00 00 00 F3"), hex("00 00 E2 04 00 00 00 57")},
        {"bootloader entry (no answer)", hex("85 03 A5 5A 00 00 00 25"), {}},
        {"identification, bootloader", hex("81 00 00 00 00 00 00 AA"),
         hex("00 00 C8 02 00 00 00 1B")},
        {"read platform", Bytes(":0100000520DA"), Bytes(":06000005000C002C0000BD")},
        // The update-ID block of platform 12 at block 0x0060: class 26113, info 0, platform 12,
        // print 44, reserve 0, CRC-16/MODBUS 0x3CAA, the rest 0xFF.
        {"update-ID block", Bytes(":01006005306A"),
         Bytes(":40006005016600000C002C000000AA3C" + std::string(104, 'F') + "0A")},
        {"start programming", Bytes(":0100000531C9"), Bytes(":0100000531C9")},
    };
    for (const auto& x : aExchanges)
        EXPECT_EQ(model.Receive(x.aIn.data(), x.aIn.size()), x.aOut) << x.sWhat;
    // A frame whose check byte is one off gets no answer.
    const TBytes aBad = hex("81 00 00 00 00 00 00 AB");
    EXPECT_TRUE(model.Receive(aBad.data(), aBad.size()).empty());
}
