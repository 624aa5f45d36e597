#include "device/uKelvoCommThread.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "firmware/uVersion.h"
#include "hexline/uConvert1V0.h"
#include "link/uExceptions1V0.h"

#include <chrono>
#include <thread>

namespace {

using namespace Kelvo;

// The device procedure can stop after reading the logger's information.
const bool bReadInfoRegistered = (bReadInfoSupported = true);

// The waits of the procedure, in milliseconds.
constexpr std::int32_t BootEntryWaitMs = 1;  // after the bootloader-entry command
constexpr std::int32_t BeforeFinishMs = 500; // after the last data line
constexpr std::int32_t RestartWaitMs = 2000; // after the finish request: the logger restarts

// Data bytes of the bootloader's replies.
constexpr std::uint8_t PlatformReplyBytes = 6;
constexpr std::uint8_t UpdateIdReplyBytes = 64;
constexpr std::uint8_t StartReplyBytes = 1;
constexpr std::uint8_t FinishReplyBytes = 0;

// The image generation a bootloader takes: "BL3" images carry block numbers, the others byte
// addresses.
constexpr std::uint16_t BlockImageGeneration = 3;
constexpr std::uint16_t ByteImageGeneration = 2;

// The image that a pinned logger may be given, as the file header writes its version.
constexpr std::uint16_t PinnedVersionH = PinnedAppVersion >> 8;
constexpr std::uint16_t PinnedVersionL = PinnedAppVersion & 0xFF;

// Formats a one-byte request line into sHexLine.
void MakeRequest(std::uint8_t iCode, std::uint16_t iAddress) {
    HexRec = MakeHexRec(iAddress, RecTypeRequest, &iCode, 1);
    HexRecToLine();
}

// The request code for the logger's bootloader: bootloader "BL" takes start and finish lower.
std::uint8_t RequestFor(std::uint16_t iBootClass, std::uint8_t iCode) {
    return static_cast<std::uint8_t>(iBootClass == BootClassBL ? iCode - ReqOffsetBL : iCode);
}

} // namespace

struct TKelvoCommThread::TLogger {
    std::uint16_t iClass = 0;
    std::uint16_t iVersion = 0;
    std::uint16_t iAppVersion = 0;
    std::uint32_t iSerial = 0;
    bool bFoundInBootloader = false; // at the first identification
    std::uint16_t iPlatform = 0;
    std::uint16_t iPrint = 0;
    std::uint16_t upid_id = NoCode;
};

bool TKelvoCommThread::isPinnedSerial(std::uint32_t iSerial) {
    return iSerial == 328108 || iSerial == 328224 || (iSerial >= 328235 && iSerial <= 328236) ||
           (iSerial >= 328283 && iSerial <= 328287) || (iSerial >= 328297 && iSerial <= 328504);
}

void TKelvoCommThread::DoProcess() {
    (void)bReadInfoRegistered;

    TLogger logger;
    // A logger in its application is switched into its bootloader and must then report it.
    if (!Identify(logger, true)) {
        EnterBootloader();
        Identify(logger, false);
    }
    ReadHardware(logger);
    RecallEarlierRun(logger);
    const TBl3FileHeader header = SelectImage(logger);
    if (bReadInfoOnly)
        throw EQuarn(Status::InfoOnly);
    TransferImage(logger);
    RestartAndConfirm(logger, header);
}

