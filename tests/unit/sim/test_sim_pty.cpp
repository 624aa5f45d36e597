// The kelvo-logger-sim program on its pseudo-terminal, reached the way the updater reaches a
// logger: through OpenComPort.
#include "hexline/uConvert1V0.h"
#include "link/uRS232.h"
#include "sim/uSimOptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

extern char** environ;

namespace {

// One run of the simulator with its standard output and error on pipes.
class TSimProcess {
public:
    explicit TSimProcess(std::vector<std::string> aArgs) {
        int aOut[2];
        int aErr[2];
        if (pipe(aOut) != 0 || pipe(aErr) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, aOut[1], 1);
        posix_spawn_file_actions_adddup2(&actions, aErr[1], 2);
        posix_spawn_file_actions_addclose(&actions, aOut[0]);
        posix_spawn_file_actions_addclose(&actions, aErr[0]);
        aArgs.insert(aArgs.begin(), KELVO_SIM_EXE);
        std::vector<char*> aArgv;
        for (std::string& s : aArgs)
            aArgv.push_back(s.data());
        aArgv.push_back(nullptr);
        const int iErr =
            posix_spawn(&Fpid, KELVO_SIM_EXE, &actions, nullptr, aArgv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(aOut[1]);
        ::close(aErr[1]);
        FfdOut = aOut[0];
        FfdErr = aErr[0];
        if (iErr != 0)
            throw std::runtime_error("cannot start " KELVO_SIM_EXE);
    }
    ~TSimProcess() {
        if (Fpid > 0) {
            ::kill(Fpid, SIGKILL);
            ::waitpid(Fpid, nullptr, 0);
        }
        ::close(FfdOut);
        ::close(FfdErr);
    }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // The first line on standard output: the slave path.
    std::string FirstLine() {
        std::string s;
        const auto tEnd = TClock::now() + 5s;
        char c = 0;
        while (TClock::now() < tEnd) {
            pollfd p{FfdOut, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            if (::read(FfdOut, &c, 1) != 1 || c == '\n')
                break;
            s += c;
        }
        return s;
    }

    // The exit code, or -1 when the program has not ended normally within tLimit.
    int Wait(std::chrono::milliseconds tLimit) {
        const auto tEnd = TClock::now() + tLimit;
        int iStatus = 0;
        while (TClock::now() < tEnd) {
            const pid_t pid = ::waitpid(Fpid, &iStatus, WNOHANG);
            if (pid == Fpid) {
                Fpid = -1;
                return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    void Signal(int iSignal) { ::kill(Fpid, iSignal); }
    pid_t Pid() const { return Fpid; }

    // Standard error, once the program has ended.
    std::string ErrorText() {
        std::string s;
        char a[256];
        ssize_t n = 0;
        while ((n = ::read(FfdErr, a, sizeof a)) > 0)
            s.append(a, static_cast<std::size_t>(n));
        return s;
    }

private:
    pid_t Fpid = -1;
    int FfdOut = -1;
    int FfdErr = -1;
};

using TBytes = std::vector<std::uint8_t>;
const TBytes Ident = {0x81, 0, 0, 0, 0, 0, 0, 0xAA};

// One exchange as the updater makes it: purge, write, read the expected count.
TBytes Exchange(TSerialPort& port, const TBytes& aOut, std::uint32_t iExpect) {
    std::uint32_t n = 0;
    EXPECT_TRUE(port.Purge());
    EXPECT_TRUE(port.Write(aOut.data(), static_cast<std::uint32_t>(aOut.size()), n));
    TBytes a(iExpect);
    n = 0;
    if (iExpect > 0) {
        EXPECT_TRUE(port.Read(a.data(), iExpect, n));
    } else {
        // The next purge would discard what the simulator has not read yet.
        std::this_thread::sleep_for(10ms);
    }
    a.resize(n);
    return a;
}
TBytes Exchange(TSerialPort& port, const std::string& s, std::uint32_t iExpect) {
    return Exchange(port, TBytes(s.begin(), s.end()), iExpect);
}

// Whether the process has a descriptor open on the device at sPath (as fuser would find it).
bool HoldsDevice(pid_t pid, const std::string& sPath) {
    struct stat device {};
    EXPECT_EQ(::stat(sPath.c_str(), &device), 0) << sPath;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == device.st_rdev)
            return true;
    }
    EXPECT_FALSE(ec) << ec.message();
    return false;
}

TBytes DataLine(std::uint16_t iAddress, std::uint8_t iSeed) {
    HexRec = {};
    HexRec.Count = 64;
    HexRec.AddrHi = static_cast<std::uint8_t>(iAddress >> 8);
    HexRec.AddrLo = static_cast<std::uint8_t>(iAddress);
    for (std::size_t i = 0; i < 64; ++i)
        HexRec.Data[i] = static_cast<std::uint8_t>(iSeed + i * 13);
    EXPECT_TRUE(HexRecToLine());
    return TBytes(sHexLine.begin(), sHexLine.end());
}

std::filesystem::path TempPath(const std::string& sName) {
    return std::filesystem::temp_directory_path() /
           ("kelvo-sim-" + std::to_string(::getpid()) + "-" + sName);
}

} // namespace

TEST(SimProgram, ServesTheReopenedPortAndStopsCleanlyOnSigterm) {
    const auto link = TempPath("link");
    const auto record = TempPath("record.txt");
    TSimProcess sim({"--link", link.string(), "--record", record.string()});
    const std::string sSlave = sim.FirstLine();
    ASSERT_TRUE(sSlave.starts_with("/dev/")) << sSlave;
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), sSlave);
    // Like a real logger, the simulator holds nothing on the host's side of the line.
    EXPECT_FALSE(HoldsDevice(sim.Pid(), sSlave));

