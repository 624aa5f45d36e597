#include "link/uPortTrace.h"

#include "hexline/uConvert1V0.h"
#include "hexline/uShownText.h"
#include "link/uSystemTexts.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// A port that passes every call on and traces the bytes that went out and came in.
class TTracedPort final : public TSerialPort {
public:
    TTracedPort(TPortHandle hPort, TPortTrace& trace, std::string sPort)
        : FhPort(std::move(hPort)), FTrace(trace), FsPort(std::move(sPort)) {}
    ~TTracedPort() override { Close(); }

    bool ClearErrors() override { return Traced("clear errors", FhPort->ClearErrors()); }
    bool Purge() override { return Traced("purge", FhPort->Purge()); }

    bool Write(const std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iWritten) override {
        const bool bOk = FhPort->Write(pData, iCount, iWritten);
        FTrace.Line(FsPort, ">", TraceBytes(pData, iWritten) + Shortfall(bOk, iWritten, iCount));
        return bOk;
    }

    bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) override {
        const bool bOk = FhPort->Read(pData, iCount, iRead);
        FTrace.Line(FsPort, "<", TraceBytes(pData, iRead) + Shortfall(bOk, iRead, iCount));
        return bOk;
    }

    bool WaitUnlessHungUp(std::int32_t iMs) override {
        return Traced("wait", FhPort->WaitUnlessHungUp(iMs));
    }

    std::string LastError() const override { return FhPort->LastError(); }

    bool Close() override {
        if (FbClosed)
            return true;
        FbClosed = true;
        return Traced("close", FhPort->Close());
    }

private:
    // Only failures of the bookkeeping calls are worth a line.
    bool Traced(const char* sCall, bool bOk) {
        if (!bOk)
            FTrace.Line(FsPort, "!", std::string(sCall) + " failed" + Why());
        return bOk;
    }
    std::string Shortfall(bool bOk, std::uint32_t iDone, std::uint32_t iWanted) const {
        if (!bOk)
            return " (failed" + Why() + ")";
        if (iDone < iWanted)
            return " (" + std::to_string(iDone) + " of " + std::to_string(iWanted) + " bytes)";
        return {};
    }

    // ": <why the call failed>", or nothing when the port does not say.
    std::string Why() const {
        const std::string s = FhPort->LastError();
        return s.empty() ? s : ": " + s;
    }

    TPortHandle FhPort;
    TPortTrace& FTrace;
    std::string FsPort;
    bool FbClosed = false;
};

} // namespace

TPortTrace::TPortTrace(std::FILE* pFile)
    : FpFile(pFile), FtStart(std::chrono::steady_clock::now()) {}

TPortOpener TPortTrace::Wrap(TPortOpener openPort) {
    return [this, openPort = std::move(openPort)](const std::string& sPort, std::int32_t iBaud,
                                                  std::string* psReason) -> TPortHandle {
        std::string sReason;
        TPortHandle hPort = openPort(sPort, iBaud, &sReason);
        if (psReason != nullptr)
            *psReason = sReason;
        if (!hPort) {
            Line(sPort, "!", "open failed" + (sReason.empty() ? "" : ": " + sReason));
            return nullptr;
        }
        Line(sPort, "!", "open at " + std::to_string(iBaud) + " baud");
        return std::make_unique<TTracedPort>(std::move(hPort), *this, sPort);
    };
}

void TPortTrace::Line(const std::string& sPort, const std::string& sWhat,
                      const std::string& sText) {
    const auto iMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - FtStart)
                         .count();
    // The port's name and an open failure's reason come from outside: a trace on a terminal
    // shows their control characters escaped.
    const std::string sShownPort = EscapeControlChars(sPort);
    const std::string sShownText = EscapeControlChars(sText);
    const std::lock_guard lock(FMutex);
    if (FbFailed)
        return;
    if (std::fprintf(FpFile, "%9lld.%03lld %s %s %s\n", static_cast<long long>(iMs / 1000),
                     static_cast<long long>(iMs % 1000), sShownPort.c_str(), sWhat.c_str(),
                     sShownText.c_str()) < 0 ||
        std::fflush(FpFile) != 0) {
        FsError = ErrorText(errno);
        FbFailed = true;
    }
}

std::string TPortTrace::TakeWriteError() {
    const std::lock_guard lock(FMutex);
    return std::exchange(FsError, std::string());
}

std::string TraceBytes(const std::uint8_t* pData, std::uint32_t iCount) {
    const bool bLine =
        iCount > 0 && pData[0] == ':' && std::all_of(pData, pData + iCount, [](std::uint8_t b) {
            std::uint8_t iNibble = 0;
            return b == ':' || HexCharToNibble(static_cast<char>(b), iNibble);
        });
    if (bLine)
        return std::string(reinterpret_cast<const char*>(pData), iCount);
    if (iCount == 0)
        return "(nothing)";
    return HexBytes(pData, iCount);
}
