// Win32 serial backend: kernel32 with the fixed line settings, queues and time limits.
#include "link/uRS232.h"

#include <windows.h>

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

// The reason for a failed call, from its system error code.
std::string ErrorReason(DWORD iError) {
    switch (iError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
        return PortReason::NoDevice;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A COM port opened by another program refuses every further open this way.
        return std::string(PortReason::InUse) + ", or " + PortReason::Permission;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return PortReason::NotSerial;
    default: {
        char aText[256] = {};
        const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                         nullptr, iError, 0, aText, sizeof aText, nullptr);
        std::string s(aText, n);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
            s.pop_back();
        return s.empty() ? "system error " + std::to_string(iError) : s;
    }
    }
}

// The reason of a failed call on an open port. A USB serial converter pulled out makes the
// driver fail every call with one of these.
std::string IoErrorReason(DWORD iError) {
    switch (iError) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_FILE_NOT_FOUND:
        return std::string(PortReason::Disconnected) + " (error " + std::to_string(iError) + ")";
    default:
        return ErrorReason(iError) + " (error " + std::to_string(iError) + ")";
    }
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
        sReason = sPort.empty() ? "no port name" : ErrorReason(::GetLastError());
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
        sReason = "the line settings were refused: " + ErrorReason(::GetLastError());
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
        sReason = "the line settings were refused: " + ErrorReason(::GetLastError());
        return nullptr;
    }

    // DTR on last. A device without modem-control lines (a pseudo-terminal behind Wine) cannot
    // carry it; that alone does not make the port unusable.
    if (!::EscapeCommFunction(h, SETDTR) && ::GetLastError() != ERROR_NOT_SUPPORTED) {
        sReason = "the modem lines were refused: " + ErrorReason(::GetLastError());
        return nullptr;
    }
    return hPort;
}

bool EnsureStandardStreams() {
    // A port is a kernel handle here, never a C runtime descriptor: it cannot take the place of a
    // closed standard stream, and writing to a closed one only fails.
    return true;
}
