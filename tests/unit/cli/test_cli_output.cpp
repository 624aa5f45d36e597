#include "cli/uCliOutput.h"
#include "firmware/uFWVersions.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

TEST(ProgressBar, LineFitsTheTerminal) {
    const struct {
        int iPercent;
        std::optional<int> iLeft;
        int iColumns;
        const char* sExpected;
    } aCases[] = {
        {42, 187, 40, "[########             ]  42%  3:07 left"},
        {0, std::nullopt, 40, "[                    ]   0%  --:-- left"},
        {100, 0, 40, "[#####################] 100%  0:00 left"},
        {50, 3725, 40, "[#########         ]  50%  1:02:05 left"},
        {50, 60, 25, "50%  1:00 left"}, // no room for a bar of ten marks
        {50, 60, 10, "50%  1:00"},
        {50, 60, 1, ""},
        {50, 60, 0, ""},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(BarLine(c.iPercent, c.iLeft, c.iColumns), c.sExpected) << c.iColumns;
    for (const int iColumns : {31, 80, 132, 300}) {
        const std::string s = BarLine(37, 100, iColumns);
        EXPECT_EQ(s.size(), static_cast<std::size_t>(iColumns - 1)) << iColumns;
        EXPECT_EQ(s.front(), '[') << iColumns;
        const auto iMarks = std::count(s.begin(), s.end(), '#');
        EXPECT_EQ(iMarks, static_cast<long>((s.find(']') - 1) * 37 / 100)) << iColumns;
    }
}

TEST(ProgressBar, TimeLeftFromTheRecentRate) {
    const TRecentRate::TClock::time_point t0{};
    TRecentRate rate;
    EXPECT_FALSE(rate.SecondsLeft());
    rate.Add(t0, 0);
    EXPECT_FALSE(rate.SecondsLeft()) << "one step is no rate";
    rate.Add(t0 + 10s, 10);
    EXPECT_EQ(rate.SecondsLeft(), 90);

    // A slow start: 1 % in the first minute, then 1 % a second. The estimate follows the last
    // 30 s (69 s left), not the average since the start (about 200 s).
    rate.Restart();
    rate.Add(t0, 0);
    rate.Add(t0 + 60s, 1);
    for (int i = 2; i <= 31; ++i)
        rate.Add(t0 + 60s + std::chrono::seconds(i - 1), i);
    EXPECT_EQ(rate.SecondsLeft(), 69);

    // A step back is a new attempt: its rate starts afresh.
    rate.Add(t0 + 100s, 0);
    EXPECT_FALSE(rate.SecondsLeft());
    rate.Add(t0 + 105s, 5);
    EXPECT_EQ(rate.SecondsLeft(), 95);
    // No progress since the base: no estimate rather than a wrong one.
    rate.Restart();
    rate.Add(t0, 20);
    rate.Add(t0 + 5s, 20);
    EXPECT_FALSE(rate.SecondsLeft());
}

TEST(TextWidth, CountsColumnsAndCutsBetweenCharacters) {
    const std::string Ellipsis = "\xE2\x80\xA6"; // one column, three bytes
    const std::string Wide = "\xE6\x97\xA5";     // a CJK character: two columns
    const std::string Combining = "e\xCC\x81";   // e and a combining acute: one column
    const struct {
        std::string s;
        std::size_t iWidth;
    } aWidths[] = {
        {"", 0},
        {"ttyUSB0", 7},
        {Ellipsis, 1},
        {Wide + Wide, 4},
        {Combining, 1},
        {"\\x1b", 4},
        {"a\xFF"
         "b",
         3},
        {"\xF0\x9F\x98\x80", 2},
    };
    for (const auto& c : aWidths)
        EXPECT_EQ(DisplayWidth(c.s), c.iWidth) << c.s;

    const struct {
        std::string s;
        std::size_t iWidth;
        std::string sCut;
        std::string sMiddle;
        std::string sEnd;
    } aCuts[] = {
        {"abcdefghij", 10, "abcdefghij", "abcdefghij", "abcdefghij"},
        {"abcdefghij", 7, "abcdefg", "abc" + Ellipsis + "hij", "abcdef" + Ellipsis},
        {"abcdefghij", 6, "abcdef", "ab" + Ellipsis + "hij", "abcde" + Ellipsis},
        {"abcdefghij", 1, "a", Ellipsis, Ellipsis},
        {"abcdefghij", 0, "", "", ""},
        // A wide character is never split: the cut leaves a column free instead.
        {"a" + Wide + Wide + "b", 4, "a" + Wide, "a" + Ellipsis + "b", "a" + Wide + Ellipsis},
        {Ellipsis + Ellipsis + "xy", 3, Ellipsis + Ellipsis + "x", Ellipsis + Ellipsis + "y",
         Ellipsis + Ellipsis + Ellipsis},
    };
    for (const auto& c : aCuts) {
        EXPECT_EQ(CutToWidth(c.s, c.iWidth), c.sCut) << c.s << " " << c.iWidth;
        EXPECT_EQ(CutMiddle(c.s, c.iWidth, Ellipsis), c.sMiddle) << c.s << " " << c.iWidth;
        EXPECT_EQ(CutEnd(c.s, c.iWidth, Ellipsis), c.sEnd) << c.s << " " << c.iWidth;
    }
    EXPECT_EQ(CutMiddle("/dev/ttyUSB10", 9, "..."), "/de...B10");
    EXPECT_EQ(PadToWidth(Wide + Ellipsis, 5), Wide + Ellipsis + "  ");
}

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
