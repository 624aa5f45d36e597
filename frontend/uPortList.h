// The serial ports of USB virtual COM port devices, as the port box offers them, and what the
// system tells about each.
#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where the port devices appear: the folder in KELVO_DEV_DIR (for tests and unusual systems),
// else /dev. Not used on Windows.
inline std::string PortDeviceDir() {
    const char* s = std::getenv("KELVO_DEV_DIR");
    return s != nullptr && *s != '\0' ? s : "/dev";
}

// Linux: the device names that the list takes, the USB serial devices ttyUSB* and ttyACM*.
inline bool IsUsbSerialName(std::string_view sName) {
    return sName.starts_with("ttyUSB") || sName.starts_with("ttyACM");
}

// Windows: the ports of HKLM "hardware\devicemap\serialcomm" whose device name begins with
// "\device\vcp" (any case), in the registry's order. Elsewhere: the USB serial devices ttyUSB*
// and ttyACM* of sDevDir, in natural order (ttyUSB2 before ttyUSB10), as paths. sDevDir is
// ignored on Windows.
void ListComPorts(std::vector<std::string>& aList, const std::string& sDevDir = "/dev");

// What makes two port names one port: on Linux the device that a name leads to (its st_rdev),
// through any links, or the canonical path where it names no device (yet); on Windows the port
// name in upper case without a "\\.\" in front.
std::string PortIdentity(const std::string& sPort);

// One port of the list with what the system knows of it; empty where it tells nothing.
struct TPortDetails {
    std::string sPort;       // the name --port and the port box take
    std::string sById;       // Linux: its link in <dev>/serial/by-id, as a path
    std::string sVendorId;   // Linux: the USB device's idVendor, four hex digits
    std::string sProductId;  // Linux: its idProduct
    std::string sProduct;    // Linux: its product text
    std::string sSerial;     // Linux: its serial number text
    std::string sDeviceName; // Windows: the registry's device name, such as \Device\VCP0
    bool bInGuiList = true;  // the GUI's port box offers it (ListComPorts lists it)
    bool operator==(const TPortDetails&) const = default;
};

// Linux: what udev knows of a port's device: the attributes of the USB device above the tty (as
// sysfs has them) and the device's links (udev's database; none where no udev daemon keeps one).
struct TTtyDevice {
    std::string sVendorId;
    std::string sProductId;
    std::string sProduct;
    std::string sSerial;
    std::vector<std::string> aLinks; // such as /dev/serial/by-id/usb-..., in udev's order
};
// The device of a port by its path; nothing when the system does not know it as a device.
using TTtyLookup = std::function<std::optional<TTtyDevice>(const std::string& sPort)>;

// Linux: the ports of ListComPorts, in its order, with their details from lookup (empty: udev,
// through libudev, by the port's device number): the USB device's ids, product and serial number,
// and the port's link under <sDevDir>/serial/by-id among the device's links, or, where udev keeps
// no database, the first link of that folder that leads to the port. Windows: every port of HKLM
// "hardware\devicemap\serialcomm" in the registry's order, also those of other drivers (such as
// \Device\USBSER000), which are not bInGuiList, so that an operator can find the name of a port
// that the port box leaves out; sDevDir and lookup are ignored.
std::vector<TPortDetails> ListPortDetails(const std::string& sDevDir = "/dev",
                                          const TTtyLookup& lookup = {});
