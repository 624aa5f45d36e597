// kelvo-update with several ports at once (--port given more than once, --all-ports): a child
// process of kelvo-update for each, the live lines on a terminal, the summary, JSON Lines.
#include "tests/e2e/EndToEnd.h"
#include "tests/support/CliOutput.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(EndToEnd, SeveralPortsFailAndRepeatEachOnItsOwn) {
    // In port order: a logger without faults, one that hangs up in its transfer, one whose echo
    // differs once (pinned to image 8 by its serial number, which its repeat must keep), and a
    // port that is not there.
    const auto aSims = Sims(dir, {{"--preset", "entry9"},
                                  {"--preset", "entry9", "--fault", "line:hangup:100"},
                                  {"--preset", "entry8", "--fault", "line:echo:5"}});
    const std::string sMissing = "/dev/kelvo-no-such-port";
    const std::string sPlain = aSims[0]->sPort;
    const std::string sHangup = aSims[1]->sPort;
    const std::string sEcho = aSims[2]->sPort;
    const auto r = Cli({"-p", sPlain, "-p", sHangup, "--port", sEcho, "--port", sMissing, "-y"});
    EXPECT_EQ(r.iExit, 11) << "the first failure in port order\n" << r.sOut;

    const std::string sPlainLines = PortLines(r.sOut, sPlain);
    EXPECT_EQ(Count(sPlainLines, "Start at serial port"), 1) << sPlainLines;
    EXPECT_NE(sPlainLines.find(sPlain + ": Update Kelvo model 26113 V5.138 succesfully completed."),
              std::string::npos)
        << sPlainLines;
    EXPECT_EQ(aSims[0]->Record().size(), WholeImage) << "the whole image, once";

    EXPECT_NE(PortLines(r.sOut, sHangup).find(Hangup), std::string::npos) << r.sOut;

    const std::string sEchoLines = PortLines(r.sOut, sEcho);
    EXPECT_EQ(Count(sEchoLines, "Start at serial port"), 2) << sEchoLines;
    EXPECT_NE(sEchoLines.find("Repeat because programming error!"), std::string::npos);
    EXPECT_NE(sEchoLines.find("Update Kelvo model 26113 V5.136 succesfully completed."),
              std::string::npos)
        << sEchoLines;

    EXPECT_NE(r.sErr.find("kelvo-update: " + sMissing + ": Reason: no such device"),
              std::string::npos)
        << r.sErr;

    // The summary: port, serial number, image, exit status, time, outcome.
    const auto aPlain = SummaryRow(r.sOut, sPlain);
    ASSERT_EQ(aPlain.size(), 6u) << r.sOut;
    EXPECT_EQ(aPlain[1], "320000");
    EXPECT_EQ(aPlain[2], "Kelvo model 26113 V5.138, A9e, BL3.0");
    EXPECT_EQ(aPlain[3], "0");
    EXPECT_EQ(aPlain[5], "Update Kelvo model 26113 V5.138 succesfully completed.");
    const auto aEcho = SummaryRow(r.sOut, sEcho);
    ASSERT_EQ(aEcho.size(), 6u) << r.sOut;
    EXPECT_EQ(aEcho[1], "328297");
    EXPECT_EQ(aEcho[2], "Kelvo model 26113 V5.136, A9d, BL3.0");
    EXPECT_EQ(SummaryRow(r.sOut, sHangup).at(3), "11");
    const auto aMissing = SummaryRow(r.sOut, sMissing);
    ASSERT_EQ(aMissing.size(), 6u) << r.sOut;
    EXPECT_EQ(aMissing[1], "-");
    EXPECT_EQ(aMissing[3], "10");
    EXPECT_NE(r.sOut.find("Not updated: " + sHangup + " (exit status 11), " + sMissing +
                          " (exit status 10); 2 of 4 loggers were updated."),
              std::string::npos)
        << r.sOut;
}

