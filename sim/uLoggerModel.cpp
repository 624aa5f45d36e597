#include "sim/uLoggerModel.h"

#include "device/uKelvoWire.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "hexline/uConvert1V0.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

using namespace Kelvo;

// The data bytes of the command frames the logger answers.
constexpr std::array<std::uint8_t, 6> DataIdent = {0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> DataSerial = {IdentSerialArg, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 6> DataBootEntry = {BootEntryArg, BootKeyHi, BootKeyLo, 0, 0, 0};

constexpr std::uint8_t StatusException = 0x20;

constexpr std::size_t MaxCount = 64; // data bytes of a line at the most

// A frame's second byte corrupted by this mask, and the first data digit of a line changed.
constexpr std::size_t CorruptFrameByte = 2;
constexpr std::uint8_t CorruptFrameMask = 0x10;
constexpr std::size_t FirstDataDigit = 9;

constexpr std::array<std::string_view, ExchangeKindCount> KindNames = {
    "ident", "serial", "bootentry", "platform", "upid", "start", "line", "finish", "restart-ident"};
constexpr std::array<std::string_view, FaultTypeCount> FaultNames = {
    "noanswer", "short", "corrupt", "exception", "echo", "stayapp", "wrongclass", "hangup"};

using K = TExchangeKind;
using F = TFaultType;

// Which fault can strike which exchange: rows by kind, columns by fault (FaultNames order).
constexpr std::array<std::array<bool, FaultTypeCount>, ExchangeKindCount> Applies = {{
    //  noans  short  corr   exc    echo   stay   wrong  hangup
    {true, true, true, true, false, false, true, true},     // ident
    {true, true, true, true, false, false, false, true},    // serial
    {false, false, false, false, false, true, false, true}, // bootentry
    {true, true, true, false, false, false, false, true},   // platform
    {true, true, true, false, false, false, false, true},   // upid
    {true, true, true, false, false, false, false, true},   // start
    {true, true, true, false, true, false, false, true},    // line
    {true, false, false, false, false, false, false, true}, // finish
    {true, true, true, true, false, false, true, true},     // restart-ident
}};

// Hardware of each built-in image: platform, print, bootloader generation and version, and the
// application version word a logger of that kind runs before its update.
struct TPresetRow {
    std::uint16_t iPlatform;
    std::uint16_t iPrint;
    std::uint16_t iBl;
    std::uint16_t iBlVersion;
    std::uint16_t iAppVersion;
    std::uint32_t iSerial;
};
constexpr std::uint32_t PlainSerial = 320000;  // outside every pinned range
constexpr std::uint32_t PinnedSerial = 328297; // pinned to firmware 5.136
constexpr std::array<TPresetRow, LoggerPresetCount> PresetRows = {{
    {0, 0, 2, 0, 0x0314, PlainSerial},    // 3.20
    {1, 1, 2, 0, 0x0408, PlainSerial},    // 4.08
    {1, 2, 2, 0, 0x0508, PlainSerial},    // 5.08
    {4, 6, 2, 0, 0x0512, PlainSerial},    // 5.18
    {4, 10, 2, 1, 0x052A, PlainSerial},   // 5.42
    {12, 18, 3, 0, 0x057E, PlainSerial},  // 5.126
    {12, 30, 3, 0, 0x0586, PlainSerial},  // 5.134
    {12, 30, 3, 0, 0x0588, PinnedSerial}, // 5.136: only image 5.136 may follow
    {12, 44, 3, 0, 0x058A, PlainSerial},  // 5.138
}};

std::uint8_t Hi(std::uint16_t w) {
    return static_cast<std::uint8_t>(w >> 8);
}
std::uint8_t Lo(std::uint16_t w) {
    return static_cast<std::uint8_t>(w & 0xFF);
}

std::string Hex4(std::uint16_t w) {
    char a[8];
    std::snprintf(a, sizeof a, "0x%04X", static_cast<unsigned>(w));
    return a;
}

// A version word as the updater shows it: 5.138, 5.08.
std::string VersionText(std::uint16_t w) {
    char a[16];
    std::snprintf(a, sizeof a, "%u.%02u", static_cast<unsigned>(Hi(w)),
                  static_cast<unsigned>(Lo(w)));
    return a;
}

// The lines and version of a built-in image, read from the catalogue by entry number (never
// through the selected entry, which belongs to an updater that may run in the same process).
TLoggerImage BuiltInImage(std::int32_t iEntry) {
    const TBl3FileHeader header = GetFwHeader(iEntry);
    TLoggerImage image;
    image.iVersion =
        static_cast<std::uint16_t>((header.quarn_verH & 0xFF) << 8 | (header.quarn_verL & 0xFF));
    const std::int32_t iLast = GetFwLastIndex(iEntry);
    for (std::int32_t i = 0; i <= iLast; ++i) {
        std::string sLine;
        std::int32_t iUnused = 0;
        TBl3FileHeader unused;
        GetFwEntry(iEntry, FwQuery::Line, i, sLine, iUnused, unused);
        image.aLines.push_back(std::move(sLine));
    }
    return image;
}

// The next digit in 0-9, A-F, wrapping: changes the byte it belongs to.
char NextDigit(char c) {
    std::uint8_t i = 0;
    HexCharToNibble(c, i);
    return NibbleToHexChar(static_cast<std::uint8_t>(i + 1));
}

} // namespace

std::string_view ExchangeKindName(TExchangeKind eKind) {
    return KindNames.at(static_cast<std::size_t>(eKind));
}

std::string_view FaultTypeName(TFaultType eFault) {
    return FaultNames.at(static_cast<std::size_t>(eFault));
}

bool FaultApplies(TExchangeKind eKind, TFaultType eFault) {
    return Applies.at(static_cast<std::size_t>(eKind)).at(static_cast<std::size_t>(eFault));
}

std::optional<TLoggerConfig> LoggerPreset(std::string_view sName) {
    constexpr std::string_view Prefix = "entry";
    if (sName.size() != Prefix.size() + 1 || !sName.starts_with(Prefix))
        return std::nullopt;
    const int iEntry = sName.back() - '0';
    if (iEntry < 1 || iEntry > LoggerPresetCount)
        return std::nullopt;
    const TPresetRow& row = PresetRows[static_cast<std::size_t>(iEntry - 1)];
    TLoggerConfig config;
    config.iAppVersion = row.iAppVersion;
    config.iSerial = row.iSerial;
    config.iBlClass = row.iBl == 2 ? BootClassBL2 : BootClassBL3;
    config.iBlVersion = row.iBlVersion;
    config.iPlatform = row.iPlatform;
    config.iPrint = row.iPrint;
    config.iImage = iEntry;
    return config;
}

TLoggerModel::TLoggerModel(TLoggerConfig config)
    : FConfig(std::move(config)),
      FeState(FConfig.bStartInBootloader ? TState::Bootloader : TState::Application),
      FiAppVersion(FConfig.iAppVersion) {
    if (FConfig.iImage == 0)
        FExpected = Expect(FConfig.image);
    else if (FConfig.iImage >= 1 && FConfig.iImage <= LoggerPresetCount)
        FExpected = ExpectBuiltIn(FConfig.iImage);
    else
        throw std::invalid_argument("image " + std::to_string(FConfig.iImage) +
                                    " is neither a built-in image 1-9 nor 0");
    for (const TFault& fault : FConfig.aFaults) {
        if (!FaultApplies(fault.eKind, fault.eFault))
            throw std::invalid_argument("fault " + std::string(FaultTypeName(fault.eFault)) +
                                        " cannot strike " +
                                        std::string(ExchangeKindName(fault.eKind)));
        if (fault.iFirst == 0 || fault.iTimes == 0)
            throw std::invalid_argument("fault occurrence and times count from 1");
    }
}

std::shared_ptr<const TLoggerModel::TExpected> TLoggerModel::Expect(const TLoggerImage& image) {
    auto expected = std::make_shared<TExpected>();
    expected->iVersion = image.iVersion;
    for (const std::string& s : image.aLines) {
        // Lines that do not parse or are not 64-byte data records are never sent.
        const auto line = ParseLine(s);
        if (!line || line->iType != RecTypeData || line->aData.size() != DataBytesPerLine)
            continue;
        expected->flash[line->iAddress] = line->aData;
        expected->bVectorTable = expected->bVectorTable || line->iAddress == FwVectorTableAddress;
    }
    return expected;
}

std::shared_ptr<const TLoggerModel::TExpected> TLoggerModel::ExpectBuiltIn(std::int32_t iEntry) {
    // Made once: every update in a test builds a new model.
    static const auto aCache = [] {
        std::array<std::shared_ptr<const TExpected>, LoggerPresetCount> a;
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] = Expect(BuiltInImage(static_cast<std::int32_t>(i) + 1));
        return a;
    }();
    return aCache.at(static_cast<std::size_t>(iEntry - 1));
}

