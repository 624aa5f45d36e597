// The update journal: every run of kelvo-update recorded, the pin of an interrupted logger kept,
// trouble with the journal never stopping an update, and --history.
#include "tests/e2e/EndToEnd.h"
#include "tests/support/CliOutput.h"
#include "tests/support/Process.h"
#include "tests/support/Terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A stable name for a port, as a converter's device name is: a link in dir/dev to the simulator's
// pseudo-terminal, made anew for each simulator. bById: the converter tells its identity too, a
// by-id link of the name's own; those of the converters before are gone with them.
std::string PortLink(const fs::path& dir, const std::string& sName, const TSimProcess& sim,
                     bool bById = false) {
    const fs::path link = dir / "dev" / sName;
    fs::create_directories(link.parent_path());
    fs::remove(link);
    fs::create_symlink(sim.sPort, link);
    if (bById) {
        const fs::path byId = dir / "dev" / "serial" / "by-id" / ("usb-Kelvo_" + sName + "-port0");
        fs::remove_all(byId.parent_path());
        fs::create_directories(byId.parent_path());
        fs::create_symlink(sim.sPort, byId);
    }
    return link.string();
}

// A simulator whose files go into a folder of its own.
std::unique_ptr<TSim> SimIn(const fs::path& d, const std::vector<std::string>& aArgs) {
    fs::create_directories(d);
    return std::make_unique<TSim>(d, aArgs);
}

// True when sOut ends with the outcome line sLine.
bool HasOutcome(const std::string& sOut, const std::string& sLine) {
    return sOut.ends_with(sLine + "\n");
}

} // namespace

