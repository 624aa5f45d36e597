// What the station keeps of its updates: the summary's counts and lines per port, its exit
// status, and memory that stays the same however many updates finish. This program counts the
// bytes allocated through operator new, to see what a station that runs for weeks keeps.
#include "cli/uStation.h"
#include "frontend/uStationBook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> iLiveBytes{0};
// Room before each block for its size, keeping malloc's alignment.
constexpr std::size_t SizeRoom = alignof(std::max_align_t);

} // namespace

void* operator new(std::size_t n) {
    void* p = std::malloc(n + SizeRoom);
    if (p == nullptr)
        throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = n;
    iLiveBytes += static_cast<long long>(n);
    return static_cast<char*>(p) + SizeRoom;
}

void operator delete(void* p) noexcept {
    if (p == nullptr)
        return;
    void* pBlock = static_cast<char*>(p) - SizeRoom;
    iLiveBytes -= static_cast<long long>(*static_cast<std::size_t*>(pBlock));
    std::free(pBlock);
}

void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

using namespace std::chrono_literals;

const std::string A = "/dev/ttyUSB0";
const std::string B = "/dev/ttyUSB1";

// The JSON Lines of a whole update as its child writes them, ending with exit status iExit.
std::vector<TJson> UpdateLines(int iExit) {
    std::vector<std::string> a = {
        R"({"event":"start"})", R"({"event":"class","value":26113})",
        R"({"event":"serial","value":320000})",
        R"({"event":"selected","entry":9,"description":"Kelvo model 26113 V5.138, A9e, BL3.0"})"};
    for (int i = 1; i < 100; ++i)
        a.push_back(R"({"event":"progress","value":)" + std::to_string(i) + "}");
    a.push_back(R"({"event":"result","exit":)" + std::to_string(iExit) + R"(,"text":")" +
                (iExit == 0 ? std::string("Done.") : "Fault " + std::to_string(iExit) + ".") +
                R"(","logger":{"serial":320000},"image":{"entry":9,"description":"d"}})");
    std::vector<TJson> aJson;
    for (const std::string& s : a)
        aJson.push_back(*ReadJsonLine(s));
    return aJson;
}

// Runs the update of child id at sPort through the book, from its start to its end.
void Update(TStationBook& book, TChildRuns::TId id, const std::string& sPort,
            const std::vector<TJson>& aLines, int iExit) {
    const auto t0 = TStationBook::TClock::now();
    TPortRun& run = book.Start(id, sPort, t0);
    auto t = t0;
    for (const TJson& o : aLines)
        run.Event(o, t += 1s);
    run.Ended(iExit, false, t);
    book.Finish(id);
}

} // namespace

TEST(StationBook, CountsUpdatesAndLoggersAndNamesEachPortNotUpdatedOnce) {
    struct TUpdate {
        const std::string& sPort;
        int iExit;
    };
    const struct {
        const char* sName;
        std::vector<TUpdate> aUpdates; // one after another
        std::vector<std::string> aNotStarted;
        std::vector<std::string> aExpected; // the lines after the table
        int iExit;
    } aCases[] = {
        {"nothing", {}, {}, {"No update ran."}, 0},
        {"one", {{A, 0}}, {}, {"1 update, which succeeded."}, 0},
        {"three", {{A, 0}, {B, 0}, {A, 0}}, {}, {"3 updates, all succeeded."}, 0},
        {"one that failed",
         {{A, 30}},
         {},
         {"1 update, which failed.", "Not updated:",
          "  /dev/ttyUSB0  1 of 1 update failed, the last with exit status 30: Fault 30."},
         30},
        {"one port failing again and again",
         {{A, 45}, {B, 0}, {A, 11}, {A, 11}, {A, 0}},
         {},
         {"5 updates: 2 succeeded, 3 failed.", "Not updated:",
          "  /dev/ttyUSB0  3 of 4 updates failed, the last with exit status 11: Fault 11."},
         45},
        {"a logger not started",
         {{A, 0}},
         {B},
         {"1 update, which succeeded. 1 logger plugged in was not started.",
          "Not updated:", "  /dev/ttyUSB1  Not started."},
         20},
        {"failures and loggers not started",
         {{A, 11}, {B, 0}},
         {A, B},
         {"2 updates: 1 succeeded, 1 failed. 2 loggers plugged in were not started.",
          "Not updated:",
          "  /dev/ttyUSB0  1 of 1 update failed, the last with exit status 11: Fault 11.",
          "  /dev/ttyUSB0  Not started.", "  /dev/ttyUSB1  Not started."},
         11},
    };
    for (const auto& c : aCases) {
        TStationBook book;
        TChildRuns::TId id = 0;
        for (const TUpdate& u : c.aUpdates) {
            Update(book, id, u.sPort, UpdateLines(u.iExit), u.iExit);
            ++id;
        }
        for (const std::string& sPort : c.aNotStarted)
            book.NotStarted(sPort, "Not started.");
        const std::vector<std::string> aLines = StationSummaryLines(book);
        // The table: a header, a row per update and per logger not started.
        ASSERT_GE(aLines.size(), 1 + c.aUpdates.size() + c.aNotStarted.size()) << c.sName;
        EXPECT_EQ(
            std::vector<std::string>(
                aLines.begin() + 1 + static_cast<long>(c.aUpdates.size() + c.aNotStarted.size()),
                aLines.end()),
            c.aExpected)
            << c.sName;
        EXPECT_EQ(book.ExitStatus(), c.iExit) << c.sName;
        const TJson summary = *ReadJsonLine(book.SummaryJson());
        EXPECT_EQ(JsonStr(summary, "text"), c.aExpected.front()) << c.sName;
        EXPECT_EQ(JsonInt(summary, "exit"), c.iExit) << c.sName;
        const TJson& aPorts = summary.at("ports");
        ASSERT_EQ(aPorts.size(), c.aUpdates.size() + c.aNotStarted.size()) << c.sName;
        if (!c.aNotStarted.empty()) {
            EXPECT_EQ(aPorts.back().at("started"), false) << c.sName;
            EXPECT_EQ(JsonInt(aPorts.back(), "exit"), 20) << c.sName;
        }
    }
}

