// kelvo-update's command line: refusals before a port is opened, the question, the conventions and
// the port resolution, the internal mode's options and the firmware files it loads, the lists of
// ports and firmware.
#include "tests/e2e/EndToEnd.h"
#include "tests/support/CliOutput.h"
#include "tests/support/FifoGuard.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
// The internal mode: its options, and the firmware files it loads.

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

// ---------------------------------------------------------------------------------------------
// The lists: ports and firmware.

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
    EXPECT_EQ(r.sOut,
              "{\"list\":\"port\",\"port\":\"" + d +
                  "/ttyACM916\",\"by-id\":null,\"vendor-id\":null,\"product-id\":null,"
                  "\"product\":null,\"serial\":null,\"description\":null,\"device\":null,"
                  "\"in-gui-list\":true}\n"
                  "{\"list\":\"port\",\"port\":\"" +
                  d + "/ttyUSB917\",\"by-id\":\"" + sById +
                  "\",\"vendor-id\":null,\"product-id\":null,\"product\":null,"
                  "\"serial\":null,\"description\":null,\"device\":null,\"in-gui-list\":true}\n");
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
