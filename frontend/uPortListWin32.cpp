#include "frontend/uPortList.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <map>
#include <memory>
#include <type_traits>

namespace {

// The device setup class of serial and parallel ports, and the interface that COM port drivers
// outside that class (some CDC modems) register.
constexpr GUID PortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID ComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// The product text that a USB device reports in its descriptor.
constexpr DEVPROPKEY BusReportedDeviceDesc = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

struct TDevInfoListClose {
    void operator()(HDEVINFO h) const { ::SetupDiDestroyDeviceInfoList(h); }
};
using TDevInfoList = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, TDevInfoListClose>;

struct TKeyClose {
    void operator()(HKEY h) const { ::RegCloseKey(h); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyClose>;

std::string Narrow(const wchar_t* w, int n) {
    const int iLen = ::WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(iLen > 0 ? iLen : 0), '\0');
    if (iLen > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), iLen, nullptr, nullptr);
    return s;
}

// A registry or property text of iBytes bytes, without the terminating zeros.
std::string NarrowSz(const std::wstring& w, DWORD iBytes) {
    std::size_t n = std::min<std::size_t>(iBytes / sizeof(wchar_t), w.size());
    while (n > 0 && w[n - 1] == L'\0')
        --n;
    return Narrow(w.data(), static_cast<int>(n));
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
    const TKey key(hKey);
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
    return aList;
}

// The "PortName" value of a device's hardware key (such as COM3); empty when it has none.
std::string PortNameOf(HDEVINFO h, SP_DEVINFO_DATA& dev) {
    const HKEY hKey =
        ::SetupDiOpenDevRegKey(h, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (hKey == nullptr || hKey == INVALID_HANDLE_VALUE)
        return {};
    const TKey key(hKey);
    std::wstring s(256, L'\0');
    DWORD iType = 0;
    DWORD iSize = static_cast<DWORD>(s.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(hKey, L"PortName", nullptr, &iType, reinterpret_cast<BYTE*>(s.data()),
                           &iSize) != ERROR_SUCCESS ||
        iType != REG_SZ)
        return {};
    return NarrowSz(s, iSize);
}

// A text property of the device's registry entry (SPDRP_DEVICEDESC, ...); empty when it has none.
std::string RegistryProperty(HDEVINFO h, SP_DEVINFO_DATA& dev, DWORD iProperty) {
    DWORD iType = 0;
    DWORD iSize = 0;
    ::SetupDiGetDeviceRegistryPropertyW(h, &dev, iProperty, &iType, nullptr, 0, &iSize);
    if (iSize == 0)
        return {};
    std::wstring s(iSize / sizeof(wchar_t) + 1, L'\0');
    if (!::SetupDiGetDeviceRegistryPropertyW(h, &dev, iProperty, &iType,
                                             reinterpret_cast<BYTE*>(s.data()), iSize, &iSize) ||
        iType != REG_SZ)
        return {};
    return NarrowSz(s, iSize);
}

// A device's property of type text; empty when it has none.
std::string TextProperty(HDEVINFO h, SP_DEVINFO_DATA& dev, const DEVPROPKEY& key) {
    DEVPROPTYPE iType = 0;
    DWORD iSize = 0;
    ::SetupDiGetDevicePropertyW(h, &dev, &key, &iType, nullptr, 0, &iSize, 0);
    if (iSize == 0)
        return {};
    std::wstring s(iSize / sizeof(wchar_t) + 1, L'\0');
    if (!::SetupDiGetDevicePropertyW(h, &dev, &key, &iType, reinterpret_cast<BYTE*>(s.data()),
                                     iSize, &iSize, 0) ||
        iType != DEVPROP_TYPE_STRING)
        return {};
    return NarrowSz(s, iSize);
}

std::string DeviceInstanceId(DEVINST hInst) {
    ULONG iLen = 0;
    if (::CM_Get_Device_ID_Size(&iLen, hInst, 0) != CR_SUCCESS || iLen == 0)
        return {};
    std::wstring s(iLen + 1, L'\0');
    if (::CM_Get_Device_IDW(hInst, s.data(), iLen + 1, 0) != CR_SUCCESS)
        return {};
    return Narrow(s.c_str(), static_cast<int>(::wcslen(s.c_str())));
}

// The instance IDs of a device and of the devices above it, nearest first (a USB port sits at
// most a few levels below its USB device; the tree's root ends the walk anyway).
std::vector<std::string> DeviceChain(DEVINST hInst) {
    std::vector<std::string> aIds;
    for (int i = 0; i < 4; ++i) {
        std::string s = DeviceInstanceId(hInst);
        if (s.empty())
            break;
        aIds.push_back(std::move(s));
        DEVINST hParent = 0;
        if (::CM_Get_Parent(&hParent, hInst, 0) != CR_SUCCESS)
            break;
        hInst = hParent;
    }
    return aIds;
}

// The USB product text of the port's device or of the USB device above it with the same ids.
std::string UsbProductText(HDEVINFO h, SP_DEVINFO_DATA& dev, const std::vector<std::string>& aIds,
                           const TUsbInstanceId& usb) {
    if (usb.sVendorId.empty())
        return {};
    if (std::string s = TextProperty(h, dev, BusReportedDeviceDesc); !s.empty())
        return s;
    // The devices above the port, each looked up in a list of its own.
    const TDevInfoList list(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (list.get() == INVALID_HANDLE_VALUE)
        return {};
    for (std::size_t i = 1; i < aIds.size(); ++i) {
        const TUsbInstanceId id = ParseDeviceInstanceId(aIds[i]);
        if (id.sVendorId != usb.sVendorId || id.sProductId != usb.sProductId)
            break;
        const std::wstring w(aIds[i].begin(), aIds[i].end()); // instance IDs are ASCII
        SP_DEVINFO_DATA parent{};
        parent.cbSize = sizeof parent;
        if (!::SetupDiOpenDeviceInfoW(list.get(), w.c_str(), nullptr, 0, &parent))
            continue;
        if (std::string s = TextProperty(list.get(), parent, BusReportedDeviceDesc); !s.empty())
            return s;
    }
    return {};
}

// The present devices that have a port name, by that name in upper case, with what SetupAPI
// tells of them; the first device found keeps a name.
std::map<std::string, TPortDetails> PortDevices() {
    std::map<std::string, TPortDetails> aByPort;
    const struct {
        const GUID* pGuid;
        DWORD iFlags;
    } aSets[] = {{&PortsClass, DIGCF_PRESENT},
                 {&ComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
    for (const auto& set : aSets) {
        const TDevInfoList list(::SetupDiGetClassDevsW(set.pGuid, nullptr, nullptr, set.iFlags));
        if (list.get() == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(list.get(), i, &dev); ++i) {
            const std::string sPort = PortIdentity(PortNameOf(list.get(), dev));
            if (sPort.empty() || aByPort.count(sPort) != 0)
                continue;
            TPortDetails d;
            d.sDescription = RegistryProperty(list.get(), dev, SPDRP_DEVICEDESC);
            if (d.sDescription.empty())
                d.sDescription = RegistryProperty(list.get(), dev, SPDRP_FRIENDLYNAME);
            const std::vector<std::string> aIds = DeviceChain(dev.DevInst);
            const TUsbInstanceId usb = UsbIdsOfDeviceChain(aIds);
            d.sVendorId = usb.sVendorId;
            d.sProductId = usb.sProductId;
            d.sSerial = usb.sSerial;
            d.sProduct = UsbProductText(list.get(), dev, aIds, usb);
            aByPort.emplace(sPort, std::move(d));
        }
    }
    return aByPort;
}

} // namespace

void ListComPorts(std::vector<std::string>& aList, const std::string&) {
    aList.clear();
    for (auto& d : SerialCommPorts())
        if (d.bInGuiList)
            aList.push_back(std::move(d.sPort));
}

std::vector<TPortDetails> ListPortDetails(const std::string&, const TTtyLookup&) {
    std::vector<TPortDetails> aList = SerialCommPorts();
    if (aList.empty())
        return aList;
    const std::map<std::string, TPortDetails> aDevices = PortDevices();
    for (TPortDetails& d : aList) {
        const auto it = aDevices.find(PortIdentity(d.sPort));
        if (it == aDevices.end())
            continue;
        d.sVendorId = it->second.sVendorId;
        d.sProductId = it->second.sProductId;
        d.sProduct = it->second.sProduct;
        d.sSerial = it->second.sSerial;
        d.sDescription = it->second.sDescription;
    }
    return aList;
}

std::string PortIdentity(const std::string& sPort) {
    std::string s = sPort.rfind("\\\\.\\", 0) == 0 ? sPort.substr(4) : sPort;
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
