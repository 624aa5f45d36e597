// The registry stores of the Windows build: the port list of HKLM "hardware\devicemap\serialcomm"
// with the details of its ports' devices (SetupAPI) and its change notification, and the internal
// mode of HKCU "Software\Orlenta\Quarn". Runs against the live registry (under Wine in the test
// script) and puts back whatever it changed.
#include "frontend/uPortList.h"
#include "frontend/uPortWatch.h"
#include "frontend/uRunJournal.h"
#include "frontend/uStartupOptions.h"

#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

void PrintTo(const TPortDetails& d, std::ostream* os) {
    *os << "{" << d.sPort << " | " << d.sDeviceName << " | " << d.sVendorId << ":" << d.sProductId
        << " | " << d.sProduct << " | " << d.sSerial << " | " << d.sDescription
        << (d.bInGuiList ? "" : " | not in the GUI's list") << "}";
}

namespace {

// One registry value: its name, type and raw data.
struct TRegValue {
    std::wstring sName;
    DWORD iType;
    std::vector<BYTE> aData;
};

std::vector<BYTE> SzData(const std::wstring& s, bool bWithTerminator = true) {
    const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
    return {p, p + (s.size() + (bWithTerminator ? 1 : 0)) * sizeof(wchar_t)};
}

template <typename T> std::vector<BYTE> IntData(T iValue) {
    const auto* p = reinterpret_cast<const BYTE*>(&iValue);
    return {p, p + sizeof iValue};
}

void SetValue(HKEY hKey, const TRegValue& v) {
    ASSERT_EQ(::RegSetValueExW(hKey, v.sName.c_str(), 0, v.iType, v.aData.data(),
                               static_cast<DWORD>(v.aData.size())),
              ERROR_SUCCESS);
}

// The names of a key's values in the order RegEnumValueW gives them.
std::vector<std::wstring> ValueNames(HKEY hKey) {
    std::vector<std::wstring> aNames;
    for (DWORD i = 0;; ++i) {
        wchar_t sName[512];
        DWORD iLen = 512;
        if (::RegEnumValueW(hKey, i, sName, &iLen, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        aNames.emplace_back(sName, iLen);
    }
    return aNames;
}

bool KeyExists(HKEY hRoot, const std::wstring& sPath) {
    HKEY h = nullptr;
    if (::RegOpenKeyExW(hRoot, sPath.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(h);
    return true;
}

// Opens (or creates) a key for a test. Values set through it are deleted again, or restored to
// what they held before; the keys that it created are deleted when it goes.
class TTestKey {
public:
    TTestKey(HKEY hRoot, const std::wstring& sPath) : FhRoot(hRoot) {
        // The shallowest key of the path that does not exist yet is the one to delete at the end.
        for (std::size_t p = sPath.find(L'\\');; p = sPath.find(L'\\', p + 1)) {
            const std::wstring sPart = sPath.substr(0, p);
            if (!KeyExists(FhRoot, sPart)) {
                FsCreated = sPart;
                break;
            }
            if (p == std::wstring::npos)
                break;
        }
        if (::RegCreateKeyExW(FhRoot, sPath.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              nullptr, &FhKey, nullptr) != ERROR_SUCCESS)
            FhKey = nullptr;
    }
    ~TTestKey() {
        if (!FhKey)
            return;
        for (const auto& [sName, before] : FaTouched) {
            if (before)
                ::RegSetValueExW(FhKey, sName.c_str(), 0, before->iType, before->aData.data(),
                                 static_cast<DWORD>(before->aData.size()));
            else
                ::RegDeleteValueW(FhKey, sName.c_str());
        }
        ::RegCloseKey(FhKey);
        if (!FsCreated.empty())
            ::RegDeleteTreeW(FhRoot, FsCreated.c_str());
    }
    TTestKey(const TTestKey&) = delete;
    TTestKey& operator=(const TTestKey&) = delete;

    bool IsOpen() const { return FhKey != nullptr; }
    HKEY Handle() const { return FhKey; }

    void Set(const TRegValue& v) {
        Remember(v.sName);
        SetValue(FhKey, v);
    }
    void Delete(const std::wstring& sName) {
        Remember(sName);
        ::RegDeleteValueW(FhKey, sName.c_str());
    }

private:
    void Remember(const std::wstring& sName) {
        for (const auto& t : FaTouched)
            if (t.first == sName)
                return;
        std::optional<TRegValue> before;
        DWORD iType = 0;
        DWORD iSize = 0;
        if (::RegQueryValueExW(FhKey, sName.c_str(), nullptr, &iType, nullptr, &iSize) ==
            ERROR_SUCCESS) {
            before = TRegValue{sName, iType, std::vector<BYTE>(iSize)};
            ::RegQueryValueExW(FhKey, sName.c_str(), nullptr, &iType, before->aData.data(), &iSize);
        }
        FaTouched.emplace_back(sName, std::move(before));
    }

    HKEY FhRoot;
    std::wstring FsCreated;
    HKEY FhKey = nullptr;
    std::vector<std::pair<std::wstring, std::optional<TRegValue>>> FaTouched;
};

// A device of the Ports class, made through SetupAPI as a driver's installer would, with the
// port name in its hardware key and a description; removed again when it goes.
class TTestPortDevice {
public:
    TTestPortDevice(const std::wstring& sInstanceId, const std::wstring& sPortName,
                    const std::wstring& sDescription)
        : FhSet(::SetupDiCreateDeviceInfoList(&PortsClass, nullptr)) {
        FDev.cbSize = sizeof FDev;
        if (FhSet == INVALID_HANDLE_VALUE ||
            !::SetupDiCreateDeviceInfoW(FhSet, sInstanceId.c_str(), &PortsClass, nullptr, nullptr,
                                        0, &FDev))
            return;
        FbCreated = ::SetupDiRegisterDeviceInfo(FhSet, &FDev, 0, nullptr, nullptr, nullptr);
        if (!FbCreated)
            return;
        const std::vector<BYTE> aDesc = SzData(sDescription);
        const HKEY hKey = ::SetupDiCreateDevRegKeyW(FhSet, &FDev, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                                    nullptr, nullptr);
        FbReady = ::SetupDiSetDeviceRegistryPropertyW(FhSet, &FDev, SPDRP_DEVICEDESC, aDesc.data(),
                                                      static_cast<DWORD>(aDesc.size())) &&
                  hKey != INVALID_HANDLE_VALUE;
        if (hKey != INVALID_HANDLE_VALUE) {
            const std::vector<BYTE> aPort = SzData(sPortName);
            FbReady =
                FbReady && ::RegSetValueExW(hKey, L"PortName", 0, REG_SZ, aPort.data(),
                                            static_cast<DWORD>(aPort.size())) == ERROR_SUCCESS;
            ::RegCloseKey(hKey);
        }
    }
    ~TTestPortDevice() {
        if (FbCreated)
            ::SetupDiRemoveDevice(FhSet, &FDev);
        if (FhSet != INVALID_HANDLE_VALUE)
            ::SetupDiDestroyDeviceInfoList(FhSet);
    }
    TTestPortDevice(const TTestPortDevice&) = delete;
    TTestPortDevice& operator=(const TTestPortDevice&) = delete;

    bool IsReady() const { return FbReady; }

private:
    static constexpr GUID PortsClass = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO FhSet;
    SP_DEVINFO_DATA FDev{};
    bool FbCreated = false;
    bool FbReady = false;
};

const wchar_t* const SerialCommKey = L"hardware\\devicemap\\serialcomm";
const wchar_t* const QuarnKey = L"Software\\Orlenta\\Quarn";

} // namespace

TEST(RegistryPortList, VirtualComPortsInRegistryOrder) {
    std::vector<std::string> aList{"left over"};
    ListComPorts(aList);
    ASSERT_TRUE(aList.empty()) << "this test needs a registry without virtual COM ports";

    const struct {
        TRegValue value;
        const char* sListed; // nullptr: not a port of the list
    } aCases[] = {
        // Inserted out of name order, with port names whose own order differs from both.
        {{L"\\Device\\VCP1", REG_SZ, SzData(L"COM3")}, "COM3"},
        {{L"\\Device\\VCP0", REG_SZ, SzData(L"COM7")}, "COM7"},
        {{L"\\device\\vcp2", REG_SZ, SzData(L"COM21")}, "COM21"},
        {{L"\\DEVICE\\VCP3", REG_SZ, SzData(L"COM12")}, "COM12"},
        {{L"\\Device\\VCP4", REG_SZ, SzData(L"COM44", false)}, "COM44"}, // stored without NUL
        {{L"\\Device\\Serial7", REG_SZ, SzData(L"COM30")}, nullptr},
        {{L"\\Device\\USBSER000", REG_SZ, SzData(L"COM31")}, nullptr},
        {{L"\\Device\\FooVCP0", REG_SZ, SzData(L"COM32")}, nullptr}, // "vcp" not at the start
        {{L"\\Device\\VCP9", REG_DWORD, IntData<DWORD>(5)}, nullptr},
    };
    std::vector<std::string> aExpected;
    {
        TTestKey key(HKEY_LOCAL_MACHINE, SerialCommKey);
        ASSERT_TRUE(key.IsOpen());
        for (const auto& c : aCases)
            key.Set(c.value);
        // The expected list follows the registry's own enumeration, whatever order it keeps.
        for (const auto& sName : ValueNames(key.Handle()))
            for (const auto& c : aCases)
                if (c.sListed && c.value.sName == sName)
                    aExpected.push_back(c.sListed);
        ASSERT_EQ(aExpected.size(), 5u);

        ListComPorts(aList, "ignored on Windows");
        EXPECT_EQ(aList, aExpected);
    }
    ListComPorts(aList);
    EXPECT_TRUE(aList.empty()) << "the test's values are gone again";
}

TEST(RegistryPortList, DetailsOfEveryRegisteredPortMarkingTheGuiList) {
    const auto Port = [](const char* sPort, const char* sDevice, bool bInGuiList) {
        TPortDetails d;
        d.sPort = sPort;
        d.sDeviceName = sDevice;
        d.bInGuiList = bInGuiList;
        return d;
    };
    // Ports of the prefix itself (Wine registers its own serial ports here) stay in the list.
    const std::vector<TPortDetails> aBefore = ListPortDetails();
    const struct {
        TRegValue value;
        std::optional<TPortDetails> listed; // nullopt: not listed at all
    } aCases[] = {
        {{L"\\Device\\VCP1", REG_SZ, SzData(L"COM3")}, Port("COM3", "\\Device\\VCP1", true)},
        {{L"\\device\\vcp0", REG_SZ, SzData(L"COM7")}, Port("COM7", "\\device\\vcp0", true)},
        // The system's CDC-ACM driver: listed, but not offered by the port box.
        {{L"\\Device\\USBSER000", REG_SZ, SzData(L"COM31")},
         Port("COM31", "\\Device\\USBSER000", false)},
        {{L"\\Device\\Serial7", REG_SZ, SzData(L"COM30")},
         Port("COM30", "\\Device\\Serial7", false)},
        {{L"\\Device\\VCP9", REG_DWORD, IntData<DWORD>(5)}, std::nullopt}, // no port name
    };
    std::vector<TPortDetails> aExpected;
    {
        TTestKey key(HKEY_LOCAL_MACHINE, SerialCommKey);
        ASSERT_TRUE(key.IsOpen());
        for (const auto& c : aCases)
            key.Set(c.value);
        for (const auto& sName : ValueNames(key.Handle())) {
            bool bOurs = false;
            for (const auto& c : aCases) {
                if (c.value.sName != sName)
                    continue;
                bOurs = true;
                if (c.listed)
                    aExpected.push_back(*c.listed);
            }
            for (const auto& d : aBefore)
                if (!bOurs && std::wstring(d.sDeviceName.begin(), d.sDeviceName.end()) == sName)
                    aExpected.push_back(d);
        }
        ASSERT_EQ(aExpected.size(), aBefore.size() + 4);
        EXPECT_EQ(ListPortDetails("ignored"), aExpected);
    }
    EXPECT_EQ(ListPortDetails(), aBefore) << "the test's values are gone again";
}

TEST(RegistryPortList, DetailsOfThePortDevicesThroughSetupApi) {
    // Under Wine there is no USB device: the registry's ports are listed as they are.
    const std::vector<TPortDetails> aBefore = ListPortDetails();
    const auto Port = [](const char* sPort, const char* sDevice) {
        TPortDetails d;
        d.sPort = sPort;
        d.sDeviceName = sDevice;
        return d;
    };
    TPortDetails usb = Port("COM37", "\\Device\\VCP7");
    usb.sVendorId = "0403";
    usb.sProductId = "6001";
    usb.sSerial = "KELVO42";
    usb.sDescription = "Kelvo test port";
    TPortDetails noSerial = Port("COM38", "\\Device\\VCP8");
    noSerial.sVendorId = "067b";
    noSerial.sProductId = "2303";
    noSerial.sDescription = "Kelvo port without serial";
    TPortDetails machine = Port("COM39", "\\Device\\Serial9");
    machine.sDescription = "Kelvo machine port";
    machine.bInGuiList = false;
    {
        TTestKey key(HKEY_LOCAL_MACHINE, SerialCommKey);
        ASSERT_TRUE(key.IsOpen());
        key.Set({L"\\Device\\VCP7", REG_SZ, SzData(L"COM37")});
        key.Set({L"\\Device\\VCP8", REG_SZ, SzData(L"COM38")});
        key.Set({L"\\Device\\Serial9", REG_SZ, SzData(L"COM39")});
        key.Set({L"\\Device\\VCP6", REG_SZ, SzData(L"COM36")}); // no device behind it
        // The port names as drivers write them, in any case; the ports' instance IDs as USB
        // and the machine give them.
        const TTestPortDevice usbDevice(L"USB\\VID_0403&PID_6001\\KELVO42", L"com37",
                                        L"Kelvo test port");
        const TTestPortDevice noSerialDevice(L"USB\\VID_067B&PID_2303\\5&1D3B4F2&0&2", L"COM38",
                                             L"Kelvo port without serial");
        const TTestPortDevice machineDevice(L"ACPI\\PNP0501\\KELVO9", L"COM39",
                                            L"Kelvo machine port");
        ASSERT_TRUE(usbDevice.IsReady() && noSerialDevice.IsReady() && machineDevice.IsReady());

        std::vector<TPortDetails> aOurs;
        for (const TPortDetails& d : ListPortDetails())
            if (d.sPort.starts_with("COM3") && d.sPort.size() == 5 && d.sPort >= "COM36")
                aOurs.push_back(d);
        std::sort(aOurs.begin(), aOurs.end(),
                  [](const TPortDetails& a, const TPortDetails& b) { return a.sPort < b.sPort; });
        const std::vector<TPortDetails> aExpected = {Port("COM36", "\\Device\\VCP6"), usb, noSerial,
                                                     machine};
        EXPECT_EQ(aOurs, aExpected);
        // The update journal's converter: the USB serial number, whatever the port's spelling;
        // none without one (the journal then goes by the port's name).
        EXPECT_EQ(ConverterOf("\\\\.\\com37"), "KELVO42");
        EXPECT_EQ(ConverterOf("COM38"), "");
        EXPECT_EQ(ConverterOf("COM39"), "");
    }
    EXPECT_EQ(ListPortDetails(), aBefore) << "the test's ports and devices are gone again";
}

TEST(RegistryInternalMode, OnlyTheAccessCodeAsDwordInTheUsersHive) {
    if (!KeyExists(HKEY_CURRENT_USER, QuarnKey)) {
        EXPECT_FALSE(IsInternalMode()) << "no key";
    }
    const struct {
        const char* sWhy;
        std::optional<TRegValue> value; // nullopt: the key without the value
        bool bOn;
    } aCases[] = {
        {"key without the value", std::nullopt, false},
        {"DWORD access code", TRegValue{L"intern", REG_DWORD, IntData<DWORD>(7315)}, true},
        {"DWORD another number", TRegValue{L"intern", REG_DWORD, IntData<DWORD>(7314)}, false},
        {"DWORD with the code in its low word",
         TRegValue{L"intern", REG_DWORD, IntData<DWORD>(7315 + 0x10000)}, false},
        {"DWORD zero", TRegValue{L"intern", REG_DWORD, IntData<DWORD>(0)}, false},
        {"string of the code", TRegValue{L"intern", REG_SZ, SzData(L"7315")}, false},
        {"binary with the DWORD's bytes", TRegValue{L"intern", REG_BINARY, IntData<DWORD>(7315)},
         false},
        {"QWORD access code", TRegValue{L"intern", REG_QWORD, IntData<std::uint64_t>(7315)}, false},
        {"another value name", TRegValue{L"intern2", REG_DWORD, IntData<DWORD>(7315)}, false},
    };
    TTestKey key(HKEY_CURRENT_USER, QuarnKey);
    ASSERT_TRUE(key.IsOpen());
    for (const auto& c : aCases) {
        key.Delete(L"intern");
        key.Delete(L"intern2");
        if (c.value)
            key.Set(*c.value);
        EXPECT_EQ(IsInternalMode(), c.bOn) << c.sWhy;
    }
}

TEST(RegistryInternalMode, MachineHiveDoesNotCount) {
    TTestKey user(HKEY_CURRENT_USER, QuarnKey);
    ASSERT_TRUE(user.IsOpen());
    user.Delete(L"intern");
    TTestKey machine(HKEY_LOCAL_MACHINE, QuarnKey);
    ASSERT_TRUE(machine.IsOpen());
    machine.Set({L"intern", REG_DWORD, IntData<DWORD>(7315)});
    EXPECT_FALSE(IsInternalMode());
}

TEST(RegistryPortWatch, ReportsChangesOfThePortKey) {
    using namespace std::chrono_literals;
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::vector<std::string>> aReports;
    // Waits a few seconds at most for the latest report to be aExpected.
    const auto WaitFor = [&](const std::vector<std::string>& aExpected) {
        std::unique_lock lock(mutex);
        return cond.wait_for(lock, 5s,
                             [&] { return !aReports.empty() && aReports.back() == aExpected; });
    };

    TTestKey key(HKEY_LOCAL_MACHINE, SerialCommKey);
    ASSERT_TRUE(key.IsOpen());
    // A rescan only every minute: a prompt report comes from the key's change notification.
    TPortWatch watch(
        [&](const std::vector<std::string>& a) {
            std::lock_guard lock(mutex);
            aReports.push_back(a);
            cond.notify_all();
        },
        "ignored on Windows", 1min);
    ASSERT_TRUE(WaitFor({})) << "the list at start";
    EXPECT_TRUE(watch.Notifies());

    key.Set({L"\\Device\\VCP0", REG_SZ, SzData(L"COM7")});
    EXPECT_TRUE(WaitFor({"COM7"}));
    key.Set({L"\\Device\\Serial0", REG_SZ, SzData(L"COM1")}); // not a virtual COM port
    key.Set({L"\\Device\\VCP1", REG_SZ, SzData(L"COM9")});
    std::vector<std::string> aBoth;
    ListComPorts(aBoth);
    EXPECT_TRUE(WaitFor(aBoth)) << "in the registry's order";
    key.Delete(L"\\Device\\VCP0");
    EXPECT_TRUE(WaitFor({"COM9"}));
    EXPECT_TRUE(watch.Notifies());
}