TEST_F(EndToEnd, SeveralPortsRefusals) {
    TSim sim(dir, {"--preset", "entry9"});
    const fs::path link = dir / "link-to-the-same-port";
    fs::create_symlink(sim.sPort, link);
    const struct {
        std::vector<std::string> aArgs;
        std::vector<std::string> aEnv;
        const char* sError;
    } aCases[] = {
        {{"-p", sim.sPort, "-p", sim.sPort, "-y"}, {}, "is given twice"},
        {{"-p", sim.sPort, "-p", link.string(), "-y"}, {}, "is given twice"},
        {{"--all-ports", "-p", sim.sPort, "-y"}, {}, "--all-ports and --port do not go together"},
        {{"--all-ports", "-y"},
         {"KELVO_DEV_DIR=" + dir.string()},
         "--all-ports: no serial port of a USB serial device is present"},
        // Asked once for all: without a terminal to answer on, refused before any port opens.
        {{"-p", sim.sPort, "-p", "/dev/kelvo-none"}, {}, "there is no terminal to answer it"},
    };
    for (const auto& c : aCases) {
        std::vector<std::string> aArgs{KELVO_UPDATE_EXE};
        aArgs.insert(aArgs.end(), c.aArgs.begin(), c.aArgs.end());
        std::vector<std::string> aEnv{"XDG_CONFIG_HOME=" + configHome.string()};
        aEnv.insert(aEnv.end(), c.aEnv.begin(), c.aEnv.end());
        TProcess run(aArgs, aEnv, dir / "cli.out");
        EXPECT_EQ(run.Wait(), 2) << c.sError;
        EXPECT_NE(ReadFile(dir / "cli.out.err").find(c.sError), std::string::npos)
            << ReadFile(dir / "cli.out.err");
    }
    EXPECT_TRUE(sim.Record().empty()) << "no port was used";
}

TEST_F(EndToEnd, SeveralPortsOnATerminalAskOnceAndShowALineEach) {
    const auto aSims = Sims(dir, {{"--preset", "entry9"}, {"--preset", "entry7"}});
    // script gives the program a terminal; the answer comes on its input.
    const std::string sCommand = "stty cols 100; '" + std::string(KELVO_UPDATE_EXE) + "' -p '" +
                                 aSims[0]->sPort + "' -p '" + aSims[1]->sPort +
                                 "'; echo \"exit $?\"";
    const fs::path answer = dir / "answer.txt";
    std::ofstream(answer) << "yes\n";
    TProcess run({"/bin/sh", "-c",
                  "exec /usr/bin/script -qec \"$0\" /dev/null < '" + answer.string() + "'",
                  sCommand},
                 {"XDG_CONFIG_HOME=" + configHome.string()}, dir / "script.out");
    EXPECT_EQ(run.Wait(), 0);
    const std::string sTerminal = ReadFile(dir / "script.out");
    EXPECT_NE(sTerminal.find("exit 0"), std::string::npos) << sTerminal;
    EXPECT_EQ(Count(sTerminal, "Do you really continue without saving ?"), 1) << sTerminal;
    // The live lines take the place of the report: redrawn in place, they end done.
    EXPECT_EQ(sTerminal.find(" -> Class "), std::string::npos) << sTerminal;
    const std::size_t iSummary = sTerminal.find("Port ");
    ASSERT_NE(iSummary, std::string::npos) << sTerminal;
    for (const auto& p : aSims) {
        const std::size_t i = sTerminal.rfind(p->sPort, iSummary);
        ASSERT_NE(i, std::string::npos) << sTerminal;
        const std::string sLast = sTerminal.substr(i, sTerminal.find('\n', i) - i);
        EXPECT_NE(sLast.find("320000"), std::string::npos) << sLast;
        EXPECT_NE(sLast.find("done"), std::string::npos) << sLast;
        EXPECT_NE(sLast.find("100%"), std::string::npos) << sLast;
    }
    EXPECT_NE(sTerminal.find("\x1b[2A"), std::string::npos) << "two lines redrawn in place";
    EXPECT_NE(sTerminal.find("All 2 loggers were updated."), std::string::npos) << sTerminal;
}

