// The Linux port details: a dev folder laid out as the kernel and udev make it, in a temporary
// folder, with udev's knowledge of each device given by the test (the real lookup, libudev, reads
// only the system's own sysfs; the QEMU guest test checks it behind a real driver).
#include "frontend/uPortList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
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

} // namespace

TEST(PortDetails, FromUdevAndByIdLinks) {
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-port-details-" + std::to_string(getpid()));
    fs::remove_all(dir);
    const fs::path dev = dir / "dev";
    for (const char* s : {"ttyUSB0", "ttyUSB1", "ttyUSB10", "ttyACM0", "ttyS0"})
        WriteFile(dev / s, "");
    const std::string d = dev.string() + "/";
    const fs::path byId = dev / "serial/by-id";

    // udev's links in the folder, one of them dangling, and one to a port that is not listed.
    fs::create_directories(byId);
    fs::create_symlink("../../ttyACM0", byId / "usb-Acm_Board-if00");
    fs::create_symlink("../../ttyUSB9", byId / "usb-Gone-if00-port0");
    fs::create_symlink("../../ttyS0", byId / "usb-Other-if00-port0");

    // ttyUSB0: a USB serial converter whose product text the device pads; its by-id link comes
    // from udev's database (the first in name order of this folder's by-id links), not from the
    // folder. ttyACM0: a CDC device without a serial number, and no database: the folder has its
    // link. ttyUSB10: a device that is not USB, with links elsewhere only. ttyUSB1: unknown.
    std::map<std::string, TTtyDevice> aUdev = {
        {d + "ttyUSB0",
         {"0403",
          "6001",
          "Kelvo Cable  \n",
          "K12345",
          {"/dev/serial/by-id/usb-Elsewhere-if00-port0", d + "serial/by-path/pci-0:14.0-usb-0:1",
           d + "serial/by-id/usb-Kelvo_Cable_K12345-if00-port0",
           d + "serial/by-id/usb-Kelvo_Cable_K12345-if00-port0x"}}},
        {d + "ttyACM0", {"2341", "0043", "Acm \xff Board", "", {}}},
        {d + "ttyUSB10", {"", "", "", "", {"/dev/serial/by-path/platform-serial8250"}}},
    };
    std::vector<std::string> aAsked;
    const TTtyLookup lookup = [&](const std::string& sPort) -> std::optional<TTtyDevice> {
        aAsked.push_back(sPort);
        const auto it = aUdev.find(sPort);
        return it == aUdev.end() ? std::nullopt : std::optional<TTtyDevice>(it->second);
    };

    const std::vector<TPortDetails> aExpected = {
        {d + "ttyACM0", (byId / "usb-Acm_Board-if00").string(), "2341", "0043", "Acm \xff Board",
         "", "", ""},
        {d + "ttyUSB0", d + "serial/by-id/usb-Kelvo_Cable_K12345-if00-port0", "0403", "6001",
         "Kelvo Cable", "K12345", "", ""},
        {d + "ttyUSB1", "", "", "", "", "", "", ""},
        {d + "ttyUSB10", "", "", "", "", "", "", ""},
    };
    EXPECT_EQ(ListPortDetails(dev.string(), lookup), aExpected);
    EXPECT_EQ(aAsked, (std::vector<std::string>{d + "ttyACM0", d + "ttyUSB0", d + "ttyUSB1",
                                                d + "ttyUSB10"}));

    // The same ports as the port box, in its order.
    std::vector<std::string> aPorts;
    ListComPorts(aPorts, dev.string());
    ASSERT_EQ(aPorts.size(), aExpected.size());
    for (std::size_t i = 0; i < aPorts.size(); ++i)
        EXPECT_EQ(aPorts[i], aExpected[i].sPort);
    EXPECT_TRUE(ListPortDetails((dir / "no-dev").string(), lookup).empty());

    // udev itself: a port that is a character device, as a real one is, but no USB device (the
    // null device), with its by-id link in the folder; and files that are no device at all.
    const fs::path charDev = dir / "char-dev";
    fs::create_directories(charDev / "serial/by-id");
    fs::create_symlink("/dev/null", charDev / "ttyUSB3");
    fs::create_symlink("../../ttyUSB3", charDev / "serial/by-id/usb-Kelvo_Cable_K9-if00-port0");
    const auto aChar = ListPortDetails(charDev.string());
    ASSERT_EQ(aChar.size(), 1u);
    EXPECT_EQ(aChar[0].sById, (charDev / "serial/by-id/usb-Kelvo_Cable_K9-if00-port0").string());
    EXPECT_EQ(aChar[0].sVendorId, "");
    const auto aBare = ListPortDetails(dev.string());
    ASSERT_EQ(aBare.size(), 4u);
    EXPECT_EQ(aBare[0].sById, aExpected[0].sById);
    EXPECT_EQ(aBare[1].sVendorId, "");
    fs::remove_all(dir);
}
