// kelvo-update --watch, the workshop station, against simulated loggers that are plugged in and
// unplugged while it runs: each simulator makes (and at its end removes) a port name in a device
// folder of the test's own, as a USB serial converter does in /dev.
#include "tests/e2e/EndToEnd.h"
#include "tests/support/CliOutput.h"
#include "tests/support/Process.h"
#include "tests/support/Terminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Today's date in UTC, as --since takes it.
std::string TodayUtc() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char s[16];
    std::strftime(s, sizeof s, "%Y-%m-%d", &tm);
    return s;
}

// The lines of the last block of live lines drawn before iEnd on a terminal: from the last move of
// the cursor up to the block's first line, each line ended by an erase to its end.
std::vector<std::string> LastBlock(const std::string& sSeen, std::size_t iEnd) {
    std::size_t iStart = 0;
    const std::regex up("\x1b\\[[0-9]+A\r");
    for (auto it = std::sregex_iterator(sSeen.begin(), sSeen.begin() + static_cast<long>(iEnd), up);
         it != std::sregex_iterator(); ++it)
        iStart = static_cast<std::size_t>(it->position() + it->length());
    std::vector<std::string> aLines;
    for (std::size_t i = iStart; i < iEnd;) {
        const std::size_t iErase = sSeen.find("\x1b[K", i);
        if (iErase == std::string::npos || iErase >= iEnd)
            break;
        aLines.push_back(sSeen.substr(i, iErase - i));
        i = sSeen.find('\n', iErase);
        i = i == std::string::npos ? iEnd : i + 1;
    }
    return aLines;
}

// True when sOut has the whole line sLine.
bool HasLine(const std::string& sOut, const std::string& sLine) {
    return ("\n" + sOut).find("\n" + sLine + "\n") != std::string::npos;
}

} // namespace

struct Station : ::testing::Test {
    fs::path dir;
    fs::path devDir; // where the loggers' port names appear
    fs::path journal;

    void SetUp() override {
        // Short, for the port names on the terminal; ctest runs each test in a process of its own.
        dir = fs::temp_directory_path() / ("kelvo-st-" + std::to_string(getpid()));
        fs::remove_all(dir);
        devDir = dir / "dev";
        fs::create_directories(devDir);
        fs::create_directories(dir / "config");
        journal = dir / "journal.sqlite3";
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(dir);
    }

    std::vector<std::string> Env() const {
        return {"KELVO_DEV_DIR=" + devDir.string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
                "KELVO_JOURNAL=" + journal.string()};
    }
    std::string Port(const std::string& sName) const { return (devDir / sName).string(); }

    // kelvo-update with its output piped into dir/station.out (and .err).
    std::unique_ptr<TProcess> Start(std::vector<std::string> aArgs,
                                    const std::string& sOut = "station.out") const {
        aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
        return std::make_unique<TProcess>(aArgs, Env(), dir / sOut);
    }
    std::string Out() const { return ReadFile(dir / "station.out"); }
    std::string Err() const { return ReadFile(dir / "station.out.err"); }

    // kelvo-update on a terminal of 120 columns and 30 rows unless said (UTF-8), which is its
    // standard streams.
    std::unique_ptr<TTerminalProcess> StartOnATerminal(std::vector<std::string> aArgs,
                                                       unsigned short iColumns = 120,
                                                       unsigned short iRows = 30) const {
        aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
        std::vector<std::string> aEnv = Env();
        aEnv.insert(aEnv.end(), {"LC_ALL=C.UTF-8", "TERM=xterm"});
        return std::make_unique<TTerminalProcess>(aArgs, aEnv, iColumns, iRows);
    }

    // A logger plugged in as devDir/sName: a simulator with aArgs, its files in dir/sFolder
    // (default: the name). Unplugged when it is destroyed.
    std::unique_ptr<TSimProcess> Plug(const std::string& sName, std::vector<std::string> aArgs,
                                      std::string sFolder = {}) const {
        const fs::path folder = dir / (sFolder.empty() ? sName : sFolder);
        fs::create_directories(folder);
        aArgs.insert(aArgs.end(), {"--link", Port(sName)});
        return std::make_unique<TSimProcess>(KELVO_SIM_EXE, folder, aArgs);
    }

