#include "device/uOptions.h"
#include "frontend/uPortList.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uWinTools1V4.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "tests/support/FifoGuard.h"
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using TParams = std::vector<std::string>;

TEST(CmdLine, FirstMatchingParameterLongerThanItsKeyWins) {
    const struct {
        TParams aParams;
        const char* sKey;
        std::string sExpected;
    } aCases[] = {
        {{}, "cc:", "dflt"},
        {{"cc:-"}, "cc:", "-"},
        {{"CC:-"}, "cc:", "-"},
        {{"Cc:x"}, "cC:", "x"},
        {{"cc:"}, "cc:", "dflt"},
        {{"cc:", "cc:+"}, "cc:", "+"},
        {{"mf:+", "mf:-"}, "mf:", "+"},
        {{"xcc:-"}, "cc:", "dflt"},
        {{"cc;-"}, "cc:", "dflt"},
        {{"f:a:b"}, "f:", "a:b"},
        {{"\xC4"
          "c:-"},
         "\xE4"
         "c:",
         "dflt"}, // only A-Z fold
        {{"cc:" + std::string(1200, 'v')}, "cc:", std::string(1000, 'v')},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(GetCmdLineValue(c.aParams, c.sKey, "dflt"), c.sExpected) << c.sKey;
}

struct StartupOptions : ::testing::Test {
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        bCheckClass = bCheckFamily = bCheckPlatform = true;
        bFormatMemory = false;
        iFileMode = 0;
    }
};

TEST_F(StartupOptions, RelaxationsAndFileModeOnlyInTheInternalMode) {
    const struct {
        TParams aParams;
        bool bInternal;
        bool bClass, bFamily, bPlatform, bFormat;
        int iFile;
    } aCases[] = {
        {{"cc:-", "cf:-", "cp:-", "f:+", "mf:+"}, false, true, true, true, true, 0},
        {{}, true, true, true, true, false, 1},
        {{"cc:-", "cf:-", "cp:-", "f:+"}, true, false, false, false, false, 2},
        {{"CC:-", "cp:--", "cf:+", "f:++"}, true, false, true, true, false, 1},
        {{"mf:+", "mf:-"}, false, true, true, true, true, 0},
        {{"mf:-", "mf:+"}, false, true, true, true, false, 0},
        {{"mf:yes"}, true, true, true, true, false, 1},
    };
    for (const auto& c : aCases) {
        Reset();
        ReadStartupOptions(c.aParams, c.bInternal);
        EXPECT_EQ(bCheckClass, c.bClass);
        EXPECT_EQ(bCheckFamily, c.bFamily);
        EXPECT_EQ(bCheckPlatform, c.bPlatform);
        EXPECT_EQ(bFormatMemory, c.bFormat);
        EXPECT_EQ(iFileMode, c.iFile);
    }
}

TEST(InternalMode, StoreIntegers) {
    const struct {
        const char* s;
        bool bOk;
        long long iValue;
    } aCases[] = {{"7315", true, 7315},  {" 7315 ", true, 7315},
                  {"+7315", true, 7315}, {"-7315", true, -7315},
                  {"", false, 0},        {"73a15", false, 0},
                  {"0x1C93", false, 0},  {"7315x", false, 0},
                  {"-", false, 0},       {"99999999999999999999999", false, 0}};
    for (const auto& c : aCases) {
        long long v = 0;
        EXPECT_EQ(ParseStoreInteger(c.s, v), c.bOk) << c.s;
        if (c.bOk) {
            EXPECT_EQ(v, c.iValue) << c.s;
        }
    }
}

#ifndef _WIN32
TEST(InternalMode, ConfigFileHoldsTheAccessCode) {
    const auto dir = std::filesystem::temp_directory_path() / "kelvo-internal-mode-test";
    std::filesystem::create_directories(dir / "Orlenta");
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    const struct {
        const char* sContent;
        bool bOn;
    } aCases[] = {{nullptr, false},         {"intern=7315\n", true}, {"# note\nintern=7315", true},
                  {"intern=7316\n", false}, {"intern=abc\n", false}, {"Intern=7315\n", false}};
    for (const auto& c : aCases) {
        std::filesystem::remove(dir / "Orlenta" / "Quarn.conf");
        if (c.sContent)
            std::ofstream(dir / "Orlenta" / "Quarn.conf") << c.sContent;
        EXPECT_EQ(IsInternalMode(), c.bOn) << (c.sContent ? c.sContent : "(no file)");
    }
    // A FIFO in the store's place would hold the start-up in open(): it is no store, at once.
    std::filesystem::remove(dir / "Orlenta" / "Quarn.conf");
    {
        const TFifo fifo(dir / "Orlenta" / "Quarn.conf");
        bool bOn = true;
        EXPECT_TRUE(EndsWithin(fifo, std::chrono::seconds(5), [&] { bOn = IsInternalMode(); }));
        EXPECT_FALSE(bOn);
    }
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(dir);
}

TEST(PortList, UsbSerialDevicesInNaturalOrder) {
    const auto dir = std::filesystem::temp_directory_path() / "kelvo-port-list-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* s :
         {"ttyUSB10", "ttyUSB2", "ttyS0", "ttyACM1", "ttyUSB0", "null", "ttyACM0", "xttyUSB1"})
        std::ofstream(dir / s).put('\n');
    std::vector<std::string> aList{"stale"};
    ListComPorts(aList, dir.string());
    const std::string p = dir.string() + "/";
    EXPECT_EQ(aList, (std::vector<std::string>{p + "ttyACM0", p + "ttyACM1", p + "ttyUSB0",
                                               p + "ttyUSB2", p + "ttyUSB10"}));
    ListComPorts(aList, (dir / "missing").string());
    EXPECT_TRUE(aList.empty());
    std::filesystem::remove_all(dir);
}
#endif

TEST(StartupWords, WithoutEffectAreWarnedAbout) {
    const struct {
        const char* sWord;
        bool bInternal;
        const char* sWarning; // empty: none
    } aCases[] = {
        {"mf:+", false, ""},
        {"MF:-", false, ""},
        {"cc:-", true, ""},
        {"f:+", true, ""},
        {"cc:-", false, "has no effect outside the internal mode"},
        {"f:+", false, "has no effect outside the internal mode"},
        {"xx:1", true, "unknown start-up option 'xx:1'"},
        {"mf:", false, "has no value"},
    };
    for (const auto& c : aCases) {
        const auto aWarnings = StartupOptionWarnings({c.sWord}, c.bInternal);
        if (*c.sWarning == '\0') {
            EXPECT_TRUE(aWarnings.empty()) << c.sWord;
        } else {
            ASSERT_EQ(aWarnings.size(), 1u) << c.sWord;
            EXPECT_NE(aWarnings.front().find(c.sWarning), std::string::npos) << aWarnings.front();
        }
    }
}