namespace {

// Everything a program, started in the folder cwd, wrote to a pseudo-terminal of iColumns and
// iRows until it ended; its exit status through iExit.
std::string OnATerminal(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnv,
                        const fs::path& cwd, unsigned short iColumns, unsigned short iRows,
                        int& iExit) {
    std::vector<char*> aArgv;
    for (const std::string& s : aArgs)
        aArgv.push_back(const_cast<char*>(s.c_str()));
    aArgv.push_back(nullptr);
    winsize ws{};
    ws.ws_col = iColumns;
    ws.ws_row = iRows;
    int fdMaster = -1;
    const pid_t pid = forkpty(&fdMaster, nullptr, nullptr, &ws);
    if (pid == 0) {
        for (const std::string& s : aEnv)
            putenv(const_cast<char*>(s.c_str()));
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        execv(aArgv[0], aArgv.data());
        _exit(127);
    }
    iExit = -1;
    if (pid < 0)
        return {};
    std::string sSeen;
    char b[4096];
    // Read until the program has gone and the terminal reports the hang-up.
    for (ssize_t n; (n = ::read(fdMaster, b, sizeof b)) > 0;)
        sSeen.append(b, static_cast<std::size_t>(n));
    ::close(fdMaster);
    int iStatus = 0;
    if (waitpid(pid, &iStatus, 0) == pid && WIFEXITED(iStatus))
        iExit = WEXITSTATUS(iStatus);
    return sSeen;
}

// The texts between line ends, carriage returns and escape sequences: what lands on one row of
// the terminal at a time, with the number of columns it takes (UTF-8 characters, all narrow).
std::vector<std::pair<std::string, std::size_t>> TerminalPieces(const std::string& s) {
    std::vector<std::pair<std::string, std::size_t>> a(1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
            i += 2;
            while (i < s.size() && !(s[i] >= 0x40 && s[i] <= 0x7E))
                ++i;
        } else if (c == '\n' || c == '\r') {
            a.emplace_back();
        } else {
            a.back().first += c;
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
                ++a.back().second;
        }
    }
    return a;
}

} // namespace

TEST_F(EndToEnd, SeveralPortsOnNarrowAndWideTerminals) {
    const auto aSims =
        Sims(dir, {{"--preset", "entry9"}, {"--preset", "entry7"}, {"--preset", "entry9"}});
    // Long port names, as /dev/serial/by-id gives them, relative to the program's folder.
    std::vector<std::string> aArgs{KELVO_UPDATE_EXE, "--yes"};
    for (std::size_t i = 0; i < aSims.size(); ++i) {
        const std::string sLink = "usb-Kelvo_model_26114_A50285B" + std::to_string(i) + "-port0";
        fs::create_symlink(aSims[i]->sPort, dir / sLink);
        aArgs.insert(aArgs.end(), {"-p", sLink});
    }
    const struct {
        unsigned short iColumns;
        unsigned short iRows;
    } aCases[] = {{60, 24}, {130, 24}, {60, 3}};
    for (const auto& c : aCases) {
        const std::string sCase =
            std::to_string(c.iColumns) + "x" + std::to_string(c.iRows) + " terminal";
        int iExit = -1;
        const std::string sSeen =
            OnATerminal(aArgs, {"XDG_CONFIG_HOME=" + configHome.string(), "LANG=C.UTF-8"}, dir,
                        c.iColumns, c.iRows, iExit);
        EXPECT_EQ(iExit, 0) << sCase << "\n" << sSeen;
        // Nothing wraps: every row short of the terminal's last column.
        for (const auto& [sPiece, iWidth] : TerminalPieces(sSeen))
            EXPECT_LT(iWidth, c.iColumns) << sCase << ": " << sPiece;
        // The live block is erased just before the summary takes its place.
        const std::size_t iSummary = sSeen.find("Port ");
        ASSERT_NE(iSummary, std::string::npos) << sCase << "\n" << sSeen;
        const std::size_t iBlock = std::min<std::size_t>(aSims.size(), c.iRows - 1u);
        std::string sErase = "\x1b[" + std::to_string(iBlock) + "A\r\x1b[2K";
        for (std::size_t i = 1; i < iBlock; ++i)
            sErase += "\x1b[B\x1b[2K";
        if (iBlock > 1)
            sErase += "\x1b[" + std::to_string(iBlock - 1) + "A";
        const std::size_t iErase = sSeen.rfind(sErase, iSummary);
        ASSERT_NE(iErase, std::string::npos) << sCase << "\n" << sSeen;
        EXPECT_EQ(iErase + sErase.size(), iSummary) << sCase << "\n" << sSeen;
        // The block's last drawing: a line for every port, each done at 100 % (past the
        // terminal's height, a count of those left out).
        const std::size_t iDraw = sSeen.rfind("\x1b[" + std::to_string(iBlock) + "A\r", iErase - 1);
        ASSERT_NE(iDraw, std::string::npos) << sCase << "\n" << sSeen;
        const std::string sLast = sSeen.substr(iDraw, iErase - iDraw);
        const std::size_t iShown = c.iRows > aSims.size() ? aSims.size() : c.iRows - 2u;
        EXPECT_EQ(Count(sLast, "done"), static_cast<int>(iShown)) << sCase << "\n" << sLast;
        EXPECT_EQ(Count(sLast, "100%"), static_cast<int>(iShown)) << sCase << "\n" << sLast;
        if (iShown < aSims.size()) {
            EXPECT_NE(sLast.find("(" + std::to_string(aSims.size() - iShown) + " more ports)"),
                      std::string::npos)
                << sCase << "\n"
                << sLast;
        }
        EXPECT_NE(sSeen.find("All 3 loggers were updated."), std::string::npos) << sSeen;
    }
}