// Asks for class and version, and for the serial number of a logger in its application. True
// when the bootloader runs; an application is accepted only at the first identification.
bool TKelvoCommThread::Identify(TLogger& logger, bool bFirst) {
    SendCommand(true, CmdIdentify, 0, 0, 0, 0, 0, 0);
    logger.iClass = MakeWord(FRxBuffer[2], FRxBuffer[3]);
    logger.iVersion = MakeWord(FRxBuffer[4], FRxBuffer[5]);
    Post(Notify::Class, logger.iClass);
    Post(Notify::Version, logger.iVersion);
    FRun.bInBootloader = IsBootloaderClass(logger.iClass);
    if (FRun.bInBootloader) {
        // A repeat that finds the logger in its bootloader, where an earlier attempt of this run
        // left it, selects with what that attempt read from the application: a pinned logger
        // keeps its pinned image.
        if (bFirst && FRun.bIdentified) {
            logger.iSerial = FRun.iSerial;
            logger.iAppVersion = FRun.iAppVersion;
        }
        logger.bFoundInBootloader = bFirst;
        return true;
    }
    if ((bCheckFamily && logger.iClass != AppClass) || !bFirst)
        throw EQuarn(Status::WrongLogger);
    if (logger.iClass == AppClass) {
        logger.iAppVersion = logger.iVersion;
        SendCommand(true, CmdIdentify, IdentSerialArg, 0, 0, 0, 0, 0);
        logger.iSerial = MakeSerial(FRxBuffer[4], FRxBuffer[3], FRxBuffer[2], FRxBuffer[1]);
        Post(Notify::Serial, static_cast<std::int32_t>(logger.iSerial));
        // The operator named another logger: this one is left in its application, untouched.
        if (FRun.iLabelSerial != 0 && logger.iSerial != FRun.iLabelSerial) {
            Post(Notify::SerialDiffers, static_cast<std::int32_t>(logger.iSerial));
            throw EQuarn(Status::WrongLogger);
        }
        if (!FRun.bIdentified) {
            FRun.bIdentified = true;
            FRun.iSerial = logger.iSerial;
            FRun.iAppVersion = logger.iAppVersion;
        }
    }
    return false;
}

// The application takes the command without an answer and hands over to its bootloader.
void TKelvoCommThread::EnterBootloader() {
    SendCommand(false, CmdBootloader, BootEntryArg, BootKeyHi, BootKeyLo, 0, 0, 0);
    Sleep(BootEntryWaitMs);
}

// Platform, print and information word, then the update-ID block, which names the hardware
// better when its CRC holds. Bootloader "BL" answers neither: it serves the application class.
void TKelvoCommThread::ReadHardware(TLogger& logger) {
    std::uint16_t iInfo = 0;
    std::uint16_t upid_info = NoCode;
    std::uint16_t upid_platform = NoCode;
    std::uint16_t upid_print = NoCode;
    std::uint16_t upid_reserve = NoCode;
    std::uint16_t iStoredCrc = NoCode;
    // Sends the request in sHexLine and decodes the reply of n data bytes into HexRec.
    const auto request = [this](std::uint8_t n) {
        if (!SendLine(sHexLine, n, false))
            throw EQuarn(Status::BadHardwareReply);
        GetRxLine(sHexLine);
        if (!HexLineToRec())
            throw EQuarn(Status::BadHardwareReply);
    };
    const auto& d = HexRec.Data;
    if (logger.iClass == BootClassBL) {
        logger.upid_id = AppClass;
    } else {
        MakeRequest(ReqReadPlatform, 0);
        request(PlatformReplyBytes);
        logger.iPlatform = CheckPlatform(MakeWord(d[0], d[1]));
        logger.iPrint = CheckPrint(MakeWord(d[2], d[3]));
        iInfo = MakeWord(d[4], d[5]);
        if (logger.iPlatform != NoCode) {
            TFlashLayout layout;
            GetFlashLayout(logger.iPlatform, layout);
            MakeRequest(ReqReadUpdateId, UpdateIdAddress(logger.iClass, layout[0].iFirst));
            request(UpdateIdReplyBytes);
            // Little-endian words: class, info, platform, print, reserve, CRC-16 of the five.
            logger.upid_id = CheckClass(MakeWord(d[1], d[0]));
            upid_info = MakeWord(d[3], d[2]);
            upid_platform = MakeWord(d[5], d[4]);
            upid_print = MakeWord(d[7], d[6]);
            upid_reserve = MakeWord(d[9], d[8]);
            iStoredCrc = MakeWord(d[11], d[10]);
        }
    }
    Post(Notify::Platform, logger.iPlatform);
    Post(Notify::Print, logger.iPrint);
    Post(Notify::InfoWord, iInfo);
    Post(Notify::UpidId, logger.upid_id);
    Post(Notify::UpidInfo, upid_info);
    if (calculateCRC16(logger.upid_id, upid_info, upid_platform, upid_print, upid_reserve) ==
            iStoredCrc &&
        upid_platform != NoCode && upid_print != NoCode) {
        logger.iPlatform = upid_platform;
        logger.iPrint = upid_print;
        Post(Notify::Platform, logger.iPlatform);
        Post(Notify::Print, logger.iPrint);
    }
}