    // The exit status of a station that should end by itself within tLimit; one that does not
    // is stopped (SIGKILL) and fails the test.
    template <class TProc> int Ends(TProc& station, std::chrono::seconds tLimit) {
        if (!WaitUntil([&] { return Ended(station.Pid()); }, tLimit)) {
            ADD_FAILURE() << "the station did not end within " << tLimit.count() << " s";
            station.Signal(SIGKILL);
        }
        return station.Wait();
    }

    // The journal's runs (--history --json), newest first, with extra filters.
    std::vector<nlohmann::json> History(const std::vector<std::string>& aFilters) const {
        std::vector<std::string> aArgs{KELVO_UPDATE_EXE, "--history", "--json"};
        aArgs.insert(aArgs.end(), aFilters.begin(), aFilters.end());
        TProcess history(aArgs, Env(), dir / "history.out");
        EXPECT_EQ(history.Wait(), 0) << ReadFile(dir / "history.out.err");
        return JsonLines(ReadFile(dir / "history.out"));
    }
};

TEST_F(Station, LoggersPluggedOneAfterAnotherAreEachUpdatedOnce) {
    auto station = Start({"--watch", "--yes", "--count", "3"});
    std::vector<std::unique_ptr<TSimProcess>> aSims;
    const std::string aSerials[] = {"320001", "320002", "320003"};
    for (int i = 0; i < 3; ++i) {
        aSims.push_back(Plug("ttyUSB" + std::to_string(i), {"--serial", aSerials[i]}));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(Ends(*station, 30s), 0) << Out() << Err();
    const std::string sOut = Out();
    for (int i = 0; i < 3; ++i) {
        const std::string sPort = Port("ttyUSB" + std::to_string(i));
        // Each logger stays plugged in after its update: once per connection, not again.
        const std::string sLines = PortLines(sOut, sPort);
        EXPECT_EQ(Count(sLines, " -> Logger plugged in"), 1) << sLines;
        EXPECT_EQ(Count(sLines, " -> Start at serial port"), 1) << sLines;
        EXPECT_TRUE(HasLine(sLines, sPort + ": Update Kelvo model 26113 V5.138 succesfully "
                                            "completed."))
            << sLines;
        EXPECT_EQ(aSims[i]->Record().size(), WholeImage) << sPort;
        const auto aRow = SummaryRow(sOut, sPort);
        ASSERT_EQ(aRow.size(), 6u) << sOut;
        EXPECT_EQ(aRow[1], aSerials[i]);
        EXPECT_EQ(aRow[3], "0");
    }
    EXPECT_TRUE(HasLine(sOut, "3 updates, all succeeded.")) << sOut;

    const auto aRuns = History({"--since", TodayUtc()});
    ASSERT_EQ(aRuns.size(), 3u);
    std::set<std::string> aJournalSerials;
    for (const auto& o : aRuns) {
        EXPECT_EQ(o["status"], 0) << o;
        EXPECT_EQ(o["program"], "kelvo-update") << o;
        aJournalSerials.insert(std::to_string(o["serial"].get<long long>()));
    }
    EXPECT_EQ(aJournalSerials, std::set<std::string>(std::begin(aSerials), std::end(aSerials)));
}

// A port that another program holds as it appears (a modem manager probing a new tty does so for
// a few seconds) is updated once the holder lets go: the update says who holds it while it
// settles, and remains one attempt with one journal row.
TEST_F(Station, APortHeldAsItAppearsIsUpdatedOnceItsHolderLetsGo) {
    auto station = Start({"--watch", "--yes", "--json", "--count", "1"});
    fs::create_directories(dir / "held");
    TSimProcess sim(KELVO_SIM_EXE, dir / "held", {"--serial", "320011"});
    // The holder has the pty open before its name appears, and keeps it for 2 s.
    TProcess holder({"/bin/sh", "-c", "exec sleep 2 < " + sim.sPort}, {}, dir / "holder.out");
    const std::string sHolder = std::to_string(holder.Pid());
    const std::string sProc = "/proc/" + sHolder;
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(sProc + "/comm") == "sleep\n"; }, 5s));
    const std::string sPort = Port("ttyUSB0");
    fs::create_symlink(sim.sPort, sPort);

    EXPECT_EQ(Ends(*station, 30s), 0) << Out() << Err();
    EXPECT_EQ(holder.Wait(), 0);
    const auto a = JsonLines(Out());
    const auto count = [&](const std::string& sEvent) {
        return std::count_if(a.begin(), a.end(), [&](const nlohmann::json& o) {
            return o.value("event", "") == sEvent && o.value("port", "") == sPort;
        });
    };
    const auto settling = std::find_if(a.begin(), a.end(), [&](const nlohmann::json& o) {
        return o.value("event", "") == "settling";
    });
    ASSERT_NE(settling, a.end()) << Out();
    EXPECT_EQ((*settling)["port"], sPort);
    EXPECT_EQ((*settling)["text"], "settling: held by sleep (pid " + sHolder + ")");
    EXPECT_EQ(count("start"), 1) << Out();
    EXPECT_EQ(count("status"), 0) << Out();
    EXPECT_EQ(sim.Record().size(), WholeImage);

    const auto aRuns = History({"--since", TodayUtc()});
    ASSERT_EQ(aRuns.size(), 1u);
    EXPECT_EQ(aRuns[0]["status"], 0) << aRuns[0];
    EXPECT_EQ(aRuns[0]["repeats"], 0) << aRuns[0];
}

