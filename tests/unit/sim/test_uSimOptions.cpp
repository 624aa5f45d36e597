// The command line of kelvo-logger-sim.
#include "firmware/uFWVersions.h"
#include "sim/uSimOptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

TSimOptions Parsed(const std::vector<std::string>& aArgs) {
    std::string sError;
    auto options = ParseSimOptions(aArgs, sError);
    EXPECT_TRUE(options) << sError;
    return options.value_or(TSimOptions{});
}

} // namespace

TEST(SimOptions, PresetComesFirstAndSettingsApplyOnTop) {
    const TSimOptions o = Parsed({"--platform", "7", "--preset", "entry1", "--upid-print=0x1F"});
    TLoggerConfig expected = *LoggerPreset("entry1");
    expected.iPlatform = 7;
    expected.iUpidPrint = 0x1F;
    EXPECT_EQ(o.config, expected);
    EXPECT_EQ(o.config.iImage, 1) << "a preset expects its own image";

    // The expected image: the last of --image and --image-file wins, over the preset's.
    const TSimOptions image = Parsed({"--image", "3", "--preset", "entry8"});
    EXPECT_EQ(image.config.iImage, 3);
    EXPECT_TRUE(image.sImageFile.empty());
    EXPECT_EQ(Parsed({"--image", "3", "--image-file", "a.kfw"}).sImageFile, "a.kfw");
    EXPECT_TRUE(Parsed({"--image-file", "a.kfw", "--image", "3"}).sImageFile.empty());
}

TEST(SimOptions, EverySettingReachesTheConfig) {
    const TSimOptions o = Parsed({"--app-class",
                                  "26120",
                                  "--app-version",
                                  "5.136",
                                  "--serial",
                                  "4294967295",
                                  "--bl-class",
                                  "51200",
                                  "--bl-version",
                                  "0x0102",
                                  "--platform",
                                  "65534",
                                  "--print",
                                  "43",
                                  "--info",
                                  "0xABCD",
                                  "--upid-class",
                                  "26000",
                                  "--upid-info",
                                  "5",
                                  "--upid-platform",
                                  "3",
                                  "--upid-print",
                                  "4",
                                  "--upid-reserve",
                                  "6",
                                  "--upid-crc",
                                  "erased",
                                  "--start",
                                  "bootloader",
                                  "--class-after-restart",
                                  "26121",
                                  "--image",
                                  "7",
                                  "--fault",
                                  "line:echo:5",
                                  "--fault=ident:noanswer:1:5",
                                  "--baud",
                                  "9600",
                                  "--latency",
                                  "16",
                                  "--link",
                                  "/tmp/kelvo-sim",
                                  "--record",
                                  "rec.txt",
                                  "-v"});
    const TLoggerConfig& c = o.config;
    EXPECT_EQ(c.iAppClass, 26120);
    EXPECT_EQ(c.iAppVersion, 0x0588);
    EXPECT_EQ(c.iSerial, 4294967295u);
    EXPECT_EQ(c.iBlClass, 51200);
    EXPECT_EQ(c.iBlVersion, 0x0102);
    EXPECT_EQ(c.iPlatform, 65534);
    EXPECT_EQ(c.iPrint, 43);
    EXPECT_EQ(c.iInfo, 0xABCD);
    EXPECT_EQ(c.iUpidClass, 26000);
    EXPECT_EQ(c.iUpidInfo, 5);
    EXPECT_EQ(c.iUpidPlatform, 3);
    EXPECT_EQ(c.iUpidPrint, 4);
    EXPECT_EQ(c.iUpidReserve, 6);
    EXPECT_EQ(c.eUpidCrc, TUpidCrc::Erased);
    EXPECT_TRUE(c.bStartInBootloader);
    EXPECT_EQ(c.iClassAfterRestart, 26121);
    EXPECT_EQ(c.iImage, 7);
    EXPECT_EQ(c.aFaults, (std::vector<TFault>{{TExchangeKind::Line, TFaultType::Echo, 5, 1},
                                              {TExchangeKind::Ident, TFaultType::NoAnswer, 1, 5}}));
    EXPECT_EQ(o.iBaud, 9600u);
    EXPECT_EQ(o.iLatencyMs, 16u);
    EXPECT_EQ(o.sLink, "/tmp/kelvo-sim");
    EXPECT_EQ(o.sRecord, "rec.txt");
    EXPECT_TRUE(o.bVerbose);
    EXPECT_FALSE(o.bHelp);

    const TSimOptions plain = Parsed({});
    EXPECT_EQ(plain.config, TLoggerConfig{});
    EXPECT_EQ(plain.iBaud, 0u);
    EXPECT_EQ(plain.iLatencyMs, 0u);
    EXPECT_TRUE(Parsed({"--help"}).bHelp);
    EXPECT_TRUE(Parsed({"-V"}).bVersion);
}

