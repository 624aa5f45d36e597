// The update procedure against a logger that answers with arbitrary bytes, through the scripted
// serial port: every run ends with exactly one final notification, posted after the port was
// closed, in a status of the vocabulary. The worker runs on the fuzzer's thread and its waits are
// skipped, so a run takes as long as its answers last: only the first MaxAnsweredWrites writes
// get an answer from the input, and past that or past the input every write meets silence, which
// ends the update within five attempts. A built-in image of some 780 lines therefore never
// completes here; a complete update runs from the file slot with a shortened image.
#include "ProcedureInput.h"

#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "hexline/uConvert1V0.h"
#include "link/uExceptions1V0.h"
#include "tests/support/FakeSerial.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace ProcedureInput;

void Check(bool b) {
    if (!b)
        std::abort();
}

// Checks the notifications as they come: progress in range, one final one, after the close.
class TPostChecker final : public TNotifyTarget {
public:
    explicit TPostChecker(const TFakeSerial& fake) : FFake(fake) {}

    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override {
        Check(!bFinal);
        if (iCode == Notify::Progress)
            Check(iValue >= 0 && iValue <= 99);
        if (iCode == Notify::Done || iCode == Notify::Status || iCode == Notify::NoAnswer) {
            Check(FFake.bClosed);
            bFinal = true;
            iFinalCode = iCode;
            iFinalValue = iValue;
        }
    }

    bool bFinal = false;
    std::int32_t iFinalCode = -1;
    std::int32_t iFinalValue = -1;

private:
    const TFakeSerial& FFake;
};

// The statuses an update against a working port can end in. Status 0 (an exception that is not
// an EQuarn) counts as a fault of the procedure.
bool IsKnownStatus(std::int32_t iStatus) {
    for (const std::int32_t i :
         {Status::PortIoError, Status::Cancelled, Status::WrongLogger, Status::LoggerException,
          Status::BadLastLine, Status::BadImageLine, Status::EchoMismatch, Status::WrongClassAfter,
          Status::BadHardwareReply, Status::NoFittingImage, Status::InfoOnly})
        if (iStatus == i)
            return true;
    return false;
}

// Every update starts from the program's start values.
void ResetGlobals() {
    bCancel = false;
    bCheckClass = bCheckFamily = bCheckPlatform = true;
    bFormatMemory = false;
    bReadInfoOnly = false;
    iFileMode = 0;
    iFwIndex = -1;
    FwFileHeader = TBl3FileHeader{};
    FwFileLines.clear();
    sHexLine.clear();
    HexRec = THexRec{};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t iSize) {
    if (iSize < HeaderSize)
        return 0;
    ResetGlobals();
    const std::uint8_t iOptions = pData[0];
    bCheckClass = (iOptions & NoClassCheck) == 0;
    bCheckFamily = (iOptions & NoFamilyCheck) == 0;
    bCheckPlatform = (iOptions & NoPlatformCheck) == 0;
    bReadInfoOnly = (iOptions & ReadInfoOnly) != 0;
    if (iOptions & FileSlot)
        FillFileSlot(1 + pData[1] % 9);
    const int iTroubleRead = pData[2];
    const auto eTrouble = static_cast<TTrouble>(pData[3] % TroubleCount);

    TFakeSerial fake;
    std::size_t iPos = HeaderSize;
    int iWrites = 0;
    fake.Responder = [&](const TBytes& aWritten) -> TBytes {
        if (iPos >= iSize || ++iWrites > MaxAnsweredWrites)
            return {};
        const std::uint8_t iLength = pData[iPos++];
        if (iLength == EchoChunk)
            return aWritten;
        const std::size_t iTake = std::min<std::size_t>(iLength, iSize - iPos);
        const TBytes aAnswer(pData + iPos, pData + iPos + iTake);
        iPos += iTake;
        return aAnswer;
    };
    fake.OnRead = [&](int iRead) {
        if (iRead != iTroubleRead)
            return;
        switch (eTrouble) {
        case Cancel:
            bCancel = true;
            break;
        case FailClearErrors:
            fake.FailNext(TSerialCall::ClearErrors);
            break;
        case FailPurge:
            fake.FailNext(TSerialCall::Purge);
            break;
        case FailWrite:
            fake.FailNext(TSerialCall::Write);
            break;
        case FailRead:
            fake.FailNext(TSerialCall::Read);
            break;
        case ShortWrite:
        case TroubleCount:
            fake.ShortWriteNext();
            break;
        }
    };

    TPostChecker checker(fake);
    {
        TNoWaitKelvo worker(checker, 0, "fuzz", fake.Opener());
        worker.Run();
        Check(worker.Finished());
    }
    Check(checker.bFinal && fake.bClosed);
    if (checker.iFinalCode == Notify::Status)
        Check(IsKnownStatus(checker.iFinalValue));
    else
        Check(checker.iFinalValue == 0);
    bCancel = false;
    return 0;
}
