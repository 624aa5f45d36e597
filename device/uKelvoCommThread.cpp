#include "device/uKelvoCommThread.h"

#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "firmware/uVersion.h"
#include "hexline/uConvert1V0.h"
#include "link/uExceptions1V0.h"

namespace {

// The device procedure can stop after reading the logger's information.
const bool bReadInfoRegistered = (bReadInfoSupported = true);

// Bootloader request codes; bootloader "BL" uses the start and finish codes less 0x20.
constexpr std::uint8_t ReqReadPlatform = 0x20;
constexpr std::uint8_t ReqReadUpdateId = 0x30;
constexpr std::uint8_t ReqStart = 0x31;
constexpr std::uint8_t ReqFinish = 0x33;
constexpr std::uint8_t ReqOffsetBL = 0x20;

constexpr std::uint8_t CmdIdentify = 1;
constexpr std::uint8_t CmdBootloader = 5;
constexpr std::uint8_t DataBytesPerLine = 64;

using Kelvo::IsBootloaderClass;

// Formats a one-byte request line into sHexLine.
void MakeRequest(std::uint8_t iCode, std::uint16_t iAddress) {
    HexRec.Count = 1;
    HexRec.AddrHi = static_cast<std::uint8_t>(iAddress >> 8);
    HexRec.AddrLo = static_cast<std::uint8_t>(iAddress & 0xFF);
    HexRec.RecType = 5;
    HexRec.Data[0] = iCode;
    HexRecToLine();
}

} // namespace

bool TKelvoCommThread::isPinnedSerial(std::uint32_t iSerial) {
    return iSerial == 328108 || iSerial == 328224 || (iSerial >= 328235 && iSerial <= 328236) ||
           (iSerial >= 328283 && iSerial <= 328287) || (iSerial >= 328297 && iSerial <= 328504);
}

