// The Linux port details: a fake sysfs tree and dev folder laid out as the kernel and udev make
// them, in a temporary folder.
#include "frontend/uPortList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

void PrintTo(const TPortDetails& d, std::ostream* os) {
    *os << "{" << d.sPort << " | " << d.sById << " | " << d.sVendorId << ":" << d.sProductId
        << " | " << d.sProduct << " | " << d.sSerial << " | " << d.sDeviceName
        << (d.bInGuiList ? "" : " | not in the GUI's list") << "}";
}

namespace {

void WriteFile(const fs::path& p, const std::string& s) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << s;
}

void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

// A USB device folder with the attributes the kernel gives it (values end with a line end).
void UsbDevice(const fs::path& p, const char* sVendor, const char* sProduct, const char* sText,
               const char* sSerial) {
    WriteFile(p / "idVendor", std::string(sVendor) + "\n");
    WriteFile(p / "idProduct", std::string(sProduct) + "\n");
    if (sText)
        WriteFile(p / "product", std::string(sText) + "\n");
    if (sSerial)
        WriteFile(p / "serial", std::string(sSerial) + "\n");
}

} // namespace

TEST(PortDetails, FromSysfsAndByIdLinks) {
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-port-details-" + std::to_string(getpid()));
    fs::remove_all(dir);
    const fs::path dev = dir / "dev";
    const fs::path sys = dir / "sys";
    for (const char* s : {"ttyUSB0", "ttyUSB1", "ttyUSB10", "ttyACM0", "ttyS0"})
        WriteFile(dev / s, "");

    // The root hub has ids too: the walk must stop at the first USB device above the tty.
    const fs::path hub = sys / "devices/pci0000:00/0000:00:14.0/usb1";
    UsbDevice(hub, "1d6b", "0002", "xHCI Host Controller", "0000:00:14.0");
    // ttyUSB0: a USB serial converter; its class entry is a folder whose device link leads to
    // the port below the interface 1-1:1.0.
    UsbDevice(hub / "1-1", "0403", "6001", "Kelvo Cable  ", "K12345");
    fs::create_directories(hub / "1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    fs::create_directories(sys / "class/tty/ttyUSB0");
    Link("../../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0",
         sys / "class/tty/ttyUSB0/device");
    // ttyACM0: a CDC device without a serial number; its class entry is a link into the device
    // tree, and the device link is the interface itself.
    UsbDevice(hub / "1-2", "2341", "0043", "Acm \xff Board", nullptr);
    Link("../../../1-2:1.0", hub / "1-2/1-2:1.0/tty/ttyACM0/device");
    Link("../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0",
         sys / "class/tty/ttyACM0");
    // ttyUSB10: a device link that reaches no USB device below the sysfs root.
    fs::create_directories(sys / "devices/platform/serial8250/tty/ttyUSB10");
    fs::create_directories(sys / "class/tty/ttyUSB10");
    Link("../../../devices/platform/serial8250", sys / "class/tty/ttyUSB10/device");
    // ttyUSB1: no sysfs entry at all.

    // udev's by-id links, one of them dangling, and one to a port that is not listed.
    const fs::path byId = dev / "serial/by-id";
    fs::create_directories(byId);
    fs::create_symlink("../../ttyUSB0", byId / "usb-Kelvo_Cable_K12345-if00-port0");
    fs::create_symlink("../../ttyACM0", byId / "usb-Acm_Board-if00");
    fs::create_symlink("../../ttyUSB9", byId / "usb-Gone-if00-port0");
    fs::create_symlink("../../ttyS0", byId / "usb-Other-if00-port0");

    const std::string d = dev.string() + "/";
    const std::vector<TPortDetails> aExpected = {
        {d + "ttyACM0", (byId / "usb-Acm_Board-if00").string(), "2341", "0043", "Acm \xff Board",
         "", "", ""},
        {d + "ttyUSB0", (byId / "usb-Kelvo_Cable_K12345-if00-port0").string(), "0403", "6001",
         "Kelvo Cable", "K12345", "", ""},
        {d + "ttyUSB1", "", "", "", "", "", "", ""},
        {d + "ttyUSB10", "", "", "", "", "", "", ""},
    };
    EXPECT_EQ(ListPortDetails(dev.string(), sys.string()), aExpected);

    // The same ports as the port box, in its order.
    std::vector<std::string> aPorts;
    ListComPorts(aPorts, dev.string());
    ASSERT_EQ(aPorts.size(), aExpected.size());
    for (std::size_t i = 0; i < aPorts.size(); ++i)
        EXPECT_EQ(aPorts[i], aExpected[i].sPort);

    // Without a sysfs tree the ports are still listed, without details.
    const auto aBare = ListPortDetails(dev.string(), (dir / "no-sys").string());
    ASSERT_EQ(aBare.size(), 4u);
    EXPECT_EQ(aBare[1].sVendorId, "");
    EXPECT_EQ(aBare[1].sById, aExpected[1].sById);
    EXPECT_TRUE(ListPortDetails((dir / "no-dev").string(), sys.string()).empty());

    // A port that is a character device, as a real one is, and a by-id link to it.
    const fs::path charDev = dir / "char-dev";
    fs::create_directories(charDev / "serial/by-id");
    fs::create_symlink("/dev/null", charDev / "ttyUSB3");
    fs::create_symlink("../../ttyUSB3", charDev / "serial/by-id/usb-Kelvo_Cable_K9-if00-port0");
    const auto aChar = ListPortDetails(charDev.string(), (dir / "no-sys").string());
    ASSERT_EQ(aChar.size(), 1u);
    EXPECT_EQ(aChar[0].sById, (charDev / "serial/by-id/usb-Kelvo_Cable_K9-if00-port0").string());
    fs::remove_all(dir);
}