// A port whose permissions are set a moment after its name appears (as udev's rules set a new
// tty's group): the station, run as an unprivileged user, is refused with "permission denied" and
// updates the logger once the port may be opened, in one update.
TEST_F(Station, APortWhosePermissionsComeLateIsUpdatedOnceTheyAllowIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to start the station as another user";
    if (!fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs setpriv (util-linux)";
    // The station's user writes its journal and reads its settings here.
    for (const fs::path& p : {dir, dir / "config"})
        fs::permissions(p, fs::perms::all);
    TProcess station({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                      KELVO_UPDATE_EXE, "--watch", "--yes", "--json", "--count", "1"},
                     Env(), dir / "station.out");
    fs::create_directories(dir / "late");
    TSimProcess sim(KELVO_SIM_EXE, dir / "late", {"--serial", "320012"});
    // A pseudo-terminal is its owner's (root's) alone until its mode is widened.
    fs::permissions(sim.sPort, fs::perms::owner_read | fs::perms::owner_write);
    const std::string sPort = Port("ttyUSB0");
    fs::create_symlink(sim.sPort, sPort);
    ASSERT_TRUE(WaitUntil([&] { return Out().find("\"settling\"") != std::string::npos; }, 10s))
        << Out() << Err();
    fs::permissions(sim.sPort, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::others_read | fs::perms::others_write);

    EXPECT_EQ(Ends(station, 30s), 0) << Out() << Err();
    const auto a = JsonLines(Out());
    const auto settling = std::find_if(a.begin(), a.end(), [&](const nlohmann::json& o) {
        return o.value("event", "") == "settling";
    });
    ASSERT_NE(settling, a.end()) << Out();
    EXPECT_EQ((*settling)["text"], "settling: permission denied");
    EXPECT_EQ(
        std::count_if(a.begin(), a.end(),
                      [](const nlohmann::json& o) { return o.value("event", "") == "start"; }),
        1)
        << Out();
    EXPECT_EQ(sim.Record().size(), WholeImage);
    const auto aRuns = History({"--since", TodayUtc()});
    ASSERT_EQ(aRuns.size(), 1u);
    EXPECT_EQ(aRuns[0]["status"], 0) << aRuns[0];
    EXPECT_EQ(aRuns[0]["serial"], 320012) << aRuns[0];
}

TEST_F(Station, AFailureAndAnUnplugStayWithTheirPortAndThePlugInAgainFinishesIt) {
    auto station = Start({"--watch", "--yes", "--count", "4"});
    // In order of arrival: a logger that reports a wrong class after its restart, a good one, and
    // one (pinned to 5.136 by its hardware) unplugged in its transfer, paced so that there is
    // time for that.
    auto wrong = Plug("ttyUSB0", {"--serial", "320001", "--fault", "restart-ident:wrongclass"});
    std::this_thread::sleep_for(200ms);
    auto good = Plug("ttyUSB1", {"--serial", "320002"});
    std::this_thread::sleep_for(200ms);
    auto cut = Plug("ttyUSB2", {"--preset", "entry8", "--latency", "10"}, "cut");
    ASSERT_TRUE(WaitUntil([&] { return cut->Record().size() > 10; }, 20s)) << Out();
    cut.reset();
    const std::string sCut = Port("ttyUSB2");
    ASSERT_TRUE(WaitUntil([&] { return HasLine(Out(), sCut + ": " + Hangup); }, 10s)) << Out();

    // Plugged in again it is still in its bootloader, where it tells no serial number. Only the
    // port name ties it to the run that was cut, and any logger could come through that port: the
    // serial number that run read is not inherited, and as it is a pinned one, the logger is not
    // updated.
    auto again = Plug("ttyUSB2", {"--preset", "entry8", "--start", "bootloader"}, "again");
    EXPECT_EQ(Ends(*station, 30s), 45) << "that of the first that failed\n" << Out() << Err();
    const std::string sOut = Out();
    const std::string sErr = Err();

    const std::string sWrong = Port("ttyUSB0");
    EXPECT_TRUE(HasLine(PortLines(sOut, sWrong), sWrong + ": Update was not successfull!")) << sOut;
    EXPECT_EQ(SummaryRow(sOut, sWrong).at(3), "45") << sOut;
    EXPECT_EQ(SummaryRow(sOut, Port("ttyUSB1")).at(3), "0") << sOut;
    EXPECT_EQ(good->Record().size(), WholeImage);

    const std::string sCutLines = PortLines(sOut, sCut);
    EXPECT_EQ(Count(sCutLines, " -> Logger plugged in"), 2) << sCutLines;
    EXPECT_EQ(Count(sCutLines, " -> Logger unplugged"), 1) << sCutLines;
    EXPECT_EQ(Count(sCutLines, " -> Start at serial port"), 2) << sCutLines;
    EXPECT_NE(sErr.find("kelvo-update: " + sCut + ": Reason: the device was disconnected"),
              std::string::npos)
        << sErr;
    EXPECT_EQ(sCutLines.find(PinLine), std::string::npos) << sCutLines;
    EXPECT_TRUE(HasLine(sCutLines, sCut + ": " + SerialUnknown)) << sCutLines;
    EXPECT_LE(again->Record().size(), 2u) << "nothing programmed";

    const auto aRuns = History({"--port", sCut});
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[0]["status"], 47) << aRuns[0];
    EXPECT_TRUE(aRuns[0]["serial"].is_null()) << "never the cut logger's\n" << aRuns[0];
    EXPECT_EQ(aRuns[0]["text"], SerialUnknown) << aRuns[0];
    EXPECT_EQ(aRuns[1]["status"], 11) << aRuns[1];
    EXPECT_EQ(aRuns[1]["serial"], 328297) << aRuns[1];
    EXPECT_EQ(aRuns[1]["left_in_bootloader"], true) << aRuns[1];
}