// A logger that this run never saw in its application tells no serial number in its bootloader.
// The serial number from its label counts as read from an application 5.136, so that a pinned
// logger keeps its pinned image (which version it ran, the bootloader cannot tell). Else an earlier
// run left it there and read it: with the same hardware on the same converter it is the same
// logger, and a pinned one keeps its pinned image. Through the port name alone it may as well be
// the next logger of a station: the controller is asked, or the pin is not applied.
void TKelvoCommThread::RecallEarlierRun(TLogger& logger) {
    if (!logger.bFoundInBootloader || FRun.bIdentified)
        return;
    if (FRun.iLabelSerial != 0) {
        logger.iSerial = FRun.iLabelSerial;
        logger.iAppVersion = PinnedAppVersion;
        Post(Notify::LabelSerial, static_cast<std::int32_t>(logger.iSerial));
        return;
    }
    if (!FRun.earlier)
        return;
    const TRunRecord::TEarlierRun& e = *FRun.earlier;
    if (e.iBootClass != logger.iClass || e.iBootVersion != logger.iVersion ||
        e.iPlatform != logger.iPlatform || e.iPrint != logger.iPrint)
        return;
    const auto iSerial = static_cast<std::int32_t>(e.iSerial);
    if (!e.bByConverter && !PinConfirmed(iSerial)) {
        if (FRun.portNamePin == TRunRecord::TPortNamePin::Withhold &&
            e.iAppVersion == PinnedAppVersion && isPinnedSerial(e.iSerial)) {
            // It may be that pinned logger: any image but the pinned one could harm it.
            Post(Notify::SerialUnknown, iSerial);
            throw EQuarn(Status::NoFittingImage);
        }
        Post(Notify::PinNotTaken, iSerial);
        return;
    }
    logger.iSerial = e.iSerial;
    logger.iAppVersion = e.iAppVersion;
    Post(Notify::PinFromJournal, iSerial);
}