std::optional<std::string> TLoggerModel::FlashFault() const {
    for (const auto& [iAddress, aData] : FFlash) {
        const auto it = FExpected->flash.find(iAddress);
        if (it == FExpected->flash.end())
            return "line at " + Hex4(iAddress) + " is not in the image";
        if (it->second != aData)
            return "line at " + Hex4(iAddress) + " differs from the image";
    }
    // Every programmed line is one of the image's: equal counts mean the whole image.
    if (FFlash.size() < FExpected->flash.size())
        return "flash incomplete: " + std::to_string(FFlash.size()) + " of " +
               std::to_string(FExpected->flash.size()) + " data lines";
    // The vector-table line goes last, so that a cut transfer never leaves it pointing into an
    // incomplete application.
    if (FExpected->bVectorTable && FiLastAddress != FwVectorTableAddress)
        return "vector table not last";
    return std::nullopt;
}

std::vector<std::uint8_t> TLoggerModel::Receive(const std::uint8_t* pData, std::size_t iCount) {
    std::vector<std::uint8_t> aOut;
    for (std::size_t i = 0; i < iCount && !FbHangup; ++i)
        ReceiveByte(pData[i], aOut);
    return aOut;
}

void TLoggerModel::LineIdle() {
    if (FsUnit.empty())
        return;
    Log("dropped partial input: " +
        HexBytes(reinterpret_cast<const std::uint8_t*>(FsUnit.data()), FsUnit.size()));
    FsUnit.clear();
    FiUnitLength = 0;
}