TEST_F(EndToEnd, JournalKeepsThePinOfALoggerInterruptedInItsBootloader) {
    // A logger pinned to 5.136 (entry 8's hardware, serial 328297) is broken off after its
    // bootloader entry; the next run finds it in its bootloader, where it tells no serial number.
    const auto restart = [&](const std::string& sName, const std::vector<std::string>& aPreset) {
        std::vector<std::string> a = aPreset;
        a.insert(a.end(), {"--start", "bootloader"});
        return SimIn(dir / ("again-" + sName), a);
    };
    const std::vector<std::string> Entry8{"--preset", "entry8"};
    const std::vector<std::string> Entry9{"--preset", "entry9"};
    const struct {
        const char* sWhy;
        std::vector<std::string> aFault; // of the first simulator
        std::vector<std::string> aFirstCli;
        int iFirstExit;
        bool bSameSim;           // the logger stays on its line; else a new simulator in its place
        bool bFinishedBetween;   // another logger updated completely on the line in between
        const char* sSecondPort; // the port name of the second run
        std::vector<std::string> aSecondHw; // the hardware the second run finds
        int iSecondExit;
        bool bPin;
        // The converter tells no identity: only the port name ties the two runs.
        bool bNameOnly = false;
        std::vector<std::string> aSecondCli = {};
        std::string sSecondOutcome = {};
        std::string sSecondNote = {};
    } aCases[] = {
        {"echo differs, no repeat left",
         {"--fault", "line:echo:5"},
         {"--max-repeats", "0"},
         44,
         true,
         false,
         "ttyUSB0",
         Entry8,
         0,
         true},
        {"hang-up in the transfer",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB0",
         Entry8,
         0,
         true},
        {"another converter",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB1",
         Entry8,
         45,
         false},
        {"other hardware",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB0",
         Entry9,
         0,
         false},
        {"the same print on another platform",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB0",
         {"--preset", "entry8", "--platform", "13"},
         47,
         false},
        // The latest run on the converter decides: one that finished since lifts the pin.
        {"a run finished since",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         true,
         "ttyUSB0",
         Entry8,
         45,
         false},
        // A station's next logger comes through the same port name: that is no pin, and a logger
        // that may be the pinned one is not updated.
        {"the port name alone, --yes",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB0",
         Entry8,
         47,
         false,
         true,
         {},
         SerialUnknown,
         LoggerWaitsSerialUnknown},
        {"the port name alone, the serial number from the label",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         false,
         "ttyUSB0",
         Entry8,
         0,
         false,
         true,
         {"--serial", "328297"},
         "Update Kelvo model 26113 V5.136 succesfully completed."},
    };
    for (const auto& c : aCases) {
        const fs::path caseDir = dir / c.sWhy;
        fs::create_directories(caseDir);
        ::setenv("KELVO_JOURNAL", (caseDir / "journal.sqlite3").c_str(), 1);
        ::setenv("KELVO_DEV_DIR", (caseDir / "dev").c_str(), 1);
        std::vector<std::string> aFirst = Entry8;
        aFirst.insert(aFirst.end(), c.aFault.begin(), c.aFault.end());
        auto first = SimIn(caseDir / "first", aFirst);
        std::vector<std::string> aCli{"-p", PortLink(caseDir, "ttyUSB0", *first, !c.bNameOnly),
                                      "-y"};
        aCli.insert(aCli.end(), c.aFirstCli.begin(), c.aFirstCli.end());
        const auto r1 = Cli(aCli);
        ASSERT_EQ(r1.iExit, c.iFirstExit) << c.sWhy << "\n" << r1.sOut;
        ASSERT_NE(r1.sOut.find(LoggerWaits), std::string::npos) << c.sWhy << "\n" << r1.sOut;

        if (c.bFinishedBetween) {
            first.reset();
            const auto other = SimIn(caseDir / "between", Entry9);
            const auto r = Cli({"-p", PortLink(caseDir, "ttyUSB0", *other, !c.bNameOnly), "-y"});
            ASSERT_EQ(r.iExit, 0) << c.sWhy << "\n" << r.sOut;
        }
        std::unique_ptr<TSim> second;
        std::string sPort;
        if (c.bSameSim) {
            sPort = PortLink(caseDir, c.sSecondPort, *first, !c.bNameOnly);
        } else {
            first.reset();
            second = restart(c.sWhy, c.aSecondHw);
            sPort = PortLink(caseDir, c.sSecondPort, *second, !c.bNameOnly);
        }
        std::vector<std::string> aSecondCli{"-p", sPort, "-y"};
        aSecondCli.insert(aSecondCli.end(), c.aSecondCli.begin(), c.aSecondCli.end());
        const auto r2 = Cli(aSecondCli);
        EXPECT_EQ(r2.iExit, c.iSecondExit) << c.sWhy << "\n" << r2.sOut;
        EXPECT_EQ(r2.sOut.find("Serial number 328297 " + PinLine) != std::string::npos, c.bPin)
            << c.sWhy << "\n"
            << r2.sOut;
        if (c.bPin) {
            EXPECT_NE(r2.sOut.find("V5.136 succesfully completed."), std::string::npos)
                << c.sWhy << "\n"
                << r2.sOut;
        }
        if (!c.sSecondOutcome.empty()) {
            EXPECT_TRUE(HasOutcome(r2.sOut, c.sSecondOutcome)) << c.sWhy << "\n" << r2.sOut;
        }
        if (!c.sSecondNote.empty()) {
            EXPECT_NE(r2.sOut.find(c.sSecondNote), std::string::npos) << c.sWhy << "\n" << r2.sOut;
        }
        if (c.bNameOnly) {
            // The row of the second run never carries the first logger's serial number unless
            // the operator gave it.
            const auto h = Cli({"--history", "--json", "--limit", "1"});
            const auto aRows = JsonLines(h.sOut);
            ASSERT_EQ(aRows.size(), 1u) << h.sOut;
            EXPECT_EQ(aRows[0]["status"], c.iSecondExit) << aRows[0];
            EXPECT_EQ(aRows[0]["serial"].is_null(), c.aSecondCli.empty()) << aRows[0];
        }
    }
    ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
    ::unsetenv("KELVO_DEV_DIR");
}

