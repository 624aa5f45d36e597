// kelvo-update against kelvo-logger-sim: real processes over a pseudo-terminal.
#include "link/uRS232.h"
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
    std::string sOut;
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
        return {iExit, ReadFile(dir / "cli.out")};
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
    {
        const auto r = Cli({"--port", sim.sPort, "--read-info-only"});
        EXPECT_EQ(r.iExit, 70) << r.sOut;
        EXPECT_NE(r.sOut.find("Only read update info!"), std::string::npos);
    }
    const std::string sData = ":40012800" + std::string(128, '0') + "97";
    const struct {
        const char* sWhy;
        std::string sBootloader;
        std::vector<std::string> aLines;
        int iExit;
        const char* sText;
    } aCases[] = {
        {"broken line",
         "3",
         {sData, sData.substr(0, 30), ":00000001FF"},
         43,
         "Aborted because conversion error at line  1 !"},
        {"header only", "3", {}, 42, "Aborted because last line is wrong !"},
        {"bootloader 4", "4", {sData, ":00000001FF"}, 47, "Check Kelvo model 26113 V5.200"},
    };
    for (const auto& c : aCases) {
        const auto p = FirmwareFile(c.sBootloader, c.aLines);
        const std::size_t iBefore = sim.Record().size();
        const auto r = Cli({"--port", sim.sPort, "f:+", "--file", p.string()});
        EXPECT_EQ(r.iExit, c.iExit) << c.sWhy << "\n" << r.sOut;
        EXPECT_NE(r.sOut.find(c.sText), std::string::npos) << c.sWhy << "\n" << r.sOut;
        EXPECT_EQ(sim.Record().size(), iBefore + 2) << c.sWhy << ": only the hardware reads";
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
        // Held by another process: refused at once.
        TPortHandle hHeld = OpenComPort(sim.sPort, 9600);
        ASSERT_TRUE(hHeld);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Cli({"--port", sim.sPort, "--yes"}).iExit, 10);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    }
    const fs::path file = dir / "not a port.txt";
    std::ofstream(file) << "keep me";
    const std::string aPorts[] = {"",           std::string(10000, 'x'), "/dev/kelvo no such port",
                                  dir.string(), file.string(),           "/dev/null"};
    for (const auto& s : aPorts) {
        const auto r = Cli({"--port", s, "--yes"});
        EXPECT_EQ(r.iExit, 10) << s.substr(0, 60) << "\n" << r.sOut.substr(0, 300);
    }
    EXPECT_EQ(ReadFile(file), "keep me") << "nothing written to a file named as the port";
    EXPECT_TRUE(sim.Record().empty());
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
    const struct {
        fs::path file;
        const char* sError;
    } aCases[] = {{dir / "missing.kfw", ""},
                  {dir, ""},
                  {empty, ""},
                  {junk, ""},
                  {wrongKey, ""},
                  {badValue, "'26113 ' is not a valid integer value"},
                  {huge, ""}};
    for (const auto& c : aCases) {
        const auto r = Cli({"--port", sim.sPort, "f:+", "--file", c.file.string()});
        EXPECT_EQ(r.iExit, 2) << c.file;
        EXPECT_NE(ReadFile(dir / "cli.out.err").find(c.sError), std::string::npos) << c.file;
    }
    EXPECT_TRUE(sim.Record().empty()) << "the port was never used";
}