// Whether the controller confirms that the earlier run's logger is this one: asked once per run
// (its repeats keep the answer); the wait ends with the cancel flag.
bool TKelvoCommThread::PinConfirmed(std::int32_t iSerial) {
    if (FRun.portNamePin != TRunRecord::TPortNamePin::Ask)
        return false;
    if (FRun.iPinAnswer < 0) {
        Post(Notify::PinAsk, iSerial);
        while (FRun.iPinAnswer < 0) {
            if (bCancel)
                throw EQuarn(Status::Cancelled);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return FRun.iPinAnswer > 0;
}

// The first catalogue image that fits, into iFwIndex; the loaded file alone when it is selected.
TBl3FileHeader TKelvoCommThread::SelectImage(const TLogger& logger) {
    const std::int32_t iFirst = iFwIndex == 0 ? 0 : 1;
    const std::int32_t iLastCandidate = iFwIndex == 0 ? 0 : GetFwCount();
    const bool bPinned = logger.iAppVersion == PinnedAppVersion && isPinnedSerial(logger.iSerial);
    // An image for the other generation would be written to the wrong addresses.
    const std::uint16_t iGeneration =
        logger.iClass == BootClassBL3 ? BlockImageGeneration : ByteImageGeneration;
    iFwIndex = -1;
    for (std::int32_t i = iFirst; i <= iLastCandidate; ++i) {
        Post(Notify::Candidate, i);
        const TBl3FileHeader header = GetFwHeader(i);
        if ((!bCheckClass || logger.upid_id == header.quarn_class) &&
            (!bCheckPlatform || logger.iPlatform == header.quarn_platform) &&
            logger.iPrint == header.quarn_print &&
            (!bPinned ||
             (header.quarn_verH == PinnedVersionH && header.quarn_verL == PinnedVersionL)) &&
            logger.iVersion == header.quarn_bl_ver && header.quarn_bl == iGeneration) {
            iFwIndex = i;
            return header;
        }
    }
    throw EQuarn(Status::NoFittingImage);
}

// The whole image is checked before the logger is told to start, so that an image which can
// never be sent completely does not cost the logger its firmware. Then every 64-byte data line
// goes out and must come back unchanged.
void TKelvoCommThread::TransferImage(const TLogger& logger) {
    const std::int32_t iLast = GetSelFwLastIndex();
    if (iLast < 1)
        throw EQuarn(Status::BadLastLine);
    sHexLine = GetFwLine(iLast);
    if (sHexLine != FwEndRecord)
        throw EQuarn(Status::BadLastLine);
    for (std::int32_t i = 0; i < iLast; ++i) {
        sHexLine = GetFwLine(i);
        if (!HexLineToRec()) {
            Post(Notify::LineBad, i);
            throw EQuarn(Status::BadImageLine);
        }
    }
    Post(Notify::TransferBegins, FCmd);

    MakeRequest(RequestFor(logger.iClass, ReqStart), 0);
    SendLine(sHexLine, StartReplyBytes, true);

    // Sends one data line and compares the logger's echo with it.
    const auto program = [this](const std::string& sSent, std::int32_t iIndex) {
        SendLine(sSent, DataBytesPerLine, true);
        GetRxLine(sHexLine);
        if (sHexLine != sSent) {
            Post(Notify::EchoDiffers, iIndex);
            throw EQuarn(Status::EchoMismatch);
        }
        ++FRun.iLinesSent;
    };
    std::string sHeldBack;
    for (std::int32_t i = 0; i < iLast; ++i) {
        sHexLine = GetFwLine(i);
        const std::string sSent = sHexLine;
        if (!HexLineToRec()) {
            Post(Notify::LineBad, i);
            throw EQuarn(Status::BadImageLine);
        }
        if (HexRec.RecType == RecTypeData && HexRec.Count == DataBytesPerLine) {
            // The vector table goes last: a transfer broken off before it leaves the logger
            // starting its bootloader.
            if (HexRec.Address() == FwVectorTableAddress) {
                sHeldBack = sSent;
                Post(Notify::VectorLine, 0);
                continue;
            }
            program(sSent, i);
        }
        SetProgress(i, iLast);
    }
    if (!sHeldBack.empty()) {
        Post(Notify::VectorLine, 1);
        program(sHeldBack, iLast);
    }
}

// The finish request restarts the logger; it must then report the class of the image it was
// given. Until the restarted logger answers, it counts as still waiting in its bootloader: a
// finish request that it did not take, or a restart back into the bootloader, leaves it there.
void TKelvoCommThread::RestartAndConfirm(const TLogger& logger, const TBl3FileHeader& header) {
    Sleep(BeforeFinishMs);
    MakeRequest(RequestFor(logger.iClass, ReqFinish), 0);
    SendLine(sHexLine, FinishReplyBytes, true);
    FRun.bFinishRequested = true;
    Sleep(RestartWaitMs);

    SendCommand(true, CmdIdentify, 0, 0, 0, 0, 0, 0);
    FRun.bFinishRequested = false;
    const std::uint16_t iClass = MakeWord(FRxBuffer[2], FRxBuffer[3]);
    FRun.bInBootloader = IsBootloaderClass(iClass);
    Post(Notify::Class, iClass);
    if (iClass != header.quarn_class)
        throw EQuarn(Status::WrongClassAfter);
}