namespace {

// The milliseconds of the day of a JSON object's local time ("...T12:34:56.789+01:00").
long MsOfDay(const nlohmann::json& o) {
    const std::string s = o.value("time", "");
    if (s.size() < 23)
        return -1;
    return ((std::stol(s.substr(11, 2)) * 60 + std::stol(s.substr(14, 2))) * 60 +
            std::stol(s.substr(17, 2))) *
               1000 +
           std::stol(s.substr(20, 3));
}

} // namespace

// A logger unplugged right after the finish request: its update ends at once, saying that its
// restart could not be confirmed, and frees the port for the next logger, whose plug-in follows
// the result.
TEST_F(Station, AnUnplugWhileTheLoggerRestartsEndsItsUpdateAtOnce) {
    auto station = Start({"--watch", "--yes", "--json", "--count", "2"});
    auto first = Plug("ttyUSB0", {"--fault", "finish:hangup"}, "first");
    const std::string sPort = Port("ttyUSB0");
    const auto events = [&](const std::string& sEvent) {
        std::vector<nlohmann::json> a;
        for (const auto& o : JsonLines(Out())) {
            if (o.value("port", "") == sPort && o.value("event", "") == sEvent)
                a.push_back(o);
        }
        return a;
    };
    ASSERT_TRUE(WaitUntil([&] { return !events("unplugged").empty(); }, 20s)) << Out() << Err();
    // The next logger comes soon after, well within the two seconds of a restart.
    std::this_thread::sleep_for(300ms);
    auto next = Plug("ttyUSB0", {}, "next");
    EXPECT_EQ(Ends(*station, 30s), 11) << Out() << Err();

    const auto a = JsonLines(Out());
    std::vector<std::size_t> aPlugged;
    std::vector<std::size_t> aResults;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string sEvent = a[i].value("event", "");
        if (sEvent == "plugged")
            aPlugged.push_back(i);
        if (sEvent == "result")
            aResults.push_back(i);
        // Every object of an update names it; the station's own objects name a port only.
        if (sEvent != "plugged" && sEvent != "unplugged" && sEvent != "waiting" &&
            sEvent != "summary") {
            EXPECT_TRUE(a[i].contains("update")) << a[i];
        }
    }
    ASSERT_EQ(aPlugged.size(), 2u) << Out();
    ASSERT_EQ(aResults.size(), 2u) << Out();
    EXPECT_LT(aResults[0], aPlugged[1]) << "the result before the next logger's plug-in";
    const auto& r = a[aResults[0]];
    EXPECT_EQ(r["update"], 1) << r;
    EXPECT_EQ(r["exit"], 11) << r;
    EXPECT_EQ(r["text"], "The port was lost while the logger restarted: restart could not be "
                         "confirmed (plug it in again to check).")
        << r;
    EXPECT_EQ(r["left_in_bootloader"], false) << r;
    EXPECT_EQ(r["restart_unconfirmed"], true) << r;
    // At once: not after the two seconds that the logger has to restart.
    const auto aFinishing = events("vector-table");
    ASSERT_FALSE(aFinishing.empty());
    EXPECT_LT(MsOfDay(r) - MsOfDay(aFinishing.back()), 1500) << aFinishing.back() << r;
    EXPECT_EQ(a[aResults[1]]["update"], 2) << a[aResults[1]];
    EXPECT_EQ(a[aResults[1]]["exit"], 0) << a[aResults[1]];

    const auto aRuns = History({"--port", sPort});
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[1]["status"], 11) << aRuns[1];
    EXPECT_TRUE(aRuns[1]["left_in_bootloader"].is_null()) << aRuns[1];
    EXPECT_EQ(aRuns[1]["restart_unconfirmed"], true) << aRuns[1];
}

