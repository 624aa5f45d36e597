#include "frontend/uPortList.h"

#include <windows.h>

#include <cctype>
#include <cwctype>

namespace {

std::string Narrow(const wchar_t* w, int n) {
    const int iLen = ::WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(iLen > 0 ? iLen : 0), '\0');
    if (iLen > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), iLen, nullptr, nullptr);
    return s;
}

bool IsVirtualComPort(std::wstring sDevice) {
    for (auto& c : sDevice)
        c = static_cast<wchar_t>(::towlower(c));
    return sDevice.rfind(L"\\device\\vcp", 0) == 0;
}

// The ports of HKLM "hardware\devicemap\serialcomm" in the registry's order: the COM name as
// sPort, the value's name as sDeviceName, bInGuiList for the virtual COM ports.
std::vector<TPortDetails> SerialCommPorts() {
    std::vector<TPortDetails> aList;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"hardware\\devicemap\\serialcomm", 0, KEY_QUERY_VALUE,
                        &hKey) != ERROR_SUCCESS)
        return aList;
    for (DWORD i = 0;; ++i) {
        wchar_t sName[512];
        DWORD iNameLen = 512;
        wchar_t sData[512];
        DWORD iDataSize = sizeof sData;
        DWORD iType = 0;
        const LONG r = ::RegEnumValueW(hKey, i, sName, &iNameLen, nullptr, &iType,
                                       reinterpret_cast<BYTE*>(sData), &iDataSize);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || iType != REG_SZ)
            continue;
        const auto n = static_cast<int>(iDataSize / sizeof(wchar_t));
        TPortDetails d;
        d.sPort = Narrow(sData, n > 0 && sData[n - 1] == L'\0' ? n - 1 : n);
        d.sDeviceName = Narrow(sName, static_cast<int>(iNameLen));
        d.bInGuiList = IsVirtualComPort(sName);
        aList.push_back(std::move(d));
    }
    ::RegCloseKey(hKey);
    return aList;
}

} // namespace

void ListComPorts(std::vector<std::string>& aList, const std::string&) {
    aList.clear();
    for (auto& d : SerialCommPorts())
        if (d.bInGuiList)
            aList.push_back(std::move(d.sPort));
}

std::vector<TPortDetails> ListPortDetails(const std::string&, const TTtyLookup&) {
    return SerialCommPorts();
}

std::string PortIdentity(const std::string& sPort) {
    std::string s = sPort.rfind("\\\\.\\", 0) == 0 ? sPort.substr(4) : sPort;
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