TEST(SimOptions, BadCommandLinesAreExplained) {
    struct TCase {
        std::vector<std::string> aArgs;
        const char* sMessage;
    };
    const TCase aCases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"entry1"}, "unexpected argument \"entry1\""},
        {{"--platform"}, "--platform needs a value"},
        {{"--platform", "65536"}, "--platform: \"65536\" is not a number 0-65535"},
        {{"--platform", "-1"}, "--platform: \"-1\" is not a number 0-65535"},
        {{"--platform", "-x"}, "'-x' looks like an option; use --platform=-x"},
        {{"--platform", "--verbose"}, "--platform needs a value"},
        {{"--platform", "0x"}, "is not a number"},
        {{"--serial", "4294967296"}, "--serial"},
        {{"--app-version", "5.256"}, "MAJOR.MINOR"},
        {{"--upid-crc", "bad"}, "valid, wrong or erased"},
        {{"--start", "boot"}, "app or bootloader"},
        {{"--baud", "0"}, "--baud"},
        {{"--latency", "0"}, "--latency"},
        {{"--latency", "256"}, "--latency"},
        {{"--link="}, "--link"},
        {{"--image", "0"}, "--image: \"0\" is not a built-in image 1-9"},
        {{"--image", "10"}, "built-in image 1-9"},
        {{"--image-file="}, "--image-file"},
        {{"--preset", "entry10"}, "unknown preset \"entry10\""},
        {{"--preset", "entry1", "--preset", "entry2"}, "only one --preset"},
        {{"--fault", "ident:echo"}, "cannot strike"},
    };
    for (const TCase& c : aCases) {
        std::string sError;
        EXPECT_FALSE(ParseSimOptions(c.aArgs, sError)) << c.aArgs.front();
        EXPECT_NE(sError.find(c.sMessage), std::string::npos) << sError;
    }
}

TEST(SimOptions, FaultTextsAreParsedOrExplained) {
    struct TCase {
        const char* sText;
        const char* sMessage; // part of the error text
    };
    for (const TCase& c : {
             TCase{"", "KIND:FAULT"},
             TCase{"ident", "KIND:FAULT"},
             TCase{"ident:noanswer:1:2:3", "KIND:FAULT"},
             TCase{"bogus:noanswer", "unknown exchange kind \"bogus\""},
             TCase{"ident:bogus", "unknown fault \"bogus\""},
             TCase{"bootentry:noanswer", "cannot strike"},
             TCase{"finish:short", "cannot strike"},
             TCase{"line:exception", "cannot strike"},
             TCase{"ident:echo", "cannot strike"},
             TCase{"upid:wrongclass", "cannot strike"},
             TCase{"ident:noanswer:0", "occurrence"},
             TCase{"ident:noanswer:x", "occurrence"},
             TCase{"ident:noanswer:1:0", "times"},
             TCase{"ident:noanswer:1:-1", "times"},
         }) {
        std::string sError;
        EXPECT_FALSE(ParseFault(c.sText, sError)) << c.sText;
        EXPECT_NE(sError.find(c.sMessage), std::string::npos) << c.sText << ": " << sError;
    }
    std::string sError;
    EXPECT_EQ(ParseFault("line:echo:5", sError),
              (TFault{TExchangeKind::Line, TFaultType::Echo, 5, 1}));
    EXPECT_EQ(ParseFault("restart-ident:wrongclass:2:3", sError),
              (TFault{TExchangeKind::RestartIdent, TFaultType::WrongClass, 2, 3}));
}

TEST(SimOptions, ImageFileGivesItsVersionAndImageLines) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kelvo-sim-options-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir);
    // Entry 8's image as a file with CR LF line ends, as a firmware file may have them.
    const TBl3FileHeader h = GetFwHeader(8);
    TLoggerImage expected{0x0588, {}};
    {
        std::ofstream f(dir / "entry8.kfw", std::ios::binary);
        f << "bootloader=3\r\nbootloader version=0\r\nclass=26113\r\nversionH=" << h.quarn_verH
          << "\r\nversionL=" << h.quarn_verL << "\r\nplatform=12\r\nprint=30\r\ndate=x\r\n";
        for (std::int32_t i = 0; i <= GetFwLastIndex(8); ++i) {
            std::string sLine;
            std::int32_t iLast = 0;
            TBl3FileHeader unused;
            GetFwEntry(8, FwQuery::Line, i, sLine, iLast, unused);
            f << sLine << "\r\n";
            expected.aLines.push_back(sLine);
        }
    }
    std::ofstream(dir / "bad.kfw") << "bootloader=3\nbootloader version=0\nclass=x\n";

    std::string sError;
    EXPECT_EQ(LoadImageFile((dir / "entry8.kfw").string(), sError), expected) << sError;
    for (const auto& [sFile, sMessage] :
         {std::pair{"missing.kfw", "missing.kfw"}, std::pair{"bad.kfw", "'x'"},
          std::pair{"", "is a folder"}}) {
        sError.clear();
        EXPECT_FALSE(LoadImageFile((dir / sFile).string(), sError)) << sFile;
        EXPECT_NE(sError.find(sMessage), std::string::npos) << sError;
    }
    std::filesystem::remove_all(dir);
}