TEST_F(Station, AFailureFollowedOnItsPortByASuccessStillFailsTheStation) {
    // The port's latest run succeeds; the station's status is still that of the failed one.
    auto station = Start({"--watch", "--yes", "--count", "2"});
    auto wrong = Plug("ttyUSB0", {"--serial", "320001", "--fault", "restart-ident:wrongclass"});
    const std::string sPort = Port("ttyUSB0");
    ASSERT_TRUE(
        WaitUntil([&] { return HasLine(Out(), sPort + ": Update was not successfull!"); }, 20s))
        << Out();
    wrong.reset();
    std::this_thread::sleep_for(300ms);
    auto good = Plug("ttyUSB0", {"--serial", "320002"}, "good");
    EXPECT_EQ(Ends(*station, 30s), 45) << Out() << Err();
    EXPECT_EQ(good->Record().size(), WholeImage) << Out();
}

TEST_F(Station, OnlyNewLeavesALoggerPresentAtStartAloneUntilItIsPluggedInAgain) {
    auto present = Plug("ttyUSB0", {"--serial", "320001"}, "present");
    auto station = Start({"--watch", "--only-new", "--yes", "--count", "2"});
    const std::string sPresent = Port("ttyUSB0");
    const std::string sNew = Port("ttyUSB1");
    const auto told = [&](const std::string& sPort, const std::string& sText) {
        return WaitUntil([&] { return PortLines(Out(), sPort).find(sText) != std::string::npos; },
                         20s);
    };
    ASSERT_TRUE(told(sPresent, " -> Logger plugged in")) << Out() << Err();
    auto fresh = Plug("ttyUSB1", {"--serial", "320002"});
    ASSERT_TRUE(told(sNew, "succesfully completed.")) << Out();
    EXPECT_TRUE(present->Record().empty()) << "left alone";

    present.reset();
    ASSERT_TRUE(told(sPresent, " -> Logger unplugged")) << Out();
    auto again = Plug("ttyUSB0", {"--serial", "320001"}, "again");
    EXPECT_EQ(Ends(*station, 20s), 0) << Out() << Err();
    const std::string sOut = Out();
    EXPECT_EQ(again->Record().size(), WholeImage);
    EXPECT_EQ(SummaryRow(sOut, sPresent).at(1), "320001") << sOut;
    EXPECT_LT(sOut.find(sNew + "  "), sOut.find(sPresent + "  ")) << "in order of start\n" << sOut;
}

