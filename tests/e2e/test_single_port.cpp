// kelvo-update updating one logger, the simulator, on a pseudo-terminal: the outcomes, the
// repeats, a cancel, a fatal run, the note at the end, the trace, the progress bar and JSON Lines
// of the run, and what the run does with its terminal and its output.
#include "link/uRS232.h"
#include "tests/e2e/EndToEnd.h"
#include "tests/support/CliOutput.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST_F(EndToEnd, LoggerInItsApplicationIsUpdated) {
    TSim sim(dir, {"--preset", "entry9"});
    const auto r = Cli({"--port", sim.sPort, "--yes"});
    EXPECT_EQ(r.iExit, 0) << r.sOut;
    EXPECT_EQ(Count(r.sOut, "Class 26113 [Kelvo model 26113]"), 2) << "before and after";
    EXPECT_EQ(Count(r.sOut, "Class 51202 [BL3]"), 1);
    EXPECT_EQ(Count(r.sOut, " -> Version "), 2);
    // As soon as the application tells it, before the bootloader answers.
    const std::size_t iSerial = r.sOut.find(" -> Serial number 320000\n");
    EXPECT_NE(iSerial, std::string::npos) << r.sOut;
    EXPECT_LT(iSerial, r.sOut.find("Class 51202 [BL3]")) << r.sOut;
    EXPECT_NE(r.sOut.find("Update Kelvo model 26113 V5.138, A9e, BL3.0"), std::string::npos);
    EXPECT_NE(r.sOut.find("Vector table is saved."), std::string::npos);
    EXPECT_NE(r.sOut.find("Vector table is programmed."), std::string::npos);
    EXPECT_NE(r.sOut.find("Update Kelvo model 26113 V5.138 succesfully completed."),
              std::string::npos);
    const auto aRecord = sim.Record();
    ASSERT_EQ(aRecord.size(), WholeImage);
    EXPECT_EQ(aRecord[0], ":0100000520DA");
    EXPECT_EQ(aRecord[1], ":01006005306A") << "block 0x0060 of platform 12";
    EXPECT_EQ(aRecord[2], ":0100000531C9");
    EXPECT_EQ(aRecord[3].substr(0, 9), ":40012800") << "block 0x0128 first";
    EXPECT_EQ(aRecord[aRecord.size() - 2].substr(0, 9), ":4003DF00") << "vector table last";
    EXPECT_EQ(aRecord.back(), ":0100000533C7");
}

TEST_F(EndToEnd, EveryBuiltInImageGoesToItsHardware) {
    // Nine loggers at once, each with the hardware of one built-in image.
    std::vector<std::unique_ptr<TSim>> aSims;
    std::vector<std::unique_ptr<TProcess>> aClis;
    for (int i = 1; i <= 9; ++i) {
        const fs::path sub = dir / ("entry" + std::to_string(i));
        fs::create_directories(sub);
        aSims.push_back(std::make_unique<TSim>(
            sub, std::vector<std::string>{"--preset", "entry" + std::to_string(i)}));
        aClis.push_back(std::make_unique<TProcess>(
            std::vector<std::string>{KELVO_UPDATE_EXE, "--port", aSims.back()->sPort, "--yes"},
            std::vector<std::string>{"XDG_CONFIG_HOME=" + configHome.string()}, sub / "cli.out"));
    }
    const char* aVersions[] = {"V3.20",  "V4.08",  "V5.08",  "V5.18", "V5.42",
                               "V5.126", "V5.134", "V5.136", "V5.138"};
    for (int i = 1; i <= 9; ++i) {
        const fs::path sub = dir / ("entry" + std::to_string(i));
        EXPECT_EQ(aClis[i - 1]->Wait(), 0) << "entry" << i << "\n" << ReadFile(sub / "cli.out");
        const std::string sDone =
            "Update Kelvo model 26113 " + std::string(aVersions[i - 1]) + " succesfully completed.";
        EXPECT_NE(ReadFile(sub / "cli.out").find(sDone), std::string::npos) << "entry" << i;
    }
}

TEST_F(EndToEnd, BootloaderGenerations) {
    {
        TSim sim(dir, {"--preset", "entry2", "--start", "bootloader"});
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 0) << r.sOut;
        EXPECT_EQ(Count(r.sOut, " -> Version "), 1);
        EXPECT_NE(r.sOut.find("Update Kelvo model 26113 V4.08 succesfully"), std::string::npos);
        EXPECT_EQ(sim.Record().at(1), ":0110000530BA");
    }
    {
        TSim sim(dir, {"--preset", "entry1", "--bl-class", "51200"});
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 0) << r.sOut;
        const auto aRecord = sim.Record();
        ASSERT_GE(aRecord.size(), 2u) << "the update sent nothing";
        EXPECT_EQ(aRecord.front(), ":0100000511E9");
        EXPECT_EQ(aRecord.back(), ":0100000513E7");
    }
}