TEST_F(EndToEnd, APinThroughThePortNameIsAskedOnTheTerminal) {
    // The pinned logger of an interrupted run, found in its bootloader again through the same port
    // name, which is all that ties the two: the operator is asked, and yes keeps the pin.
    auto first = SimIn(dir / "first", {"--preset", "entry8", "--fault", "line:hangup:100"});
    ASSERT_EQ(Cli({"-p", PortLink(dir, "ttyUSB0", *first), "-y"}).iExit, 11);
    first.reset();
    const auto again = SimIn(dir / "again", {"--preset", "entry8", "--start", "bootloader"});
    TTerminalProcess cli(
        {KELVO_UPDATE_EXE, "-p", PortLink(dir, "ttyUSB0", *again)},
        {"KELVO_JOURNAL=" + journal.string(), "XDG_CONFIG_HOME=" + configHome.string()}, 120, 30);
    const auto answer = [&](const std::string& sQuestion) {
        ASSERT_TRUE(WaitUntil([&] { return cli.Seen().ends_with(sQuestion + " [y/N] "); }, 20s))
            << cli.Seen();
        cli.Type("y\r");
    };
    answer("Do you really continue without saving ?");
    answer("Is the serial number on its label 328297 ?");
    EXPECT_EQ(cli.Wait(), 0) << cli.Seen();
    const std::string sSeen = cli.Seen();
    EXPECT_NE(sSeen.find("Serial number 328297 " + PinLine), std::string::npos) << sSeen;
    EXPECT_NE(sSeen.find("Update Kelvo model 26113 V5.136 succesfully completed."),
              std::string::npos)
        << sSeen;
}

TEST_F(EndToEnd, JournalRecordsEveryPortOfARunAndAKilledOne) {
    std::vector<std::vector<std::string>> aArgs(8, {"--preset", "entry9"});
    aArgs[2].insert(aArgs[2].end(), {"--fault", "line:hangup:100"});
    aArgs[5].insert(aArgs[5].end(), {"--fault", "bootentry:stayapp"});
    const auto aSims = Sims(dir, aArgs);
    std::vector<std::string> aCli{"-y"};
    for (const auto& p : aSims)
        aCli.insert(aCli.end(), {"-p", p->sPort});
    EXPECT_EQ(Cli(aCli).iExit, 11);
    const auto h = Cli({"--history", "--json", "--limit", "50"});
    ASSERT_EQ(h.iExit, 0) << h.sErr;
    const auto aRows = JsonLines(h.sOut);
    ASSERT_EQ(aRows.size(), 8u) << h.sOut;
    for (std::size_t i = 0; i < aSims.size(); ++i) {
        const auto it = std::find_if(aRows.begin(), aRows.end(),
                                     [&](const auto& o) { return o["port"] == aSims[i]->sPort; });
        ASSERT_NE(it, aRows.end()) << aSims[i]->sPort;
        const int iStatus = i == 2 ? 11 : i == 5 ? 40 : 0;
        EXPECT_EQ((*it)["status"], iStatus) << *it;
        EXPECT_FALSE((*it)["ended"].is_null()) << *it;
        EXPECT_EQ((*it)["serial"], 320000) << *it;
        EXPECT_EQ((*it)["lines_sent"], iStatus == 0 ? 783 : i == 2 ? 99 : 0) << *it;
        EXPECT_EQ((*it)["left_in_bootloader"], i == 2) << *it;
        EXPECT_EQ((*it)["program"], "kelvo-update") << *it;
    }

    // A run killed in its transfer never completes its row, and shows as interrupted.
    const auto pPaced = SimIn(dir / "paced", {"--preset", "entry9", "--baud", "9600"});
    TSim& paced = *pPaced;
    auto cli = StartCli({"-p", paced.sPort, "-y"});
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadFile(dir / "cli.out").find("Progress 1%") != std::string::npos; }, 30s));
    cli->Signal(SIGKILL);
    cli->Wait();
    const auto k = Cli({"--history", "--json", "--limit", "1"});
    const auto aKilled = JsonLines(k.sOut);
    ASSERT_EQ(aKilled.size(), 1u) << k.sOut;
    EXPECT_TRUE(aKilled[0]["ended"].is_null()) << aKilled[0];
    EXPECT_EQ(aKilled[0]["interrupted"], true) << aKilled[0];
    EXPECT_EQ(aKilled[0]["serial"], 320000) << aKilled[0];
    EXPECT_EQ(aKilled[0]["entry"], 9) << aKilled[0];
}

