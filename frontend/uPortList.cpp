#include "frontend/uPortList.h"

#include <algorithm>
#include <cctype>

namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool StartsWithNoCase(std::string_view s, std::string_view sHead) {
    return s.size() >= sHead.size() &&
           std::equal(sHead.begin(), sHead.end(), s.begin(),
                      [](char a, char b) { return Lower(a) == Lower(b); });
}

// "VID_0403" with its key in any case: the four hex digits in lower case, else empty.
std::string HexField(std::string_view s, std::string_view sKey) {
    if (s.size() != sKey.size() + 4 || !StartsWithNoCase(s, sKey))
        return {};
    std::string sHex;
    for (const char c : s.substr(sKey.size())) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        sHex += Lower(c);
    }
    return sHex;
}

// s split at every cSep.
std::vector<std::string_view> Split(std::string_view s, char cSep) {
    std::vector<std::string_view> a;
    for (std::size_t i = 0;; ++i) {
        const std::size_t j = s.find(cSep, i);
        a.push_back(s.substr(i, j == std::string_view::npos ? s.npos : j - i));
        if (j == std::string_view::npos)
            return a;
        i = j;
    }
}

} // namespace

TUsbInstanceId ParseDeviceInstanceId(std::string_view sId) {
    // <enumerator>\<device>\<instance>; the instance may not contain a further backslash.
    const std::vector<std::string_view> aParts = Split(sId, '\\');
    if (aParts.size() != 3 || aParts[1].empty() || aParts[2].empty())
        return {};
    TUsbInstanceId id;
    std::vector<std::string_view> aFields;
    if (StartsWithNoCase(aParts[0], "USB") && aParts[0].size() == 3) {
        // VID_xxxx&PID_yyyy, an interface's &MI_nn (and &REV_nnnn in some IDs) after them.
        aFields = Split(aParts[1], '&');
        id.bUsbBus = true;
        if (aParts[2].find('&') == std::string_view::npos)
            id.sSerial = aParts[2];
    } else if (StartsWithNoCase(aParts[0], "FTDIBUS") && aParts[0].size() == 7) {
        // VID_xxxx+PID_yyyy+<serial and channel letter>; the instance is the port's number.
        aFields = Split(aParts[1], '+');
        if (aFields.size() == 3 && aFields[2].find('&') == std::string_view::npos)
            id.sSerial = aFields[2];
    } else {
        return {};
    }
    if (aFields.size() < 2)
        return {};
    id.sVendorId = HexField(aFields[0], "VID_");
    id.sProductId = HexField(aFields[1], "PID_");
    if (id.sVendorId.empty() || id.sProductId.empty())
        return {};
    return id;
}

TUsbInstanceId UsbIdsOfDeviceChain(const std::vector<std::string>& aIds) {
    TUsbInstanceId result;
    std::string sBusSerial; // of a driver's bus, when no USB-bus device of the chain has one
    for (const std::string& s : aIds) {
        const TUsbInstanceId id = ParseDeviceInstanceId(s);
        if (id.sVendorId.empty())
            break;
        if (result.sVendorId.empty()) {
            result.sVendorId = id.sVendorId;
            result.sProductId = id.sProductId;
            result.bUsbBus = id.bUsbBus;
        } else if (id.sVendorId != result.sVendorId || id.sProductId != result.sProductId) {
            break;
        }
        if (id.bUsbBus && !id.sSerial.empty()) {
            result.sSerial = id.sSerial;
            break;
        }
        if (sBusSerial.empty())
            sBusSerial = id.sSerial;
    }
    if (result.sSerial.empty())
        result.sSerial = sBusSerial;
    return result;
}

std::string_view ShortPort(std::string_view sPort) {
    for (std::string_view sPrefix : {"/dev/serial/by-id/", "/dev/"}) {
        if (sPort.starts_with(sPrefix) && sPort.size() > sPrefix.size())
            return sPort.substr(sPrefix.size());
    }
    return sPort;
}
