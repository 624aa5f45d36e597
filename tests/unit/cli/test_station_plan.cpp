// The station's plan as short scripts: lists of ports as the watcher reports them, runs ending,
// Ctrl+C; after each step, the ports that start and whether the station is done. Then what the
// station shows of each port.
#include "cli/uStation.h"
#include "cli/uTerminal.h"
#include "frontend/uStationPlan.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct TStep {
    const char* sDo;     // "ports A B", "ok A", "fail A" or "stop"
    const char* sStarts; // the ports that start after it, space-separated
    bool bDone = false;
};

struct TScenario {
    const char* sName;
    TStationRules rules;
    std::vector<TStep> aSteps;
    TStationTally end;
};

std::vector<std::string> Words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> a;
    for (std::string w; in >> w;)
        a.push_back(w);
    return a;
}

std::string Joined(const std::vector<std::string>& a) {
    std::string s;
    for (const auto& w : a)
        s += (s.empty() ? "" : " ") + w;
    return s;
}

TStationRules Rules(bool bOnlyNew, std::size_t iMaxParallel, std::optional<std::size_t> iCount) {
    return {bOnlyNew, iMaxParallel, iCount};
}

const TScenario Scenarios[] = {
    {"ports at start are taken, and a port once per connection",
     Rules(false, 32, std::nullopt),
     {
         {"ports A B", "A B"},
         {"ok A", ""},
         {"ports A B", ""}, // the same list again: nothing new
         {"ports B", ""},
         {"ports A B", "A"}, // A plugged in again
         {"fail B", ""},
         {"ok X", ""}, // no run there
         {"ok A", ""},
     },
     {2, 1, 0, 0}},
    {"only new ports",
     Rules(true, 32, std::nullopt),
     {
         {"ports A B", ""},
         {"ports A B C", "C"},
         {"ports B C", ""},
         {"ports A B C", "A"},
         {"ports", ""},
         {"ports B", "B"},
     },
     {0, 0, 3, 0}},
    {"beyond the limit, ports wait in their order of arrival",
     Rules(false, 2, std::nullopt),
     {
         {"ports A B C", "A B"},
         {"ports A B C Z", ""},
         {"ports A B C Y Z", ""}, // Y arrives after Z, though listed before it
         {"ports A B Y Z", ""},   // C goes while waiting: it leaves the queue
         {"ports A B C Y Z", ""}, // and joins at its end when back
         {"ok A", "Z"},
         {"fail Z", "Y"},
         {"ok B", "C"},
     },
     {2, 1, 2, 0}},
    {"a port unplugged during its run",
     Rules(false, 32, std::nullopt),
     {
         {"ports A", "A"},
         {"ports", ""},
         {"fail A", ""}, // the run noticed the unplug: A waits for its return
         {"ports A", "A"},
         {"ports", ""},
         {"ports A", ""}, // back before the run ended: started again after it
         {"fail A", "A"},
         {"ports", ""},
         {"ports A", ""},
         {"ports", ""}, // and gone again: nothing to start when the run ends
         {"fail A", ""},
         {"ports A", "A"},
     },
     {0, 3, 1, 0}},
    {"a count of runs: no more start, done when they have ended",
     Rules(false, 32, 2),
     {
         {"ports A B C", "A B"},
         {"ok A", ""},
         {"ports A B C D", ""},
         {"fail B", "", true},
         {"ports A B C D E", "", true},
     },
     {1, 1, 0, 3}},
    {"a count beyond the limit",
     Rules(false, 1, 2),
     {
         {"ports A B C", "A"},
         {"ok A", "B"},
         {"ok B", "", true},
     },
     {2, 0, 0, 1}},
    {"stop starting: the runs on finish",
     Rules(false, 1, std::nullopt),
     {
         {"ports A B", "A"},
         {"stop", ""},
         {"ports A B C", ""},
         {"ok A", "", true},
     },
     {1, 0, 0, 2}},
    {"stop starting with nothing running",
     Rules(false, 32, std::nullopt),
     {
         {"ports", ""},
         {"stop", "", true},
     },
     {0, 0, 0, 0}},
};

} // namespace

TEST(StationPlan, Scenarios) {
    for (const auto& sc : Scenarios) {
        SCOPED_TRACE(sc.sName);
        TStationPlan plan(sc.rules);
        for (const auto& step : sc.aSteps) {
            const auto aWords = Words(step.sDo);
            const std::vector<std::string> aArgs(aWords.begin() + 1, aWords.end());
            if (aWords[0] == "ports")
                plan.Ports(aArgs);
            else if (aWords[0] == "ok" || aWords[0] == "fail")
                plan.RunEnded(aArgs.at(0), aWords[0] == "ok");
            else if (aWords[0] == "stop")
                plan.StopStarting();
            else
                FAIL() << "unknown step " << step.sDo;
            EXPECT_EQ(Joined(plan.TakeStarts()), step.sStarts) << "after " << step.sDo;
            EXPECT_EQ(plan.Done(), step.bDone) << "after " << step.sDo;
        }
        const TStationTally t = plan.Tally();
        EXPECT_EQ(t, sc.end) << "succeeded " << t.iSucceeded << ", failed " << t.iFailed
                             << ", running " << t.iRunning << ", waiting " << t.iWaiting;
    }
}