TEST_F(EndToEnd, OutcomesWithoutProgramming) {
    const struct {
        const char* sWhy;
        std::vector<std::string> aSim;
        int iExit;
        const char* sText;
    } aCases[] = {
        {"platform missing from the table",
         {"--preset", "entry9", "--platform", "22"},
         47,
         "There is no update available or the logger has another update ID!"},
        {"wrong CRC keeps the print of the reply",
         {"--preset", "entry9", "--print", "0", "--upid-print", "44", "--upid-crc", "wrong"},
         47,
         "Print 0 [A0]"},
        {"erased block keeps the print of the reply",
         {"--preset", "entry9", "--print", "0", "--upid-print", "44", "--upid-crc", "erased"},
         47,
         "Update class 65535 [?]"},
        {"exception bit",
         {"--preset", "entry9", "--fault", "ident:exception"},
         41,
         "Aborted because the logger is not ready!"},
        {"stays in the application",
         {"--preset", "entry9", "--fault", "bootentry:stayapp"},
         40,
         "Aborted because no update is available for this logger!"},
    };
    for (const auto& c : aCases) {
        TSim sim(dir, c.aSim);
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, c.iExit) << c.sWhy << "\n" << r.sOut;
        EXPECT_NE(r.sOut.find(c.sText), std::string::npos) << c.sWhy << "\n" << r.sOut;
        for (const auto& s : sim.Record())
            EXPECT_NE(s, ":0100000531C9") << c.sWhy << ": nothing programmed";
    }
}

TEST_F(EndToEnd, UpdateIdBlockOverridesAndPinnedSerial) {
    {
        TSim sim(dir, {"--preset", "entry9", "--print", "0", "--upid-print", "44"});
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 0) << r.sOut;
        EXPECT_LT(r.sOut.find("Print 0 [A0]"), r.sOut.find("Print 44 [A9e]"));
    }
    {
        TSim sim(dir, {"--preset", "entry8"}); // application 5.136, serial 328297
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 0) << r.sOut;
        EXPECT_NE(r.sOut.find("Update Kelvo model 26113 V5.136 succesfully completed."),
                  std::string::npos)
            << r.sOut;
    }
}

// ---------------------------------------------------------------------------------------------
// Repeats, cancels and runs that end badly.

TEST_F(EndToEnd, EchoMismatchIsRepeated) {
    TSim sim(dir, {"--preset", "entry9", "--fault", "line:echo:5"});
    const auto r = Cli({"--port", sim.sPort, "--yes"});
    EXPECT_EQ(r.iExit, 0) << r.sOut;
    EXPECT_NE(r.sOut.find("Aborted because programming error at line 4 !"), std::string::npos);
    EXPECT_NE(r.sOut.find("Repeat because programming error!"), std::string::npos);
    EXPECT_EQ(Count(r.sOut, "Start at serial port"), 2);
    EXPECT_NE(r.sOut.find("succesfully completed."), std::string::npos);
}

TEST_F(EndToEnd, PinnedLoggerKeepsItsImageThroughARepeat) {
    // The repeat finds the logger in its bootloader, where it tells neither its serial number nor
    // its application version: the run remembers them from its first attempt.
    for (const char* sFault : {"line:echo:100", "line:noanswer:100:5"}) {
        TSim sim(dir, {"--preset", "entry8", "--fault", sFault});
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 0) << sFault << "\n" << r.sOut;
        EXPECT_EQ(Count(r.sOut, "Start at serial port"), 2) << sFault;
        EXPECT_NE(r.sOut.find("Update Kelvo model 26113 V5.136 succesfully completed."),
                  std::string::npos)
            << sFault << "\n"
            << r.sOut;
    }
}

TEST_F(EndToEnd, SilentLoggerIsRepeatedThenGivenUp) {
    TSim sim(dir, {"--preset", "entry9", "--fault", "ident:noanswer:1:100"});
    // The last failure announces no repeat: the run gives up at once.
    for (const int iRepeats : {0, 1}) {
        const auto r =
            Cli({"--port", sim.sPort, "--yes", "--max-repeats", std::to_string(iRepeats)});
        EXPECT_EQ(r.iExit, 30) << r.sOut;
        EXPECT_EQ(Count(r.sOut, "Repeat update because communication error!"), iRepeats) << r.sOut;
        EXPECT_EQ(Count(r.sOut, "Start at serial port"), iRepeats + 1);
        EXPECT_NE(r.sOut.find("Gave up after " + std::to_string(iRepeats) +
                              " repeats: communication error!"),
                  std::string::npos)
            << r.sOut;
        EXPECT_EQ(Count(r.sErr, "kelvo-update: The logger did not answer: check the cable, that "
                                "the logger is switched on and its battery is not empty, that "
                                "this is the logger's port, and that no other program uses the "
                                "port.\n"),
                  1)
            << r.sErr;
    }
}