TEST_F(Station, JsonLinesWithOnlyOneUpdateAtATimeAndACountThatEndsIt) {
    // Three loggers present at start, one update at a time, two updates in all: the second and
    // third wait their turn, the third never gets it.
    std::vector<std::unique_ptr<TSimProcess>> aSims;
    for (int i = 0; i < 3; ++i)
        aSims.push_back(
            Plug("ttyUSB" + std::to_string(i), {"--serial", std::to_string(320001 + i)}));
    const std::string aPorts[] = {Port("ttyUSB0"), Port("ttyUSB1"), Port("ttyUSB2")};
    auto station = Start({"--watch", "--yes", "--json", "--max-parallel", "1", "--count", "2"});
    // The first one is unplugged once it is done.
    const auto firstDone = [&] {
        for (const auto& o : JsonLines(Out())) {
            if (o.value("event", "") == "result" && o.value("port", "") == aPorts[0])
                return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil(firstDone, 20s)) << Out() << Err();
    aSims[0].reset();
    // The third is left out: not started, and the station does not end with 0.
    EXPECT_EQ(Ends(*station, 20s), 20) << Out() << Err();

    const auto a = JsonLines(Out());
    ASSERT_FALSE(a.empty());
    // The index of the first object of this event and port, a.size() when there is none.
    const auto first = [&](const std::string& sEvent, const std::string& sPort) {
        const auto it = std::find_if(a.begin(), a.end(), [&](const nlohmann::json& o) {
            return o.value("event", "") == sEvent && o.value("port", "") == sPort;
        });
        return static_cast<std::size_t>(it - a.begin());
    };
    for (std::size_t i = 0; i + 1 < a.size(); ++i) {
        ASSERT_TRUE(a[i].is_object()) << a[i];
        EXPECT_TRUE(a[i].contains("port") && a[i]["port"].is_string()) << a[i];
        if (a[i].value("event", "") == "result") {
            EXPECT_TRUE(a[i].contains("exit")) << a[i];
        }
    }
    for (const std::string& sPort : aPorts)
        EXPECT_LT(first("plugged", sPort), a.size()) << sPort;
    EXPECT_LT(first("unplugged", aPorts[0]), a.size());
    EXPECT_EQ(first("waiting", aPorts[0]), a.size());
    EXPECT_LT(first("waiting", aPorts[1]), first("start", aPorts[1]));
    EXPECT_LT(first("waiting", aPorts[2]), a.size());
    EXPECT_LT(first("result", aPorts[0]), first("start", aPorts[1])) << "one at a time";
    EXPECT_EQ(first("start", aPorts[2]), a.size()) << "the count was reached before its turn";
    EXPECT_TRUE(aSims[2]->Record().empty());

    const auto& summary = a.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["exit"], 20);
    EXPECT_EQ(summary["text"], "2 updates, all succeeded. 1 logger plugged in was not started.");
    ASSERT_EQ(summary["ports"].size(), 3u) << summary;
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(summary["ports"][i]["port"], aPorts[i]) << summary;
        EXPECT_EQ(summary["ports"][i]["serial"], 320001 + static_cast<int>(i)) << summary;
        EXPECT_EQ(summary["ports"][i]["exit"], 0) << summary;
        EXPECT_EQ(summary["ports"][i]["started"], true) << summary;
    }
    EXPECT_EQ(summary["ports"][2]["port"], aPorts[2]) << summary;
    EXPECT_EQ(summary["ports"][2]["started"], false) << summary;
    EXPECT_EQ(summary["ports"][2]["exit"], 20) << summary;
    EXPECT_EQ(summary["not_started"], 1) << summary;
}

