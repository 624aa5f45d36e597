// kelvo-update against kelvo-logger-sim: real processes over a pseudo-terminal.
#include "link/uRS232.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

int Count(const std::string& sText, const std::string& sWhat) {
    int n = 0;
    for (std::size_t p = sText.find(sWhat); p != std::string::npos; p = sText.find(sWhat, p + 1))
        ++n;
    return n;
}

// The simulator of these tests: the preset or settings given, recording what it accepted.
class TSim : public TSimProcess {
public:
    TSim(const fs::path& dir, const std::vector<std::string>& aArgs)
        : TSimProcess(KELVO_SIM_EXE, dir, aArgs) {}
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

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              ("kelvo-e2e-" + std::string(info->name()) + "-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "config" / "Orlenta");
        configHome = dir / "config";
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(dir);
    }
    void InternalMode() const {
        std::ofstream(configHome / "Orlenta" / "Quarn.conf") << "intern=7315\n";
    }

    std::unique_ptr<TProcess> StartCli(std::vector<std::string> aArgs) const {
        aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
        return std::make_unique<TProcess>(
            aArgs, std::vector<std::string>{"XDG_CONFIG_HOME=" + configHome.string()},
            dir / "cli.out");
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
    }
}

TEST_F(EndToEnd, WrongClassAfterRestart) {
    TSim sim(dir, {"--preset", "entry9", "--fault", "restart-ident:wrongclass"});
    const auto r = Cli({"--port", sim.sPort, "--yes"});
    EXPECT_EQ(r.iExit, 45) << r.sOut;
    EXPECT_NE(r.sOut.find("Class 26114"), std::string::npos);
    EXPECT_NE(r.sOut.find("Update was not successfull!"), std::string::npos);
}

TEST_F(EndToEnd, CtrlCCancels) {
    TSim sim(dir, {"--preset", "entry9", "--baud", "9600"});
    auto cli = StartCli({"--port", sim.sPort, "--yes"});
    // Wait until the transfer runs, then interrupt.
    const auto tEnd = std::chrono::steady_clock::now() + 20s;
    while (ReadFile(dir / "cli.out").find("Progress 1%") == std::string::npos &&
           std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(20ms);
    cli->Signal(SIGINT);
    EXPECT_EQ(cli->Wait(), 20);
    EXPECT_NE(ReadFile(dir / "cli.out").find("Process cancelled!"), std::string::npos);
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
    } aPorts[] = {{"", "no port name"},
                  {std::string(10000, 'x'), "no such device"},
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
                               "line 9)"}};
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
}
