// Text on a terminal: its width in columns, cut and aligned; lines redrawn in place; the
// progress bar.
#include "cli/uTerminal.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;

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

TEST(InPlaceLines, BlockRedrawnWithoutWrappingOrScrolling) {
    const std::string Ellipsis = "\xE2\x80\xA6";
    const std::string Long = "p" + std::string(50, 'x') + Ellipsis; // 52 columns, 54 bytes
    TInPlaceLines live(TInPlaceLines::TKind::Block);
    EXPECT_EQ(live.Erase(80), "") << "nothing shown yet";
    // Every line short of the last column, counted in columns, not bytes.
    EXPECT_EQ(live.Draw({"a", Long}, 53, 24), "\ra\x1b[K\n" + Long + "\x1b[K\n");
    EXPECT_EQ(live.Draw({"b", Long}, 52, 24),
              "\x1b[2A\rb\x1b[K\n" + Long.substr(0, 51) + "\x1b[K\n")
        << "one column narrower: the line is cut";
    EXPECT_EQ(live.Draw({"c"}, 52, 24), "\x1b[2A\rc\x1b[K\n\x1b[J") << "fewer lines";
    // Taller than the terminal: the lines past its height less one are counted instead.
    EXPECT_EQ(live.Draw({"1", "2", "3", "4", "5"}, 52, 4),
              "\x1b[1A\r1\x1b[K\n2\x1b[K\n(3 more ports)\x1b[K\n");
    // Row by row: an "erase below" from the top of the screen would clear the whole screen.
    EXPECT_EQ(live.Erase(52), "\x1b[3A\r\x1b[2K\x1b[B\x1b[2K\x1b[B\x1b[2K\x1b[2A");
    EXPECT_EQ(live.Erase(52), "") << "erased once";
    // After the terminal has narrowed, the erase reaches the rows the lines now take.
    live.Draw({"x", std::string(70, 'y')}, 80, 24);
    EXPECT_EQ(live.Erase(40).substr(0, 5), "\x1b[3A\r");
}

// A block taller than the terminal: the ports that do not fit are counted, exactly, and the footer
// (the station's count line) stays below them.
TEST(InPlaceLines, ATallBlockCountsTheHiddenPortsAndKeepsItsFooter) {
    const struct {
        std::size_t iPorts;
        int iRows;
        std::size_t iFooter;
        std::vector<std::string> aExpected; // "pN" a port shown, "count" the footer
    } aCases[] = {
        {25, 24, 1, {}}, // checked by its figures below: 21 ports, "(4 more ports)", the count
        {32, 24, 1, {}}, // 21 ports, "(11 more ports)", the count
        {22, 24, 1, {}}, // just fits: 22 ports and the count
        {5, 4, 1, {"p0", "(4 more ports)", "count"}},
        {5, 4, 0, {"p0", "p1", "(3 more ports)"}},
        {5, 3, 1, {"(5 more ports)", "count"}},
        {5, 2, 1, {"count"}}, // no room but for the footer
        {3, 24, 1, {"p0", "p1", "p2", "count"}},
    };
    for (const auto& c : aCases) {
        std::vector<std::string> aLines;
        for (std::size_t i = 0; i < c.iPorts; ++i)
            aLines.push_back("p" + std::to_string(i));
        if (c.iFooter > 0)
            aLines.push_back("count");
        TInPlaceLines live(TInPlaceLines::TKind::Block, c.iFooter);
        const std::string sDrawn = live.Draw(aLines, 80, c.iRows);
        std::vector<std::string> aShown;
        for (std::size_t i = 1; i < sDrawn.size();) {
            const std::size_t iEnd = sDrawn.find("\x1b[K\n", i);
            if (iEnd == std::string::npos)
                break;
            aShown.push_back(sDrawn.substr(i, iEnd - i));
            i = iEnd + 4;
        }
        const std::string sCase = std::to_string(c.iPorts) + " ports on " +
                                  std::to_string(c.iRows) + " rows, footer " +
                                  std::to_string(c.iFooter);
        EXPECT_LE(aShown.size(), static_cast<std::size_t>(c.iRows - 1)) << sCase;
        if (!c.aExpected.empty()) {
            EXPECT_EQ(aShown, c.aExpected) << sCase;
            continue;
        }
        // The ports shown and those counted add up to all of them; the footer is the last line.
        ASSERT_FALSE(aShown.empty()) << sCase;
        EXPECT_EQ(aShown.back(), "count") << sCase;
        const std::size_t iShownPorts = static_cast<std::size_t>(std::count_if(
            aShown.begin(), aShown.end(), [](const std::string& s) { return s.starts_with("p"); }));
        std::size_t iMore = 0;
        if (aShown.size() >= 2 && aShown[aShown.size() - 2].starts_with("("))
            iMore = std::stoul(aShown[aShown.size() - 2].substr(1));
        EXPECT_EQ(iShownPorts + iMore, c.iPorts) << sCase;
        EXPECT_EQ(aShown.size(), std::min<std::size_t>(c.iPorts + 1, 23)) << sCase;
    }
}

TEST(InPlaceLines, OneLineRedrawnAfterACarriageReturn) {
    const std::string Ellipsis = "\xE2\x80\xA6";
    TInPlaceLines line(TInPlaceLines::TKind::OneLine);
    EXPECT_EQ(line.Erase(80), "") << "nothing shown yet";
    EXPECT_EQ(line.Draw({"abcdefgh"}, 80, 24), "\rabcdefgh");
    // Spaces over what the longer line left, counted in columns, not bytes.
    EXPECT_EQ(line.Draw({"abc" + Ellipsis}, 80, 24), "\rabc" + Ellipsis + "    ");
    // After the terminal has narrowed, the spaces reach no further than its last column but one,
    // and so does the line.
    line.Draw({std::string(70, 'x')}, 80, 24);
    EXPECT_EQ(line.Draw({"abcdefghij"}, 12, 24), "\rabcdefghij ");
    EXPECT_EQ(line.Draw({"abcdefghijklmn"}, 12, 24), "\rabcdefghijk");
    EXPECT_EQ(line.Erase(12), "\r" + std::string(11, ' ') + "\r");
    EXPECT_EQ(line.Erase(12), "") << "erased once";
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
