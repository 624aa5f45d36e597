#include "cli/uCliOutput.h"
#include "firmware/uFWVersions.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(FirmwareList, AlignedColumnsLedByTheEntryNumber) {
    const std::vector<std::string> a = FirmwareListLines(std::nullopt);
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(a[0],
              "Entry  Firmware           Version  Platform  Print     Date                 BL");
    EXPECT_EQ(a[1],
              "9      Kelvo model 26113  5.138    F5328 A   A9e       22.02.2021 11:40:42  3.0");
    EXPECT_EQ(a[5],
              "5      Kelvo model 26113  5.42     F1611 B   A6/A7/A8  16.11.2012 13:15:56  2.1");
    EXPECT_EQ(a[9],
              "1      Kelvo model 26113  3.20     F1612 A   A0        18.06.2009 16:27:52  2.0");

    // The loaded file: entry "file", its name last and escaped; a character of two bytes takes
    // one column, so the columns after it stay in line.
    FwFileHeader = {26113, 6, 1, 12, 44, "\xC3\xBC\x1b", 3, 0};
    const std::vector<std::string> b = FirmwareListLines("/tmp/new\x07.kfw");
    FwFileHeader = {};
    ASSERT_EQ(b.size(), 11u);
    EXPECT_EQ(b[0],
              "Entry  Firmware           Version  Platform  Print     Date                 BL   "
              "File");
    EXPECT_EQ(b[1], "file   Kelvo model 26113  6.01     F5328 A   A9e       \xC3\xBC\\x1b"
                    "                3.0  /tmp/new\\x07.kfw");
    EXPECT_EQ(b[2], a[1]);
}

TEST(PortList, MarksThePortsThatTheGuiLeavesOut) {
    // Windows lists every registered port; a driver other than the virtual COM port's gives one
    // that the port box does not offer.
    const auto Port = [](const char* sPort, const char* sDevice, bool bInGuiList) {
        TPortDetails d;
        d.sPort = sPort;
        d.sDeviceName = sDevice;
        d.bInGuiList = bInGuiList;
        return d;
    };
    const std::vector<TPortDetails> aMixed{Port("COM7", "\\Device\\VCP0", true),
                                           Port("COM9", "\\Device\\USBSER000", false)};
    EXPECT_EQ(PortListLines(aMixed),
              (std::vector<std::string>{"Port\tDevice\tGUI list", "COM7\t\\Device\\VCP0\tyes",
                                        "COM9\t\\Device\\USBSER000\tno"}));
    // Only ports of the list: no column for it.
    EXPECT_EQ(PortListLines({aMixed[0]}),
              (std::vector<std::string>{"Port\tDevice", "COM7\t\\Device\\VCP0"}));
    // What the port devices tell: a column for each detail that any port has.
    std::vector<TPortDetails> aDevices = aMixed;
    aDevices[0].sVendorId = "0403";
    aDevices[0].sProductId = "6001";
    aDevices[0].sSerial = "A12345";
    aDevices[0].sDescription = "USB Serial Port";
    aDevices[1].sDescription = "USB Serial Device";
    EXPECT_EQ(
        PortListLines(aDevices),
        (std::vector<std::string>{"Port\tUSB id\tSerial\tDescription\tDevice\tGUI list",
                                  "COM7\t0403:6001\tA12345\tUSB Serial Port\t\\Device\\VCP0\tyes",
                                  "COM9\t-\t-\tUSB Serial Device\t\\Device\\USBSER000\tno"}));
    EXPECT_TRUE(PortListLines({}).empty());
}