TEST_F(Station, Refusals) {
    const struct {
        std::vector<std::string> aArgs;
        const char* sError;
    } aCases[] = {
        {{"--watch", "-y", "--count", "0"}, "--count: '0' is not a valid number"},
        {{"--watch", "-y", "--max-parallel", "0"}, "--max-parallel: '0' is not a valid number"},
        {{"--watch", "-y", "--port", "/dev/ttyUSB0"}, "--watch takes the ports as they come"},
        {{"--watch", "-y", "--all-ports"}, "--watch takes the ports as they come"},
        {{"--watch", "--history"}, "--watch takes the ports as they come"},
        {{"--only-new", "-y", "--port", "/dev/ttyUSB0"}, "go with --watch"},
        {{"--count", "2", "-y", "--all-ports"}, "go with --watch"},
        {{"--max-parallel", "2", "-y", "--all-ports"}, "go with --watch"},
    };
    for (const auto& c : aCases) {
        auto run = Start(c.aArgs);
        EXPECT_EQ(Ends(*run, 10s), 2) << c.aArgs[0] << " " << c.aArgs.back();
        EXPECT_NE(Err().find(c.sError), std::string::npos) << Err();
    }
}

TEST_F(Station, OnATerminalALinePerPortTheCountAndABell) {
    auto station = StartOnATerminal({"--watch", "--yes", "--count", "2"});
    const std::string sGood = Port("ttyUSB0");
    const std::string sWrong = Port("ttyUSB1");
    auto good = Plug("ttyUSB0", {"--serial", "320001"});
    const std::string sDone = "done 5.138 \u2014 unplug it";
    ASSERT_TRUE(WaitUntil([&] { return station->Seen().find(sDone) != std::string::npos; }, 20s))
        << station->Seen();
    // Unplugged, its port waits for the next logger.
    good.reset();
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string s = station->Seen();
            const std::size_t i = s.rfind(sGood);
            return i != std::string::npos && s.find("waiting", i) != std::string::npos;
        },
        10s))
        << station->Seen();
    auto wrong = Plug("ttyUSB1", {"--fault", "restart-ident:wrongclass"});
    EXPECT_EQ(Ends(*station, 20s), 45) << station->Seen();

    const std::string sSeen = station->Seen();
    EXPECT_NE(sSeen.find("failed: Update was not successfull!"), std::string::npos) << sSeen;
    EXPECT_NE(sSeen.find("1 done, 0 failed, 0 in progress; Ctrl+C stops the station"),
              std::string::npos)
        << sSeen;
    EXPECT_NE(sSeen.find("1 done, 1 failed, 0 in progress"), std::string::npos) << sSeen;
    EXPECT_EQ(Count(sSeen, "\a"), 2) << "a bell as each update ends";
    // The live lines take the place of the report; the summary table ends it.
    EXPECT_EQ(sSeen.find(" -> Class "), std::string::npos) << sSeen;
    const std::size_t iSummary = sSeen.rfind("Port ");
    ASSERT_NE(iSummary, std::string::npos) << sSeen;
    for (const std::string& sPort : {sGood, sWrong})
        EXPECT_NE(sSeen.find(sPort, iSummary), std::string::npos) << sSeen;
    EXPECT_NE(sSeen.find("2 updates: 1 succeeded, 1 failed.\r\nNot updated:\r\n  " + sWrong +
                             "  1 of 1 update failed, the last with exit status 45: Update was "
                             "not successfull!",
                         iSummary),
              std::string::npos)
        << sSeen;
}

TEST_F(Station, CtrlCOnceLetsTheRunningUpdateFinishAndStartsNoOther) {
    auto station = StartOnATerminal({"--watch", "--yes"});
    auto paced = Plug("ttyUSB0", {"--latency", "4"});
    ASSERT_TRUE(WaitUntil([&] { return paced->Record().size() > 10; }, 20s)) << station->Seen();
    // Typed on the terminal, Ctrl+C reaches its foreground process group: the station, not the
    // update it runs.
    station->Type("\x03");
    ASSERT_TRUE(WaitUntil(
        [&] { return station->Seen().find("stopping: no new update starts") != std::string::npos; },
        5s))
        << station->Seen();
    const std::size_t iStopping = station->Seen().size();
    auto late = Plug("ttyUSB1", {});
    // Its turn never comes: it is listed as not started, and the station does not end with 0.
    EXPECT_EQ(Ends(*station, 20s), 20) << station->Seen();
    const std::string sSeen = station->Seen();
    EXPECT_EQ(paced->Record().size(), WholeImage);
    EXPECT_TRUE(late->Record().empty()) << "plugged in after Ctrl+C";
    EXPECT_NE(sSeen.find("not started \u2014 the station stops", iStopping), std::string::npos)
        << sSeen;
    EXPECT_EQ(sSeen.find("waiting for its turn", iStopping), std::string::npos) << sSeen;
    const std::size_t iSummary = sSeen.rfind("Port ");
    ASSERT_NE(iSummary, std::string::npos) << sSeen;
    const std::string sSummary = sSeen.substr(iSummary);
    EXPECT_EQ(SummaryRow(sSummary, Port("ttyUSB0")).at(3), "0") << sSeen;
    EXPECT_EQ(SummaryRow(sSummary, Port("ttyUSB1")).at(3), "20") << sSummary;
    EXPECT_NE(sSummary.find("Not started: the station was stopped before its turn."),
              std::string::npos)
        << sSummary;
    EXPECT_NE(sSummary.find("1 update, which succeeded. 1 logger plugged in was not started."),
              std::string::npos)
        << sSummary;
}

