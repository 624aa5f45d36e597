// The update procedure against the simulated logger's model, in process, through the fake port.
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "hexline/uConvert1V0.h"
#include "link/uExceptions1V0.h"
#include "sim/uLoggerModel.h"
#include "tests/support/FakeSerial.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using TPosts = std::vector<std::pair<std::int32_t, std::int32_t>>;

// The procedure with its waits recorded instead of slept.
class TFastKelvo : public TKelvoCommThread {
public:
    using TKelvoCommThread::TKelvoCommThread;
    static inline std::vector<std::int32_t> aSleeps;

protected:
    void Sleep(std::int32_t iMs) override { aSleeps.push_back(iMs); }
};

class TPostRecorder final : public TNotifyTarget {
public:
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override {
        aPosts.push_back({iCode, iValue});
    }
    TPosts aPosts;
};

struct TRun {
    TPosts aPosts;
    std::vector<std::string> aRecord; // the lines the logger accepted
    std::vector<TBytes> aWrites;
    // The final notification; (-1, -1) when nothing was posted at all.
    std::pair<std::int32_t, std::int32_t> Final() const {
        return aPosts.empty() ? std::pair{-1, -1} : aPosts.back();
    }
    bool Posted(std::int32_t iCode, std::int32_t iValue) const {
        return std::find(aPosts.begin(), aPosts.end(), std::pair{iCode, iValue}) != aPosts.end();
    }
    std::vector<std::int32_t> Values(std::int32_t iCode) const {
        std::vector<std::int32_t> a;
        for (const auto& [c, v] : aPosts)
            if (c == iCode)
                a.push_back(v);
        return a;
    }
};

TLoggerConfig Preset(const char* sName) {
    auto c = LoggerPreset(sName);
    EXPECT_TRUE(c) << sName;
    return c.value_or(TLoggerConfig{});
}

} // namespace

struct Procedure : ::testing::Test {
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        bCancel = false;
        bCheckClass = bCheckFamily = bCheckPlatform = true;
        bReadInfoOnly = false;
        iFwIndex = -1;
        FwFileLines.clear();
        FwFileHeader = TBl3FileHeader{};
        TFastKelvo::aSleeps.clear();
    }

    static TRun Run(const TLoggerConfig& config) {
        TLoggerModel model(config);
        return RunOn(model);
    }
    // One attempt on a logger that keeps its state from earlier attempts; pRun: the run it
    // belongs to.
    static TRun RunOn(TLoggerModel& model, TRunRecord* pRun = nullptr) {
        TFakeSerial fake;
        fake.Responder = [&model](const TBytes& a) {
            return model.Receive(a.data(), a.size());
        };
        TPostRecorder rec;
        CommThreadClassOf<TFastKelvo>()(rec, 0, "sim", fake.Opener(), pRun).reset();
        return {rec.aPosts, model.TakeRecord(), fake.Writes};
    }
};

