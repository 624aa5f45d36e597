// kelvo-update against kelvo-logger-sim: real processes over a pseudo-terminal.
#include "link/uRS232.h"
#include "tests/support/CliOutput.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The note at the end of a run that left the logger unfinished in its bootloader.
const std::string LoggerWaits =
    "The logger is waiting in its bootloader: run the update again to finish it.";

// The simulator of these tests: the preset or settings given, recording what it accepted.
class TSim : public TSimProcess {
public:
    TSim(const fs::path& dir, const std::vector<std::string>& aArgs)
        : TSimProcess(KELVO_SIM_EXE, dir, aArgs), FLog(dir / "sim.out.err") {}
    // The simulator's standard error: its log with --verbose.
    const fs::path& Log() const { return FLog; }

private:
    fs::path FLog;
};

struct TCliRun {
    int iExit;
    std::string sOut; // standard output: the report and the outcome
    std::string sErr; // standard error: diagnostics
};

} // namespace

struct EndToEnd : ::testing::Test {
    fs::path dir;
    fs::path configHome;
    fs::path journal;

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("kelvo-e2e-" + std::string(info->name()) + "-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "config" / "Orlenta");
        configHome = dir / "config";
        // Every program this test starts records its runs in a journal of the test's own.
        journal = dir / "journal.sqlite3";
        ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(dir);
    }
    void InternalMode() const {
        std::ofstream(configHome / "Orlenta" / "Quarn.conf") << "intern=7315\n";
    }

    std::unique_ptr<TProcess> StartCli(std::vector<std::string> aArgs,
                                       std::vector<std::string> aEnv = {}) const {
        aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
        aEnv.push_back("XDG_CONFIG_HOME=" + configHome.string());
        return std::make_unique<TProcess>(aArgs, aEnv, dir / "cli.out");
    }
    TCliRun Cli(const std::vector<std::string>& aArgs) const {
        const int iExit = StartCli(aArgs)->Wait();
        return {iExit, ReadFile(dir / "cli.out"), ReadFile(dir / "cli.out.err")};
    }
    // A file in the firmware file format with the header of entry 9's hardware.
    fs::path FirmwareFile(const std::string& sBootloader, const std::vector<std::string>& aLines) {
        const fs::path p = dir / "firmware.kfw";
        std::ofstream f(p);
        f << "bootloader=" << sBootloader
          << "\nbootloader version=0\nclass=26113\nversionH=5\nversionL=200\nplatform=12\n"
             "print=44\ndate=01.01.2026 00:00:00\n";
        for (const auto& s : aLines)
            f << s << "\n";
        return p;
    }
};

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
    ASSERT_EQ(aRecord.size(), 3u + 783u + 1u);
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

TEST_F(EndToEnd, InternalModeFileAndReadInfoOnly) {
    TSim sim(dir, {"--preset", "entry9"});
    {
        const auto r = Cli({"--port", sim.sPort, "--yes", "--file", "x.kfw"});
        EXPECT_EQ(r.iExit, 2) << "--file outside the internal mode";
        const auto r2 = Cli({"--port", sim.sPort, "--read-info-only"});
        EXPECT_EQ(r2.iExit, 2) << "--read-info-only outside the internal mode";
    }
    InternalMode();
    // Files that the update could not use are refused before the port is opened.
    const std::string sData = ":40012800" + std::string(128, '0') + "97";
    const struct {
        const char* sWhy;
        std::string sBootloader;
        std::vector<std::string> aLines;
        const char* sReason;
    } aCases[] = {
        {"broken line",
         "3",
         {sData, sData.substr(0, 30), ":00000001FF"},
         "line 10: record of 64 data bytes has 30 characters instead of 139"},
        {"header only", "3", {}, "line 9: the image lines are missing"},
        {"bootloader 4",
         "4",
         {sData, ":00000001FF"},
         "line 1: bootloader '4' is not supported: the update needs 2 or 3"},
        {"block outside the flash",
         "3",
         {":40000000" + std::string(128, '0') + "C0", ":00000001FF"},
         "line 9: block 0x0000 (flash 0x0000-0x003F) lies outside the flash of platform 12"},
    };
    for (const auto& c : aCases) {
        const auto p = FirmwareFile(c.sBootloader, c.aLines);
        const auto r = Cli({"--port", sim.sPort, "f:+", "--file", p.string()});
        EXPECT_EQ(r.iExit, 2) << c.sWhy << "\n" << r.sOut;
        const std::string sErr = ReadFile(dir / "cli.out.err");
        EXPECT_NE(sErr.find(c.sReason), std::string::npos) << c.sWhy << "\n" << sErr;
        EXPECT_TRUE(sim.Record().empty()) << c.sWhy << ": the port was never used";
    }
    {
        const auto r = Cli({"--port", sim.sPort, "--read-info-only"});
        EXPECT_EQ(r.iExit, 70) << r.sOut;
        EXPECT_NE(r.sOut.find("Only read update info!"), std::string::npos);
    }
}