TEST_F(EndToEnd, SeveralPortsCancelledAllWithEveryPortClosed) {
    // Paced, so that the transfers run when the signal comes.
    const auto aSims = Sims(dir, {{"--preset", "entry9", "--baud", "9600", "--verbose"},
                                  {"--preset", "entry7", "--baud", "9600", "--verbose"},
                                  {"--preset", "entry9", "--baud", "9600", "--verbose"}});
    auto cli =
        StartCli({"-p", aSims[0]->sPort, "-p", aSims[1]->sPort, "-p", aSims[2]->sPort, "-y"});
    const auto tEnd = std::chrono::steady_clock::now() + 30s;
    const auto allTransferring = [&] {
        const std::string sOut = ReadFile(dir / "cli.out");
        return std::all_of(aSims.begin(), aSims.end(), [&](const auto& p) {
            return PortLines(sOut, p->sPort).find("Progress 1%") != std::string::npos;
        });
    };
    while (!allTransferring() && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(20ms);
    // To the program that runs them all, which passes it on.
    cli->Signal(SIGINT);
    EXPECT_EQ(cli->Wait(), 20);
    const std::string sOut = ReadFile(dir / "cli.out");
    for (const auto& p : aSims) {
        EXPECT_NE(PortLines(sOut, p->sPort).find("Process cancelled!"), std::string::npos)
            << p->sPort << "\n"
            << sOut;
        EXPECT_EQ(SummaryRow(sOut, p->sPort).at(3), "20") << sOut;
    }
    // Every port closed: each simulator saw its client go.
    for (const auto& p : aSims) {
        const auto tLog = std::chrono::steady_clock::now() + 5s;
        while (ReadFile(p->Log()).find("port closed") == std::string::npos &&
               std::chrono::steady_clock::now() < tLog)
            std::this_thread::sleep_for(20ms);
        EXPECT_NE(ReadFile(p->Log()).find("port closed"), std::string::npos) << p->sPort;
    }
}

TEST_F(EndToEnd, SeveralPortsAsJsonLines) {
    // --all-ports takes the ports of the device folder in their natural order.
    const auto aSims = Sims(dir, {{"--preset", "entry9"},
                                  {"--preset", "entry8"},
                                  {"--preset", "entry2", "--start", "bootloader"}});
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    fs::create_symlink(aSims[0]->sPort, devDir / "ttyUSB2");
    fs::create_symlink(aSims[1]->sPort, devDir / "ttyUSB10");
    fs::create_symlink(aSims[2]->sPort, devDir / "ttyACM0");
    TProcess run({KELVO_UPDATE_EXE, "--all-ports", "--yes", "--json"},
                 {"KELVO_DEV_DIR=" + devDir.string(), "XDG_CONFIG_HOME=" + configHome.string()},
                 dir / "cli.out");
    EXPECT_EQ(run.Wait(), 0) << ReadFile(dir / "cli.out.err");
    const auto a = JsonLines(ReadFile(dir / "cli.out"));
    ASSERT_FALSE(a.empty());
    const std::string aPorts[] = {(devDir / "ttyACM0").string(), (devDir / "ttyUSB2").string(),
                                  (devDir / "ttyUSB10").string()};
    // Every object but the summary names its port; each port's objects tell a whole run, the
    // serial number (of a logger found in its application) before the transfer.
    for (std::size_t i = 0; i + 1 < a.size(); ++i)
        EXPECT_NE(std::find(std::begin(aPorts), std::end(aPorts), a[i].value("port", "")),
                  std::end(aPorts))
            << a[i];
    // Every object of an update carries its number, its own: the ports' updates from 1.
    std::set<int> aUpdates;
    for (const std::string& sPort : aPorts) {
        std::vector<std::string> aEvents;
        std::set<int> aOfPort;
        for (const auto& o : a) {
            if (o.value("port", "") != sPort)
                continue;
            aEvents.push_back(o.value("event", ""));
            aOfPort.insert(o.value("update", 0));
        }
        EXPECT_EQ(aOfPort.size(), 1u) << sPort;
        EXPECT_NE(*aOfPort.begin(), 0) << sPort;
        aUpdates.insert(aOfPort.begin(), aOfPort.end());
        ASSERT_FALSE(aEvents.empty()) << sPort;
        EXPECT_EQ(aEvents.front(), "start") << sPort;
        EXPECT_EQ(aEvents.back(), "result") << sPort;
        const auto iSerial = std::find(aEvents.begin(), aEvents.end(), "serial");
        const auto iSelected = std::find(aEvents.begin(), aEvents.end(), "selected");
        EXPECT_NE(iSelected, aEvents.end()) << sPort;
        if (sPort == aPorts[0])
            EXPECT_EQ(iSerial, aEvents.end()) << "found in its bootloader: no serial number";
        else
            EXPECT_LT(iSerial, iSelected) << sPort;
    }
    const auto& summary = a.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["exit"], 0);
    EXPECT_EQ(summary["success"], true);
    EXPECT_EQ(summary["text"], "All 3 loggers were updated.");
    ASSERT_EQ(summary["ports"].size(), 3u) << summary;
    EXPECT_EQ(aUpdates, (std::set<int>{1, 2, 3}));
    const struct {
        nlohmann::json serial;
        int iEntry;
    } aExpected[] = {{nullptr, 2}, {320000, 9}, {328297, 8}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& p = summary["ports"][i];
        EXPECT_EQ(p["port"], aPorts[i]);
        EXPECT_EQ(p["update"], static_cast<int>(i) + 1) << p;
        EXPECT_EQ(p["serial"], aExpected[i].serial) << p;
        EXPECT_EQ(p["image"]["entry"], aExpected[i].iEntry) << p;
        EXPECT_EQ(p["exit"], 0);
        EXPECT_TRUE(p["seconds"].is_number()) << p;
    }
}

