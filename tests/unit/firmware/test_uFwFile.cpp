#include "FwSlotFixture.h"

#ifndef _WIN32
#include "tests/support/FifoGuard.h"
#endif

#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "hexline/uConvert1V0.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// The header of built-in entry 9, one line each.
const std::vector<std::string> aHeader9 = {
    "bootloader=3", "bootloader version=0", "class=26113", "versionH=5",
    "versionL=138", "platform=12",          "print=44",    "date=22.02.2021 11:40:42"};
const TBl3FileHeader Header9{26113, 5, 138, 12, 44, "22.02.2021 11:40:42", 3, 0};

std::string Join(const std::vector<std::string>& aLines, const char* sEol = "\n") {
    std::string s;
    for (const auto& sLine : aLines)
        s += sLine + sEol;
    return s;
}

// aHeader9 with line iLine (0-based) replaced.
std::string HeaderWith(std::size_t iLine, const std::string& sLine) {
    std::vector<std::string> aLines = aHeader9;
    aLines[iLine] = sLine;
    return Join(aLines);
}

// One HEX record line, checksum included, formatted here independently of the codec; the data
// bytes follow from iSeed.
std::string Record(unsigned iCount, unsigned iAddress, unsigned iType, unsigned iSeed = 0) {
    std::vector<unsigned> aBytes{iCount, iAddress >> 8 & 0xFF, iAddress & 0xFF, iType};
    for (unsigned k = 0; k < iCount; ++k)
        aBytes.push_back((iSeed * 31 + k * 7 + 1) & 0xFF);
    unsigned iSum = 0;
    for (const unsigned b : aBytes)
        iSum += b;
    aBytes.push_back((0x100 - (iSum & 0xFF)) & 0xFF);
    std::string s = ":";
    for (const unsigned b : aBytes) {
        s += "0123456789ABCDEF"[b >> 4];
        s += "0123456789ABCDEF"[b & 0xF];
    }
    return s;
}

// A 64-byte data record, the only kind the update sends.
std::string Data(unsigned iAddress) {
    return Record(64, iAddress, 0, iAddress);
}

const std::string EndLine = ":00000001FF";

// A small image that loads: data lines, the vector-table line among them, the end record.
const std::vector<std::string> aImage = {Data(0x0128), Data(0x03DF), Data(0x0400), EndLine};

// The message of the std::runtime_error that fn throws; nullopt when it throws nothing.
template <class TFn> std::optional<std::string> ErrorOf(TFn fn) {
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return std::nullopt;
}

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TTempDir {
public:
    TTempDir() {
        std::random_device rd;
        FPath = fs::temp_directory_path() / ("kelvo-fwfile-" + std::to_string(rd()));
        fs::create_directories(FPath);
    }
    ~TTempDir() {
        std::error_code ec;
        fs::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string Write(const std::string& sName, const std::string& sContent) const {
        const fs::path path = FPath / sName;
        std::ofstream(path, std::ios::binary) << sContent;
        return path.string();
    }
    std::string Path(const std::string& sName) const { return (FPath / sName).string(); }

private:
    fs::path FPath;
};

} // namespace

