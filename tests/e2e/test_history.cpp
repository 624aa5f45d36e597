// kelvo-update --history against a journal of the test's own: the runs a filter chooses, a port
// as the live lines show it, and the reason of a port that could not be used.
#include "journal/uJournal.h"
#include "tests/support/CliOutput.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

struct History : ::testing::Test {
    fs::path dir;
    fs::path journal;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("kelvo-history-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "config");
        fs::create_directories(dir / "dev");
        journal = dir / "journal.sqlite3";
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(dir);
    }

    struct TResult {
        int iExit;
        std::string sOut, sErr;
    };
    // kelvo-update with the test's journal.
    TResult Cli(std::vector<std::string> aArgs) const {
        aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
        TProcess process(aArgs,
                         {"KELVO_JOURNAL=" + journal.string(),
                          "KELVO_DEV_DIR=" + (dir / "dev").string(),
                          "XDG_CONFIG_HOME=" + (dir / "config").string()},
                         dir / "cli.out");
        const int iExit = process.Wait();
        return {iExit, ReadFile(dir / "cli.out"), ReadFile(dir / "cli.out.err")};
    }
    // The lines of a run of kelvo-update --history with aArgs.
    std::vector<std::string> Lines(const std::vector<std::string>& aArgs) const {
        std::vector<std::string> a{"--history"};
        a.insert(a.end(), aArgs.begin(), aArgs.end());
        const TResult r = Cli(a);
        EXPECT_EQ(r.iExit, 0) << r.sErr;
        std::vector<std::string> aLines;
        std::istringstream in(r.sOut);
        for (std::string s; std::getline(in, s);)
            aLines.push_back(s);
        return aLines;
    }
};

TEST_F(History, AFilterChoosesTheRunsAndSinceShowsAllSinceThatMoment) {
    {
        auto j = TJournal::Open(journal.string());
        // A station's day of 25 runs through three ports, after three runs the evening before.
        const auto add = [&](const std::string& sStarted, const std::string& sPort,
                             const std::string& sConverter) {
            TJournalRun run;
            run.sProgram = "kelvo-update";
            run.sPort = sPort;
            run.sConverter = sConverter;
            run.sStarted = sStarted;
            run.sEnded = sStarted;
            run.iStatus = 0;
            j->Begin(run);
        };
        for (int i = 0; i < 3; ++i)
            add("2026-12-09T23:5" + std::to_string(i) + ":00.000Z", "/dev/ttyUSB2", "");
        const char* aPorts[] = {"/dev/ttyUSB2", "/dev/ttyUSB12", "/dev/ttyACM0"};
        for (int i = 0; i < 25; ++i)
            add("2026-12-10T08:" + std::to_string(10 + i) + ":00.000Z", aPorts[i % 3],
                i % 3 == 2 ? "/dev/serial/by-id/usb-Kelvo_K1X3-if00-port0" : "");
    }
    const struct {
        std::vector<std::string> aArgs;
        std::size_t iRuns;
    } aCases[] = {
        {{}, 20},
        {{"--since", "2026-12-10"}, 25},
        {{"--since", "2026-12-09T23:51"}, 27},
        {{"--since", "2026-12-10", "--limit", "5"}, 5},
        {{"--limit", "30"}, 28},
        // The port as the live lines show it, without "/dev/" or "/dev/serial/by-id/".
        {{"--port", "ttyUSB2"}, 12},
        {{"--port", "ttyUSB2", "--since", "2026-12-10"}, 9},
        {{"--port", "/dev/ttyUSB12"}, 8},
        {{"--port", "usb-Kelvo_K1X3-if00-port0"}, 8},
        {{"--port", "USB2"}, 0},
    };
    for (const auto& c : aCases) {
        std::vector<std::string> a{"--json"};
        a.insert(a.end(), c.aArgs.begin(), c.aArgs.end());
        std::string sCase;
        for (const std::string& s : c.aArgs)
            sCase += s + " ";
        EXPECT_EQ(Lines(a).size(), c.iRuns) << sCase;
    }
    // The table too: a header and the day's runs.
    EXPECT_EQ(Lines({"--since", "2026-12-10"}).size(), 26u);
}

TEST_F(History, ThePortsReasonInTheTableTheJsonAndTheCsv) {
    const std::string sPort = (dir / "dev" / "ttyUSB9").string(); // no such port
    const TResult r = Cli({"--port", sPort, "--yes"});
    ASSERT_EQ(r.iExit, 10) << r.sOut << r.sErr;

    const auto aTable = Lines({});
    ASSERT_EQ(aTable.size(), 2u);
    EXPECT_NE(aTable[1].find("is not ready! Reason: no such device"), std::string::npos)
        << aTable[1];
    const auto aJson = Lines({"--json"});
    ASSERT_EQ(aJson.size(), 1u);
    const auto o = nlohmann::json::parse(aJson[0]);
    EXPECT_EQ(o["status"], 10) << o;
    EXPECT_EQ(o["reason"], "no such device") << o;
    const auto aCsv = Lines({"--csv"});
    ASSERT_EQ(aCsv.size(), 2u);
    EXPECT_TRUE(aCsv[0].ends_with(",reason")) << aCsv[0];
    EXPECT_TRUE(aCsv[1].ends_with(",no such device")) << aCsv[1];
}