// ---------------------------------------------------------------------------------------------
// Several ports: the child processes as the system sees them.

namespace {

// The processes whose parent is pid, from /proc.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> a;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string sName = entry.path().filename().string();
        if (sName.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // "pid (comm) state ppid ...": the name may hold blanks, so read after its last ')'.
        const std::string sStat = ReadFile(entry.path() / "stat");
        const std::size_t i = sStat.rfind(')');
        if (i == std::string::npos)
            continue;
        std::istringstream rest(sStat.substr(i + 1));
        std::string sState;
        long iParent = 0;
        if (rest >> sState >> iParent && iParent == pid)
            a.push_back(static_cast<pid_t>(std::stol(sName)));
    }
    return a;
}

} // namespace

TEST_F(EndToEnd, SeveralPortsChildrenCarryTheNameAndAreReportedWhenKilled) {
    // Paced, so that the transfers run while the processes are looked at.
    const auto aSims = Sims(dir, {{"--preset", "entry9", "--baud", "9600", "--verbose"},
                                  {"--preset", "entry9", "--baud", "9600", "--verbose"}});
    auto cli = StartCli({"-p", aSims[0]->sPort, "-p", aSims[1]->sPort, "-y"});
    const auto transferring = [&](const std::string& sPort) {
        return PortLines(ReadFile(dir / "cli.out"), sPort).find("Progress 1%") != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil(
        [&] { return transferring(aSims[0]->sPort) && transferring(aSims[1]->sPort); }, 30s))
        << ReadFile(dir / "cli.out");
    const std::vector<pid_t> aChildren = ChildrenOf(cli->Pid());
    ASSERT_EQ(aChildren.size(), 2u);
    for (const pid_t pid : aChildren)
        EXPECT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/comm"), "kelvo-update\n");

    // Another program that wants a port is told who holds it.
    const auto r = Cli({"-p", aSims[0]->sPort, "-y"});
    EXPECT_EQ(r.iExit, 10);
    EXPECT_NE(r.sErr.find("in use by another program: kelvo-update (pid "), std::string::npos)
        << r.sErr;

    // The second port's process is killed from outside; the first is cancelled afterwards.
    const pid_t victim = aChildren[0];
    const std::string sVictimPort =
        ReadFile("/proc/" + std::to_string(victim) + "/cmdline").find(aSims[0]->sPort) !=
                std::string::npos
            ? aSims[0]->sPort
            : aSims[1]->sPort;
    ::kill(victim, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return Ended(victim); }, 5s));
    std::this_thread::sleep_for(200ms);
    cli->Signal(SIGINT);
    EXPECT_EQ(cli->Wait(), sVictimPort == aSims[0]->sPort ? 1 : 20);
    const std::string sOut = ReadFile(dir / "cli.out");
    const std::string sErr = ReadFile(dir / "cli.out.err");
    EXPECT_NE(sErr.find("kelvo-update: " + sVictimPort + ": its process was killed by signal 9"),
              std::string::npos)
        << sErr;
    const auto aRow = SummaryRow(sOut, sVictimPort);
    ASSERT_EQ(aRow.size(), 6u) << sOut;
    EXPECT_EQ(aRow[3], "1");
    EXPECT_NE(aRow[5].find("The update program ended unexpectedly: killed by signal 9"),
              std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find(sVictimPort + ": " + LoggerWaits), std::string::npos) << sOut;
}