    for (int iOpen = 0; iOpen < 2; ++iOpen) {
        TPortHandle h = OpenComPort(iOpen == 0 ? link.string() : sSlave, 9600);
        ASSERT_TRUE(h) << "open " << iOpen;
        EXPECT_FALSE(HoldsDevice(sim.Pid(), sSlave)) << "open " << iOpen;
        EXPECT_TRUE(HoldsDevice(::getpid(), sSlave)) << "the client's own descriptor is seen";
        const TBytes a = Exchange(*h, Ident, 8);
        ASSERT_EQ(a.size(), 8u) << "open " << iOpen;
        EXPECT_EQ(MakeWord(a[2], a[3]), 26113);
        EXPECT_EQ(CalcCRC8(a.data(), 7), a[7]);
        if (iOpen == 1) {
            // Into the bootloader and one accepted request, which the record file shows at once.
            Exchange(*h, TBytes{0x85, 0x03, 0xA5, 0x5A, 0, 0, 0, 0x25}, 0);
            EXPECT_EQ(Exchange(*h, ":0100000520DA", 23).size(), 23u);
            std::ifstream in(record);
            std::string sLine;
            EXPECT_TRUE(std::getline(in, sLine));
            EXPECT_EQ(sLine, ":0100000520DA");
        }
        CloseComPort(h);
    }
    EXPECT_FALSE(HoldsDevice(sim.Pid(), sSlave));

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(3s), SimExit::Ok);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
        << "the link is removed on exit";
    std::filesystem::remove(record);
}

TEST(SimProgram, PacedEchoTakesTheLineTimeAndFitsTheReadLimit) {
    TSimProcess sim({"--baud", "9600", "--start", "bootloader"});
    TPortHandle h = OpenComPort(sim.FirstLine(), 9600);
    ASSERT_TRUE(h);
    ASSERT_EQ(Exchange(*h, ":0100000531C9", 13).size(), 13u);
    HexRec = {};
    HexRec.Count = 64;
    HexRec.AddrHi = 0x01;
    HexRec.AddrLo = 0x28;
    for (std::size_t i = 0; i < 64; ++i)
        HexRec.Data[i] = static_cast<std::uint8_t>(i * 13);
    ASSERT_TRUE(HexRecToLine());
    const std::string sLine = sHexLine;

    const auto t0 = TClock::now();
    const TBytes a = Exchange(*h, sLine, 139);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - t0);
    EXPECT_EQ(std::string(a.begin(), a.end()), sLine) << "the whole echo within 139 + 200 ms";
    // As on a wire, every byte takes its byte time, the first of each direction too: 139 bytes
    // in and 139 out at 10 bit-times each, 289.6 ms.
    EXPECT_GE(us.count(), 289'500);
}

