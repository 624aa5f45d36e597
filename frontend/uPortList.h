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

// The port as a short view shows it: without the folder that every port shares ("/dev/",
// "/dev/serial/by-id/"); any other name as it is.
std::string_view ShortPort(std::string_view sPort);

// One port of the list with what the system knows of it; empty where it tells nothing.
struct TPortDetails {
    std::string sPort;        // the name --port and the port box take
    std::string sById;        // Linux: its link in <dev>/serial/by-id, as a path
    std::string sVendorId;    // the USB device's vendor id, four lower-case hex digits
    std::string sProductId;   // its product id, the same way
    std::string sProduct;     // the USB device's product text (Windows: as its bus reports it)
    std::string sSerial;      // the USB device's serial number (Windows: from its instance ID)
    std::string sDescription; // Windows: the port device's description, such as USB Serial Port
    std::string sDeviceName;  // Windows: the registry's device name, such as \Device\VCP0
    bool bInGuiList = true;   // the GUI's port box offers it (ListComPorts lists it)
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

// What a Windows device instance ID tells of a USB device: "USB\VID_0403&PID_6001\A12345",
// "USB\VID_0403&PID_6001&MI_00\6&2C2F1A3&0&0000" (an interface of a composite device),
// "FTDIBUS\VID_0403+PID_6001+A12345A\0000" (FTDI's own bus; the serial number carries the
// channel letter). The ids in lower case; the serial number only where the ID holds a real one:
// for a device without one Windows makes up an instance from its place, which contains '&'.
struct TUsbInstanceId {
    std::string sVendorId; // empty: the ID is not of a USB device
    std::string sProductId;
    std::string sSerial;
    bool bUsbBus = false; // the (port's) device is on USB itself, not on a driver's bus (FTDIBUS)
    bool operator==(const TUsbInstanceId&) const = default;
};
TUsbInstanceId ParseDeviceInstanceId(std::string_view sId);

// The USB ids and serial number of a port from the instance IDs of its device and of the devices
// above it, nearest first: the ids of the port's device, and the serial number of the
// nearest USB-bus device of the same ids that has one (else of a driver's bus, else none). The
// walk ends at the first device without ids or of other ids (a hub, or the Bluetooth radio below
// a Bluetooth port), so empty when the port's own device has none.
TUsbInstanceId UsbIdsOfDeviceChain(const std::vector<std::string>& aIds);

// Linux: the ports of ListComPorts, in its order, with their details from lookup (empty: udev,
// through libudev, by the port's device number): the USB device's ids, product and serial number,
// and the port's link under <sDevDir>/serial/by-id among the device's links, or, where udev keeps
// no database, the first link of that folder that leads to the port. Windows: every port of HKLM
// "hardware\devicemap\serialcomm" in the registry's order, also those of other drivers (such as
// \Device\USBSER000), which are not bInGuiList, so that an operator can find the name of a port
// that the port box leaves out; the details of the device whose "PortName" is the port, found
// through SetupAPI among the present devices of the Ports class and those with a COM port
// interface (none, not a failure, when there is no such device); sDevDir and lookup are ignored.
std::vector<TPortDetails> ListPortDetails(const std::string& sDevDir = "/dev",
                                          const TTtyLookup& lookup = {});
