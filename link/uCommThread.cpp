#include "link/uCommThread.h"

#include "hexline/uConvert1V0.h"
#include "link/uExceptions1V0.h"

#include <chrono>

std::atomic<bool> bCancel{false};
TCommThreadClass CommThreadClass = nullptr;

namespace {

constexpr int Attempts = 5;
constexpr std::int32_t RetryPauseMs = 100;
constexpr std::int32_t Baud = 9600;
constexpr std::uint8_t WakeUpCommand = 255;
constexpr std::uint8_t ExceptionBit = 0x20;
constexpr std::uint32_t FrameSize = 8;

} // namespace

TCommThread::TCommThread(TNotifyTarget& hWindow, std::int32_t cmd, std::string sPort,
                         TPortOpener openPort, TRunRecord* pRun)
    : FCmd(cmd), FhWindow(hWindow), FsPort(std::move(sPort)), FRun(pRun ? *pRun : FOwnRun),
      FOpenPort(std::move(openPort)) {}

TCommThread::~TCommThread() = default;

void TCommThread::Start() {
    FThread = std::thread([this] { Execute(); });
}

void TCommThread::WaitFor() {
    if (FThread.joinable())
        FThread.join();
}

void TCommThread::Sleep(std::int32_t iMs) {
    if (!FhPort) {
        std::this_thread::sleep_for(std::chrono::milliseconds(iMs));
        return;
    }
    // A logger unplugged during a wait (the two seconds of its restart above all) is noticed
    // then, not at the next exchange.
    if (!FhPort->WaitUnlessHungUp(iMs))
        PortFailed("WaitUnlessHungUp");
}

void TCommThread::Execute() noexcept {
    // Exactly one final notification, always after the port is closed.
    std::int32_t iCode = Notify::Done;
    std::int32_t iValue = FCmd;
    try {
        FRun.sPortReason.clear();
        FRun.bFinishRequested = false;
        FhPort = FOpenPort(FsPort, Baud, &FRun.sPortReason);
        if (!FhPort)
            throw EQuarn(Status::PortNotReady);
        try {
            ResetProgress();
            SendCommand(false, WakeUpCommand, 0, 0, 0, 0, 0, 0);
            Sleep(RetryPauseMs);
            SendCommand(false, WakeUpCommand, 0, 0, 0, 0, 0, 0);
            Sleep(RetryPauseMs);
            DoProcess();
        } catch (...) {
            ClosePort();
            throw;
        }
        ClosePort();
    } catch (const EQuarn& e) {
        iCode = e.iException == Status::NoAnswer ? Notify::NoAnswer : Notify::Status;
        iValue = e.iException == Status::NoAnswer ? FCmd : e.iException;
    } catch (...) {
        // Anything else (an exhausted resource, a foreign exception) still ends the update with
        // one notification instead of tearing down the program.
        iCode = Notify::Status;
        iValue = 0;
    }
    FiFinalCode = iCode;
    FiFinalValue = iValue;
    FbFinished = true;
    Post(iCode, iValue);
}

std::optional<std::pair<std::int32_t, std::int32_t>> TCommThread::FinalNotification() const {
    if (!FbFinished)
        return std::nullopt;
    return std::pair{FiFinalCode, FiFinalValue};
}

void TCommThread::PortFailed(const char* sCall) {
    FRun.sPortReason = FhPort->LastError();
    if (FRun.sPortReason.empty())
        FRun.sPortReason = std::string(sCall) + " failed";
    throw EQuarn(Status::PortIoError, sCall);
}

void TCommThread::ClosePort() {
    CloseComPort(FhPort);
}

void TCommThread::SetProgress(std::int32_t iCurrent, std::int32_t iTotal) {
    std::int32_t p = 0;
    if (iTotal != 0) {
        // In 64 bits: the product of two 32-bit values must not overflow.
        const std::int64_t q = static_cast<std::int64_t>(iCurrent) * 99 / iTotal;
        p = static_cast<std::int32_t>(q < 0 ? 0 : (q > 99 ? 99 : q));
    }
    if (p != FnProgres) {
        FnProgres = p;
        Post(Notify::Progress, p);
    }
}

