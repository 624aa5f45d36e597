#include "frontend/uPortList.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
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

// A sysfs attribute's text without its line end; empty when it is missing.
std::string ReadAttribute(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string s;
    if (!f || !std::getline(f, s))
        return {};
    while (!s.empty() && (s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// True when p lies below root (both canonical).
bool IsBelow(const fs::path& p, const fs::path& root) {
    const auto [itRoot, itPath] = std::mismatch(root.begin(), root.end(), p.begin(), p.end());
    return itRoot == root.end() && itPath != p.end();
}

// The USB device of tty sName: the first folder above its device link that has idVendor and
// idProduct (a ttyUSB sits below the interface of its USB device, a ttyACM's link is the
// interface itself); empty when there is none below sSysDir.
fs::path UsbDeviceOf(const fs::path& sysDir, const std::string& sName) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysDir, ec);
    if (ec)
        return {};
    fs::path p = fs::canonical(sysDir / "class" / "tty" / sName / "device", ec);
    if (ec)
        return {};
    for (; IsBelow(p, root); p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec))
            return p;
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

std::vector<TPortDetails> ListPortDetails(const std::string& sDevDir, const std::string& sSysDir) {
    std::vector<std::string> aPorts;
    ListComPorts(aPorts, sDevDir);
    std::vector<TPortDetails> aList;
    for (const auto& sPort : aPorts) {
        TPortDetails d;
        d.sPort = sPort;
        d.sById = ByIdLinkOf(sDevDir, sPort);
        if (const fs::path usb = UsbDeviceOf(sSysDir, fs::path(sPort).filename().string());
            !usb.empty()) {
            d.sVendorId = ReadAttribute(usb / "idVendor");
            d.sProductId = ReadAttribute(usb / "idProduct");
            d.sProduct = ReadAttribute(usb / "product");
            d.sSerial = ReadAttribute(usb / "serial");
        }
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