TEST_F(EndToEnd, RelaxationsOnlyInTheInternalMode) {
    TSim sim(dir, {"--preset", "entry9", "--platform", "13", "--upid-crc", "wrong"});
    EXPECT_EQ(Cli({"--port", sim.sPort, "--yes", "cp:-"}).iExit, 47);
    InternalMode();
    const auto r = Cli({"--port", sim.sPort, "cp:-", "--read-info-only"});
    EXPECT_EQ(r.iExit, 70) << r.sOut;
}

TEST_F(EndToEnd, RefusalsBeforeThePortIsOpened) {
    EXPECT_EQ(Cli({"--port", "/dev/kelvo-no-such-port", "--yes"}).iExit, 10);
    const auto r = Cli({"--port", "/dev/kelvo-no-such-port", "--yes"});
    EXPECT_NE(r.sOut.find("Aborted because serial port \"/dev/kelvo-no-such-port\" is not ready!"),
              std::string::npos);
    EXPECT_EQ(Cli({"--port", "/dev/null"}).iExit, 2) << "a question and no terminal to answer it";
    EXPECT_EQ(Cli({}).iExit, 2);
    EXPECT_EQ(Cli({"--bogus"}).iExit, 2);
    // A forgotten value: the next option is not taken for it.
    for (const char* sOption : {"--port", "--file", "--max-repeats"}) {
        EXPECT_EQ(Cli({sOption, "--yes"}).iExit, 2) << sOption;
        EXPECT_NE(ReadFile(dir / "cli.out.err").find(std::string(sOption) + " needs a value"),
                  std::string::npos)
            << sOption;
    }
    // Values that cannot be right, each told as what it is.
    const struct {
        std::vector<std::string> aArgs;
        std::string sError;
    } aBadValues[] = {
        {{"--max-repeats", "-1", "-y"}, "--max-repeats: '-1' is not a valid number (0 to 9999)"},
        {{"--max-repeats", "x", "-y"}, "--max-repeats: 'x' is not a valid number (0 to 9999)"},
        {{"--history", "--serial", "4294967296"},
         "--serial: '4294967296' is not a valid number (0 to 4294967295)"},
        {{"--history", "--limit", "99999999999999999999"},
         "--limit: '99999999999999999999' is not a valid number (1 to 999999)"},
        {{"--port", "-x", "-y"}, "'-x' looks like an option; use --port=-x"},
        {{"-p", "", "-y"}, "--port needs a port name"},
        {{"--port=", "-y"}, "--port needs a port name"},
        {{"-p", "/dev/kelvo-none", "-y", "--trace", dir.string()},
         "cannot write the trace file '" + dir.string() + "': Is a directory"},
        {{"-p", "/dev/kelvo-none", "-y", "--trace", (dir / "none" / "t.txt").string()},
         "cannot write the trace file '" + (dir / "none" / "t.txt").string() +
             "': No such file or directory"},
    };
    for (const auto& c : aBadValues) {
        const auto r = Cli(c.aArgs);
        EXPECT_EQ(r.iExit, 2) << c.sError;
        EXPECT_EQ(r.sErr.rfind("kelvo-update: " + c.sError + "\n", 0), 0u) << r.sErr;
        EXPECT_EQ(r.sOut, "") << c.sError;
    }
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

TEST_F(EndToEnd, BadFirmwareFilesStartNothing) {
    TSim sim(dir, {"--preset", "entry9"});
    InternalMode();
    const fs::path empty = dir / "empty.kfw";
    std::ofstream(empty).flush();
    const fs::path junk = dir / "junk.kfw";
    {
        std::ofstream f(junk, std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            f.put(static_cast<char>((i * 7919) & 0xFF));
    }
    const fs::path wrongKey = dir / "wrongkey.kfw";
    std::ofstream(wrongKey) << "bootloader=3\nbootloader version=0\nClass=26113\n";
    const fs::path badValue = dir / "badvalue.kfw";
    std::ofstream(badValue) << "bootloader=3\nbootloader version=0\nclass=26113 \n";
    const fs::path huge = dir / "huge.kfw";
    std::ofstream(huge).flush();
    fs::resize_file(huge, 5u * 1024 * 1024);
    // Files that a text editor or a HEX tool may well produce, each with a defect of its own.
    const std::string sHeader = "bootloader=3\nbootloader version=0\nclass=26113\nversionH=5\n"
                                "versionL=200\nplatform=12\nprint=44\ndate=01.01.2026 00:00:00\n";
    const std::string sData = ":40012800" + std::string(128, '0') + "97\n";
    const std::string sVector = ":4003DF00" + std::string(128, '0') + "DE\n";
    const std::string sEnd = ":00000001FF\n";
    const auto write = [&](const char* sName, const std::string& sContent) {
        std::ofstream(dir / sName, std::ios::binary) << sContent;
        return dir / sName;
    };
    const fs::path hex16 =
        write("hex16.kfw", sHeader + ":10250000000102030405060708090A0B0C0D0E0F53\n" + sEnd);
    const fs::path bl4 = write("bl4.kfw", "bootloader=4" + sHeader.substr(12) + sData + sEnd);
    const fs::path bom = write("bom.kfw", "\xEF\xBB\xBF" + sHeader + sData + sEnd);
    const fs::path twoVectors = write("vectors.kfw", sHeader + sVector + sData + sVector + sEnd);
    const fs::path readme = write("README.md", "# Kelvo Firmware Update\n\nSome text.\n");
    const std::string sReadme = "'" + readme.string() +
                                "' is not a firmware file: its first line must be "
                                "\"bootloader=2\" or \"bootloader=3\", not \"# Kelvo Firmware "
                                "Update\"";
    const struct {
        fs::path file;
        const char* sError;
    } aCases[] = {{dir / "missing.kfw", ""},
                  {dir, ""},
                  {empty, ""},
                  {junk, ""},
                  {wrongKey, ""},
                  {badValue, "'26113 ' is not a valid integer value"},
                  {huge, ""},
                  {hex16, "line 9: data record of 16 bytes is not sent by the update"},
                  {bl4, "line 1: bootloader '4' is not supported"},
                  {bom, "line 1: the file starts with a UTF-8 byte-order mark"},
                  {twoVectors, "line 11: a second vector-table line (address 03DF, the first on "
                               "line 9)"},
                  {readme, sReadme.c_str()}};
    for (const auto& c : aCases) {
        const auto r = Cli({"--port", sim.sPort, "f:+", "--file", c.file.string()});
        EXPECT_EQ(r.iExit, 2) << c.file;
        const std::string sErr = ReadFile(dir / "cli.out.err");
        EXPECT_NE(sErr.find(c.sError), std::string::npos) << c.file << "\n" << sErr;
    }

    // A FIFO would hold the program in open() until a writer came: refused at once.
    const TFifo fifo(dir / "fifo.kfw");
    TCliRun r{};
    EXPECT_TRUE(EndsWithin(fifo, 10s, [&] {
        r = Cli({"--port", sim.sPort, "f:+", "--file", fifo.Path()});
    })) << "blocked on the FIFO";
    EXPECT_EQ(r.iExit, 2);
    EXPECT_NE(ReadFile(dir / "cli.out.err").find("is not a regular file"), std::string::npos);
    EXPECT_TRUE(sim.Record().empty()) << "the port was never used";
}

TEST_F(EndToEnd, FileDatesReachTheTerminalEscaped) {
    InternalMode();
    const std::string sData = ":40012800" + std::string(128, '0') + "97";
    const fs::path file = dir / "esc.kfw";
    std::ofstream(file, std::ios::binary)
        << "bootloader=3\nbootloader version=0\nclass=26113\nversionH=5\nversionL=200\n"
           "platform=12\nprint=44\ndate=\x1b]0;pwned\x07\x1b[2J01.01.2026\n"
        << sData << "\n:00000001FF\n";
    const auto r = Cli({"--list-firmware", "--file", file.string(), "f:+"});
    ASSERT_EQ(r.iExit, 0) << ReadFile(dir / "cli.out.err");
    EXPECT_EQ(r.sOut.find('\x1b'), std::string::npos) << r.sOut;
    EXPECT_EQ(r.sOut.find('\x07'), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("\\x1b]0;pwned\\x07\\x1b[2J01.01.2026"), std::string::npos) << r.sOut;
    // The file leads the list as entry "file", its name last; the columns are aligned by spaces.
    std::vector<std::string> aLines;
    std::istringstream out(r.sOut);
    for (std::string sLine; std::getline(out, sLine);)
        aLines.push_back(sLine);
    ASSERT_EQ(aLines.size(), 11u) << r.sOut;
    EXPECT_EQ(r.sOut.find('\t'), std::string::npos) << r.sOut;
    EXPECT_EQ(aLines[0].substr(0, 16), "Entry  Firmware ") << r.sOut;
    EXPECT_EQ(aLines[1].substr(0, 7), "file   ") << r.sOut;
    EXPECT_TRUE(aLines[1].ends_with("  " + file.string())) << r.sOut;
    EXPECT_EQ(aLines[2].substr(0, 7), "9      ") << r.sOut;
    EXPECT_EQ(aLines[0].find("BL"), aLines[2].find("3.0")) << r.sOut;
}

// ---------------------------------------------------------------------------------------------
// The command line in the field: output that goes away, the end-of-run note, the trace, the
// conventions.

TEST_F(EndToEnd, OutputThatGoesAwayDoesNotStopTheUpdate) {
    const auto expectWholeUpdate = [](TSim& sim, const std::string& sWhy) {
        const auto aRecord = sim.Record();
        ASSERT_EQ(aRecord.size(), 3u + 783u + 1u) << sWhy << ": the whole image";
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

TEST_F(EndToEnd, TheQuestionOnATerminalShowsItsDefaultAndEndsItsLine) {
    const struct {
        const char* sTyped;
        int iExit;          // 2: not confirmed; 10: confirmed, and the port is not there
        const char* sAfter; // what the terminal shows after the question
    } aCases[] = {
        {"\x04", 2, "\r\nkelvo-update: not confirmed, nothing done\r\n"}, // Ctrl-D
        {"\r", 2, "\r\nkelvo-update: not confirmed, nothing done\r\n"},   // the default
        {"n\r", 2, "n\r\nkelvo-update: not confirmed, nothing done\r\n"},
        {"y\r", 10, "y\r\n"},
    };
    const std::string sQuestion =
        "Do you save your measurements ?\r\nDo you really continue without saving ? [y/N] ";
    for (const auto& c : aCases) {
        int fdMaster = -1;
        const pid_t pid = forkpty(&fdMaster, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
            execl(KELVO_UPDATE_EXE, KELVO_UPDATE_EXE, "--port", "/dev/kelvo-no-such-port",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string sSeen;
        bool bAnswered = false;
        const auto tEnd = std::chrono::steady_clock::now() + 10s;
        for (auto tNow = std::chrono::steady_clock::now(); tNow < tEnd;
             tNow = std::chrono::steady_clock::now()) {
            pollfd p{fdMaster, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>((tEnd - tNow) / 1ms)) <= 0)
                break; // still waiting: the question was not the one expected
            char b[256];
            const ssize_t n = ::read(fdMaster, b, sizeof b);
            if (n <= 0)
                break; // the program has ended: EIO
            sSeen.append(b, static_cast<std::size_t>(n));
            if (!bAnswered && sSeen.ends_with(sQuestion)) {
                ASSERT_GT(::write(fdMaster, c.sTyped, std::strlen(c.sTyped)), 0);
                bAnswered = true;
            }
        }
        ::close(fdMaster); // hangs up a program that still waits for its answer
        int iStatus = -1;
        ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == c.iExit) << iStatus << "\n"
                                                                           << sSeen;
        const std::size_t iAt = sSeen.find(sQuestion);
        ASSERT_NE(iAt, std::string::npos) << sSeen;
        const std::string sAfter = sSeen.substr(iAt + sQuestion.size());
        EXPECT_TRUE(sAfter.starts_with(c.sAfter)) << sAfter;
    }
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
        EXPECT_EQ(sim.Record().size(), 3u + 783u + 1u) << c.sWhy << ": only the update's lines";
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

TEST_F(EndToEnd, CommandLineConventions) {
    TSim sim(dir, {"--preset", "entry9"});
    // KELVO_PORT, short options together, --quiet: only the outcome.
    {
        TProcess run({KELVO_UPDATE_EXE, "-qy"},
                     {"KELVO_PORT=" + sim.sPort, "XDG_CONFIG_HOME=" + configHome.string()},
                     dir / "env.out");
        EXPECT_EQ(run.Wait(), 0);
        EXPECT_EQ(ReadFile(dir / "env.out"),
                  "Update Kelvo model 26113 V5.138 succesfully completed.\n");
    }
    // --port=NAME and -p NAME; a start-up word without effect is warned about on stderr.
    for (const std::vector<std::string>& aArgs :
         {std::vector<std::string>{"--port=/dev/kelvo-none", "-y", "cc:-"},
          std::vector<std::string>{"-p", "/dev/kelvo-none", "-y", "cc:-"}}) {
        const auto r = Cli(aArgs);
        EXPECT_EQ(r.iExit, 10);
        EXPECT_NE(r.sOut.find("serial port \"/dev/kelvo-none\""), std::string::npos);
        EXPECT_NE(r.sErr.find("warning: start-up option 'cc:-' has no effect outside the "
                              "internal mode"),
                  std::string::npos)
            << r.sErr;
    }
    // --port auto takes the only port of the device folder, and refuses none or several.
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    const auto autoRun = [&](const std::string& sName) {
        TProcess run({KELVO_UPDATE_EXE, "--port", "auto", "-y", "-q"},
                     {"KELVO_DEV_DIR=" + devDir.string(), "XDG_CONFIG_HOME=" + configHome.string()},
                     dir / sName);
        return run.Wait();
    };
    EXPECT_EQ(autoRun("none.out"), 2);
    EXPECT_NE(ReadFile(dir / "none.out.err").find("no serial port"), std::string::npos);
    fs::create_symlink(sim.sPort, devDir / "ttyUSB0");
    EXPECT_EQ(autoRun("one.out"), 0) << ReadFile(dir / "one.out.err");
    fs::create_symlink(sim.sPort, devDir / "ttyACM3");
    EXPECT_EQ(autoRun("two.out"), 2);
    EXPECT_NE(ReadFile(dir / "two.out.err").find("ttyACM3"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// What the command line shows: the port list, the progress bar on a terminal, JSON Lines.

TEST_F(EndToEnd, PortListWithDetails) {
    // A device folder of the test's own: names that no sysfs entry of this machine has, one of
    // them with a by-id link as udev makes it.
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir / "serial" / "by-id");
    std::ofstream(devDir / "ttyUSB917").flush();
    std::ofstream(devDir / "ttyACM916").flush();
    fs::create_symlink("../../ttyUSB917", devDir / "serial/by-id/usb-Test_Cable_T1-if00-port0");
    const auto list = [&](const fs::path& devices, const std::string& sArgs) {
        std::vector<std::string> aArgs{KELVO_UPDATE_EXE, "--list-ports"};
        if (!sArgs.empty())
            aArgs.push_back(sArgs);
        TProcess run(aArgs, {"KELVO_DEV_DIR=" + devices.string()}, dir / "list.out");
        return TCliRun{run.Wait(), ReadFile(dir / "list.out"), ReadFile(dir / "list.out.err")};
    };
    const std::string d = devDir.string();
    const std::string sById = d + "/serial/by-id/usb-Test_Cable_T1-if00-port0";
    auto r = list(devDir, "");
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_EQ(r.sOut, "Port\tBy-id\n" + d + "/ttyACM916\t-\n" + d + "/ttyUSB917\t" + sById + "\n");
    r = list(devDir, "--json");
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_EQ(r.sOut, "{\"list\":\"port\",\"port\":\"" + d +
                          "/ttyACM916\",\"by-id\":null,\"vendor-id\":null,\"product-id\":null,"
                          "\"product\":null,\"serial\":null,\"device\":null,\"in-gui-list\":true}\n"
                          "{\"list\":\"port\",\"port\":\"" +
                          d + "/ttyUSB917\",\"by-id\":\"" + sById +
                          "\",\"vendor-id\":null,\"product-id\":null,\"product\":null,"
                          "\"serial\":null,\"device\":null,\"in-gui-list\":true}\n");
    // No port: said on standard error, exit status 2, nothing on standard output.
    for (const char* sArgs : {"", "--json"}) {
        r = list(devDir / "serial", sArgs);
        EXPECT_EQ(r.iExit, 2) << sArgs;
        EXPECT_EQ(r.sOut, "") << sArgs;
        EXPECT_NE(r.sErr.find("no serial port of a USB serial device is present"),
                  std::string::npos)
            << sArgs << r.sErr;
    }
}

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

TEST_F(EndToEnd, FirmwareListAsJsonLines) {
    const auto r = Cli({"--list-firmware", "--json"});
    ASSERT_EQ(r.iExit, 0) << r.sErr;
    const auto a = JsonLines(r.sOut);
    ASSERT_EQ(a.size(), 9u) << r.sOut;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i]["list"], "firmware");
        EXPECT_EQ(a[i]["entry"], 9 - static_cast<int>(i)) << "newest first";
    }
    EXPECT_EQ(a[0]["version"], "5.138");
    EXPECT_EQ(a[0]["description"], "Kelvo model 26113 V5.138, A9e, BL3.0");
    // The numbers of a version, as the logger's are given: the text keeps two digits ("5.08").
    EXPECT_EQ(a[6]["version"], "5.08");
    EXPECT_EQ(a[6]["version_major"], 5);
    EXPECT_EQ(a[6]["version_minor"], 8);
    EXPECT_FALSE(a[0].contains("file"));

    // A file given with --file comes first, as entry 0 with its name.
    InternalMode();
    const fs::path file =
        FirmwareFile("3", {":40012800" + std::string(128, '0') + "97", ":00000001FF"});
    const auto rFile = Cli({"--list-firmware", "--json", "--file", file.string(), "f:+"});
    ASSERT_EQ(rFile.iExit, 0) << rFile.sErr;
    const auto b = JsonLines(rFile.sOut);
    ASSERT_EQ(b.size(), 10u) << rFile.sOut;
    EXPECT_EQ(b[0]["entry"], 0);
    EXPECT_EQ(b[0]["file"], file.string());
    EXPECT_EQ(b[0]["version"], "5.200");
    EXPECT_EQ(b[1], a[0]);
}

// ---------------------------------------------------------------------------------------------
// Several ports at once: a child process of kelvo-update for each.

namespace {

// Simulators, each in a folder of its own under dir (its record and log).
std::vector<std::unique_ptr<TSim>> Sims(const fs::path& dir,
                                        const std::vector<std::vector<std::string>>& aArgs) {
    std::vector<std::unique_ptr<TSim>> a;
    for (std::size_t i = 0; i < aArgs.size(); ++i) {
        const fs::path sub = dir / ("sim" + std::to_string(i));
        fs::create_directories(sub);
        a.push_back(std::make_unique<TSim>(sub, aArgs[i]));
    }
    return a;
}

} // namespace

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
    EXPECT_EQ(aSims[0]->Record().size(), 3u + 783u + 1u) << "the whole image, once";

    EXPECT_NE(PortLines(r.sOut, sHangup)
                  .find("Aborted because error when reading/writing to serial port!"),
              std::string::npos)
        << r.sOut;

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
    for (const std::string& sPort : aPorts) {
        std::vector<std::string> aEvents;
        for (const auto& o : a) {
            if (o.value("port", "") == sPort)
                aEvents.push_back(o.value("event", ""));
        }
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
    const struct {
        nlohmann::json serial;
        int iEntry;
    } aExpected[] = {{nullptr, 2}, {320000, 9}, {328297, 8}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& p = summary["ports"][i];
        EXPECT_EQ(p["port"], aPorts[i]);
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
    EXPECT_NE(aRow[5].find("Its process ended without a result: killed by signal 9"),
              std::string::npos)
        << sOut;
    EXPECT_NE(sOut.find(sVictimPort + ": " + LoggerWaits), std::string::npos) << sOut;
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
        EXPECT_EQ(p->Record().size(), 3u + 783u + 1u) << p->sPort << "\n" << sSeen;

    // A child checks what it was handed.
    TProcess child({KELVO_UPDATE_EXE, "--child", "--json", "-y", "-p", aSims[0]->sPort, "--file",
                    file.string(), "--file-sha256", std::string(64, '0'), "f:+"},
                   {"XDG_CONFIG_HOME=" + configHome.string()}, dir / "child.out");
    EXPECT_EQ(child.Wait(), 2);
    EXPECT_NE(ReadFile(dir / "child.out.err").find("arrived changed"), std::string::npos)
        << ReadFile(dir / "child.out.err");
}

TEST_F(EndToEnd, AllPortsTakeEachDeviceOnce) {
    TSim sim(dir, {"--preset", "entry9"});
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    fs::create_symlink(sim.sPort, devDir / "ttyUSB0");
    fs::create_symlink(sim.sPort, devDir / "ttyACM3");
    TProcess run({KELVO_UPDATE_EXE, "--all-ports", "--yes"},
                 {"KELVO_DEV_DIR=" + devDir.string(), "XDG_CONFIG_HOME=" + configHome.string()},
                 dir / "cli.out");
    EXPECT_EQ(run.Wait(), 0) << ReadFile(dir / "cli.out.err");
    EXPECT_EQ(Count(ReadFile(dir / "cli.out"), "Start at serial port"), 1)
        << ReadFile(dir / "cli.out");
    EXPECT_EQ(sim.Record().size(), 3u + 783u + 1u);
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

// ---------------------------------------------------------------------------------------------
// The update journal: every run recorded, the pin of an interrupted logger kept.

namespace {

const std::string PinLine = "taken from the interrupted update of";

// A stable name for a port, as a converter's device name is: a link in dir/dev to the simulator's
// pseudo-terminal, made anew for each simulator.
std::string PortLink(const fs::path& dir, const std::string& sName, const TSimProcess& sim) {
    const fs::path link = dir / "dev" / sName;
    fs::create_directories(link.parent_path());
    fs::remove(link);
    fs::create_symlink(sim.sPort, link);
    return link.string();
}

// A simulator whose files go into a folder of its own.
std::unique_ptr<TSim> SimIn(const fs::path& d, const std::vector<std::string>& aArgs) {
    fs::create_directories(d);
    return std::make_unique<TSim>(d, aArgs);
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
        const char* sSecondPort; // the port name of the second run
        std::vector<std::string> aSecondHw; // the hardware the second run finds
        int iSecondExit;
        bool bPin;
    } aCases[] = {
        {"echo differs, no repeat left",
         {"--fault", "line:echo:5"},
         {"--max-repeats", "0"},
         44,
         true,
         "ttyUSB0",
         Entry8,
         0,
         true},
        {"hang-up in the transfer",
         {"--fault", "line:hangup:100"},
         {},
         11,
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
         "ttyUSB1",
         Entry8,
         45,
         false},
        {"other hardware",
         {"--fault", "line:hangup:100"},
         {},
         11,
         false,
         "ttyUSB0",
         Entry9,
         0,
         false},
    };
    for (const auto& c : aCases) {
        const fs::path caseDir = dir / c.sWhy;
        fs::create_directories(caseDir);
        ::setenv("KELVO_JOURNAL", (caseDir / "journal.sqlite3").c_str(), 1);
        std::vector<std::string> aFirst = Entry8;
        aFirst.insert(aFirst.end(), c.aFault.begin(), c.aFault.end());
        auto first = SimIn(caseDir / "first", aFirst);
        std::vector<std::string> aCli{"-p", PortLink(caseDir, "ttyUSB0", *first), "-y"};
        aCli.insert(aCli.end(), c.aFirstCli.begin(), c.aFirstCli.end());
        const auto r1 = Cli(aCli);
        ASSERT_EQ(r1.iExit, c.iFirstExit) << c.sWhy << "\n" << r1.sOut;
        ASSERT_NE(r1.sOut.find(LoggerWaits), std::string::npos) << c.sWhy << "\n" << r1.sOut;

        std::unique_ptr<TSim> second;
        std::string sPort = PortLink(caseDir, c.sSecondPort, *first);
        if (!c.bSameSim) {
            first.reset();
            second = restart(c.sWhy, c.aSecondHw);
            sPort = PortLink(caseDir, c.sSecondPort, *second);
        }
        const auto r2 = Cli({"-p", sPort, "-y"});
        EXPECT_EQ(r2.iExit, c.iSecondExit) << c.sWhy << "\n" << r2.sOut;
        EXPECT_EQ(r2.sOut.find("Serial number 328297 " + PinLine) != std::string::npos, c.bPin)
            << c.sWhy << "\n"
            << r2.sOut;
        if (c.bPin) {
            EXPECT_NE(r2.sOut.find("V5.136 succesfully completed."), std::string::npos)
                << c.sWhy << "\n"
                << r2.sOut;
        }
    }
    ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
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
        EXPECT_EQ(sim.Record().size(), 3u + 783u + 1u) << c.sWhy;
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

TEST_F(EndToEnd, ALineThatGoesAwayIsReportedWithItsReason) {
    // The simulator hangs up in the transfer, as an unplugged converter does: the reason follows
    // the status text, in the trace too.
    TSim sim(dir, {"--preset", "entry9", "--fault", "line:hangup:100"});
    const fs::path trace = dir / "trace.txt";
    const auto r = Cli({"-p", sim.sPort, "-y", "--trace", trace.string()});
    EXPECT_EQ(r.iExit, 11) << r.sOut;
    const std::string sStatus = "Aborted because error when reading/writing to serial port!";
    EXPECT_NE(r.sOut.find(sStatus), std::string::npos) << r.sOut;
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