TEST_F(EndToEnd, WrongClassAfterRestart) {
    TSim sim(dir, {"--preset", "entry9", "--fault", "restart-ident:wrongclass"});
    const auto r = Cli({"--port", sim.sPort, "--yes"});
    EXPECT_EQ(r.iExit, 45) << r.sOut;
    EXPECT_NE(r.sOut.find("Class 26114"), std::string::npos);
    EXPECT_NE(r.sOut.find("Update was not successfull!"), std::string::npos);
}

TEST_F(EndToEnd, CtrlCAndSigtermCancel) {
    for (const int iSignal : {SIGINT, SIGTERM}) {
        TSim sim(dir, {"--preset", "entry9", "--baud", "9600"});
        auto cli = StartCli({"--port", sim.sPort, "--yes"});
        // Wait until the transfer runs, then interrupt.
        const auto tEnd = std::chrono::steady_clock::now() + 20s;
        while (ReadFile(dir / "cli.out").find("Progress 1%") == std::string::npos &&
               std::chrono::steady_clock::now() < tEnd)
            std::this_thread::sleep_for(20ms);
        cli->Signal(iSignal);
        EXPECT_EQ(cli->Wait(), 20) << iSignal;
        const std::string sOut = ReadFile(dir / "cli.out");
        EXPECT_NE(sOut.find("Process cancelled!"), std::string::npos) << iSignal;
        EXPECT_NE(sOut.find(LoggerWaits), std::string::npos) << iSignal << "\n" << sOut;
        // The journal records the run as cancelled, in the bootloader.
        const auto h = Cli({"--history", "--json", "--limit", "1"});
        const auto aRows = JsonLines(h.sOut);
        ASSERT_EQ(aRows.size(), 1u) << h.sOut;
        EXPECT_EQ(aRows[0]["status"], 20) << aRows[0];
        EXPECT_EQ(aRows[0]["left_in_bootloader"], true) << aRows[0];
    }
}

TEST_F(EndToEnd, AFatalRunIsRecordedAsAFailure) {
    if (std::string(KELVO_FAIL_ALLOCATION_LIB).empty())
        GTEST_SKIP() << "a sanitized program has an allocator of its own";
    // The worker runs out of memory in the middle of its transfer.
    TSim sim(dir, {"--preset", "entry9"});
    const int iExit =
        StartCli({"--port", sim.sPort, "--yes", "--json"},
                 {"LD_PRELOAD=" KELVO_FAIL_ALLOCATION_LIB, "KELVO_FAIL_ALLOCATION_AFTER=2000"})
            ->Wait();
    const std::string sOut = ReadFile(dir / "cli.out");
    EXPECT_EQ(iExit, 1) << sOut;
    const auto aLines = JsonLines(sOut);
    ASSERT_FALSE(aLines.empty()) << sOut;
    const auto& result = aLines.back();
    EXPECT_EQ(result["event"], "result") << result;
    EXPECT_EQ(result["exit"], 1) << result;
    EXPECT_EQ(result["text"], "Fatal Exception has occurred!") << result;
    EXPECT_EQ(result["note"], LoggerWaits) << result;

    const auto h = Cli({"--history", "--json", "--limit", "1"});
    const auto aRows = JsonLines(h.sOut);
    ASSERT_EQ(aRows.size(), 1u) << h.sOut;
    EXPECT_EQ(aRows[0]["status"], 1) << aRows[0];
    EXPECT_EQ(aRows[0]["text"], "Fatal Exception has occurred!") << aRows[0];
    EXPECT_GT(aRows[0]["lines_sent"], 0) << aRows[0];
}

TEST_F(EndToEnd, AWorkerThatCannotStartEndsTheProgramWithStatusOne) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime lays out the stacks itself";
#endif
    // A stack limit larger than the address space: the worker's thread cannot start. The program
    // says so as it says its other errors, instead of aborting.
    TProcess p({"/bin/sh", "-c", "ulimit -s 1099511627776 && exec \"$0\" \"$@\"", KELVO_UPDATE_EXE,
                "--port", "/dev/kelvo-no-such-port", "--yes"},
               {"XDG_CONFIG_HOME=" + configHome.string()}, dir / "cli.out");
    EXPECT_EQ(p.Wait(), 1);
    const std::string sErr = ReadFile(dir / "cli.out.err");
    EXPECT_NE(sErr.find("kelvo-update: Resource temporarily unavailable\n"), std::string::npos)
        << sErr;
}