TEST(SimProgram, LatencyHoldsBackOnlyTheLastPartialPacket) {
    // Unpaced, so that only the converter's latency delays anything.
    TSimProcess sim({"--latency", "100", "--start", "bootloader"});
    TPortHandle h = OpenComPort(sim.FirstLine(), 9600);
    ASSERT_TRUE(h);
    auto t0 = TClock::now();
    ASSERT_EQ(Exchange(*h, ":0100000531C9", 13).size(), 13u);
    EXPECT_GE(TClock::now() - t0, 100ms) << "a short answer waits for the latency";

    const TBytes aLine = DataLine(0x0128, 3);
    std::uint32_t n = 0;
    t0 = TClock::now();
    ASSERT_TRUE(h->Write(aLine.data(), 139, n));
    TBytes a(139);
    ASSERT_TRUE(h->Read(a.data(), 128, n));
    ASSERT_EQ(n, 128u) << "two whole packets";
    const auto tPackets = TClock::now();
    ASSERT_TRUE(h->Read(a.data() + 128, 11, n));
    ASSERT_EQ(n, 11u);
    EXPECT_EQ(a, aLine);
    EXPECT_GE(TClock::now() - t0, 100ms);
    EXPECT_GE(TClock::now() - tPackets, 50ms) << "the whole packets came first, at once";
}

TEST(SimProgram, RestartsOnlyWithTheWholeImageOfItsImageFile) {
    const auto file = TempPath("image.kfw");
    const TBytes aLine = DataLine(0x0128, 1);
    const TBytes aVector = DataLine(0x03DF, 2);
    std::ofstream(file) << "bootloader=3\nbootloader version=0\nclass=26113\nversionH=5\n"
                           "versionL=200\nplatform=12\nprint=44\ndate=x\n"
                        << std::string(aLine.begin(), aLine.end()) << "\n"
                        << std::string(aVector.begin(), aVector.end()) << "\n:00000001FF\n";
    TSimProcess sim(
        {"--start", "bootloader", "--image-file", file.string(), "--restart-ms", "300", "-v"});
    TPortHandle h = OpenComPort(sim.FirstLine(), 9600);
    ASSERT_TRUE(h);
    // Cut short: the bootloader keeps running. Then the whole image: restarted, with its version.
    for (const bool bWhole : {false, true}) {
        ASSERT_EQ(Exchange(*h, ":0100000531C9", 13).size(), 13u);
        if (bWhole) {
            EXPECT_EQ(Exchange(*h, aLine, 139), aLine);
        }
        EXPECT_EQ(Exchange(*h, aVector, 139), aVector);
        Exchange(*h, ":0100000533C7", 0);
        // While it restarts the logger hears nothing: an updater that asks too early gets no
        // answer (the read gives up after 8 + 200 ms).
        EXPECT_TRUE(Exchange(*h, Ident, 8).empty()) << "answered while restarting";
        std::this_thread::sleep_for(300ms);
        const TBytes a = Exchange(*h, Ident, 8);
        ASSERT_EQ(a.size(), 8u);
        EXPECT_EQ(MakeWord(a[2], a[3]), bWhole ? 26113 : 51202);
        EXPECT_EQ(MakeWord(a[4], a[5]), bWhole ? 0x05C8 : 0);
    }
    CloseComPort(h);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(3s), SimExit::Ok);
    EXPECT_NE(sim.ErrorText().find("flash incomplete: 1 of 2 data lines"), std::string::npos);
    std::filesystem::remove(file);
}

TEST(SimProgram, HangupFaultClosesTheLineWithItsOwnExitCode) {
    TSimProcess sim({"--fault", "serial:hangup"});
    TPortHandle h = OpenComPort(sim.FirstLine(), 9600);
    ASSERT_TRUE(h);
    EXPECT_EQ(Exchange(*h, Ident, 8).size(), 8u);
    std::uint32_t n = 0;
    const TBytes aSerial = {0x81, 0x03, 0, 0, 0, 0, 0, 0xF3};
    ASSERT_TRUE(h->Write(aSerial.data(), 8, n));
    EXPECT_EQ(sim.Wait(3s), SimExit::Hangup);
    std::uint8_t b[8];
    EXPECT_FALSE(h->Read(b, 8, n)) << "the line is hung up";
}

TEST(SimProgram, BadCommandLineExitsWithTwoAndSaysWhy) {
    for (const std::vector<std::string>& aArgs :
         {std::vector<std::string>{"--fault", "ident:echo"}, std::vector<std::string>{"--bogus"},
          std::vector<std::string>{"--record", "/nonexistent-dir/record.txt"},
          std::vector<std::string>{"--image-file", "/nonexistent-dir/image.kfw"}}) {
        TSimProcess sim(aArgs);
        EXPECT_EQ(sim.Wait(3s), SimExit::BadOptions) << aArgs.front();
        EXPECT_NE(sim.ErrorText().find("kelvo-logger-sim: "), std::string::npos);
    }
    TSimProcess help({"--help"});
    EXPECT_NE(help.FirstLine().find("Usage"), std::string::npos);
    EXPECT_EQ(help.Wait(3s), SimExit::Ok);
}
