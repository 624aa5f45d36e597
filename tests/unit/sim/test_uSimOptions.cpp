// The command line of kelvo-logger-sim.
#include "sim/uSimOptions.h"

#include <gtest/gtest.h>

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
                                  "--fault",
                                  "line:echo:5",
                                  "--fault=ident:noanswer:1:5",
                                  "--baud",
                                  "9600",
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
    EXPECT_EQ(c.aFaults, (std::vector<TFault>{{TExchangeKind::Line, TFaultType::Echo, 5, 1},
                                              {TExchangeKind::Ident, TFaultType::NoAnswer, 1, 5}}));
    EXPECT_EQ(o.iBaud, 9600u);
    EXPECT_EQ(o.sLink, "/tmp/kelvo-sim");
    EXPECT_EQ(o.sRecord, "rec.txt");
    EXPECT_TRUE(o.bVerbose);
    EXPECT_FALSE(o.bHelp);

    const TSimOptions plain = Parsed({});
    EXPECT_EQ(plain.config, TLoggerConfig{});
    EXPECT_EQ(plain.iBaud, 0u);
    EXPECT_TRUE(Parsed({"--help"}).bHelp);
}

TEST(SimOptions, BadCommandLinesAreExplained) {
    struct TCase {
        std::vector<std::string> aArgs;
        const char* sMessage;
    };
    const TCase aCases[] = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"entry1"}, "unknown option \"entry1\""},
        {{"--platform"}, "--platform needs a value"},
        {{"--platform", "65536"}, "--platform: \"65536\" is not a number 0-65535"},
        {{"--platform", "-1"}, "is not a number"},
        {{"--platform", "0x"}, "is not a number"},
        {{"--serial", "4294967296"}, "--serial"},
        {{"--app-version", "5.256"}, "MAJOR.MINOR"},
        {{"--upid-crc", "bad"}, "valid, wrong or erased"},
        {{"--start", "boot"}, "app or bootloader"},
        {{"--baud", "0"}, "--baud"},
        {{"--link="}, "--link"},
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