// A child killed in its transfer still has its result, written by its parent, and its journal
// row completed: the status, the lines the logger took and that it waits in its bootloader.
TEST_F(EndToEnd, SeveralPortsAChildKilledInItsTransferIsAccountedFor) {
    // The victim paced, so that it is still transferring when it is killed; the other is not.
    const auto aSims =
        Sims(dir, {{"--preset", "entry9", "--baud", "9600"}, {"--preset", "entry9"}});
    const std::string sVictim = aSims[0]->sPort;
    auto cli = StartCli({"-p", sVictim, "-p", aSims[1]->sPort, "-y", "--json"});
    const auto ofVictim = [&](const std::string& sEvent) {
        std::vector<nlohmann::json> a;
        for (const auto& o : JsonLines(ReadFile(dir / "cli.out"))) {
            if (o.value("port", "") == sVictim && o.value("event", "") == sEvent)
                a.push_back(o);
        }
        return a;
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto a = ofVictim("progress");
            return !a.empty() && a.back().value("lines_sent", 0) > 0;
        },
        30s))
        << ReadFile(dir / "cli.out");
    pid_t victim = 0;
    for (const pid_t pid : ChildrenOf(cli->Pid())) {
        if (ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find(sVictim) !=
            std::string::npos)
            victim = pid;
    }
    ASSERT_NE(victim, 0);
    ::kill(victim, SIGKILL);
    EXPECT_EQ(cli->Wait(), 1) << ReadFile(dir / "cli.out.err");

    const auto aStarts = ofVictim("start");
    ASSERT_EQ(aStarts.size(), 1u);
    const auto iRow = aStarts[0]["journal_row"];
    ASSERT_TRUE(iRow.is_number_integer()) << aStarts[0];
    const int iLinesSeen = ofVictim("progress").back()["lines_sent"];
    const auto aResults = ofVictim("result");
    ASSERT_EQ(aResults.size(), 1u) << ReadFile(dir / "cli.out");
    const auto& r = aResults[0];
    EXPECT_EQ(r["exit"], 1) << r;
    EXPECT_EQ(r["success"], false) << r;
    EXPECT_EQ(r["text"], "The update program ended unexpectedly: killed by signal 9 (Killed).")
        << r;
    EXPECT_EQ(r["left_in_bootloader"], true) << r;
    EXPECT_EQ(r["note"], LoggerWaits) << r;
    EXPECT_EQ(r["update"], aStarts[0]["update"]) << r;
    EXPECT_EQ(r["journal_row"], iRow) << r;
    EXPECT_EQ(r["logger"]["serial"], 320000) << r;

    const auto history = Cli({"--history", "--json", "--port", sVictim});
    const auto aRuns = JsonLines(history.sOut);
    ASSERT_EQ(aRuns.size(), 1u) << history.sOut << history.sErr;
    const auto& row = aRuns[0];
    EXPECT_EQ(row["status"], 1) << row;
    EXPECT_EQ(row["interrupted"], false) << row;
    EXPECT_FALSE(row["ended"].is_null()) << row;
    EXPECT_EQ(row["text"], r["text"]) << row;
    EXPECT_GE(row["lines_sent"], iLinesSeen) << row;
    EXPECT_EQ(row["left_in_bootloader"], true) << row;
}