std::vector<std::string> TLoggerModel::TakeRecord() {
    std::vector<std::string> a;
    a.swap(FaRecord);
    return a;
}

std::uint16_t TLoggerModel::UpidAddress() const {
    TFlashLayout layout;
    GetFlashLayout(FConfig.iPlatform, layout);
    return UpdateIdAddress(FConfig.iBlClass, layout[0].iFirst);
}

std::array<std::uint8_t, 8> TLoggerModel::AnswerFrame(std::uint8_t iStatus,
                                                      const std::array<std::uint8_t, 6>& aData) {
    std::array<std::uint8_t, 8> a{};
    a[0] = iStatus;
    std::copy(aData.begin(), aData.end(), a.begin() + 1);
    a[7] = CalcCRC8(a.data(), 7);
    return a;
}

std::array<std::uint8_t, 64> TLoggerModel::UpidBlock() const {
    std::array<std::uint8_t, 64> a;
    a.fill(0xFF);
    if (FConfig.eUpidCrc == TUpidCrc::Erased)
        return a;
    const std::array<std::uint16_t, 5> aWord = {
        FConfig.iUpidClass, FConfig.iUpidInfo, FConfig.iUpidPlatform.value_or(FConfig.iPlatform),
        FConfig.iUpidPrint.value_or(FConfig.iPrint), FConfig.iUpidReserve};
    for (std::size_t i = 0; i < aWord.size(); ++i) {
        a[2 * i] = Lo(aWord[i]);
        a[2 * i + 1] = Hi(aWord[i]);
    }
    std::uint16_t iCrc = CalcCRC16(a.data(), 10);
    if (FConfig.eUpidCrc == TUpidCrc::Wrong)
        ++iCrc;
    a[10] = Lo(iCrc);
    a[11] = Hi(iCrc);
    return a;
}

void TLoggerModel::ReceiveByte(std::uint8_t b, std::vector<std::uint8_t>& aOut) {
    if (FsUnit.empty()) {
        // Line terminators are not part of the dialogue; a tool that adds them is forgiven.
        if (b == '\r' || b == '\n')
            return;
        FiUnitLength = b == ':' ? 0 : 8;
    }
    FsUnit += static_cast<char>(b);
    if (FsUnit.front() != ':') {
        if (FsUnit.size() == FiUnitLength)
            HandleFrame(aOut);
        return;
    }
    // A line: its length follows from the count digits. A count that is no number, or above 64,
    // means that this ':' did not start a line: drop it and look at what followed afresh.
    if (FsUnit.size() == 2 || FsUnit.size() == 3) {
        std::uint8_t iHi = 0;
        std::uint8_t iLo = 0;
        const bool bHi = HexCharToNibble(FsUnit[1], iHi);
        const bool bLo = FsUnit.size() < 3 || HexCharToNibble(FsUnit[2], iLo);
        if (!bHi || !bLo || (FsUnit.size() == 3 && iHi * 16u + iLo > MaxCount)) {
            const std::string sRest = FsUnit.substr(1);
            Log("dropped ':' without a line count");
            FsUnit.clear();
            for (char c : sRest)
                ReceiveByte(static_cast<std::uint8_t>(c), aOut);
            return;
        }
        if (FsUnit.size() == 3)
            FiUnitLength = 2 * (iHi * 16u + iLo) + 11;
        return;
    }
    if (FsUnit.size() == FiUnitLength)
        HandleLine(aOut);
}