TEST_F(EndToEnd, TheNoteOfALoggerLeftInItsBootloader) {
    InternalMode();
    const struct {
        const char* sWhy;
        std::vector<std::string> aSim;
        std::vector<std::string> aCli;
        int iExit;
        bool bNote;
    } aCases[] = {
        {"read info only", {}, {"--read-info-only"}, 70, true},
        {"echo mismatch, no repeat left",
         {"--fault", "line:echo:5"},
         {"--max-repeats", "0"},
         44,
         true},
        {"silent in the transfer",
         {"--fault", "line:noanswer:5:5"},
         {"--max-repeats", "0"},
         30,
         true},
        {"success", {}, {}, 0, false},
        {"stays in its application", {"--fault", "bootentry:stayapp"}, {}, 40, false},
        {"no fitting image", {"--platform", "13", "--upid-crc", "wrong"}, {}, 47, true},
        {"finish request not taken", {"--fault", "finish:noanswer"}, {}, 45, true},
        {"restart not answered",
         {"--fault", "restart-ident:noanswer:1:5"},
         {"--max-repeats", "0"},
         30,
         true},
        {"restarted as another logger", {"--fault", "restart-ident:wrongclass"}, {}, 45, false},
    };
    for (const auto& c : aCases) {
        std::vector<std::string> aSim{"--preset", "entry9"};
        aSim.insert(aSim.end(), c.aSim.begin(), c.aSim.end());
        TSim sim(dir, aSim);
        std::vector<std::string> aCli{"--port", sim.sPort};
        aCli.insert(aCli.end(), c.aCli.begin(), c.aCli.end());
        const auto r = Cli(aCli);
        EXPECT_EQ(r.iExit, c.iExit) << c.sWhy << "\n" << r.sOut;
        EXPECT_EQ(Count(r.sOut, LoggerWaits), c.bNote ? 1 : 0) << c.sWhy << "\n" << r.sOut;
    }
}

TEST_F(EndToEnd, ALineThatGoesAwayIsReportedWithItsReason) {
    // The simulator hangs up in the transfer, as an unplugged converter does: the reason follows
    // the status text, in the trace too.
    TSim sim(dir, {"--preset", "entry9", "--fault", "line:hangup:100"});
    const fs::path trace = dir / "trace.txt";
    const auto r = Cli({"-p", sim.sPort, "-y", "--trace", trace.string()});
    EXPECT_EQ(r.iExit, 11) << r.sOut;
    EXPECT_NE(r.sOut.find(Hangup), std::string::npos) << r.sOut;
    EXPECT_NE(r.sErr.find("kelvo-update: Reason: the device was disconnected"), std::string::npos)
        << r.sErr;
    EXPECT_NE(r.sOut.find(LoggerWaits), std::string::npos) << r.sOut;
    EXPECT_NE(ReadFile(trace).find("(failed: the device was disconnected"), std::string::npos)
        << ReadFile(trace);

    fs::create_directories(dir / "json");
    TSim again(dir / "json", {"--preset", "entry9", "--fault", "line:hangup:100"});
    const auto j = Cli({"-p", again.sPort, "-y", "--json"});
    EXPECT_EQ(j.iExit, 11);
    EXPECT_NE(j.sOut.find("\"event\":\"result\""), std::string::npos) << j.sOut;
    EXPECT_NE(j.sOut.find("\"reason\":\"the device was disconnected"), std::string::npos) << j.sOut;
}

// ---------------------------------------------------------------------------------------------
// Ports that are not a logger's line, and port names that a terminal would obey.