// The first failure counts by when its update started, not by when it ended.
TEST(StationBook, TheExitStatusIsThatOfTheFirstUpdateStartedThatFailed) {
    TStationBook book;
    const auto t0 = TStationBook::TClock::now();
    TPortRun& first = book.Start(0, A, t0);
    TPortRun& second = book.Start(1, B, t0);
    EXPECT_EQ(book.Latest(A), &first) << "the update on now";
    second.Ended(45, false, t0);
    book.Finish(1);
    first.Ended(11, false, t0);
    book.Finish(0);
    EXPECT_EQ(book.ExitStatus(), 11);
    ASSERT_NE(book.Latest(A), nullptr);
    EXPECT_EQ(book.Latest(A)->iExit, 11) << "the finished one";
    EXPECT_EQ(book.Latest("/dev/ttyUSB9"), nullptr);
    // The table in the order the updates started.
    const std::vector<std::string> aLines = StationSummaryLines(book);
    ASSERT_GE(aLines.size(), 3u);
    EXPECT_TRUE(aLines[1].starts_with(A)) << aLines[1];
    EXPECT_TRUE(aLines[2].starts_with(B)) << aLines[2];
}

// A station that runs for weeks: each finished update leaves nothing behind but its counts; the
// summary lists the latest in full and says how many it folded.
TEST(StationBook, KeepsTheSameMemoryHoweverManyUpdatesFinish) {
    const std::vector<TJson> aGood = UpdateLines(0);
    const std::vector<TJson> aBad = UpdateLines(45);
    const std::string aPorts[] = {A, B, "/dev/ttyUSB2", "/dev/ttyUSB3"};
    TStationBook book(10);
    TChildRuns::TId id = 0;
    const auto updates = [&](std::size_t n) {
        for (std::size_t i = 0; i < n; ++i, ++id) {
            const bool bFails = id % 3 == 0;
            Update(book, id, aPorts[id % 4], bFails ? aBad : aGood, bFails ? 45 : 0);
        }
    };
    updates(1000);
    const std::vector<std::string> aFirst = StationSummaryLines(book);
    const long long iFirst = iLiveBytes;
    updates(20000);
    const long long iGrowth = iLiveBytes - iFirst;
    // Before, the station kept every update in full: some kilobytes each.
    EXPECT_LT(iGrowth, 16 * 1024) << "after 20000 more updates";

    const std::vector<std::string> aLines = StationSummaryLines(book);
    EXPECT_EQ(aLines.size(), aFirst.size());
    EXPECT_EQ(aLines.front(), "The latest 10 updates of 21000; the earlier ones are in the counts "
                              "below and in the journal (kelvo-update --history).");
    // Then the table's header and its 10 rows, the counts, and a line for each of the 4 ports.
    ASSERT_EQ(aLines.size(), 1 + 1 + 10 + 1 + 1 + 4u);
    EXPECT_EQ(aLines[12], "21000 updates: 14000 succeeded, 7000 failed.");
    EXPECT_EQ(aLines[14], "  /dev/ttyUSB0  1750 of 5250 updates failed, the last with exit "
                          "status 45: Fault 45.");
    EXPECT_EQ(book.ExitStatus(), 45);
    EXPECT_EQ(JsonInt(*ReadJsonLine(book.SummaryJson()), "folded"), 20990);
}