TEST_F(Station, CtrlCTwiceOrSigtermCancelsTheRunningUpdateAndClosesItsPort) {
    for (const bool bSigterm : {false, true}) {
        const std::string sName = bSigterm ? "ttyUSB1" : "ttyUSB0";
        auto station = StartOnATerminal({"--watch", "--yes"});
        auto paced = Plug(sName, {"--latency", "10", "--verbose"});
        const fs::path log = dir / sName / "sim.out.err";
        ASSERT_TRUE(WaitUntil([&] { return paced->Record().size() > 10; }, 20s)) << station->Seen();
        if (bSigterm) {
            station->Signal(SIGTERM);
        } else {
            station->Type("\x03");
            // Two presses, not one signal pending twice.
            ASSERT_TRUE(WaitUntil(
                [&] {
                    return station->Seen().find("stopping: no new update starts") !=
                           std::string::npos;
                },
                5s))
                << station->Seen();
            station->Type("\x03");
        }
        EXPECT_EQ(Ends(*station, 10s), 20) << sName << "\n" << station->Seen();
        const std::string sSeen = station->Seen();
        const std::size_t iSummary = sSeen.rfind("Port ");
        ASSERT_NE(iSummary, std::string::npos) << sSeen;
        EXPECT_EQ(SummaryRow(sSeen.substr(iSummary), Port(sName)).at(3), "20") << sSeen;
        EXPECT_TRUE(
            WaitUntil([&] { return ReadFile(log).find("port closed") != std::string::npos; }, 5s))
            << ReadFile(log);
        EXPECT_LT(paced->Record().size(), WholeImage);
    }
}

TEST_F(Station, TwentyFivePortsOnATerminalOf80By24KeepTheCountLineAndCountTheHiddenOnes) {
    // Ports whose loggers --only-new leaves alone: the lines without an update running.
    constexpr std::size_t Ports = 25;
    for (std::size_t i = 0; i < Ports; ++i)
        std::ofstream(devDir / ("ttyUSB" + std::to_string(i)));
    auto station = StartOnATerminal({"--watch", "--yes", "--only-new"}, 80, 24);
    const std::string sCount = "0 done, 0 failed, 0 in progress; Ctrl+C stops the station\x1b[K";
    // The block as drawn once every port is on it.
    std::vector<std::string> aBlock;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string s = station->Seen();
            const std::size_t i = s.rfind(sCount);
            if (i == std::string::npos)
                return false;
            aBlock = LastBlock(s, i + sCount.size());
            return aBlock.size() > 1;
        },
        10s))
        << station->Seen();
    EXPECT_LE(aBlock.size(), 23u) << "never taller than the terminal less one line";
    ASSERT_GE(aBlock.size(), 2u);
    EXPECT_NE(aBlock.back().find("0 done, 0 failed, 0 in progress"), std::string::npos)
        << aBlock.back();
    const std::size_t iShown = static_cast<std::size_t>(
        std::count_if(aBlock.begin(), aBlock.end(), [](const std::string& s) {
            return s.find("here at start") != std::string::npos;
        }));
    EXPECT_EQ(aBlock[aBlock.size() - 2], "(" + std::to_string(Ports - iShown) + " more ports)");
    EXPECT_EQ(iShown + 2, aBlock.size()) << "the ports shown, the hidden ones' count, the count";
    station->Type("\x03");
    EXPECT_EQ(Ends(*station, 10s), 0) << station->Seen();
}