TEST(FwFileHeader, GetKeyValueSplitsAtTheFirstEqualsSign) {
    const struct {
        const char* sLine;
        const char* sKey;
        const char* sValue;
    } aCases[] = {
        {"class=26113", "class", "26113"}, {"date=a=b ", "date", "a=b "},
        {"class= 1", "class", " 1"},       {"class =1", "class", ""},
        {"Class=1", "class", ""},          {"class", "class", ""},
        {"class=", "class", ""},           {"=x", "", "x"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(GetKeyValue(c.sLine, c.sKey), c.sValue) << c.sLine;
}

TEST(FwFileHeader, IntegerValues) {
    const struct {
        const char* sValue;
        int iExpected;                // -1: conversion failure
        const char* sShown = nullptr; // the value as the message shows it, if not as it is
    } aCases[] = {
        {"26113", 26113},
        {" 26113", 26113},
        {"   +12", 12},
        {"-1", 0xFFFF},
        {"65537", 1},
        {"000000000000042", 42},
        {"2147483647", 0xFFFF},
        {"-2147483648", 0},
        {"$8A", 138},
        {"0x8a", 138},
        {"0X8A", 138},
        {"x10", 16},
        {"X10", 16},
        {" -$1", 0xFFFF},
        {"+0x10", 16},
        {"$FFFFFFFF", 0xFFFF},
        {"0x0000000012345678", 0x5678},
        {"", -1},
        {" ", -1},
        {"26113 ", -1},
        {"12a", -1},
        {"0x", -1},
        {"$", -1},
        {"+", -1},
        {"-", -1},
        {"+-1", -1},
        {"- 1", -1},
        {"$-1", -1},
        {"\t1", -1, "\\x091"},
        {"0x 1", -1},
        {"0x1G", -1},
        {"1e3", -1},
        {"0b1", -1},
        {"2147483648", -1},
        {"-2147483649", -1},
        {"99999999999999999999", -1},
        {"$100000000", -1},
        {"0x1FFFFFFFF", -1},
    };
    for (const auto& c : aCases) {
        std::istringstream file(HeaderWith(2, std::string("class=") + c.sValue));
        TBl3FileHeader header;
        const auto sError = ErrorOf([&] { ReadFwFileHeader(file, header); });
        if (c.iExpected < 0) {
            EXPECT_EQ(sError, "'" + std::string(c.sShown ? c.sShown : c.sValue) +
                                  "' is not a valid integer value")
                << c.sValue;
        } else {
            EXPECT_EQ(sError, std::nullopt) << c.sValue;
            EXPECT_EQ(header.quarn_class, c.iExpected) << c.sValue;
        }
    }
}

TEST(FwFileHeader, BootloaderAndDateValues) {
    const struct {
        const char* sLine;
        std::uint16_t iBl;
    } aBootloader[] = {{"bootloader=2", 2},       {"bootloader=3", 3},
                       {"bootloader=4", 0xFFFF},  {"bootloader=", 0xFFFF},
                       {"bootloader= 3", 0xFFFF}, {"bootloader=03", 0xFFFF},
                       {"Bootloader=3", 0xFFFF}};
    for (const auto& c : aBootloader) {
        std::istringstream file(HeaderWith(0, c.sLine));
        TBl3FileHeader header;
        EXPECT_TRUE(ReadFwFileHeader(file, header));
        EXPECT_EQ(header.quarn_bl, c.iBl) << c.sLine;
    }

    const struct {
        const char* sLine;
        const char* sDate;
    } aDate[] = {{"date=", ""}, {"date= a=b ", " a=b "}, {"Date=1.1.2000", ""}, {"", ""}};
    for (const auto& c : aDate) {
        std::istringstream file(HeaderWith(7, c.sLine));
        TBl3FileHeader header{1, 1, 1, 1, 1, "old", 1, 1};
        EXPECT_TRUE(ReadFwFileHeader(file, header));
        EXPECT_EQ(header.quarn_date, c.sDate) << c.sLine;
    }

    // Past the end of the file the date line reads as empty; the reader stops after line 8.
    std::istringstream shortFile(Join({aHeader9.begin(), aHeader9.begin() + 7}, "\r\n"));
    TBl3FileHeader header{1, 1, 1, 1, 1, "old", 1, 1};
    EXPECT_TRUE(ReadFwFileHeader(shortFile, header));
    EXPECT_EQ(header, (TBl3FileHeader{26113, 5, 138, 12, 44, "", 3, 0}));
}

TEST(FwFileHeader, AFailureStopsAtItsLineAndKeepsTheLaterFields) {
    const TBl3FileHeader before{7, 7, 7, 7, 7, "old", 7, 7};
    const struct {
        std::string sFile;
        const char* sError;
    } aCases[] = {
        {HeaderWith(2, "class=26113 "), "'26113 ' is not a valid integer value"},
        {HeaderWith(2, "Class=26113"),
         "'' is not a valid integer value (header line 3 is not \"class=...\")"},
        {HeaderWith(2, "class==26113"), "'=26113' is not a valid integer value"},
        {Join({aHeader9[0], aHeader9[1]}), // the file ends after line 2
         "'' is not a valid integer value (header line 3 is not \"class=...\")"},
    };
    for (const auto& c : aCases) {
        std::istringstream file(c.sFile);
        TBl3FileHeader header = before;
        EXPECT_EQ(ErrorOf([&] { ReadFwFileHeader(file, header); }), c.sError);
        EXPECT_EQ(header, (TBl3FileHeader{7, 7, 7, 7, 7, "old", 3, 0})) << c.sError;
    }
}

class FwFile : public FwSlotFixture {
protected:
    TTempDir Dir;
};

TEST_F(FwFile, LoadKeepsTheLinesWithoutEqualsSignInFileOrder) {
    // CR LF in the header, LF after it, a dropped note, and a last line without a line end.
    const std::string sFile =
        Dir.Write("a.kfw", Join(aHeader9, "\r\n") + Data(0x0128) + "\ncomment=x\n" + Data(0x0129) +
                               "\r\n" + EndLine);
    std::string sError;
    ASSERT_TRUE(LoadFwFile(sFile, &sError)) << sError;
    EXPECT_EQ(iFwIndex, 0);
    EXPECT_EQ(FwFileHeader, Header9);
    EXPECT_EQ(FwFileLines, (std::vector<std::string>{Data(0x0128), Data(0x0129), EndLine}));
    EXPECT_EQ(GetFwLastIndex(0), 2);

    // Start-address records (types 3 and 5) are passed over by the update: they may stay.
    const std::vector<std::string> aLines = {Record(4, 0, 3, 1), Data(0x4A00), Record(4, 0, 5, 2),
                                             EndLine};
    ASSERT_TRUE(
        LoadFwFile(Dir.Write("b.kfw", HeaderWith(0, "bootloader=2") + Join(aLines)), &sError))
        << sError;
    EXPECT_EQ(FwFileHeader.quarn_bl, 2);
    EXPECT_EQ(FwFileLines, aLines);
}

TEST_F(FwFile, LoadRefusesWhatTheUpdateWouldNotSendAsItIs) {
    const std::string sGood = Join(aHeader9) + Join(aImage);
    std::string sBadSum = Data(0x0129);
    const std::string sRightSum = sBadSum.substr(137);
    sBadSum.replace(137, 2, sRightSum == "00" ? "01" : "00");
    std::vector<std::string> aHexFile; // a standard HEX file: 16-byte records
    for (unsigned a = 0x2500; a < 0x2540; a += 16)
        aHexFile.push_back(Record(16, a, 0, a));
    aHexFile.push_back(EndLine);
    const std::string sNoDate = Join({aHeader9.begin(), aHeader9.begin() + 7}) + "no date\n";

    const struct {
        const char* sWhy;
        std::string sContent;
        std::string sReason; // the start of the reason
    } aCases[] = {
        {"byte-order mark", "\xEF\xBB\xBF" + sGood,
         "line 1: the file starts with a UTF-8 byte-order mark"},
        {"bootloader 4", HeaderWith(0, "bootloader=4") + Join(aImage),
         "line 1: bootloader '4' is not supported: the update needs 2 or 3"},
        {"bootloader key", HeaderWith(0, "Bootloader=3") + Join(aImage),
         "line 1: the header must start with \"bootloader=2\" or \"bootloader=3\""},
        {"header only", Join(aHeader9), "line 9: the image lines are missing"},
        {"header and a note", Join(aHeader9) + "note=x\n", "line 10: the image lines are missing"},
        {"header line without =", sNoDate + Join(aImage),
         "line 8: header line without \"=\": \"date=...\" expected"},
        {"16-byte records", Join(aHeader9) + Join(aHexFile),
         "line 9: data record of 16 bytes is not sent by the update"},
        {"address record and end record only", Join(aHeader9) + Join({Record(2, 0, 4, 0), EndLine}),
         "line 9: record type 4 (extended linear address) is not sent by the update"},
        {"segment address after a dropped line",
         Join(aHeader9) + Join({Data(0x0128), "note=x", Record(2, 0, 2, 0), EndLine}),
         "line 11: record type 2 (extended segment address) is not sent by the update"},
        {"unknown record type", Join(aHeader9) + Join({Data(0x0128), Record(1, 0, 7), EndLine}),
         "line 10: record type 7 (unknown) is not sent by the update"},
        {"start address only", Join(aHeader9) + Join({Record(4, 0, 5, 0), EndLine}),
         "line 10: no 64-byte data record before the end record"},
        {"end record alone", Join(aHeader9) + EndLine,
         "line 9: no 64-byte data record before the end record"},
        {"second vector-table line",
         Join(aHeader9) + Join({Data(0x03DF), Data(0x0128), Data(0x03DF), EndLine}),
         "line 11: a second vector-table line (address 03DF, the first on line 9)"},
        {"checksum", Join(aHeader9) + Join({Data(0x0128), sBadSum, EndLine}),
         "line 10: checksum " + sBadSum.substr(137) + " is wrong: the record needs " + sRightSum},
        {"over-long line", Join(aHeader9) + Join({Data(0x0128) + "0", EndLine}),
         "line 9: record of 64 data bytes has 140 characters instead of 139"},
        {"count above 64", Join(aHeader9) + Join({":41" + Data(0x0128).substr(3), EndLine}),
         "line 9: record of 65 data bytes: at most 64 are allowed"},
        {"lower-case digits",
         Join(aHeader9) + Join({":40012800" + std::string(128, 'a') + "00", EndLine}),
         "line 9: lower-case hex digit 'a' in column 10"},
        {"control character", Join(aHeader9) + Join({":4001\x1b", EndLine}),
         "line 9: byte 0x1B in column 6 is not a hex digit"},
        {"blank in a record", Join(aHeader9) + Join({":40 01", EndLine}),
         "line 9: character ' ' in column 4 is not a hex digit"},
        {"no colon", Join(aHeader9) + Join({"4001280000", EndLine}),
         "line 9: not a HEX record: it does not start with ':'"},
        {"blank line", Join(aHeader9) + Join({Data(0x0128), "", Data(0x0129), EndLine}),
         "line 10: blank line among the image lines"},
        {"end record in the middle",
         Join(aHeader9) + Join({Data(0x0128), EndLine, Data(0x0129), EndLine}),
         "line 10: end record before the last image line"},
        {"cut short", Join(aHeader9) + Join({Data(0x0128), Data(0x0129).substr(0, 70)}),
         "line 10: the last image line must be the end record \":00000001FF\""},
        {"damaged end record", Join(aHeader9) + Join({Data(0x0128), ":00000001FE"}),
         "line 10: the last image line must be the end record"},
        {"blank line at the end", sGood + "\n",
         "line 13: the last image line must be the end record \":00000001FF\" (a blank line"},
    };
    for (const auto& c : aCases) {
        iFwIndex = 9;
        FwFileLines = {"from an earlier file"};
        std::string sError;
        EXPECT_FALSE(LoadFwFile(Dir.Write("bad.kfw", c.sContent), &sError)) << c.sWhy;
        EXPECT_THAT(sError, StartsWith(c.sReason)) << c.sWhy;
        EXPECT_EQ(iFwIndex, 9) << c.sWhy;
        EXPECT_TRUE(FwFileLines.empty()) << c.sWhy;
    }
    // The good file these cases spoil.
    std::string sError;
    EXPECT_TRUE(LoadFwFile(Dir.Write("good.kfw", sGood), &sError)) << sError;
}

TEST_F(FwFile, DataRecordsMustLieInsideOneRegionOfThePlatformsFlash) {
    // Platform 12: regions 0x1800-0x187F, 0x4400-0x45FF, 0x4600-0x47FF, 0x4A00-0xF7FF and
    // 0x10000-0x243FF. Bootloader 3 files count 64-byte blocks, bootloader 2 files bytes.
    const std::string sRegions12 = " lies outside the flash of platform 12 [F5328 A] (its regions: "
                                   "0x1800-0x187F, 0x4400-0x45FF, 0x4600-0x47FF, 0x4A00-0xF7FF, "
                                   "0x10000-0x243FF; a record must lie inside one of them)";
    const struct {
        const char* sBootloader;
        const char* sPlatform;
        unsigned iAddress;
        std::string sError; // empty: the file loads
    } aCases[] = {
        {"3", "12", 0x0128, ""}, // the first block of region 5
        {"3", "12", 0x0060, ""}, // region 0, the update-ID block
        {"3", "12", 0x03DF, ""}, // the last block below 0xF800
        {"3", "12", 0x0400, ""}, // the first block above the 16-bit range
        {"3", "12", 0x090F, ""}, // the last block of region 6
        {"3", "12", 0x0000, "block 0x0000 (flash 0x0000-0x003F)" + sRegions12},
        {"3", "12", 0x0127, "block 0x0127 (flash 0x49C0-0x49FF)" + sRegions12},
        {"3", "12", 0x03E0, "block 0x03E0 (flash 0xF800-0xF83F)" + sRegions12},
        {"3", "12", 0x0910, "block 0x0910 (flash 0x24400-0x2443F)" + sRegions12},
        {"3", "12", 0x7506, "block 0x7506 (flash 0x1D4180-0x1D41BF)" + sRegions12},
        {"2", "12", 0x4A00, ""},
        {"2", "12", 0xF7C0, ""},
        {"2", "12", 0x1840, ""},
        {"2", "12", 0xF7C1, "address 0xF7C1-0xF800" + sRegions12},
        {"2", "12", 0x45E0, "address 0x45E0-0x461F" + sRegions12}, // across two regions
        {"2", "12", 0x0128, "address 0x0128-0x0167" + sRegions12},
        {"2", "0", 0x2500, ""},
        {"2", "0", 0x24C0,
         "address 0x24C0-0x24FF lies outside the flash of platform 0 [F1612 A] (its regions: "
         "0x1000-0x107F, 0x1080-0x10FF, 0x2500-0xF7FF; a record must lie inside one of them)"},
        // Without a layout there is nothing to check against; selection refuses such a header
        // unless the platform check is relaxed.
        {"3", "18", 0x0000, ""},
        {"2", "777", 0x0000, ""},
    };
    for (const auto& c : aCases) {
        std::vector<std::string> aLines = aHeader9;
        aLines[0] = std::string("bootloader=") + c.sBootloader;
        aLines[5] = std::string("platform=") + c.sPlatform;
        const std::string sWhy = std::string("BL") + c.sBootloader + ", platform " + c.sPlatform +
                                 ", address field " + std::to_string(c.iAddress);
        iFwIndex = -1;
        std::string sError;
        const bool bLoaded = LoadFwFile(
            Dir.Write("f.kfw", Join(aLines) + Join({Data(c.iAddress), EndLine})), &sError);
        EXPECT_EQ(bLoaded, c.sError.empty()) << sWhy;
        EXPECT_EQ(sError, c.sError.empty() ? "" : "line 9: " + c.sError) << sWhy;
        EXPECT_EQ(iFwIndex, c.sError.empty() ? 0 : -1) << sWhy;
    }
}

TEST_F(FwFile, ARecordMustNotOverwriteWhatAnEarlierOneWroteWithOtherData) {
    const std::string sHeader2 = HeaderWith(0, "bootloader=2");
    const std::string sOtherData = Record(64, 0x0128, 0, 99); // block 0x0128 with other bytes
    const struct {
        const char* sWhy;
        std::string sContent;
        const char* sError; // nullptr: the file loads
    } aCases[] = {
        {"the same block twice, the same data",
         Join(aHeader9) + Join({Data(0x0128), Data(0x0400), Data(0x0128), EndLine}), nullptr},
        {"the same block twice, other data",
         Join(aHeader9) + Join({Data(0x0128), "note=x", Data(0x0400), sOtherData, EndLine}),
         "line 12: block 0x0128 (flash 0x4A00-0x4A3F): line 9 already wrote other data there"},
        {"records side by side", sHeader2 + Join({Data(0x4A00), Data(0x4A40), EndLine}), nullptr},
        {"records that overlap, other data", sHeader2 + Join({Data(0x4A10), Data(0x4A00), EndLine}),
         "line 10: address 0x4A00-0x4A3F: line 9 already wrote other data there"},
        // Data(a) puts 24 * a + 7 * x + 1 at flash byte x: records 32 bytes apart agree.
        {"records that overlap, the same data",
         sHeader2 + Join({Data(0x4A00), Data(0x4A20), EndLine}), nullptr},
        {"an overlap from below", sHeader2 + Join({Data(0x4A00), Data(0x4A3F), EndLine}),
         "line 10: address 0x4A3F-0x4A7E: line 9 already wrote other data there"},
    };
    for (const auto& c : aCases) {
        std::string sError;
        EXPECT_EQ(LoadFwFile(Dir.Write("f.kfw", c.sContent), &sError), c.sError == nullptr)
            << c.sWhy;
        EXPECT_EQ(sError, c.sError ? c.sError : "") << c.sWhy;
    }
}

TEST_F(FwFile, OtherTextFilesAreNamedWithTheHeaderTheyLack) {
    const struct {
        const char* sName;
        std::string sContent;
        std::string sNot; // what the message says the first line is
    } aCases[] = {
        {"README.md", "# Kelvo Firmware Update\r\n\nUpdates the logger.\n",
         "\"# Kelvo Firmware Update\""},
        {"blank.txt", "\nbootloader=3\n", "a blank line"},
        {"ctrl.txt", "\x1b[2Jclear\n", "\"\\x1b[2Jclear\""},
        // A long line is cut, and never inside a character: "ä" is two bytes, here 40 and 41.
        {"long.txt", std::string(39, 'x') + "\xC3\xA4" + "yyyy\n",
         "\"" + std::string(39, 'x') + "...\""},
        {"bom.txt", "\xEF\xBB\xBFnotes\n", "\"notes\""},
    };
    for (const auto& c : aCases) {
        const std::string sFile = Dir.Write(c.sName, c.sContent);
        const std::string sExpected = "'" + sFile +
                                      "' is not a firmware file: its first line must be "
                                      "\"bootloader=2\" or \"bootloader=3\", not " +
                                      c.sNot;
        std::string sError;
        EXPECT_FALSE(LoadFwFile(sFile, &sError)) << c.sName;
        EXPECT_EQ(sError, sExpected);
        EXPECT_EQ(ErrorOf([&] { InspectFwFile(sFile); }), sExpected);
        EXPECT_EQ(iFwIndex, -1);
    }
    // A firmware file with a bad header value keeps the message that names the value.
    std::string sError;
    EXPECT_FALSE(
        LoadFwFile(Dir.Write("a.kfw", "\xEF\xBB\xBF" + HeaderWith(2, "class=x")), &sError));
    EXPECT_EQ(sError, "'x' is not a valid integer value");
}

TEST_F(FwFile, FailedHeaderAbandonsTheLoad) {
    const struct {
        std::string sLine;
        const char* sError;
    } aCases[] = {
        {"Class=26113", "'' is not a valid integer value (header line 3 is not \"class=...\")"},
        {"class=26113 ", "'26113 ' is not a valid integer value"},
    };
    for (const auto& c : aCases) {
        for (const std::int32_t iSelected : {-1, 9}) {
            iFwIndex = iSelected;
            FwFileHeader = {7, 7, 7, 7, 7, "old", 7, 7};
            FwFileLines = {"from an earlier file"};
            std::string sError;
            EXPECT_FALSE(
                LoadFwFile(Dir.Write("bad.kfw", HeaderWith(2, c.sLine) + ":01\n"), &sError));
            EXPECT_EQ(sError, c.sError);
            EXPECT_EQ(iFwIndex, iSelected);
            EXPECT_TRUE(FwFileLines.empty());
            EXPECT_EQ(FwFileHeader, (TBl3FileHeader{7, 7, 7, 7, 7, "old", 3, 0}));
        }
    }
    // class= 26113 (a blank before the number) converts.
    EXPECT_TRUE(LoadFwFile(Dir.Write("blank.kfw", HeaderWith(2, "class= 26113") + Join(aImage))));
    EXPECT_EQ(FwFileHeader.quarn_class, 26113);
}

TEST_F(FwFile, InspectReadsOnlyTheHeader) {
    ASSERT_TRUE(LoadFwFile(Dir.Write("a.kfw", Join(aHeader9) + Join(aImage))));
    const std::vector<std::string> aLoaded = FwFileLines;

    // The image is not checked: the header alone counts, whatever follows it.
    iFwIndex = -1;
    InspectFwFile(Dir.Write("b.kfw", HeaderWith(4, "versionL=$8A") + ":40BB\n"));
    EXPECT_EQ(iFwIndex, 0);
    EXPECT_EQ(FwFileHeader.quarn_verL, 138);
    EXPECT_EQ(FwFileLines, aLoaded);

    // A failed inspection raises, keeps the fields read before the failure, selects nothing.
    iFwIndex = -1;
    const std::string sBad = Dir.Write("c.kfw", HeaderWith(3, "versionH=five"));
    EXPECT_EQ(ErrorOf([&] { InspectFwFile(sBad); }), "'five' is not a valid integer value");
    EXPECT_EQ(iFwIndex, -1);
    EXPECT_EQ(FwFileHeader.quarn_class, 26113);
    EXPECT_EQ(FwFileHeader.quarn_verL, 138);
    EXPECT_EQ(FwFileLines, aLoaded);

    // Loading after an inspection replaces both parts of the slot.
    ASSERT_TRUE(LoadFwFile(Dir.Write("d.kfw", Join(aHeader9) + Join({Data(0x0500), EndLine}))));
    EXPECT_EQ(FwFileLines, (std::vector<std::string>{Data(0x0500), EndLine}));
}

TEST_F(FwFile, FilesThatAreNoFirmwareFilesAreRefused) {
    std::string sJunk;
    for (int i = 0; i < 1024; ++i)
        sJunk += static_cast<char>(i * 37);
    const std::string sBig = Dir.Path("big.kfw");
    std::ofstream(sBig, std::ios::binary).put('x');
    fs::resize_file(sBig, 1024ull * 1024 * 1024); // sparse: refused by its size, never read
    // Exactly 4 MiB is the largest file taken; one byte more is refused. A dropped note line
    // fills the file up to the limit.
    const std::string sHeader = Join(aHeader9);
    std::string sLines;
    // The same blocks again and again: a record that repeats what an earlier one wrote is taken.
    for (unsigned a = 0; sHeader.size() + sLines.size() + 3 * 140 <= MaxFwFileSize; ++a)
        sLines += Data(0x0400 + a % 0x100) + "\n";
    std::string sFull = sHeader + sLines + "note=";
    sFull.append(MaxFwFileSize - sFull.size() - EndLine.size() - 1, 'x');
    sFull += "\n" + EndLine;
    fs::create_directory(Dir.Path("folder"));

    const struct {
        std::string sFile;
        const char* sError;
    } aCases[] = {
        {Dir.Path("missing.kfw"), "does not exist"},
        {Dir.Path("folder"), "is a folder"},
        {Dir.Write("empty.kfw", ""), "is empty"},
        {Dir.Write("junk.kfw", sJunk), "binary data"},
        {sBig, "larger than 4 MiB"},
        {Dir.Write("over.kfw", sFull + "\n"), "larger than 4 MiB"},
    };
    for (const auto& c : aCases) {
        FwFileHeader = {7, 7, 7, 7, 7, "old", 7, 7};
        std::string sError;
        EXPECT_FALSE(LoadFwFile(c.sFile, &sError)) << c.sFile;
        EXPECT_THAT(sError, HasSubstr(c.sError));
        const auto sInspectError = ErrorOf([&] { InspectFwFile(c.sFile); });
        ASSERT_TRUE(sInspectError.has_value()) << c.sFile;
        EXPECT_THAT(*sInspectError, HasSubstr(c.sError));
        EXPECT_EQ(iFwIndex, -1);
        EXPECT_EQ(FwFileHeader, (TBl3FileHeader{7, 7, 7, 7, 7, "old", 7, 7}));
    }

    ASSERT_EQ(sFull.size(), MaxFwFileSize);
    std::string sError;
    EXPECT_TRUE(LoadFwFile(Dir.Write("full.kfw", sFull), &sError)) << sError;
    EXPECT_EQ(FwFileLines.size(), sLines.size() / 140 + 1);
}

#ifndef _WIN32
// A FIFO would hold open() until a writer comes; a device is not opened at all.
TEST_F(FwFile, FifosAndDevicesAreRefusedAtOnce) {
    const TFifo fifo(Dir.Path("fifo.kfw"));
    for (const std::string& sFile : {fifo.Path(), std::string("/dev/null")}) {
        std::string sError;
        std::optional<std::string> sInspectError;
        EXPECT_TRUE(EndsWithin(fifo, std::chrono::seconds(5), [&] {
            EXPECT_FALSE(LoadFwFile(sFile, &sError));
            sInspectError = ErrorOf([&] { InspectFwFile(sFile); });
        })) << sFile;
        EXPECT_EQ(sError, "'" + sFile + "' is not a regular file");
        EXPECT_EQ(sInspectError, sError);
        EXPECT_EQ(iFwIndex, -1);
    }
}
#endif

// Records written by an independent tool: every line must parse and format back to itself.
TEST(ImageCodec, AcceptsAndReproducesSrecCatRecords) {
#ifdef _WIN32
    GTEST_SKIP() << "srec_cat is not run from the Windows build";
#else
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    TTempDir dir;
    std::mt19937 rng(20240601);
    std::string sBinary;
    for (int i = 0; i < 64 * 40 + 23; ++i) // a short record at the end
        sBinary += static_cast<char>(rng() & 0xFF);
    const std::string sIn = dir.Write("in.bin", sBinary);
    const std::string sOut = dir.Path("out.hex");
    const std::string sCommand = "srec_cat '" + sIn + "' -binary -offset 0x2500 -output '" + sOut +
                                 "' -intel -obs=64 -disable=exec_start_address";
    ASSERT_EQ(std::system(sCommand.c_str()), 0) << sCommand;

    std::ifstream hex(sOut, std::ios::binary);
    std::string sRebuilt;
    std::size_t iLines = 0;
    for (std::string sLine; std::getline(hex, sLine); ++iLines) {
        sHexLine = sLine;
        ASSERT_TRUE(HexLineToRec()) << sLine;
        ASSERT_TRUE(HexRecToLine()) << sLine;
        EXPECT_EQ(sHexLine, sLine);
        if (HexRec.RecType == 0) {
            EXPECT_EQ(HexRec.Address(), 0x2500 + sRebuilt.size());
            sRebuilt.append(reinterpret_cast<const char*>(HexRec.Data.data()), HexRec.Count);
        }
    }
    EXPECT_GE(iLines, 42u);
    EXPECT_EQ(sRebuilt, sBinary);
    EXPECT_EQ(sHexLine, ":00000001FF");
#endif
}
