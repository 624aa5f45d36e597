// The Linux port list: the USB serial devices of the device folder, and what udev knows of each
// (through libudev).
#include "frontend/uPortList.h"

#include <algorithm>
#include <filesystem>
#include <libudev.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Natural order: runs of digits compare by their number.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool bDigitA = a[i] >= '0' && a[i] <= '9';
        const bool bDigitB = b[j] >= '0' && b[j] <= '9';
        if (bDigitA && bDigitB) {
            const std::size_t i0 = i;
            const std::size_t j0 = j;
            while (i < a.size() && a[i] >= '0' && a[i] <= '9')
                ++i;
            while (j < b.size() && b[j] >= '0' && b[j] <= '9')
                ++j;
            // Compare without leading zeros: longer means larger, then digit by digit.
            std::size_t ia = i0;
            while (ia + 1 < i && a[ia] == '0')
                ++ia;
            std::size_t jb = j0;
            while (jb + 1 < j && b[jb] == '0')
                ++jb;
            if (i - ia != j - jb)
                return i - ia < j - jb;
            const int c = a.compare(ia, i - ia, b, jb, j - jb);
            if (c != 0)
                return c < 0;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// libudev's objects, each released with its own unref.
struct TUdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
};

// An attribute's text without the spaces and line ends that some devices pad it with; empty
// when it is missing.
std::string AttributeText(std::string sText) {
    while (!sText.empty() && (sText.back() == '\r' || sText.back() == '\n' || sText.back() == ' '))
        sText.pop_back();
    return sText;
}

std::string Text(const char* s) {
    return s != nullptr ? s : "";
}

// What udev knows of the character device of sPort, found by its device number, so that a name
// in another folder (a test's, a link) still finds its own device and never another one's.
std::optional<TTtyDevice> UdevTtyDevice(const std::string& sPort) {
    struct stat st {};
    if (::stat(sPort.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    const std::unique_ptr<udev, TUdevUnref> hUdev(udev_new());
    if (!hUdev)
        return std::nullopt;
    const std::unique_ptr<udev_device, TUdevUnref> hDevice(
        udev_device_new_from_devnum(hUdev.get(), 'c', st.st_rdev));
    if (!hDevice)
        return std::nullopt;
    TTtyDevice d;
    for (udev_list_entry* e = udev_device_get_devlinks_list_entry(hDevice.get()); e != nullptr;
         e = udev_list_entry_get_next(e))
        d.aLinks.emplace_back(udev_list_entry_get_name(e));
    // A ttyUSB sits below an interface of its USB device, a ttyACM's device is the interface:
    // either way the USB device is the first parent of that type. The device owns it.
    if (udev_device* pUsb =
            udev_device_get_parent_with_subsystem_devtype(hDevice.get(), "usb", "usb_device")) {
        d.sVendorId = Text(udev_device_get_sysattr_value(pUsb, "idVendor"));
        d.sProductId = Text(udev_device_get_sysattr_value(pUsb, "idProduct"));
        d.sProduct = Text(udev_device_get_sysattr_value(pUsb, "product"));
        d.sSerial = Text(udev_device_get_sysattr_value(pUsb, "serial"));
    }
    return d;
}

// The first of the device's links, in name order, that lies in <devDir>/serial/by-id.
std::string ByIdLinkAmong(std::vector<std::string> aLinks, const std::string& sDevDir) {
    std::string sByIdDir = sDevDir;
    while (sByIdDir.size() > 1 && sByIdDir.back() == '/')
        sByIdDir.pop_back();
    sByIdDir += "/serial/by-id/";
    std::sort(aLinks.begin(), aLinks.end());
    for (const std::string& s : aLinks) {
        if (s.starts_with(sByIdDir) && s.size() > sByIdDir.size())
            return s;
    }
    return {};
}

// The first link of <devDir>/serial/by-id, in name order, that leads to port.
std::string ByIdLinkOf(const fs::path& devDir, const fs::path& port) {
    const fs::path byId = devDir / "serial" / "by-id";
    std::error_code ec;
    std::vector<std::string> aNames;
    for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec))
        aNames.push_back(it->path().filename().string());
    std::sort(aNames.begin(), aNames.end());
    // By the device, not std::filesystem::equivalent: that refuses two character devices.
    const std::string sPort = PortIdentity(port.string());
    for (const auto& s : aNames) {
        if (PortIdentity((byId / s).string()) == sPort)
            return (byId / s).string();
    }
    return {};
}

} // namespace

void ListComPorts(std::vector<std::string>& aList, const std::string& sDevDir) {
    aList.clear();
    std::vector<std::string> aNames;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(sDevDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string sName = it->path().filename().string();
        if (IsUsbSerialName(sName))
            aNames.push_back(sName);
    }
    std::sort(aNames.begin(), aNames.end(), NaturalLess);
    const std::string sPrefix = sDevDir.empty() || sDevDir.back() == '/' ? sDevDir : sDevDir + "/";
    for (const auto& s : aNames)
        aList.push_back(sPrefix + s);
}

std::vector<TPortDetails> ListPortDetails(const std::string& sDevDir, const TTtyLookup& lookup) {
    std::vector<std::string> aPorts;
    ListComPorts(aPorts, sDevDir);
    std::vector<TPortDetails> aList;
    for (const auto& sPort : aPorts) {
        TPortDetails d;
        d.sPort = sPort;
        if (const std::optional<TTtyDevice> device =
                lookup ? lookup(sPort) : UdevTtyDevice(sPort)) {
            d.sVendorId = AttributeText(device->sVendorId);
            d.sProductId = AttributeText(device->sProductId);
            d.sProduct = AttributeText(device->sProduct);
            d.sSerial = AttributeText(device->sSerial);
            d.sById = ByIdLinkAmong(device->aLinks, sDevDir);
        }
        // Without udev's database (no udev daemon) the links are only in the folder.
        if (d.sById.empty())
            d.sById = ByIdLinkOf(sDevDir, sPort);
        aList.push_back(std::move(d));
    }
    return aList;
}

std::string PortIdentity(const std::string& sPort) {
    struct stat st {};
    if (!sPort.empty() && ::stat(sPort.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "device " + std::to_string(static_cast<unsigned long long>(st.st_rdev));
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(sPort, ec);
    return ec || sPort.empty() ? sPort : canonical.string();
}