void TLoggerModel::HandleFrame(std::vector<std::uint8_t>& aOut) {
    std::array<std::uint8_t, 8> a{};
    std::copy(FsUnit.begin(), FsUnit.end(), a.begin());
    FsUnit.clear();
    if (std::all_of(a.begin(), a.end(), [](std::uint8_t b) { return b == 0; }))
        return; // wake-up
    if (CalcCRC8(a.data(), 7) != a[7] || (a[0] & 0x80) == 0) {
        Log("ignored frame " + HexBytes(a.data(), 8));
        return;
    }
    const std::uint8_t iCmd = a[0] & 0x7F;
    std::array<std::uint8_t, 6> aData{};
    std::copy(a.begin() + 1, a.begin() + 7, aData.begin());

    if (iCmd == CmdIdentify && aData == DataIdent) {
        const bool bBoot = FeState == TState::Bootloader;
        const bool bRestart = !bBoot && FbRestarted;
        const auto eFault = Exchange(bRestart ? K::RestartIdent : K::Ident);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        std::uint16_t iClass = bBoot      ? FConfig.iBlClass
                               : bRestart ? FConfig.iClassAfterRestart.value_or(FConfig.iAppClass)
                                          : FConfig.iAppClass;
        if (eFault == F::WrongClass)
            ++iClass;
        const std::uint16_t iVersion = bBoot ? FConfig.iBlVersion : FiAppVersion;
        SendFrame(AnswerFrame(0, {0, Hi(iClass), Lo(iClass), Hi(iVersion), Lo(iVersion), 0}),
                  eFault, aOut);
    } else if (iCmd == CmdIdentify && aData == DataSerial && FeState == TState::Application) {
        const auto eFault = Exchange(K::Serial);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        const std::uint32_t n = FConfig.iSerial;
        SendFrame(AnswerFrame(0, {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n >> 16),
                                  static_cast<std::uint8_t>(n >> 24), 0, 0}),
                  eFault, aOut);
    } else if (iCmd == CmdBootloader && aData == DataBootEntry && FeState == TState::Application) {
        const auto eFault = Exchange(K::BootEntry);
        if (eFault == F::StayApp || eFault == F::Hangup) {
            Log("bootloader entry refused");
            return;
        }
        FeState = TState::Bootloader;
        FbProgramming = false;
        FbRestarted = false;
        Log("bootloader entry: bootloader runs");
    } else {
        Log("ignored frame " + HexBytes(a.data(), 8));
    }
}

std::optional<TLoggerModel::TLine> TLoggerModel::ParseLine(std::string_view sLine) {
    const THexLineResult r = ParseHexLine(sLine);
    if (!r.Ok())
        return std::nullopt;
    const THexRec& rec = r.rec;
    return TLine{rec.Address(), rec.RecType,
                 std::vector<std::uint8_t>(rec.Data.begin(), rec.Data.begin() + rec.Count)};
}

namespace {

// The line of a record of n data bytes (at most 64).
std::string FormatLine(std::uint16_t iAddress, std::uint8_t iType, const std::uint8_t* pData,
                       std::size_t n) {
    return FormatHexLine(MakeHexRec(iAddress, iType, pData, static_cast<std::uint8_t>(n)))
        .value_or(":");
}

} // namespace

void TLoggerModel::HandleLine(std::vector<std::uint8_t>& aOut) {
    const std::string sLine = std::move(FsUnit);
    FsUnit.clear();
    const auto line = ParseLine(sLine);
    if (!line) {
        Log("ignored malformed line " + sLine);
        return;
    }
    if (FeState != TState::Bootloader) {
        Log("ignored line in the application " + sLine);
        return;
    }
    if (line->iType == RecTypeRequest && line->aData.size() == 1) {
        HandleRequest(*line, aOut);
        return;
    }
    if (line->iType == RecTypeData && line->aData.size() == DataBytesPerLine && FbProgramming) {
        const auto eFault = Exchange(K::Line);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        FaRecord.push_back(sLine);
        FFlash[line->iAddress] = line->aData;
        FiLastAddress = line->iAddress;
        SendLine(sLine, eFault, aOut);
        return;
    }
    Log("ignored line " + sLine);
}