TEST_F(EndToEnd, JournalTroubleNeverStopsTheUpdate) {
    const fs::path plainFile = dir / "a-file";
    std::ofstream(plainFile) << "x";
    const struct {
        const char* sWhy;
        fs::path path;
        std::string sContent; // written into the journal's file first; empty: none
        const char* sWarning;
    } aCases[] = {
        {"a file where its folder should be", plainFile / "journal.sqlite3", "",
         "the update journal is not written"},
        {"a damaged file", dir / "damaged.sqlite3", std::string(4096, 'x'), "was damaged"},
    };
    for (const auto& c : aCases) {
        ::setenv("KELVO_JOURNAL", c.path.c_str(), 1);
        if (!c.sContent.empty())
            std::ofstream(c.path) << c.sContent;
        const auto pSim = SimIn(dir / c.sWhy, {"--preset", "entry9"});
        TSim& sim = *pSim;
        const auto r = Cli({"-p", sim.sPort, "-y"});
        EXPECT_EQ(r.iExit, 0) << c.sWhy << "\n" << r.sErr;
        EXPECT_EQ(Count(r.sErr, "warning:"), 1) << c.sWhy << "\n" << r.sErr;
        EXPECT_NE(r.sErr.find(c.sWarning), std::string::npos) << c.sWhy << "\n" << r.sErr;
        EXPECT_EQ(sim.Record().size(), WholeImage) << c.sWhy;
    }

    // A journal of a newer program is left as it is.
    const fs::path newer = dir / "newer.sqlite3";
    TProcess make({"/usr/bin/python3", "-c",
                   "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); "
                   "c.execute('pragma user_version = 99'); c.commit()",
                   newer.string()},
                  {}, dir / "python.out");
    ASSERT_EQ(make.Wait(), 0) << ReadFile(dir / "python.out.err");
    const std::string sBefore = ReadFile(newer);
    ::setenv("KELVO_JOURNAL", newer.c_str(), 1);
    const auto pSim = SimIn(dir / "newer", {"--preset", "entry9"});
    TSim& sim = *pSim;
    const auto r = Cli({"-p", sim.sPort, "-y"});
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_EQ(Count(r.sErr, "warning:"), 1) << r.sErr;
    EXPECT_NE(r.sErr.find("newer"), std::string::npos) << r.sErr;
    EXPECT_EQ(ReadFile(newer), sBefore);
    ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
}

TEST_F(EndToEnd, JournalHeldByAnotherProgramDuringTheTransferIsWaitedOut) {
    // Another program takes the journal's write lock as soon as the run's row is there and holds
    // it past the busy timeout: the update goes on, and its row is completed afterwards.
    const fs::path held = dir / "held.sqlite3";
    ::setenv("KELVO_JOURNAL", held.c_str(), 1);
    TProcess holder({"/usr/bin/python3", "-c", R"(
import os, sqlite3, sys, time
path = sys.argv[1]
while not os.path.exists(path):
    time.sleep(0.005)
c = sqlite3.connect(path, isolation_level=None, timeout=10)
while True:
    try:
        if c.execute('select count(*) from runs').fetchone()[0]:
            break
    except sqlite3.OperationalError:
        pass
    time.sleep(0.005)
c.execute('begin immediate')
# Taken while the run was still going on.
if c.execute('select count(*) from runs where ended is null').fetchone()[0] != 1:
    sys.exit(3)
time.sleep(6)
c.execute('commit')
)",
                     held.string()},
                    {}, dir / "holder.out");
    const auto pSim = SimIn(dir / "held", {"--preset", "entry9"});
    const auto r = Cli({"-p", pSim->sPort, "-y"});
    ASSERT_EQ(holder.Wait(), 0) << ReadFile(dir / "holder.out.err");
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_LE(Count(r.sErr, "warning:"), 1) << r.sErr;
    EXPECT_EQ(pSim->Record().size(), WholeImage);
    const auto h = Cli({"--history", "--json", "--limit", "1"});
    const auto aRows = JsonLines(h.sOut);
    ASSERT_EQ(aRows.size(), 1u) << h.sOut << h.sErr;
    EXPECT_EQ(aRows[0]["status"], 0) << aRows[0];
    EXPECT_EQ(aRows[0]["lines_sent"], 783) << aRows[0];
    ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
}