// What the station shows for each port follows from where the plan has it.
TEST(StationPlan, StateOfAPort) {
    TStationPlan plan(Rules(true, 1, std::nullopt));
    plan.Ports({"A"});
    plan.Ports({"A", "B", "C"});
    ASSERT_EQ(Joined(plan.TakeStarts()), "B");
    EXPECT_EQ(plan.State("A"), TStationPort::Idle); // there at start, with only new ports
    EXPECT_EQ(plan.State("B"), TStationPort::Running);
    EXPECT_EQ(plan.State("C"), TStationPort::Waiting);
    EXPECT_EQ(plan.State("D"), TStationPort::Absent);
    plan.Ports({"A", "C"});
    EXPECT_EQ(plan.State("B"), TStationPort::Running); // until its run notices
    plan.RunEnded("B", false);
    EXPECT_EQ(plan.State("B"), TStationPort::Absent);
    ASSERT_EQ(Joined(plan.TakeStarts()), "C");
    plan.RunEnded("C", true);
    EXPECT_EQ(plan.State("C"), TStationPort::Idle); // done, until it is unplugged
}

// The station's lines: each port's state in words, the count line last, every line within the
// terminal.
TEST(StationLines, EachPortSaysWhereItStands) {
    const auto t0 = TPortRun::TClock::now();
    TPortRun done("/dev/ttyUSB0", t0);
    done.iSerial = 320000;
    done.Event(*ReadJsonLine(R"({"event":"result","text":"Done.","exit":0})"), t0);
    done.Ended(0, false, t0);
    TPortRun failed("/dev/ttyUSB1", t0);
    failed.Event(*ReadJsonLine(R"({"event":"result","text":"No answer.","exit":30})"), t0);
    failed.Ended(30, false, t0);
    TPortRun running("/dev/ttyUSB2", t0);
    running.Event(*ReadJsonLine(R"({"event":"selected","entry":9,"description":"d"})"), t0);
    running.Event(*ReadJsonLine(R"({"event":"progress","value":42})"), t0);
    TPortRun cancelled("/dev/ttyUSB6", t0);
    cancelled.Ended(-1, true, t0);
    const std::vector<TStationRow> aRows{
        {"/dev/ttyUSB0", TStationPort::Idle, &done, "5.138"},
        {"/dev/ttyUSB1", TStationPort::Idle, &failed, ""},
        {"/dev/ttyUSB2", TStationPort::Running, &running, ""},
        {"/dev/ttyUSB3", TStationPort::Waiting, nullptr, ""},
        {"/dev/ttyUSB4", TStationPort::Absent, &done, "5.138"}, // its logger has gone
        {"/dev/ttyUSB5", TStationPort::Idle, nullptr, ""},      // there at start
        {"/dev/ttyUSB6", TStationPort::Idle, &cancelled, ""},
    };
    const TStationTally tally{1, 2, 1, 1};
    const std::vector<std::string> a = StationLines(aRows, tally, false, 0, "...", "-");
    ASSERT_EQ(a.size(), aRows.size() + 1);
    const std::pair<std::size_t, std::string> aExpected[] = {
        {0, "done 5.138 - unplug it"},
        {1, "failed: No answer."},
        {2, "programming          42%"},
        {3, "waiting for its turn"},
        {5, "here at start - replug to update"},
        {6, "cancelled"},
        {7, "1 done, 2 failed, 1 in progress, 1 waiting; Ctrl+C stops the station"},
    };
    for (const auto& [i, s] : aExpected)
        EXPECT_NE(a[i].find(s), std::string::npos) << a[i];
    // A logger that has gone: its port waits, without the serial number it had.
    EXPECT_TRUE(a[4].ends_with("  waiting") && a[4].find("320000") == std::string::npos) << a[4];
    // Once the station stops, a waiting logger's turn never comes: it says so, not "waiting".
    const std::vector<std::string> aStopping = StationLines(aRows, tally, true, 0, "...", "-");
    EXPECT_NE(aStopping[3].find("not started - the station stops"), std::string::npos)
        << aStopping[3];
    EXPECT_NE(aStopping.back().find(
                  "1 done, 2 failed, 1 in progress, 1 not started; stopping: no new update starts"),
              std::string::npos)
        << aStopping.back();
    for (const std::string& s : StationLines(aRows, tally, true, 40, "...", "-"))
        EXPECT_LE(DisplayWidth(s), 39u) << s;
}
