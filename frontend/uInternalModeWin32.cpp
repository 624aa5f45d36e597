// The internal-mode store on Windows: the DWORD value "intern" of HKCU "Software\Orlenta\Quarn".
#include "frontend/uStartupOptions.h"

#include <windows.h>

bool IsInternalMode() {
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Orlenta\\Quarn", 0, KEY_QUERY_VALUE,
                        &hKey) != ERROR_SUCCESS)
        return false;
    DWORD iType = 0;
    DWORD iValue = 0;
    DWORD iSize = sizeof iValue;
    const LONG iResult = ::RegQueryValueExW(hKey, L"intern", nullptr, &iType,
                                            reinterpret_cast<BYTE*>(&iValue), &iSize);
    ::RegCloseKey(hKey);
    // Only an integer value counts; a text or any other type leaves the internal mode off.
    return iResult == ERROR_SUCCESS && iType == REG_DWORD && iValue == InternalAccessCode;
}