void TKelvoCommThread::DoProcess() {
    (void)bReadInfoRegistered;

    // Stage 1: identify; a logger in its application is switched into its bootloader.
    std::uint16_t iClass = 0;
    std::uint16_t iVersion = 0;
    std::uint16_t iAppVersion = 0;
    std::uint32_t iSerial = 0;
    bool bFoundInBootloader = false; // at the first identification
    for (int iPass = 1;; iPass = 2) {
        SendCommand(true, CmdIdentify, 0, 0, 0, 0, 0, 0);
        iClass = MakeWord(FRxBuffer[2], FRxBuffer[3]);
        iVersion = MakeWord(FRxBuffer[4], FRxBuffer[5]);
        Post(Notify::Class, iClass);
        Post(Notify::Version, iVersion);
        FRun.bInBootloader = IsBootloaderClass(iClass);
        if (FRun.bInBootloader) {
            // A repeat that finds the logger in its bootloader, where an earlier attempt of this
            // run left it, selects with what that attempt read from the application: a pinned
            // logger keeps its pinned image.
            if (iPass == 1 && FRun.bIdentified) {
                iSerial = FRun.iSerial;
                iAppVersion = FRun.iAppVersion;
            }
            bFoundInBootloader = iPass == 1;
            break;
        }
        if ((bCheckFamily && iClass != Kelvo::AppClass) || iPass != 1)
            throw EQuarn(Status::WrongLogger);
        if (iClass == Kelvo::AppClass) {
            iAppVersion = iVersion;
            SendCommand(true, CmdIdentify, 3, 0, 0, 0, 0, 0);
            iSerial = MakeSerial(FRxBuffer[4], FRxBuffer[3], FRxBuffer[2], FRxBuffer[1]);
            Post(Notify::Serial, static_cast<std::int32_t>(iSerial));
            if (!FRun.bIdentified) {
                FRun.bIdentified = true;
                FRun.iSerial = iSerial;
                FRun.iAppVersion = iAppVersion;
            }
        }
        SendCommand(false, CmdBootloader, 3, 0xA5, 0x5A, 0, 0, 0);
        Sleep(1);
    }

    // Stage 2: hardware information from the bootloader.
    std::uint16_t iPlatform = 0;
    std::uint16_t iPrint = 0;
    std::uint16_t iInfo = 0;
    std::uint16_t upid_id = NoCode;
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
    if (iClass == Kelvo::BootClassBL) {
        upid_id = Kelvo::AppClass;
    } else {
        MakeRequest(ReqReadPlatform, 0);
        request(6);
        iPlatform = CheckPlatform(MakeWord(d[0], d[1]));
        iPrint = CheckPrint(MakeWord(d[2], d[3]));
        iInfo = MakeWord(d[4], d[5]);
        if (iPlatform != NoCode) {
            TFlashLayout layout;
            GetFlashLayout(iPlatform, layout);
            std::int32_t iAddress = layout[0].iFirst;
            if (iClass == Kelvo::BootClassBL3)
                iAddress /= 64;
            MakeRequest(ReqReadUpdateId, static_cast<std::uint16_t>(iAddress));
            request(64);
            upid_id = CheckClass(MakeWord(d[1], d[0]));
            upid_info = MakeWord(d[3], d[2]);
            upid_platform = MakeWord(d[5], d[4]);
            upid_print = MakeWord(d[7], d[6]);
            upid_reserve = MakeWord(d[9], d[8]);
            iStoredCrc = MakeWord(d[11], d[10]);
        }
    }
    Post(Notify::Platform, iPlatform);
    Post(Notify::Print, iPrint);
    Post(Notify::InfoWord, iInfo);
    Post(Notify::UpidId, upid_id);
    Post(Notify::UpidInfo, upid_info);
    // A valid update-ID block names the hardware better than the platform reply.
    if (calculateCRC16(upid_id, upid_info, upid_platform, upid_print, upid_reserve) == iStoredCrc &&
        upid_platform != NoCode && upid_print != NoCode) {
        iPlatform = upid_platform;
        iPrint = upid_print;
        Post(Notify::Platform, iPlatform);
        Post(Notify::Print, iPrint);
    }

    // A logger that this run never saw in its application, left in its bootloader by an earlier
    // run that read it there: with the same hardware it is the same logger, and a pinned one keeps
    // its pinned image.
    if (bFoundInBootloader && !FRun.bIdentified && FRun.earlier) {
        const TRunRecord::TEarlierRun& e = *FRun.earlier;
        if (e.iBootClass == iClass && e.iBootVersion == iVersion && e.iPlatform == iPlatform &&
            e.iPrint == iPrint) {
            iSerial = e.iSerial;
            iAppVersion = e.iAppVersion;
            Post(Notify::PinFromJournal, static_cast<std::int32_t>(iSerial));
        }
    }

    // Stage 3: the first catalogue image that fits; the loaded file alone when it is selected.
    const std::int32_t iFirst = iFwIndex == 0 ? 0 : 1;
    const std::int32_t iLastCandidate = iFwIndex == 0 ? 0 : GetFwCount();
    const bool bPinned = iAppVersion == Kelvo::PinnedAppVersion && isPinnedSerial(iSerial);
    // Generation 3 images carry 64-byte block numbers, generation 2 images byte addresses: an
    // image for the other generation would be written to the wrong addresses.
    const std::uint16_t iBlGeneration = iClass == Kelvo::BootClassBL3 ? 3 : 2;
    iFwIndex = -1;
    TBl3FileHeader header;
    for (std::int32_t i = iFirst; i <= iLastCandidate; ++i) {
        Post(Notify::Candidate, i);
        header = GetFwHeader(i);
        if ((!bCheckClass || upid_id == header.quarn_class) &&
            (!bCheckPlatform || iPlatform == header.quarn_platform) &&
            iPrint == header.quarn_print &&
            (!bPinned || (header.quarn_verH == 5 && header.quarn_verL == 136)) &&
            iVersion == header.quarn_bl_ver && header.quarn_bl == iBlGeneration) {
            iFwIndex = i;
            break;
        }
    }
    if (iFwIndex == -1)
        throw EQuarn(Status::NoFittingImage);
    if (bReadInfoOnly)
        throw EQuarn(Status::InfoOnly);

    // Stage 4: the transfer. The whole image is checked before the logger is told to start, so
    // that an image which can never be sent completely does not cost the logger its firmware.
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

    const std::uint8_t iReqOffset = iClass == Kelvo::BootClassBL ? ReqOffsetBL : 0;
    MakeRequest(static_cast<std::uint8_t>(ReqStart - iReqOffset), 0);
    SendLine(sHexLine, 1, true);

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
        if (HexRec.RecType == 0 && HexRec.Count == DataBytesPerLine) {
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

    Sleep(500);
    MakeRequest(static_cast<std::uint8_t>(ReqFinish - iReqOffset), 0);
    SendLine(sHexLine, 0, true);
    Sleep(2000); // the logger restarts

    // Until the restarted logger answers, it counts as still waiting in its bootloader: a
    // finish request that it did not take, or a restart back into the bootloader, leaves it there.
    SendCommand(true, CmdIdentify, 0, 0, 0, 0, 0, 0);
    iClass = MakeWord(FRxBuffer[2], FRxBuffer[3]);
    FRun.bInBootloader = IsBootloaderClass(iClass);
    Post(Notify::Class, iClass);
    if (iClass != header.quarn_class)
        throw EQuarn(Status::WrongClassAfter);
}