TEST_F(EndToEnd, SeveralPortsChildrenCancelWhenTheirParentIsGone) {
    const auto aSims = Sims(dir, {{"--preset", "entry9", "--baud", "9600", "--verbose"},
                                  {"--preset", "entry9", "--baud", "9600", "--verbose"}});
    auto cli = StartCli({"-p", aSims[0]->sPort, "-p", aSims[1]->sPort, "-y"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string sOut = ReadFile(dir / "cli.out");
            return PortLines(sOut, aSims[0]->sPort).find("Progress 1%") != std::string::npos &&
                   PortLines(sOut, aSims[1]->sPort).find("Progress 1%") != std::string::npos;
        },
        30s))
        << ReadFile(dir / "cli.out");
    const std::vector<pid_t> aChildren = ChildrenOf(cli->Pid());
    ASSERT_EQ(aChildren.size(), 2u);
    cli->Signal(SIGKILL);
    cli->Wait();
    // Each child cancels as Ctrl+C would: it closes its port and ends well before its transfer
    // of minutes would have.
    for (const pid_t pid : aChildren)
        EXPECT_TRUE(WaitUntil([&] { return Ended(pid); }, 10s)) << pid;
    for (const auto& p : aSims)
        EXPECT_TRUE(WaitUntil(
            [&] { return ReadFile(p->Log()).find("port closed") != std::string::npos; }, 5s))
            << p->sPort;
}