TEST_F(EndToEnd, PortsThatAreNotALoggersLine) {
    TSim sim(dir, {"--preset", "entry9"});
    {
        // Held by another updater: refused at once, naming it.
        TPortHandle hHeld = OpenComPort(sim.sPort, 9600);
        ASSERT_TRUE(hHeld);
        const auto t0 = std::chrono::steady_clock::now();
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 10);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        EXPECT_NE(r.sErr.find("Reason: in use by another program: e2e_update (pid " +
                              std::to_string(getpid()) + ")"),
                  std::string::npos)
            << r.sErr;
    }
    {
        // A program that opened the port before (a modem manager, a terminal program) would take
        // the logger's answers: refused before a byte is sent.
        TProcess holder({"/bin/sh", "-c", "exec sleep 30 < '" + sim.sPort + "'"}, {},
                        dir / "holder.out");
        const auto tEnd = std::chrono::steady_clock::now() + 5s;
        for (std::string sReason; sReason.find("sleep (pid") == std::string::npos &&
                                  std::chrono::steady_clock::now() < tEnd;) {
            std::this_thread::sleep_for(10ms);
            OpenComPort(sim.sPort, 9600, &sReason);
        }
        const auto r = Cli({"--port", sim.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 10) << r.sOut;
        EXPECT_NE(r.sErr.find("Reason: in use by another program: sleep (pid "), std::string::npos)
            << r.sErr;
    }
    const fs::path file = dir / "not a port.txt";
    std::ofstream(file) << "keep me";
    const struct {
        std::string sPort;
        const char* sReason;
    } aPorts[] = {{std::string(10000, 'x'), "no such device"},
                  {"/dev/kelvo no such port", "no such device"},
                  {dir.string(), "not a serial device"},
                  {file.string(), "not a serial device"},
                  {"/dev/null", "not a serial device"}};
    for (const auto& c : aPorts) {
        const auto r = Cli({"--port", c.sPort, "--yes"});
        EXPECT_EQ(r.iExit, 10) << c.sPort.substr(0, 60) << "\n" << r.sOut.substr(0, 300);
        EXPECT_NE(r.sErr.find(std::string("Reason: ") + c.sReason), std::string::npos)
            << c.sPort.substr(0, 60) << "\n"
            << r.sErr.substr(0, 300);
        EXPECT_EQ(r.sOut.find("Reason: "), std::string::npos) << "reasons go to standard error";
        if (std::string(c.sReason) == "no such device") {
            EXPECT_NE(r.sErr.find("'kelvo-update --list-ports' lists the serial ports"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(ReadFile(file), "keep me") << "nothing written to a file named as the port";
    EXPECT_TRUE(sim.Record().empty());
}

TEST_F(EndToEnd, TheOperatorsOwnTerminalIsNoPort) {
    // In a terminal (script gives the program one), its own terminal is refused and left as it
    // was: no frames on the screen, not raw afterwards.
    const std::string sCommand =
        std::string(KELVO_UPDATE_EXE) + " --port /dev/tty --yes; echo \"exit $?\"; stty -a";
    TProcess run({"/usr/bin/script", "-qec", sCommand, "/dev/null"}, {}, dir / "script.out");
    EXPECT_EQ(run.Wait(), 0);
    const std::string sOut = ReadFile(dir / "script.out");
    EXPECT_NE(sOut.find("exit 10"), std::string::npos) << sOut;
    EXPECT_NE(sOut.find("Reason: it is the terminal this program runs in, not a serial port"),
              std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find(" icanon "), std::string::npos) << "still cooked\n" << sOut;
    EXPECT_NE(sOut.find(" echo "), std::string::npos) << "still echoing\n" << sOut;
}

TEST_F(EndToEnd, OutsideTextReachesTheTerminalEscaped) {
    InternalMode();
    // A byte that a terminal would obey rather than show: a C0 control but the line end, DEL, or
    // the 8-bit CSI.
    const auto firstControl = [](const std::string& s) {
        const auto it = std::find_if(s.begin(), s.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return (b < 0x20 && b != '\n') || b == 0x7F || b == 0x9B;
        });
        return it == s.end() ? std::string() : s.substr(it - s.begin(), 20);
    };
    const struct {
        std::string sPort;
        const char* sShown;
    } aPorts[] = {
        {"/dev/kelvo-x\x1b[2Jy", "/dev/kelvo-x\\x1b[2Jy"},
        {"\x1b]0;pwn\a", "\\x1b]0;pwn\\x07"},
        {"/dev/kelvo-ok\rhidden", "/dev/kelvo-ok\\x0dhidden"},
        {"/dev/kelvo-\xC2\x9B"
         "2J",
         "/dev/kelvo-\\xc2\\x9b2J"},
    };
    for (const auto& c : aPorts) {
        // The port from the command line and from the environment; a trace on standard error.
        TProcess fromEnv({KELVO_UPDATE_EXE, "-y", "--trace", "-"},
                         {"KELVO_PORT=" + c.sPort, "XDG_CONFIG_HOME=" + configHome.string()},
                         dir / "env.out");
        const TCliRun aRuns[] = {
            Cli({"--port", c.sPort, "--yes"}),
            {fromEnv.Wait(), ReadFile(dir / "env.out"), ReadFile(dir / "env.out.err")}};
        for (const TCliRun& r : aRuns) {
            EXPECT_EQ(r.iExit, 10) << c.sShown;
            EXPECT_EQ(firstControl(r.sOut), "") << c.sShown << "\n" << r.sOut;
            EXPECT_EQ(firstControl(r.sErr), "") << c.sShown << "\n" << r.sErr;
            EXPECT_NE(r.sOut.find(std::string(" -> Start at serial port \"") + c.sShown + "\"\n"),
                      std::string::npos)
                << r.sOut;
            const std::string sOutcome =
                std::string("Aborted because serial port \"") + c.sShown + "\" is not ready!\n";
            EXPECT_TRUE(r.sOut.ends_with("\n" + sOutcome)) << "the whole outcome\n" << r.sOut;
        }
        EXPECT_NE(aRuns[1].sErr.find(std::string(" ") + c.sShown + " ! open failed"),
                  std::string::npos)
            << aRuns[1].sErr;
    }
    // Usage errors and refusals that quote what was given.
    const struct {
        std::vector<std::string> aArgs;
        const char* sShown;
    } aRefusals[] = {
        {{"--port", "x\x1b[2J", "--port", "x\x1b[2J", "-y"}, "'x\\x1b[2J' is given twice"},
        {{"-y", "odd\x1b[2J"}, "unexpected argument 'odd\\x1b[2J'"},
        {{"--bogus\x1b[2J"}, "unknown option --bogus\\x1b[2J"},
        {{"-y", "--port", "/dev/kelvo-none", "x\a:1"}, "'x\\x07:1'"},
        {{"-y", "--port", "/dev/kelvo-none", "f:+", "--file", "/none\x1b]0;t\a"},
         "'/none\\x1b]0;t\\x07'"},
    };
    for (const auto& c : aRefusals) {
        const auto r = Cli(c.aArgs);
        EXPECT_EQ(firstControl(r.sErr), "") << c.sShown << "\n" << r.sErr;
        EXPECT_NE(r.sErr.find(c.sShown), std::string::npos) << r.sErr;
    }
}

// ---------------------------------------------------------------------------------------------
// In the field: output that goes away, closed standard streams, the trace.

TEST_F(EndToEnd, OutputThatGoesAwayDoesNotStopTheUpdate) {
    const auto expectWholeUpdate = [](TSim& sim, const std::string& sWhy) {
        const auto aRecord = sim.Record();
        ASSERT_EQ(aRecord.size(), WholeImage) << sWhy << ": the whole image";
        EXPECT_EQ(aRecord.back(), ":0100000533C7") << sWhy;
        EXPECT_NE(ReadFile(sim.Log()).find("restart-ident #1"), std::string::npos)
            << sWhy << ": the final identification";
    };
    {
        // A reader that stops after three lines: the program's writes fail from then on.
        TSim sim(dir, {"--preset", "entry9", "--verbose"});
        const std::string sCommand = "'" + std::string(KELVO_UPDATE_EXE) + "' --port '" +
                                     sim.sPort + "' --yes | head -3; exit ${PIPESTATUS[0]}";
        TProcess run({"/bin/bash", "-c", sCommand}, {}, dir / "pipe.out");
        EXPECT_EQ(run.Wait(), 0) << ReadFile(dir / "pipe.out.err");
        expectWholeUpdate(sim, "closed pipe");
    }
    {
        // The terminal goes away during the transfer: the update goes on to its end.
        TSim sim(dir, {"--preset", "entry9", "--verbose"});
        int fdMaster = -1;
        const pid_t pid = forkpty(&fdMaster, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(KELVO_UPDATE_EXE, KELVO_UPDATE_EXE, "--port", sim.sPort.c_str(), "--yes",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string sSeen;
        const auto tEnd = std::chrono::steady_clock::now() + 20s;
        while (sSeen.find("Vector table is saved.") == std::string::npos &&
               std::chrono::steady_clock::now() < tEnd) {
            char b[256];
            const ssize_t n = ::read(fdMaster, b, sizeof b);
            if (n <= 0)
                break;
            sSeen.append(b, static_cast<std::size_t>(n));
        }
        ::close(fdMaster); // hangs up the program's terminal
        int iStatus = -1;
        ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << iStatus << "\n" << sSeen;
        expectWholeUpdate(sim, "hung-up terminal");
    }
}

TEST_F(EndToEnd, ClosedStandardStreamsNeverBecomeThePort) {
    // A program started with a standard stream closed would open the port on that number and
    // then write its report, trace or log into the logger's line.
    const auto wrapper = [&](const char* sName, const std::string& sExe, const char* sClose) {
        const fs::path p = dir / sName;
        std::ofstream(p) << "#!/bin/sh\nexec '" << sExe << "' \"$@\" " << sClose << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p.string();
    };
    const struct {
        const char* sWhy;
        const char* sCliClose;
        const char* sSimClose;
        std::vector<std::string> aCli;
    } aCases[] = {
        {"updater without standard error", "2>&-", "", {"-q", "--trace", "-"}},
        {"updater without standard output", ">&-", "", {}},
        {"updater without any", "<&- >&- 2>&-", "", {"--trace", "-"}},
        {"simulator without standard input and error", "", "<&- 2>&-", {"--trace", "-"}},
    };
    for (const auto& c : aCases) {
        const std::string sSimExe = wrapper("sim.sh", KELVO_SIM_EXE, c.sSimClose);
        TSimProcess sim(sSimExe, dir, {"--preset", "entry9", "--verbose"});
        std::vector<std::string> aArgs{wrapper("cli.sh", KELVO_UPDATE_EXE, c.sCliClose), "--port",
                                       sim.sPort, "--yes"};
        aArgs.insert(aArgs.end(), c.aCli.begin(), c.aCli.end());
        TProcess cli(aArgs, {"XDG_CONFIG_HOME=" + configHome.string()}, dir / "cli.out");
        EXPECT_EQ(cli.Wait(), 0) << c.sWhy << "\n" << ReadFile(dir / "cli.out");
        EXPECT_EQ(sim.Record().size(), WholeImage) << c.sWhy << ": only the update's lines";
    }
}

TEST_F(EndToEnd, TraceShowsEveryTransferBothWays) {
    TSim sim(dir, {"--preset", "entry9"});
    const fs::path trace = dir / "trace.txt";
    const auto r = Cli({"--port", sim.sPort, "--yes", "--quiet", "--trace", trace.string()});
    ASSERT_EQ(r.iExit, 0) << r.sErr;
    const std::string sTrace = ReadFile(trace);
    const std::string sPort = " " + sim.sPort + " ";
    for (const std::string& s :
         {sPort + "! open at 9600 baud", sPort + "> 81 00 00 00 00 00 00 AA",
          sPort + "> :0100000520DA", sPort + "< :06000005", sPort + "> :0100000533C7"})
        EXPECT_NE(sTrace.find(s), std::string::npos) << s;
    // One line per transfer: the 783 data lines and their echoes, with times in milliseconds.
    EXPECT_GE(Count(sTrace, sPort + "> :40"), 783);
    EXPECT_GE(Count(sTrace, sPort + "< :40"), 783);
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(sTrace.at(sTrace.find('.') + 3))));
    // To standard error with "-".
    const auto r2 = Cli({"--port", "/dev/kelvo-no-such-port", "--yes", "--trace", "-"});
    EXPECT_NE(r2.sErr.find("/dev/kelvo-no-such-port ! open failed: no such device"),
              std::string::npos)
        << r2.sErr;
}

TEST_F(EndToEnd, ATraceThatFailsLaterIsGivenUpWithOneWarning) {
    TSim sim(dir, {"--preset", "entry9"});
    const auto r = Cli({"--port", sim.sPort, "--yes", "--trace", "/dev/full"});
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("succesfully completed."), std::string::npos) << r.sOut;
    EXPECT_EQ(Count(r.sErr, "warning: cannot write the trace file"), 1) << r.sErr;
    EXPECT_NE(r.sErr.find("kelvo-update: warning: cannot write the trace file '/dev/full' any "
                          "more: No space left on device; the update goes on without it\n"),
              std::string::npos)
        << r.sErr;
}

// ---------------------------------------------------------------------------------------------
// What a run shows: the progress bar on a terminal, JSON Lines.

TEST_F(EndToEnd, ProgressBarOnATerminalInPlaceOfProgressLines) {
    TSim sim(dir, {"--preset", "entry9"});
    // script gives the program a terminal of 60 columns for both output streams.
    const std::string sCommand = "stty cols 60; '" + std::string(KELVO_UPDATE_EXE) + "' --port '" +
                                 sim.sPort + "' --yes; echo \"exit $?\"";
    TProcess run({"/usr/bin/script", "-qec", sCommand, "/dev/null"},
                 {"XDG_CONFIG_HOME=" + configHome.string()}, dir / "script.out");
    EXPECT_EQ(run.Wait(), 0);
    const std::string sTerminal = ReadFile(dir / "script.out");
    EXPECT_NE(sTerminal.find("exit 0"), std::string::npos) << sTerminal;
    EXPECT_NE(sTerminal.find("succesfully completed."), std::string::npos) << sTerminal;
    EXPECT_EQ(sTerminal.find("Progress "), std::string::npos) << "the bar shows the progress";
    // The bar at its end, as wide as the terminal less its last column.
    const std::size_t iEnd = sTerminal.find("] 100%  0:00 left");
    ASSERT_NE(iEnd, std::string::npos) << sTerminal;
    const std::size_t iStart = sTerminal.rfind('\r', iEnd) + 1;
    EXPECT_EQ(iEnd + std::string("] 100%  0:00 left").size() - iStart, 59u)
        << sTerminal.substr(iStart, 80);

    // Piped, the report keeps its progress lines.
    const auto r = Cli({"--port", sim.sPort, "--yes"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_GE(Count(r.sOut, " -> Progress "), 90) << r.sOut;
}

namespace {

// The "event" names in order, a run of one name as one.
std::vector<std::string> EventRuns(const std::vector<nlohmann::json>& a) {
    std::vector<std::string> aRuns;
    for (const auto& o : a) {
        const std::string s = o.value("event", "");
        if (aRuns.empty() || aRuns.back() != s)
            aRuns.push_back(s);
    }
    return aRuns;
}

bool IsIsoTime(const nlohmann::json& j) {
    static const std::regex re(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    return j.is_string() && std::regex_match(j.get<std::string>(), re);
}

} // namespace

TEST_F(EndToEnd, JsonLinesTellTheWholeRun) {
    // An echo fault makes the run repeat, and the repeat finds the logger in its bootloader,
    // where it tells no serial number: the result keeps the one of the first attempt.
    TSim sim(dir, {"--preset", "entry8", "--fault", "line:echo:100"});
    const auto r = Cli({"--port", sim.sPort, "--yes", "--json"});
    ASSERT_EQ(r.iExit, 0) << r.sOut;
    const auto a = JsonLines(r.sOut);
    ASSERT_FALSE(a.empty());
    const std::vector<std::string> aAttempt = {
        "platform", "print",     "info",     "update-class", "update-info",  "platform",
        "print",    "candidate", "selected", "progress",     "vector-table", "progress"};
    std::vector<std::string> aExpected = {"start",  "class", "version",
                                          "serial", "class", "version"};
    aExpected.insert(aExpected.end(), aAttempt.begin(), aAttempt.end());
    for (const char* s : {"echo-differs", "repeat", "start", "class", "version"})
        aExpected.push_back(s);
    aExpected.insert(aExpected.end(), aAttempt.begin(), aAttempt.end());
    for (const char* s : {"vector-table", "class", "done", "result"})
        aExpected.push_back(s);
    EXPECT_EQ(EventRuns(a), aExpected);

    int iProgress = -1;
    for (const auto& o : a) {
        EXPECT_TRUE(IsIsoTime(o["time"])) << o;
        for (const char* sKey : {"event", "code", "value", "text"})
            EXPECT_TRUE(o.contains(sKey)) << sKey << " missing: " << o;
        const bool bOwnLine = o["event"] == "start" || o["event"] == "result";
        EXPECT_EQ(o["code"].is_null(), bOwnLine) << o;
        if (o["event"] == "start")
            iProgress = -1;
        if (o["event"] == "progress") {
            // In steps within an attempt, each with its report text.
            EXPECT_GT(o["value"].get<int>(), iProgress) << o;
            iProgress = o["value"].get<int>();
            EXPECT_EQ(o["text"], "Progress " + std::to_string(iProgress) + "%");
        }
        if (o["event"] == "selected") {
            EXPECT_EQ(o["entry"], 8);
            EXPECT_EQ(o["description"], "Kelvo model 26113 V5.136, A9d, BL3.0");
        }
    }
    EXPECT_EQ(a[1]["text"], "Class 26113 [Kelvo model 26113]");
    EXPECT_EQ(a[2]["version"], "5.136");
    EXPECT_EQ(a[2]["version_major"], 5);
    EXPECT_EQ(a[2]["version_minor"], 136);
    const auto& result = a.back();
    EXPECT_EQ(result["exit"], 0);
    EXPECT_EQ(result["success"], true);
    EXPECT_EQ(result["text"], "Update Kelvo model 26113 V5.136 succesfully completed.");
    EXPECT_EQ(result["port"], sim.sPort);
    EXPECT_EQ(result["logger"],
              nlohmann::json::parse(R"({"class":26113,"version":"5.136","version_major":5,)"
                                    R"("version_minor":136,"serial":328297})"));
    EXPECT_EQ(result["image"]["entry"], 8);
}

TEST_F(EndToEnd, JsonStaysValidUtf8WithABrokenPortName) {
    const auto r = Cli({"--port", "/dev/kelvo-\xff-port", "--yes", "--json"});
    EXPECT_EQ(r.iExit, 10);
    EXPECT_EQ(r.sOut.find('\xff'), std::string::npos) << r.sOut;
    const auto a = JsonLines(r.sOut);
    EXPECT_EQ(EventRuns(a), (std::vector<std::string>{"start", "status", "reason", "result"}));
    ASSERT_EQ(a.size(), 4u);
    const std::string sShown = "/dev/kelvo-\xEF\xBF\xBD-port";
    EXPECT_EQ(a[0]["text"], "Start at serial port \"" + sShown + "\"");
    EXPECT_EQ(a[1]["value"], 10);
    EXPECT_EQ(a[1]["text"], "Aborted because serial port \"" + sShown + "\" is not ready!");
    EXPECT_EQ(a[3]["exit"], 10);
    EXPECT_EQ(a[3]["success"], false);
    EXPECT_EQ(a[3]["port"], sShown);
    EXPECT_TRUE(a[3]["logger"].is_null());
    EXPECT_TRUE(a[3]["image"].is_null());
}

TEST_F(EndToEnd, ALoggerThatReportsAnotherSerialNumberThanTheLabelsIsNotUpdated) {
    TSim sim(dir, {"--preset", "entry8"});
    const auto r = Cli({"-p", sim.sPort, "-y", "--serial", "328298"});
    EXPECT_EQ(r.iExit, 40) << r.sOut;
    EXPECT_TRUE(r.sOut.ends_with("Not updated: the logger reports serial number 328297, not 328298 "
                                 "as given from its label.\n"))
        << r.sOut;
    EXPECT_TRUE(sim.Record().empty()) << "left in its application, untouched";
}