TEST_F(EndToEnd, HistoryAsTableJsonAndCsv) {
    {
        const auto pSim = SimIn(dir / "ok", {"--preset", "entry9"});
        TSim& sim = *pSim;
        ASSERT_EQ(Cli({"-p", sim.sPort, "-y"}).iExit, 0);
    }
    const auto pOther =
        SimIn(dir / "stays", {"--preset", "entry8", "--fault", "bootentry:stayapp"});
    TSim& other = *pOther;
    // A name of its own: the pseudo-terminal's path may be the one the first had.
    const std::string sOtherPort = PortLink(dir, "ttyUSB7", other);
    ASSERT_EQ(Cli({"-p", sOtherPort, "-y"}).iExit, 40);

    const auto table = Cli({"--history"});
    ASSERT_EQ(table.iExit, 0) << table.sErr;
    std::istringstream lines(table.sOut);
    std::vector<std::string> aTable;
    for (std::string s; std::getline(lines, s);)
        aTable.push_back(s);
    ASSERT_EQ(aTable.size(), 3u) << table.sOut;
    EXPECT_EQ(aTable[0].rfind("Started (UTC)", 0), 0u) << table.sOut;
    EXPECT_NE(aTable[1].find("328297"), std::string::npos) << "newest first\n" << table.sOut;
    EXPECT_NE(aTable[2].find("Kelvo model 26113 V5.138"), std::string::npos) << table.sOut;

    const auto json = Cli({"--history", "--json"});
    const auto aRows = JsonLines(json.sOut);
    ASSERT_EQ(aRows.size(), 2u) << json.sOut;
    EXPECT_EQ(aRows[0]["status"], 40);
    EXPECT_EQ(aRows[1]["status"], 0);
    EXPECT_EQ(aRows[1]["entry"], 9);
    EXPECT_EQ(aRows[1]["image"], "Kelvo model 26113 V5.138, A9e, BL3.0");

    const auto csv = Cli({"--history", "--csv"});
    ASSERT_EQ(csv.iExit, 0) << csv.sErr;
    const fs::path csvFile = dir / "history.csv";
    std::ofstream(csvFile, std::ios::binary) << csv.sOut;
    TProcess check({"/usr/bin/python3", "-c",
                    "import csv, sys\n"
                    "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
                    "head = rows[0]\n"
                    "assert len(rows) == 3, rows\n"
                    "assert all(len(r) == len(head) for r in rows), rows\n"
                    "first = dict(zip(head, rows[1])); last = dict(zip(head, rows[2]))\n"
                    "assert first['serial'] == '328297' and first['status'] == '40', first\n"
                    "assert last['status'] == '0' and last['lines sent'] == '783', last\n"
                    "assert last['image'] == 'Kelvo model 26113 V5.138, A9e, BL3.0', last\n",
                    csvFile.string()},
                   {}, dir / "csv-check.out");
    EXPECT_EQ(check.Wait(), 0) << ReadFile(dir / "csv-check.out.err");

    // The filters.
    const struct {
        std::vector<std::string> aArgs;
        std::size_t iRows;
    } aFilters[] = {
        {{"--serial", "320000"}, 1},    {{"--port", sOtherPort}, 1},    {{"--limit", "1"}, 1},
        {{"--since", "2000-01-01"}, 2}, {{"--since", "2999-01-01"}, 0},
    };
    for (const auto& f : aFilters) {
        std::vector<std::string> a{"--history", "--json"};
        a.insert(a.end(), f.aArgs.begin(), f.aArgs.end());
        const auto r = Cli(a);
        EXPECT_EQ(r.iExit, 0) << f.aArgs[0] << "\n" << r.sErr;
        EXPECT_EQ(JsonLines(r.sOut).size(), f.iRows) << f.aArgs[0] << "\n" << r.sOut;
    }
    EXPECT_EQ(Cli({"--history", "--since", "yesterday"}).iExit, 2);
}