bool TCommThread::SendCommand(bool bAnswer, std::uint8_t iCmd, std::uint8_t d1, std::uint8_t d2,
                              std::uint8_t d3, std::uint8_t d4, std::uint8_t d5, std::uint8_t d6) {
    if (iCmd == WakeUpCommand) {
        FTxBuffer.fill(0);
    } else {
        FTxBuffer[0] = static_cast<std::uint8_t>(iCmd | 0x80);
        FTxBuffer[1] = d1;
        FTxBuffer[2] = d2;
        FTxBuffer[3] = d3;
        FTxBuffer[4] = d4;
        FTxBuffer[5] = d5;
        FTxBuffer[6] = d6;
        FTxBuffer[7] = CalcCRC8(FTxBuffer.data(), 7);
    }
    for (int iAttempt = 1;; ++iAttempt) {
        if (bCancel)
            throw EQuarn(Status::Cancelled);
        if (TxRxFrame(bAnswer))
            return true;
        if (iAttempt == Attempts)
            throw EQuarn(Status::NoAnswer);
        Sleep(RetryPauseMs);
    }
}

bool TCommThread::TxRxFrame(bool bAnswer) {
    if (!FhPort->ClearErrors())
        PortFailed("ClearCommError");
    if (!FhPort->Purge())
        PortFailed("PurgeComm");
    std::uint32_t n = 0;
    if (!FhPort->Write(FTxBuffer.data(), FrameSize, n))
        PortFailed("WriteFile");
    if (n < FrameSize)
        return false;
    if (!bAnswer)
        return true;
    if (!FhPort->Read(FRxBuffer.data(), FrameSize, n))
        PortFailed("ReadFile");
    if (n < FrameSize || CalcCRC8(FRxBuffer.data(), 7) != FRxBuffer[7])
        return false;
    if (FRxBuffer[0] & ExceptionBit)
        throw EQuarn(Status::LoggerException, "Quarn Exception!");
    return true;
}

std::uint16_t TCommThread::calculateCRC16(std::uint16_t upid_id, std::uint16_t upid_info,
                                          std::uint16_t upid_platform, std::uint16_t upid_print,
                                          std::uint16_t upid_reserve) {
    const std::uint16_t aWords[] = {upid_id, upid_info, upid_platform, upid_print, upid_reserve};
    std::uint8_t aRecord[10];
    for (int i = 0; i < 5; ++i) {
        aRecord[2 * i] = static_cast<std::uint8_t>(aWords[i] & 0xFF);
        aRecord[2 * i + 1] = static_cast<std::uint8_t>(aWords[i] >> 8);
    }
    return CalcCRC16(aRecord, sizeof aRecord);
}

bool TCommThread::TxRxLine(const std::string& sLine, std::uint8_t n) {
    FRxCnt = 0;
    if (!FhPort->ClearErrors())
        PortFailed("ClearCommError");
    if (!FhPort->Purge())
        PortFailed("PurgeComm");
    // The whole line is written; request and data lines are at most 139 characters.
    const auto iTxCnt = static_cast<std::uint32_t>(sLine.size());
    const std::uint32_t iRxLen = 2u * n + 11u;
    std::uint32_t iDone = 0;
    if (!FhPort->Write(reinterpret_cast<const std::uint8_t*>(sLine.data()), iTxCnt, iDone))
        PortFailed("WriteFile");
    if (iDone != iTxCnt) {
        FRun.sPortReason = "the line took " + std::to_string(iDone) + " of " +
                           std::to_string(iTxCnt) + " bytes in the time allowed";
        throw EQuarn(Status::PortIoError, "WriteFile <> txCnt");
    }
    if (n == 0)
        return true;
    if (!FhPort->Read(FRxBuffer.data(), iRxLen, iDone))
        PortFailed("ReadFile");
    FRxCnt = static_cast<std::int32_t>(iRxLen);
    if (iDone < iRxLen)
        return false;
    // The reply's count through its checksum; a valid reply sums to 0.
    return HexTextChecksum(reinterpret_cast<const char*>(FRxBuffer.data()) + 1, n + 5) == 0;
}

bool TCommThread::SendLine(const std::string& sLine, std::uint8_t n, bool bRaise) {
    for (int iAttempt = 1;; ++iAttempt) {
        if (bCancel)
            throw EQuarn(Status::Cancelled);
        if (TxRxLine(sLine, n))
            return true;
        if (iAttempt == Attempts) {
            if (bRaise)
                throw EQuarn(Status::NoAnswer);
            return false;
        }
        Sleep(RetryPauseMs);
    }
}

void TCommThread::GetRxLine(std::string& sLine) const {
    sLine.assign(reinterpret_cast<const char*>(FRxBuffer.data()), static_cast<std::size_t>(FRxCnt));
}