TEST_F(EndToEnd, SeveralPortsProgramTheFileAsItWasChecked) {
    InternalMode();
    const auto aSims = Sims(dir, {{"--preset", "entry9"}, {"--preset", "entry9"}});
    // Built-in image 9 as a loaded file: the simulator expects that image.
    const fs::path file = dir / "entry9.kfw";
    fs::copy_file(fs::path(KELVO_IMAGES_DIR) / "entry9.kfw", file);
    // mf:+ asks the question on the terminal; while it waits, the file is replaced.
    int fdMaster = -1;
    const pid_t pid = forkpty(&fdMaster, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        execl(KELVO_UPDATE_EXE, KELVO_UPDATE_EXE, "-q", "-p", aSims[0]->sPort.c_str(), "-p",
              aSims[1]->sPort.c_str(), "--file", file.c_str(), "f:+", "mf:+",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string sSeen;
    const auto readSome = [&] {
        char b[4096];
        const ssize_t n = ::read(fdMaster, b, sizeof b);
        if (n > 0)
            sSeen.append(b, static_cast<std::size_t>(n));
        return n > 0;
    };
    while (sSeen.find("Do you really continue ?") == std::string::npos && readSome()) {
    }
    ASSERT_NE(sSeen.find("Do you really continue ?"), std::string::npos) << sSeen;
    std::ofstream(file, std::ios::trunc) << "bootloader=3\nnot a firmware file\n";
    ASSERT_EQ(::write(fdMaster, "yes\n", 4), 4);
    while (readSome()) {
    }
    ::close(fdMaster);
    int iStatus = -1;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << iStatus << "\n" << sSeen;
    for (const auto& p : aSims)
        EXPECT_EQ(p->Record().size(), WholeImage) << p->sPort << "\n" << sSeen;

    // A child checks the bytes handed on its standard input against the digest it was given: a
    // good image with another digest is refused, and nothing is sent.
    const fs::path image = fs::path(KELVO_IMAGES_DIR) / "entry9.kfw";
    for (const bool bChanged : {false, true}) {
        SCOPED_TRACE(bChanged ? "another digest" : "its digest");
        const fs::path childDir = dir / (bChanged ? "child-changed" : "child");
        const auto aChildSims = Sims(childDir, {{"--preset", "entry9"}});
        TProcess child({"/bin/sh", "-c",
                        "d=${3:-$(sha256sum < \"$2\" | cut -c1-64)}; exec \"$0\" --child --json -y "
                        "-p \"$1\" --file \"$2\" --file-sha256 \"$d\" f:+ < \"$2\"",
                        KELVO_UPDATE_EXE, aChildSims[0]->sPort, image.string(),
                        bChanged ? std::string(64, '0') : std::string()},
                       {"XDG_CONFIG_HOME=" + configHome.string()}, childDir / "child.out");
        const std::string sErr = [&] {
            const int iExit = child.Wait();
            EXPECT_EQ(iExit, bChanged ? 2 : 0);
            return ReadFile(childDir / "child.out.err");
        }();
        EXPECT_EQ(sErr.find("arrived changed") != std::string::npos, bChanged) << sErr;
        EXPECT_EQ(aChildSims[0]->Record().size(), bChanged ? 0u : WholeImage) << sErr;
    }
}

TEST_F(EndToEnd, AllPortsTakeEachDeviceOnce) {
    // A second name for the device: a symbolic link, which a canonical path also resolves, and a
    // device node of its own with the same device number, which only the device number tells.
    for (const bool bNode : {false, true}) {
        SCOPED_TRACE(bNode ? "device node" : "symbolic link");
        if (bNode && ::geteuid() != 0) {
            GTEST_SKIP() << "a device node needs root";
        }
        const fs::path caseDir = dir / (bNode ? "node" : "link");
        fs::create_directories(caseDir);
        TSim sim(caseDir, {"--preset", "entry9"});
        const fs::path devDir = caseDir / "dev";
        fs::create_directories(devDir);
        fs::create_symlink(sim.sPort, devDir / "ttyUSB0");
        if (bNode) {
            struct stat st {};
            ASSERT_EQ(::stat(sim.sPort.c_str(), &st), 0);
            // Named after the link: a pseudo-terminal opens only through its own file system.
            ASSERT_EQ(::mknod((devDir / "ttyUSB9").c_str(), S_IFCHR | 0600, st.st_rdev), 0)
                << std::strerror(errno);
        } else {
            fs::create_symlink(sim.sPort, devDir / "ttyACM3");
        }
        TProcess run({KELVO_UPDATE_EXE, "--all-ports", "--yes"},
                     {"KELVO_DEV_DIR=" + devDir.string(), "XDG_CONFIG_HOME=" + configHome.string()},
                     caseDir / "cli.out");
        EXPECT_EQ(run.Wait(), 0) << ReadFile(caseDir / "cli.out.err");
        EXPECT_EQ(Count(ReadFile(caseDir / "cli.out"), "Start at serial port"), 1)
            << ReadFile(caseDir / "cli.out");
        EXPECT_EQ(sim.Record().size(), WholeImage);
    }
}

TEST_F(EndToEnd, SeveralPortsPipedShowTheSerialAndEscapeWhatTheChildrenTell) {
    TSim sim(dir, {"--preset", "entry9"});
    const std::string sHostile = "/dev/kelvo-\x1b[2J-\r-none";
    const auto r = Cli({"-p", sim.sPort, "-p", sHostile, "-y"});
    EXPECT_EQ(r.iExit, 10) << r.sOut;
    EXPECT_EQ(r.sOut.find('\x1b'), std::string::npos) << r.sOut;
    EXPECT_EQ(r.sOut.find('\r'), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("Start at serial port \"/dev/kelvo-\\x1b[2J-\\x0d-none\""),
              std::string::npos)
        << r.sOut;
    EXPECT_NE(PortLines(r.sOut, sim.sPort).find("Serial number 320000"), std::string::npos)
        << r.sOut;
}