void TLoggerModel::HandleRequest(const TLine& line, std::vector<std::uint8_t>& aOut) {
    const std::string sLine = FormatLine(line.iAddress, line.iType, line.aData.data(), 1);
    const bool bOld = FConfig.iBlClass == BootClassBL;
    const std::uint8_t iOffset = bOld ? ReqOffsetBL : 0;
    const std::uint8_t iCode = line.aData[0];
    const auto Reply = [&](const std::uint8_t* p, std::size_t n, std::optional<TFaultType> e) {
        FaRecord.push_back(sLine);
        SendLine(FormatLine(line.iAddress, line.iType, p, n), e, aOut);
    };

    if (!bOld && iCode == ReqReadPlatform && line.iAddress == 0) {
        const auto eFault = Exchange(K::Platform);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        const std::array<std::uint8_t, 6> a = {Hi(FConfig.iPlatform), Lo(FConfig.iPlatform),
                                               Hi(FConfig.iPrint),    Lo(FConfig.iPrint),
                                               Hi(FConfig.iInfo),     Lo(FConfig.iInfo)};
        Reply(a.data(), a.size(), eFault);
    } else if (!bOld && iCode == ReqReadUpdateId && line.iAddress == UpidAddress()) {
        const auto eFault = Exchange(K::Upid);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        const auto a = UpidBlock();
        Reply(a.data(), a.size(), eFault);
    } else if (iCode == ReqStart - iOffset && line.iAddress == 0) {
        const auto eFault = Exchange(K::Start);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        // A new programming session: the application is erased.
        FbProgramming = true;
        FFlash.clear();
        FiLastAddress.reset();
        Reply(&iCode, 1, eFault);
    } else if (iCode == ReqFinish - iOffset && line.iAddress == 0 && FbProgramming) {
        const auto eFault = Exchange(K::Finish);
        if (eFault == F::NoAnswer || eFault == F::Hangup)
            return;
        FaRecord.push_back(sLine);
        FbProgramming = false;
        FbRestarting = true; // into the application, or into the bootloader again
        if (const auto sFault = FlashFault()) {
            Log("finish " + sLine + ": " + *sFault + "; the bootloader keeps running");
            return;
        }
        FeState = TState::Application;
        FbRestarted = true;
        FiAppVersion = FExpected->iVersion;
        Log("finish " + sLine + ": flash complete, restarted into application " +
            VersionText(FiAppVersion));
    } else {
        Log("ignored request " + sLine);
    }
}

std::optional<TFaultType> TLoggerModel::Exchange(TExchangeKind eKind) {
    const std::uint32_t n = ++FaCount[static_cast<std::size_t>(eKind)];
    std::optional<TFaultType> eFault;
    for (const TFault& fault : FConfig.aFaults) {
        if (fault.eKind == eKind && n >= fault.iFirst && n - fault.iFirst < fault.iTimes) {
            eFault = fault.eFault;
            break;
        }
    }
    std::string s = std::string(ExchangeKindName(eKind)) + " #" + std::to_string(n);
    if (eFault)
        s += " fault " + std::string(FaultTypeName(*eFault));
    Log(s);
    if (eFault == F::Hangup)
        FbHangup = true;
    return eFault;
}

void TLoggerModel::SendFrame(std::array<std::uint8_t, 8> aFrame, std::optional<TFaultType> eFault,
                             std::vector<std::uint8_t>& aOut) {
    std::size_t n = aFrame.size();
    if (eFault == F::Short)
        --n;
    else if (eFault == F::Corrupt)
        aFrame[CorruptFrameByte] ^= CorruptFrameMask;
    else if (eFault == F::Exception)
        aFrame = AnswerFrame(aFrame[0] | StatusException,
                             {aFrame[1], aFrame[2], aFrame[3], aFrame[4], aFrame[5], aFrame[6]});
    Log("answer " + HexBytes(aFrame.data(), n));
    aOut.insert(aOut.end(), aFrame.begin(), aFrame.begin() + static_cast<std::ptrdiff_t>(n));
}

void TLoggerModel::SendLine(std::string sLine, std::optional<TFaultType> eFault,
                            std::vector<std::uint8_t>& aOut) {
    if (eFault == F::Short) {
        sLine.pop_back();
    } else if (eFault == F::Corrupt) {
        sLine[FirstDataDigit] = NextDigit(sLine[FirstDataDigit]);
    } else if (eFault == F::Echo) {
        // One data digit changed and the checksum made to fit: only a comparison sees it.
        sLine[FirstDataDigit] = NextDigit(sLine[FirstDataDigit]);
        sLine = FitHexChecksum(sLine);
    }
    Log("reply " + sLine);
    aOut.insert(aOut.end(), sLine.begin(), sLine.end());
}

void TLoggerModel::Log(const std::string& s) const {
    if (FLog)
        FLog(s);
}
