// The reasons of the Windows serial layer, from the system's error codes.
#include "link/uPortReason.h"

#include <windows.h>

#include <string>

std::string OpenErrorReason(std::uint32_t iError, const std::string&) {
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

// A USB serial converter pulled out makes the driver fail every call with one of these.
std::string IoErrorReason(std::uint32_t iError) {
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
        return OpenErrorReason(iError, {}) + " (error " + std::to_string(iError) + ")";
    }
}

std::string PortHolders(const std::string&) {
    // Windows does not tell which program holds a COM port.
    return {};
}
