// The USB ids and serial number that Windows device instance IDs tell, as tables: one ID at a
// time, and the chain from a port's device up through the devices above it.
#include "frontend/uPortList.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

void PrintTo(const TUsbInstanceId& id, std::ostream* os) {
    *os << "{" << id.sVendorId << ":" << id.sProductId << " | " << id.sSerial
        << (id.bUsbBus ? " | USB" : "") << "}";
}

namespace {

TUsbInstanceId Ids(const char* sVendor, const char* sProduct, const char* sSerial, bool bUsb) {
    return {sVendor, sProduct, sSerial, bUsb};
}

} // namespace

TEST(UsbInstanceId, OneDeviceInstanceId) {
    const struct {
        const char* sId;
        TUsbInstanceId expected;
    } aCases[] = {
        {R"(USB\VID_0403&PID_6001\A12345)", Ids("0403", "6001", "A12345", true)},
        {R"(USB\VID_10C4&PID_EA60\0001)", Ids("10c4", "ea60", "0001", true)},
        {R"(usb\vid_10c4&pid_Ea60\k9x)", Ids("10c4", "ea60", "k9x", true)},
        // An interface of a composite device: its instance is made up.
        {R"(USB\VID_2341&PID_8036&MI_00\6&2C2F1A3&0&0000)", Ids("2341", "8036", "", true)},
        // A device without a serial number: Windows makes up the instance from its place.
        {R"(USB\VID_067B&PID_2303\5&1D3B4F2&0&2)", Ids("067b", "2303", "", true)},
        {R"(FTDIBUS\VID_0403+PID_6001+A12345A\0000)", Ids("0403", "6001", "A12345A", false)},
        {R"(ftdibus\vid_0403+pid_6015+DK0AB1CDA\0000)", Ids("0403", "6015", "DK0AB1CDA", false)},
        {R"(FTDIBUS\VID_0403+PID_6001+5&2A8F3B9&0&1\0000)", Ids("0403", "6001", "", false)},
        // Not of a USB device, or malformed: nothing.
        {"", {}},
        {"USB", {}},
        {R"(USB\VID_0403&PID_6001)", {}},
        {R"(USB\VID_0403&PID_6001\)", {}},
        {R"(USB\VID_0403&PID_6001\A1\B2)", {}},
        {R"(USB\VID_0403\A12345)", {}},
        {R"(USB\VID_04G3&PID_6001\A12345)", {}},
        {R"(USB\VID_403&PID_6001\A12345)", {}},
        {R"(USB\VID_04031&PID_6001\A12345)", {}},
        {R"(USB\PID_6001&VID_0403\A12345)", {}},
        {R"(USB\ROOT_HUB30\4&1A2B3C4&0&0)", {}},
        {R"(USBSTOR\VID_0403&PID_6001\A12345)", {}},
        {R"(FTDIBUS\VID_0403&PID_6001\0000)", {}},
        {R"(ROOT\PORTS\0000)", {}},
        {R"(ACPI\PNP0501\1)", {}},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(ParseDeviceInstanceId(c.sId), c.expected) << c.sId;
}

TEST(UsbInstanceId, ChainFromThePortUpwards) {
    const char* const sHub = R"(USB\VID_05E3&PID_0610\HUB0042)";
    const char* const sRootHub = R"(USB\ROOT_HUB30\4&1A2B3C4&0&0)";
    const struct {
        const char* sWhy;
        std::vector<std::string> aIds;
        TUsbInstanceId expected;
    } aCases[] = {
        {"FTDI: the serial number of the USB device, without the channel letter",
         {R"(FTDIBUS\VID_0403+PID_6001+A12345A\0000)", R"(USB\VID_0403&PID_6001\A12345)", sRootHub},
         Ids("0403", "6001", "A12345", false)},
        {"FTDI without its USB device: the bus's serial number as it is",
         {R"(FTDIBUS\VID_0403+PID_6001+A12345A\0000)"},
         Ids("0403", "6001", "A12345A", false)},
        {"a CDC port: the USB device itself",
         {R"(USB\VID_10C4&PID_EA60\0001)", sHub, sRootHub},
         Ids("10c4", "ea60", "0001", true)},
        {"an interface of a composite device: the serial number of its parent",
         {R"(USB\VID_2341&PID_8036&MI_00\6&2C2F1A3&0&0000)", R"(USB\VID_2341&PID_8036\HIDPC1)",
          sRootHub},
         Ids("2341", "8036", "HIDPC1", true)},
        {"a device without a serial number never takes its hub's",
         {R"(USB\VID_067B&PID_2303\5&1D3B4F2&0&2)", sHub, sRootHub},
         Ids("067b", "2303", "", true)},
        {"a Bluetooth port never takes the ids of its radio",
         {R"(BTHENUM\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\7&1B2C3D4&0&000000000000_00000000)",
          R"(USB\VID_8087&PID_0A2B\5&2F3A4B5&0&10)"},
         {}},
        {"a port of the machine", {R"(ACPI\PNP0501\1)", R"(ACPI\PNP0A08\0)"}, {}},
        {"no device at all", {}, {}},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(UsbIdsOfDeviceChain(c.aIds), c.expected) << c.sWhy;
}
