// Win32 serial backend: kernel32 with the fixed line settings, queues and time limits.
#include "link/uRS232.h"

#include "link/uPortReason.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

class TWin32SerialPort final : public TSerialPort {
public:
    explicit TWin32SerialPort(HANDLE h) : Fh(h) {}
    ~TWin32SerialPort() override { Close(); }

    bool ClearErrors() override {
        DWORD iErrors = 0;
        COMSTAT stat{};
        return Kept(::ClearCommError(Fh, &iErrors, &stat) != 0);
    }

    bool Purge() override { return Kept(::PurgeComm(Fh, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0); }

    bool Write(const std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iWritten) override {
        DWORD n = 0;
        const bool bOk = ::WriteFile(Fh, pData, iCount, &n, nullptr) != 0;
        iWritten = n;
        return Kept(bOk);
    }

    bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) override {
        DWORD n = 0;
        const bool bOk = ::ReadFile(Fh, pData, iCount, &n, nullptr) != 0;
        iRead = n;
        return Kept(bOk);
    }

    // Windows tells a removed device only through a failing call: the error state is asked for
    // every few milliseconds.
    bool WaitUnlessHungUp(std::int32_t iMs) override {
        constexpr DWORD SliceMs = 20;
        const ULONGLONG tEnd = ::GetTickCount64() + static_cast<ULONGLONG>(iMs > 0 ? iMs : 0);
        for (ULONGLONG tNow = ::GetTickCount64(); tNow < tEnd; tNow = ::GetTickCount64()) {
            DWORD iErrors = 0;
            COMSTAT stat{};
            if (::ClearCommError(Fh, &iErrors, &stat) == 0)
                return Kept(false);
            ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(SliceMs, tEnd - tNow)));
        }
        return true;
    }

    std::string LastError() const override { return FsLastError; }

    bool Close() override {
        if (Fh == INVALID_HANDLE_VALUE)
            return true;
        const bool bOk = ::CloseHandle(Fh) != 0;
        Fh = INVALID_HANDLE_VALUE;
        return bOk;
    }

private:
    // A call's success flag; a failure's reason is kept for LastError.
    bool Kept(bool bOk);

    HANDLE Fh;
    std::string FsLastError;
};

std::wstring Widen(const std::string& s) {
    if (s.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

bool TWin32SerialPort::Kept(bool bOk) {
    if (!bOk)
        FsLastError = IoErrorReason(::GetLastError());
    return bOk;
}

} // namespace

TPortHandle OpenComPort(const std::string& sPort, std::int32_t iBaud, std::string* psReason) {
    std::string sIgnored;
    std::string& sReason = psReason != nullptr ? *psReason : sIgnored;
    const std::wstring sPath = L"\\\\.\\" + Widen(sPort);
    HANDLE h = ::CreateFileW(sPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        sReason = sPort.empty() ? "no port name" : OpenErrorReason(::GetLastError(), sPort);
        return nullptr;
    }
    // From here on the port object owns the handle and closes it on every failure path.
    auto hPort = std::make_unique<TWin32SerialPort>(h);

    // The record is filled completely; the port's current settings are never read. Only fBinary
    // is set: no parity check, no flow control of any kind, DTR and RTS disabled.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(iBaud);
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x20;
    dcb.XoffChar = 0x20;
    dcb.ErrorChar = 0x20;
    dcb.EofChar = 0x20;
    dcb.EvtChar = 0x20;
    if (!::SetCommState(h, &dcb) || !::SetupComm(h, 1000, 1000)) {
        sReason = "the line settings were refused: " + OpenErrorReason(::GetLastError(), sPort);
        return nullptr;
    }

    // A read of n bytes ends after n + 200 ms; a write of n bytes may take n ms.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 200;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(h, &timeouts)) {
        sReason = "the line settings were refused: " + OpenErrorReason(::GetLastError(), sPort);
        return nullptr;
    }

    // DTR on last. A device without modem-control lines (a pseudo-terminal behind Wine) cannot
    // carry it; that alone does not make the port unusable.
    if (!::EscapeCommFunction(h, SETDTR) && ::GetLastError() != ERROR_NOT_SUPPORTED) {
        sReason = "the modem lines were refused: " + OpenErrorReason(::GetLastError(), sPort);
        return nullptr;
    }
    return hPort;
}

bool EnsureStandardStreams() {
    // A port is a kernel handle here, never a C runtime descriptor: it cannot take the place of a
    // closed standard stream, and writing to a closed one only fails.
    return true;
}