TEST_F(Procedure, UpdatesALoggerRunningItsApplication) {
    const TRun r = Run(Preset("entry9"));
    ASSERT_EQ(r.Final(), (std::pair{0, 0}));
    // Identification twice, hardware, the block overriding the reply, nine candidates.
    ASSERT_GT(r.aPosts.size(), 21u);
    const TPosts aHead(r.aPosts.begin(), r.aPosts.begin() + 21);
    EXPECT_EQ(aHead,
              (TPosts{{20, 26113}, {21, 0x058A}, {29, 320000}, {20, 51202}, {21, 0},  {22, 12},
                      {23, 44},    {24, 0},      {25, 26113},  {28, 0},     {22, 12}, {23, 44},
                      {27, 1},     {27, 2},      {27, 3},      {27, 4},     {27, 5},  {27, 6},
                      {27, 7},     {27, 8},      {27, 9}}));
    EXPECT_EQ(r.aPosts[21], (std::pair{26, 0}));
    EXPECT_EQ(iFwIndex, 9);
    EXPECT_EQ(r.Values(40), (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(r.Values(20), (std::vector<std::int32_t>{26113, 51202, 26113}));
    const auto aProgress = r.Values(1);
    ASSERT_FALSE(aProgress.empty());
    EXPECT_TRUE(std::is_sorted(aProgress.begin(), aProgress.end()));
    EXPECT_EQ(aProgress.back(), 98) << "782 of 783; completion shows with the final notification";

    // The serial number was read and the bootloader entered.
    EXPECT_EQ(r.aWrites[3], (TBytes{0x81, 3, 0, 0, 0, 0, 0, 0xF3}));
    EXPECT_EQ(r.aWrites[4], (TBytes{0x85, 3, 0xA5, 0x5A, 0, 0, 0, 0x25}));

    // The logger got the requests, every image line once in order with the vector table last,
    // and the finish request.
    std::vector<std::string> aExpected{":0100000520DA", ":01006005306A", ":0100000531C9"};
    iFwIndex = 9;
    for (std::int32_t i = 0; i < GetSelFwLastIndex(); ++i)
        if (i != 47)
            aExpected.push_back(GetFwLine(i));
    aExpected.push_back(GetFwLine(47));
    aExpected.push_back(":0100000533C7");
    EXPECT_EQ(r.aRecord, aExpected);
    EXPECT_EQ(TFastKelvo::aSleeps, (std::vector<std::int32_t>{100, 100, 1, 500, 2000}));
}

TEST_F(Procedure, BootloaderGenerations) {
    // Already in bootloader 51201: no bootloader entry, one identification before the hardware.
    auto c = Preset("entry2");
    c.bStartInBootloader = true;
    TRun r = Run(c);
    EXPECT_EQ(r.Final(), (std::pair{0, 0}));
    EXPECT_EQ(r.Values(20), (std::vector<std::int32_t>{51201, 26113}));
    EXPECT_EQ(r.Values(21), (std::vector<std::int32_t>{0}));
    EXPECT_EQ(
        std::count(r.aWrites.begin(), r.aWrites.end(), TBytes{0x85, 3, 0xA5, 0x5A, 0, 0, 0, 0x25}),
        0);
    ASSERT_GE(r.aRecord.size(), 2u) << "the update sent nothing";
    EXPECT_EQ(r.aRecord.front(), ":0100000520DA");
    EXPECT_EQ(r.aRecord[1], ":0110000530BA") << "byte address of the update-ID block";
    EXPECT_EQ(iFwIndex, 2);

    // Bootloader 51200: no request before the start; the older start and finish codes.
    c = Preset("entry1");
    c.iBlClass = 51200;
    r = Run(c);
    EXPECT_EQ(r.Final(), (std::pair{0, 0}));
    ASSERT_GE(r.aRecord.size(), 2u) << "the update sent nothing";
    EXPECT_EQ(r.aRecord.front(), ":0100000511E9");
    EXPECT_EQ(r.aRecord.back(), ":0100000513E7");
    const TPosts aHardware{{22, 0}, {23, 0}, {24, 0}, {25, 26113}, {28, 0xFFFF}};
    EXPECT_NE(std::search(r.aPosts.begin(), r.aPosts.end(), aHardware.begin(), aHardware.end()),
              r.aPosts.end());
}

TEST_F(Procedure, FamilyAndBootloaderEntryChecks) {
    auto c = Preset("entry9");
    c.aFaults = {{TExchangeKind::BootEntry, TFaultType::StayApp}};
    EXPECT_EQ(Run(c).Final(), (std::pair{10, 40})) << "still the application at pass 2";

    c = Preset("entry9");
    c.iAppClass = 26000;
    TRun r = Run(c);
    EXPECT_EQ(r.Final(), (std::pair{10, 40})) << "another class with the family check on";
    EXPECT_EQ(r.aWrites.size(), 3u) << "two wake-ups and one identification";

    bCheckFamily = false;
    c.iClassAfterRestart = 26113; // the new firmware makes it a Kelvo logger
    r = Run(c);
    EXPECT_EQ(r.Final().first, 0) << "family check off";
    EXPECT_EQ(r.aWrites[3], (TBytes{0x85, 3, 0xA5, 0x5A, 0, 0, 0, 0x25})) << "no serial read";
}

TEST_F(Procedure, HardwareInformationAndTheUpdateIdBlock) {
    const struct {
        const char* sWhy;
        std::uint16_t iPlatform, iPrint;
        std::optional<std::uint16_t> iUpidPlatform, iUpidPrint;
        TUpidCrc eCrc;
        std::pair<std::int32_t, std::int32_t> final;
        bool bUpidRead;
    } aCases[] = {
        {"platform missing from the table", 22, 44, 12, 44, TUpidCrc::Valid, {10, 47}, false},
        {"valid block overrides the print", 12, 0, 12, 44, TUpidCrc::Valid, {0, 0}, true},
        {"valid block with codes missing from the tables",
         12,
         44,
         600,
         700,
         TUpidCrc::Valid,
         {10, 47},
         true},
        {"wrong CRC keeps the reply", 12, 0, 12, 44, TUpidCrc::Wrong, {10, 47}, true},
        {"erased block keeps the reply", 12, 0, 12, 44, TUpidCrc::Erased, {10, 47}, true},
    };
    for (const auto& k : aCases) {
        auto c = Preset("entry9");
        c.bStartInBootloader = true;
        c.iPlatform = k.iPlatform;
        c.iPrint = k.iPrint;
        c.iUpidPlatform = k.iUpidPlatform;
        c.iUpidPrint = k.iUpidPrint;
        c.eUpidCrc = k.eCrc;
        const TRun r = Run(c);
        EXPECT_EQ(r.Final(), k.final) << k.sWhy;
        EXPECT_EQ(r.aRecord.size() >= 2 && r.aRecord[1] == ":01006005306A", k.bUpidRead) << k.sWhy;
        if (!k.bUpidRead) {
            EXPECT_EQ(r.Values(22), (std::vector<std::int32_t>{0xFFFF})) << k.sWhy;
        }
    }
}

TEST_F(Procedure, BadHardwareRepliesGiveStatus46) {
    for (TExchangeKind eKind : {TExchangeKind::Platform, TExchangeKind::Upid}) {
        auto c = Preset("entry9");
        c.aFaults = {{eKind, TFaultType::NoAnswer, 1, 5}};
        EXPECT_EQ(Run(c).Final(), (std::pair{10, 46}));
        c.aFaults = {{eKind, TFaultType::Corrupt, 1, 5}};
        EXPECT_EQ(Run(c).Final(), (std::pair{10, 46}));
        c.aFaults = {{eKind, TFaultType::NoAnswer, 1, 4}};
        EXPECT_EQ(Run(c).Final(), (std::pair{0, 0})) << "the fifth attempt succeeds";
    }
}

TEST(PinnedSerial, EveryBoundAndItsNeighbours) {
    const struct {
        std::uint32_t iSerial;
        bool bPinned;
    } aCases[] = {
        {328107, false}, {328108, true},  {328109, false}, {328223, false}, {328224, true},
        {328225, false}, {328234, false}, {328235, true},  {328236, true},  {328237, false},
        {328282, false}, {328283, true},  {328287, true},  {328288, false}, {328296, false},
        {328297, true},  {328504, true},  {328505, false}, {0, false},      {0xFFFFFFFF, false},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(TKelvoCommThread::isPinnedSerial(c.iSerial), c.bPinned) << c.iSerial;
}

TEST_F(Procedure, PinnedSerialNumbersGetOnly5136) {
    const struct {
        std::uint32_t iSerial;
        std::uint16_t iAppVersion;
        std::int32_t iSelected;
    } aCases[] = {{328297, 0x0588, 8}, {328296, 0x0588, 7}, {328297, 0x0586, 7},
                  {328108, 0x0588, 8}, {328504, 0x0588, 8}, {328505, 0x0588, 7}};
    for (const auto& k : aCases) {
        auto c = Preset("entry8");
        c.iSerial = k.iSerial;
        c.iAppVersion = k.iAppVersion;
        bReadInfoOnly = true;
        const TRun r = Run(c);
        EXPECT_EQ(r.Final(), (std::pair{10, 70})) << k.iSerial;
        EXPECT_EQ(iFwIndex, k.iSelected) << k.iSerial << " " << k.iAppVersion;
        EXPECT_EQ(std::find(r.aRecord.begin(), r.aRecord.end(), ":0100000531C9"), r.aRecord.end())
            << "no start request when only the information is read";
    }
}

TEST_F(Procedure, RepeatOfTheRunSelectsAsTheFirstAttemptDid) {
    // A pinned logger broken off in the middle of its transfer is found in its bootloader by the
    // repeat, where it reports neither serial number nor application version.
    const struct {
        const char* sWhy;
        TFault fault;
        std::pair<std::int32_t, std::int32_t> firstEnd;
    } aCases[] = {
        {"echo mismatch", {TExchangeKind::Line, TFaultType::Echo, 100}, {10, 44}},
        {"no echo", {TExchangeKind::Line, TFaultType::NoAnswer, 100, 5}, {13, 0}},
    };
    for (const auto& k : aCases) {
        auto c = Preset("entry8");
        c.aFaults = {k.fault};
        TLoggerModel model(c);
        TRunRecord run;
        EXPECT_EQ(RunOn(model, &run).Final(), k.firstEnd) << k.sWhy;
        ASSERT_EQ(model.State(), TLoggerModel::TState::Bootloader) << k.sWhy;

        const TRun repeat = RunOn(model, &run);
        ASSERT_FALSE(repeat.Values(20).empty()) << k.sWhy;
        EXPECT_EQ(repeat.Values(20).front(), 51202) << k.sWhy << ": found in its bootloader";
        EXPECT_EQ(repeat.Final(), (std::pair{0, 0})) << k.sWhy;
        EXPECT_EQ(iFwIndex, 8) << k.sWhy << ": still pinned to 5.136";
    }

    // A new run that finds the logger in its bootloader knows nothing of it: not pinned.
    auto c = Preset("entry8");
    c.bStartInBootloader = true;
    TLoggerModel model(c);
    bReadInfoOnly = true;
    EXPECT_EQ(RunOn(model).Final(), (std::pair{10, 70}));
    EXPECT_EQ(iFwIndex, 7);
}

TEST_F(Procedure, ImagesOnlyForTheirBootloaderGeneration) {
    // An image for the other bootloader generation would be written to the wrong addresses.
    const struct {
        const char* sPreset;
        std::uint16_t iBlClass;
        std::uint16_t iPlatform, iPrint;
        std::int32_t iSelected;
    } aCases[] = {
        {"entry9", 51201, 12, 44, -1}, {"entry2", 51202, 1, 1, -1}, {"entry9", 51202, 12, 44, 9},
        {"entry2", 51201, 1, 1, 2},    {"entry1", 51200, 0, 0, 1},
    };
    for (const auto& k : aCases) {
        auto c = Preset(k.sPreset);
        c.iBlClass = k.iBlClass;
        c.iPlatform = k.iPlatform;
        c.iPrint = k.iPrint;
        bReadInfoOnly = true;
        const TRun r = Run(c);
        EXPECT_EQ(r.Final(), (std::pair{10, k.iSelected < 0 ? 47 : 70}))
            << k.sPreset << " on " << k.iBlClass;
        EXPECT_EQ(iFwIndex, k.iSelected) << k.sPreset << " on " << k.iBlClass;
    }
}

TEST_F(Procedure, FaultsDuringTheTransfer) {
    const struct {
        const char* sWhy;
        TFault fault;
        TPosts aTail; // the last notifications
    } aCases[] = {
        {"echo differs at the third line",
         {TExchangeKind::Line, TFaultType::Echo, 3},
         {{11, 2}, {10, 44}}},
        {"echo of the vector-table line differs",
         {TExchangeKind::Line, TFaultType::Echo, 783},
         {{40, 1}, {11, 783}, {10, 44}}},
        {"wrong class after the restart",
         {TExchangeKind::RestartIdent, TFaultType::WrongClass},
         {{20, 26114}, {10, 45}}},
        {"exception bit in the first identification",
         {TExchangeKind::Ident, TFaultType::Exception},
         {{10, 41}}},
        {"silent logger", {TExchangeKind::Ident, TFaultType::NoAnswer, 1, 5}, {{13, 0}}},
        {"no echo of a line", {TExchangeKind::Line, TFaultType::NoAnswer, 10, 5}, {{13, 0}}},
        {"start not answered", {TExchangeKind::Start, TFaultType::Short, 1, 5}, {{13, 0}}},
    };
    for (const auto& k : aCases) {
        auto c = Preset("entry9");
        c.aFaults = {k.fault};
        const TRun r = Run(c);
        ASSERT_GE(r.aPosts.size(), k.aTail.size()) << k.sWhy;
        EXPECT_EQ(
            TPosts(r.aPosts.end() - static_cast<std::ptrdiff_t>(k.aTail.size()), r.aPosts.end()),
            k.aTail)
            << k.sWhy;
    }
}

TEST_F(Procedure, LoadedFileIsCheckedBeforeTheLoggerIsTouched) {
    // A small image for the hardware of entry 9 in the file slot.
    const auto entry9 = GetFwHeader(9);
    const auto load = [&](std::vector<std::string> aLines) {
        FwFileHeader = entry9;
        FwFileLines = std::move(aLines);
        iFwIndex = 0;
    };
    // The logger expects what the file slot holds.
    const auto logger = [] {
        auto c = Preset("entry9");
        c.iImage = 0;
        c.image = {0x058A, FwFileLines};
        return c;
    };
    iFwIndex = 9;
    const std::string sLine0 = GetFwLine(0);
    const std::string sLine1 = GetFwLine(1);
    const std::string sVector = GetFwLine(47);

    const struct {
        const char* sWhy;
        std::vector<std::string> aLines;
        TPosts aTail;
        std::size_t iRecorded; // lines the logger accepted
    } aCases[] = {
        {"a broken line",
         {sLine0, sLine1.substr(0, 20), sLine1, ":00000001FF"},
         {{12, 1}, {10, 43}},
         2},
        {"a blank line", {sLine0, "", ":00000001FF"}, {{12, 1}, {10, 43}}, 2},
        {"lower-case digits", {sLine0, ":00000001ff", ":00000001FF"}, {{12, 1}, {10, 43}}, 2},
        {"no lines but the end", {":00000001FF"}, {{10, 42}}, 2},
        {"no end line", {sLine0, sLine1}, {{10, 42}}, 2},
        {"header only", {}, {{10, 42}}, 2},
        {"short records and other types pass unsent",
         {":0100000011EE", sLine0, ":020000040000FA", sVector, ":00000001FF"},
         {{20, 26113}, {0, 0}},
         6},
    };
    for (const auto& k : aCases) {
        load(k.aLines);
        const TRun r = Run(logger());
        ASSERT_GE(r.aPosts.size(), k.aTail.size()) << k.sWhy;
        EXPECT_EQ(
            TPosts(r.aPosts.end() - static_cast<std::ptrdiff_t>(k.aTail.size()), r.aPosts.end()),
            k.aTail)
            << k.sWhy;
        EXPECT_EQ(r.Values(27), (std::vector<std::int32_t>{0})) << k.sWhy;
        EXPECT_EQ(r.aRecord.size(), k.iRecorded) << k.sWhy;
    }
    // The one that was sent: start, line 0, the vector line last, finish; progress for all.
    const TRun r = Run(logger());
    EXPECT_EQ(r.aRecord,
              (std::vector<std::string>{":0100000520DA", ":01006005306A", ":0100000531C9", sLine0,
                                        sVector, ":0100000533C7"}));
    EXPECT_EQ(r.Values(1), (std::vector<std::int32_t>{24, 49}));

    FwFileHeader.quarn_bl = 0xFFFF;
    iFwIndex = 0;
    EXPECT_EQ(Run(Preset("entry9")).Final(), (std::pair{10, 47})) << "bootloader neither 2 nor 3";
}

TEST_F(Procedure, TransferCutShortLeavesTheLoggerInItsBootloader) {
    // The file slot holds the first 50 lines of image 9; the logger expects all of image 9.
    FwFileHeader = GetFwHeader(9);
    iFwIndex = 9;
    for (std::int32_t i = 0; i < 50; ++i)
        FwFileLines.push_back(GetFwLine(i));
    FwFileLines.push_back(":00000001FF");
    iFwIndex = 0;
    const TRun r = Run(Preset("entry9"));
    EXPECT_EQ(r.Values(40), (std::vector<std::int32_t>{0, 1})) << "the vector table went last";
    EXPECT_EQ(r.Values(20), (std::vector<std::int32_t>{26113, 51202, 51202}))
        << "the restart found the bootloader";
    EXPECT_EQ(r.Final(), (std::pair{10, 45}));
}

TEST_F(Procedure, RelaxedChecks) {
    auto c = Preset("entry9");
    c.iUpidClass = 26114;
    EXPECT_EQ(Run(c).Final(), (std::pair{10, 47})) << "the block names another class";
    bCheckClass = false;
    bReadInfoOnly = true;
    EXPECT_EQ(Run(c).Final(), (std::pair{10, 70}));
    EXPECT_EQ(iFwIndex, 9);

    c = Preset("entry9");
    c.eUpidCrc = TUpidCrc::Wrong;
    c.iPlatform = 13;
    bCheckClass = true;
    EXPECT_EQ(Run(c).Final(), (std::pair{10, 47})) << "another platform";
    bCheckPlatform = false;
    EXPECT_EQ(Run(c).Final(), (std::pair{10, 70}));
}

TEST_F(Procedure, RunRecordTellsWhetherTheLoggerWaitsInItsBootloader) {
    // After every way an attempt can end, the run says whether the logger waits in its
    // bootloader from what the attempt saw last; where it could not see (no answer after the
    // finish request), it assumes the bootloader, which another run can always recover from.
    using K = TExchangeKind;
    using F = TFaultType;
    const struct {
        const char* sWhy;
        std::vector<TFault> aFaults;
        bool bStartInBootloader;
        bool bReadInfoOnly;
        std::pair<std::int32_t, std::int32_t> end;
        bool bInBootloader;
    } aCases[] = {
        {"success", {}, false, false, {0, 0}, false},
        {"success from the bootloader", {}, true, false, {0, 0}, false},
        {"silent from the start", {{K::Ident, F::NoAnswer, 1, 5}}, false, false, {13, 0}, false},
        {"stays in its application", {{K::BootEntry, F::StayApp}}, false, false, {10, 40}, false},
        {"exception bit", {{K::Ident, F::Exception}}, false, false, {10, 41}, false},
        {"no platform reply", {{K::Platform, F::Corrupt, 1, 5}}, false, false, {10, 46}, true},
        {"no fitting image", {}, false, false, {10, 47}, true},
        {"read info only", {}, false, true, {10, 70}, true},
        {"start not answered", {{K::Start, F::Short, 1, 5}}, false, false, {13, 0}, true},
        {"echo differs", {{K::Line, F::Echo, 3}}, false, false, {10, 44}, true},
        {"finish not taken", {{K::Finish, F::NoAnswer}}, false, false, {10, 45}, true},
        {"restart not answered",
         {{K::RestartIdent, F::NoAnswer, 1, 5}},
         false,
         false,
         {13, 0},
         true},
        {"restart as another class",
         {{K::RestartIdent, F::WrongClass}},
         false,
         false,
         {10, 45},
         false},
    };
    for (const auto& k : aCases) {
        Reset();
        auto c = Preset("entry9");
        c.aFaults = k.aFaults;
        c.bStartInBootloader = k.bStartInBootloader;
        if (std::string(k.sWhy) == "no fitting image")
            c.iPrint = 45;
        bReadInfoOnly = k.bReadInfoOnly;
        TLoggerModel model(c);
        TRunRecord run;
        EXPECT_EQ(RunOn(model, &run).Final(), k.end) << k.sWhy;
        EXPECT_EQ(run.bInBootloader, k.bInBootloader) << k.sWhy;
    }
}

TEST_F(Procedure, EarlierRunFromTheJournalKeepsThePin) {
    // A pinned logger (entry 8's hardware, serial 328297, application 5.136) that an earlier run
    // left in its bootloader: found there, it tells neither serial number nor version.
    const TBl3FileHeader h = GetFwHeader(8);
    const TRunRecord::TEarlierRun same{328297,
                                       Kelvo::PinnedAppVersion,
                                       Kelvo::BootClassBL3,
                                       h.quarn_bl_ver,
                                       h.quarn_platform,
                                       h.quarn_print,
                                       true};
    auto otherPrint = same;
    otherPrint.iPrint = static_cast<std::uint16_t>(h.quarn_print + 1);
    // Each hardware code on its own: the same print on another platform, another bootloader.
    auto otherPlatform = same;
    otherPlatform.iPlatform = static_cast<std::uint16_t>(h.quarn_platform + 1);
    auto otherBootVersion = same;
    otherBootVersion.iBootVersion = static_cast<std::uint16_t>(h.quarn_bl_ver + 1);
    auto otherBootClass = same;
    otherBootClass.iBootClass = Kelvo::BootClassBL3 - 1;
    auto notPinned = same;
    notPinned.iSerial = 328296;
    const struct {
        const char* sWhy;
        std::optional<TRunRecord::TEarlierRun> earlier;
        std::int32_t iSelected;
        bool bPinLine;
    } aCases[] = {
        {"no earlier run", std::nullopt, 7, false},
        {"the same hardware", same, 8, true},
        {"another print", otherPrint, 7, false},
        {"the same print on another platform", otherPlatform, 7, false},
        {"another bootloader version", otherBootVersion, 7, false},
        {"another bootloader class", otherBootClass, 7, false},
        {"a serial number without the pin", notPinned, 7, true},
    };
    for (const auto& k : aCases) {
        Reset();
        auto c = Preset("entry8");
        c.bStartInBootloader = true;
        bReadInfoOnly = true;
        TLoggerModel model(c);
        TRunRecord run;
        run.earlier = k.earlier;
        const TRun r = RunOn(model, &run);
        EXPECT_EQ(r.Final(), (std::pair{10, 70})) << k.sWhy;
        EXPECT_EQ(iFwIndex, k.iSelected) << k.sWhy;
        EXPECT_EQ(r.Values(Notify::PinFromJournal).size(), k.bPinLine ? 1u : 0u) << k.sWhy;
    }
    // A logger found in its application is read as it is, whatever the journal says.
    Reset();
    TLoggerModel model(Preset("entry9"));
    TRunRecord run;
    run.earlier = same;
    const TRun r = RunOn(model, &run);
    EXPECT_EQ(r.Final(), (std::pair{0, 0}));
    EXPECT_TRUE(r.Values(Notify::PinFromJournal).empty());
    EXPECT_EQ(run.iLinesSent, 783) << "every data line, the vector table included";
}

TEST_F(Procedure, APinThroughThePortNameAloneIsNeverGuessed) {
    // A pinned logger in its bootloader (entry 8's hardware); the earlier run that left a logger
    // of that hardware there was found through the port name only, as a station's next logger
    // would be.
    const TBl3FileHeader h = GetFwHeader(8);
    const TRunRecord::TEarlierRun pinned{
        328297,         Kelvo::PinnedAppVersion, Kelvo::BootClassBL3,
        h.quarn_bl_ver, h.quarn_platform,        h.quarn_print,
        false};
    auto plain = pinned;
    plain.iSerial = 328296;
    using P = TRunRecord::TPortNamePin;
    const struct {
        const char* sWhy;
        TRunRecord::TEarlierRun earlier;
        P policy;
        int iAnswer;                               // given before the run: nothing is waited for
        std::pair<std::int32_t, std::int32_t> end; // 70: an image was selected
        std::int32_t iSelected;
        std::int32_t iNotified; // the one pin notification posted
    } aCases[] = {
        {"withheld, pinned serial: not updated",
         pinned,
         P::Withhold,
         -1,
         {10, 47},
         -1,
         Notify::SerialUnknown},
        {"withheld, serial without the pin",
         plain,
         P::Withhold,
         -1,
         {10, 70},
         7,
         Notify::PinNotTaken},
        {"answered yes", pinned, P::Ask, 1, {10, 70}, 8, Notify::PinFromJournal},
        {"answered no", pinned, P::Ask, 0, {10, 70}, 7, Notify::PinNotTaken},
    };
    const std::int32_t aPinCodes[] = {Notify::PinFromJournal, Notify::PinAsk, Notify::PinNotTaken,
                                      Notify::SerialUnknown, Notify::LabelSerial};
    for (const auto& k : aCases) {
        Reset();
        auto c = Preset("entry8");
        c.bStartInBootloader = true;
        bReadInfoOnly = true;
        TLoggerModel model(c);
        TRunRecord run;
        run.earlier = k.earlier;
        run.portNamePin = k.policy;
        run.iPinAnswer = k.iAnswer;
        const TRun r = RunOn(model, &run);
        EXPECT_EQ(r.Final(), k.end) << k.sWhy;
        EXPECT_EQ(iFwIndex, k.iSelected) << k.sWhy;
        for (std::int32_t iCode : aPinCodes) {
            EXPECT_EQ(r.Values(iCode),
                      iCode == k.iNotified
                          ? std::vector<std::int32_t>{static_cast<std::int32_t>(k.earlier.iSerial)}
                          : std::vector<std::int32_t>{})
                << k.sWhy << ", code " << iCode;
        }
    }
}

TEST_F(Procedure, TheSerialNumberFromTheLabel) {
    const struct {
        const char* sWhy;
        const char* sPreset;
        bool bInBootloader;
        std::uint32_t iLabel;
        std::pair<std::int32_t, std::int32_t> end;
        std::int32_t iSelected;
        bool bBootEntry; // the bootloader-entry command was sent
    } aCases[] = {
        // In its bootloader it counts as read: the pin rule applies to it.
        {"pinned serial in the bootloader", "entry8", true, 328297, {10, 70}, 8, false},
        {"serial without the pin in the bootloader", "entry8", true, 328296, {10, 70}, 7, false},
        // An application tells its own: the same one goes on, another one is refused there.
        {"the application reports it", "entry8", false, 328297, {10, 70}, 8, true},
        {"the application reports another", "entry8", false, 328298, {10, 40}, -1, false},
    };
    for (const auto& k : aCases) {
        Reset();
        auto c = Preset(k.sPreset);
        c.bStartInBootloader = k.bInBootloader;
        bReadInfoOnly = true;
        TLoggerModel model(c);
        TRunRecord run;
        run.iLabelSerial = k.iLabel;
        // A journal's pin on the converter gives way to the operator's serial number.
        const TBl3FileHeader h = GetFwHeader(8);
        run.earlier = TRunRecord::TEarlierRun{328296,
                                              Kelvo::PinnedAppVersion,
                                              Kelvo::BootClassBL3,
                                              h.quarn_bl_ver,
                                              h.quarn_platform,
                                              h.quarn_print,
                                              true};
        const TRun r = RunOn(model, &run);
        EXPECT_EQ(r.Final(), k.end) << k.sWhy;
        EXPECT_EQ(iFwIndex, k.iSelected) << k.sWhy;
        EXPECT_TRUE(r.Values(Notify::PinFromJournal).empty()) << k.sWhy;
        EXPECT_EQ(r.Values(Notify::LabelSerial),
                  k.bInBootloader ? std::vector<std::int32_t>{static_cast<std::int32_t>(k.iLabel)}
                                  : std::vector<std::int32_t>{})
            << k.sWhy;
        EXPECT_EQ(r.Values(Notify::SerialDiffers), k.end.second == 40
                                                       ? std::vector<std::int32_t>{328297}
                                                       : std::vector<std::int32_t>{})
            << k.sWhy;
        const bool bEntered = std::any_of(r.aWrites.begin(), r.aWrites.end(), [](const TBytes& a) {
            return a.size() == 8 && a[0] == 0x85;
        });
        EXPECT_EQ(bEntered, k.bBootEntry) << k.sWhy;
    }
}
