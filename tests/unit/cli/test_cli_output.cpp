#include "cli/uCliOutput.h"
#include "firmware/uFWVersions.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

const std::string Fffd = "\xEF\xBF\xBD";

std::tm Tm(int iYear, int iMonth, int iDay, int iHour, int iMinute, int iSecond) {
    std::tm t{};
    t.tm_year = iYear - 1900;
    t.tm_mon = iMonth - 1;
    t.tm_mday = iDay;
    t.tm_hour = iHour;
    t.tm_min = iMinute;
    t.tm_sec = iSecond;
    return t;
}

} // namespace

TEST(JsonString, EscapesAndReplacesIllFormedUtf8) {
    const struct {
        std::string sIn;
        std::string sOut; // without the quotes
    } aCases[] = {
        {"plain", "plain"},
        {"a\"b\\c/", "a\\\"b\\\\c/"},
        {"\n\r\t\x01\x1f\x7f", "\\n\\r\\t\\u0001\\u001f\x7f"},
        {"Gr\xC3\xB6\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80",
         "Gr\xC3\xB6\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"/dev/tty\xFF", "/dev/tty" + Fffd},
        {"\x80x", Fffd + "x"},                           // a continuation byte alone
        {"a\xC3", "a" + Fffd},                           // cut at the end
        {"\xC3(", Fffd + "("},                           // a lead byte without its continuation
        {"\xE2\x82x", Fffd + "x"},                       // a cut sequence is one replacement
        {"\xF0\x9F\x98", Fffd},                          // the same, cut at the end
        {"\xC0\xAF", Fffd + Fffd},                       // overlong two bytes
        {"\xE0\x80\xAF", Fffd + Fffd + Fffd},            // overlong three bytes
        {"\xED\xA0\x80", Fffd + Fffd + Fffd},            // a surrogate
        {"\xF4\x90\x80\x80", Fffd + Fffd + Fffd + Fffd}, // above U+10FFFF
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},        // U+10FFFF itself
    };
    for (const auto& c : aCases)
        EXPECT_EQ(JsonString(c.sIn), "\"" + c.sOut + "\"") << c.sIn;
}

TEST(IsoTime, OffsetFromTheSameInstantAcrossDayAndYearEnds) {
    const struct {
        std::tm local;
        std::tm utc;
        const char* sExpected; // with 7 ms
    } aCases[] = {
        {Tm(2026, 12, 10, 12, 34, 56), Tm(2026, 12, 10, 12, 34, 56),
         "2026-12-10T12:34:56.007+00:00"},
        {Tm(2026, 12, 10, 13, 34, 56), Tm(2026, 12, 10, 12, 34, 56),
         "2026-12-10T13:34:56.007+01:00"},
        {Tm(2026, 1, 1, 0, 30, 0), Tm(2025, 12, 31, 19, 45, 0), "2026-01-01T00:30:00.007+04:45"},
        {Tm(2025, 12, 31, 20, 30, 0), Tm(2026, 1, 1, 0, 0, 0), "2025-12-31T20:30:00.007-03:30"},
        {Tm(2028, 2, 29, 23, 0, 0), Tm(2028, 3, 1, 9, 0, 0), "2028-02-29T23:00:00.007-10:00"},
        {Tm(2027, 3, 1, 0, 15, 0), Tm(2027, 2, 28, 10, 15, 0), "2027-03-01T00:15:00.007+14:00"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(IsoTime(c.local, 7, UtcOffsetMinutes(c.local, c.utc)), c.sExpected);
}

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

TEST(RunEvents, TheRunnersOwnLinesAndTheRepeats) {
    const std::string sPort = "COM3";
    const struct {
        std::int32_t iCode;
        std::int32_t iValue;
        TStep step;
        const char* sEvent;
    } aCases[] = {
        {-1, 0, {TAction::Report, StartText(sPort)}, "start"},
        {-1, 0, {TAction::Report, Texts::LoggerWaitsInBootloader}, "note"},
        {-1, 0, {TAction::Report, "Gave up after 3 repeats: communication error!"}, "gave-up"},
        {10, 44, {TAction::Report, StatusText(44, sPort)}, "repeat"},
        {13, 0, {TAction::Report, "Repeat update because communication error!"}, "repeat"},
        {10, 10, {TAction::Report, StatusText(10, sPort)}, "status"},
        {10, 10, {TAction::Diagnostic, "Reason: no such device"}, "reason"},
    };
    for (const auto& c : aCases)
        EXPECT_STREQ(RunEventName(c.iCode, c.iValue, c.step, sPort), c.sEvent) << c.step.sText;
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
