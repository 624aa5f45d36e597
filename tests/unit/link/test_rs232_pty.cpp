// The serial link and the worker on real pseudo-terminals: the test holds the master side and
// plays the logger; the code under test opens the slave side like a serial port.
#include "hexline/uConvert1V0.h"
#include "link/uCommThread.h"
#include "link/uExceptions1V0.h"
#include "link/uNotifyQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

namespace {

class TPty {
public:
    TPty() {
        Fmaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (Fmaster < 0 || grantpt(Fmaster) != 0 || unlockpt(Fmaster) != 0)
            throw std::runtime_error("no pseudo-terminal");
        sSlave = ptsname(Fmaster);
    }
    ~TPty() { ::close(Fmaster); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    // Reads what the port wrote, up to iCount bytes within tLimit.
    std::vector<std::uint8_t> Receive(std::size_t iCount, std::chrono::milliseconds tLimit) {
        std::vector<std::uint8_t> a;
        const auto tEnd = TClock::now() + tLimit;
        while (a.size() < iCount && TClock::now() < tEnd) {
            pollfd p{Fmaster, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            std::uint8_t b[256];
            const ssize_t n = ::read(Fmaster, b, std::min(sizeof b, iCount - a.size()));
            if (n <= 0)
                break;
            a.insert(a.end(), b, b + n);
        }
        return a;
    }
    void Send(const std::vector<std::uint8_t>& a) {
        ASSERT_EQ(::write(Fmaster, a.data(), a.size()), static_cast<ssize_t>(a.size()));
    }
    // True once no process holds the slave side open any more.
    bool SlaveClosed() {
        pollfd p{Fmaster, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    }

    std::string sSlave;

private:
    int Fmaster = -1;
};

// A worker whose procedure is a test's function.
class TPtyWorker : public TCommThread {
public:
    using TCommThread::TCommThread;
    static inline std::function<void(TPtyWorker&)> Procedure;
    using TCommThread::FRxBuffer;
    using TCommThread::Post;
    using TCommThread::SendCommand;

protected:
    void DoProcess() override { Procedure(*this); }
};

std::vector<TNotification> RunToEnd(TNotifyQueue& q, std::chrono::milliseconds tLimit) {
    std::vector<TNotification> a;
    const auto tEnd = TClock::now() + tLimit;
    while (TClock::now() < tEnd) {
        auto n =
            q.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - TClock::now()));
        if (!n)
            break;
        a.push_back(*n);
        if (IsFinal(n->iCode))
            break;
    }
    return a;
}

TCommThreadPtr StartWorker(TNotifyQueue& q, const std::string& sPort, std::int32_t cmd,
                           std::function<void(TPtyWorker&)> procedure) {
    TPtyWorker::Procedure = std::move(procedure);
    return CommThreadClassOf<TPtyWorker>()(q, cmd, sPort, OpenComPort, nullptr);
}

} // namespace

struct Pty : ::testing::Test {
    TPty pty;
    void SetUp() override { bCancel = false; }
    void TearDown() override { bCancel = false; }
};

TEST_F(Pty, OpensExclusivelyInRawNineSixHundredEightNOne) {
    TPortHandle h = OpenComPort(pty.sSlave, 9600);
    ASSERT_TRUE(h);
    EXPECT_FALSE(OpenComPort(pty.sSlave, 9600)) << "a second open of a held port";

    // Look at the settings through a descriptor of our own (root passes TIOCEXCL; anyone else is
    // refused with EBUSY, which shows the flag as well).
    const int fd = ::open(pty.sSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        EXPECT_EQ(errno, EBUSY) << "the exclusive flag keeps other programs out";
    } else {
        int iExclusive = 0;
        ASSERT_EQ(ioctl(fd, TIOCGEXCL, &iExclusive), 0);
        EXPECT_NE(iExclusive, 0) << "the open set the exclusive flag";
        // A pseudo-terminal has no modem-control lines (TIOCMGET fails), so DTR on and RTS off
        // cannot show here; on a device that has them, the open leaves DTR on and RTS off.
        if (int iLines = 0; ioctl(fd, TIOCMGET, &iLines) == 0) {
            EXPECT_NE(iLines & TIOCM_DTR, 0);
            EXPECT_EQ(iLines & TIOCM_RTS, 0);
        }
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        EXPECT_EQ(cfgetispeed(&tio), B9600);
        EXPECT_EQ(cfgetospeed(&tio), B9600);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);

        EXPECT_TRUE(CloseComPort(h));
        ASSERT_EQ(ioctl(fd, TIOCGEXCL, &iExclusive), 0);
        EXPECT_EQ(iExclusive, 0) << "the close cleared the exclusive flag";
        ::close(fd);
    }

    EXPECT_TRUE(CloseComPort(h));
    EXPECT_FALSE(h);
    TPortHandle again = OpenComPort(pty.sSlave, 9600);
    EXPECT_TRUE(again) << "the port opens again at once after the close";
}

TEST_F(Pty, UnusablePortsAreRefusedWithTheirReason) {
    const std::string sFile = ::testing::TempDir() + "kelvo-not-a-port.txt";
    FILE* f = std::fopen(sFile.c_str(), "w");
    ASSERT_TRUE(f);
    std::fclose(f);
    const struct {
        std::string sPort;
        const char* sReason;
    } aCases[] = {{"", "no port name"},
                  {"/dev/kelvo-no-such-port", "no such device"},
                  {std::string(10000, 'x'), "no such device"},
                  {"/dev/null", "not a serial device"},
                  {"/tmp", "not a serial device"},
                  {sFile, "not a serial device"}};
    for (const auto& c : aCases) {
        std::string sReason;
        EXPECT_FALSE(OpenComPort(c.sPort, 9600, &sReason)) << c.sPort.substr(0, 40);
        EXPECT_EQ(sReason, c.sReason) << c.sPort.substr(0, 40);
    }
    std::remove(sFile.c_str());
    EXPECT_FALSE(OpenComPort(pty.sSlave, 12345)) << "a rate the line cannot carry";
}

TEST_F(Pty, AProgramThatHoldsThePortIsNamed) {
    // Exclusive opening keeps out who comes later; one that holds the port already must be found.
    int aReady[2];
    ASSERT_EQ(pipe(aReady), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(pty.sSlave.c_str(), O_RDWR | O_NOCTTY);
        (void)!::write(aReady[1], "x", 1);
        pause();
        _exit(fd >= 0 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(::read(aReady[0], &c, 1), 1);
    std::string sReason;
    EXPECT_FALSE(OpenComPort(pty.sSlave, 9600, &sReason));
    EXPECT_EQ(sReason.rfind("in use by another program: ", 0), 0u) << sReason;
    EXPECT_NE(sReason.find("(pid " + std::to_string(pid) + ")"), std::string::npos) << sReason;

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ::close(aReady[0]);
    ::close(aReady[1]);
    EXPECT_TRUE(OpenComPort(pty.sSlave, 9600)) << "free again";
}

TEST_F(Pty, ARefusedUserIsToldWhoMayOpenTheDevice) {
    // A pseudo-terminal's slave stands for a serial device owned by root: with its group allowed
    // to read and write (as dialout is), a user outside it is told how to join; with only its
    // owner allowed, that joining the group would not help.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    // Owned by root and by dialout's number on Debian, whatever the system made it.
    const gid_t iGroup = 20;
    ASSERT_EQ(chown(pty.sSlave.c_str(), 0, iGroup), 0);
    const group* pGroup = getgrgid(iGroup);
    const std::string sGroup = pGroup ? pGroup->gr_name : std::to_string(iGroup);
    const auto reasonAsNobody = [&] {
        int aReason[2];
        EXPECT_EQ(pipe(aReason), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            const gid_t iNobody = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(iNobody) != 0 || setuid(iNobody) != 0)
                _exit(1);
            std::string sReason;
            if (OpenComPort(pty.sSlave, 9600, &sReason))
                _exit(2);
            (void)!::write(aReason[1], sReason.data(), sReason.size());
            _exit(0);
        }
        ::close(aReason[1]);
        std::string sReason;
        char b[512];
        for (ssize_t n; (n = ::read(aReason[0], b, sizeof b)) > 0;)
            sReason.append(b, static_cast<std::size_t>(n));
        ::close(aReason[0]);
        int iStatus = -1;
        EXPECT_EQ(waitpid(pid, &iStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << "1 no other user, 2 opened";
        return sReason;
    };
    ASSERT_EQ(chmod(pty.sSlave.c_str(), 0660), 0);
    EXPECT_EQ(reasonAsNobody(), "permission denied: the device belongs to the group '" + sGroup +
                                    "', which this user is not in; 'sudo usermod -aG " + sGroup +
                                    " nobody' adds the user, then log in again");
    ASSERT_EQ(chmod(pty.sSlave.c_str(), 0600), 0);
    EXPECT_EQ(reasonAsNobody(),
              "permission denied: only its owner root may open it (mode 0600, group " + sGroup +
                  ")");
}

TEST_F(Pty, CloseRestoresTheLineSettingsTheOpenFound) {
    // The test's own descriptor: the settings a terminal program left behind.
    const int fd = ::open(pty.sSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    cfsetspeed(&before, B38400);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);

    TPortHandle h = OpenComPort(pty.sSlave, 9600);
    ASSERT_TRUE(h);
    termios during{};
    ASSERT_EQ(tcgetattr(fd, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u) << "raw while open";
    EXPECT_TRUE(CloseComPort(h));

    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), B38400);
    ::close(fd);
}

TEST_F(Pty, TheProgramsOwnTerminalIsRefused) {
    // A child in a session of its own whose controlling terminal is the pseudo-terminal, as an
    // operator's shell is: opening that terminal as a port fails and leaves it as it was.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setsid() < 0)
            _exit(10);
        const int fd = ::open(pty.sSlave.c_str(), O_RDWR); // becomes the controlling terminal
        termios tio{};
        if (fd < 0 || tcgetattr(fd, &tio) != 0 || (tio.c_lflag & ECHO) == 0)
            _exit(11);
        std::string sReason;
        for (const char* sPort : {pty.sSlave.c_str(), "/dev/tty"}) {
            if (OpenComPort(sPort, 9600, &sReason))
                _exit(12);
            if (sReason != "it is the terminal this program runs in, not a serial port")
                _exit(13);
        }
        if (tcgetattr(fd, &tio) != 0 || (tio.c_lflag & ECHO) == 0)
            _exit(14);
        _exit(0);
    }
    int iStatus = -1;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(iStatus));
    EXPECT_EQ(WEXITSTATUS(iStatus), 0) << "10 setsid, 11 no terminal, 12 opened, 13 reason, "
                                          "14 settings changed";
}

TEST_F(Pty, BytesTakenByAnotherReaderAreNoHangUp) {
    // Another reader (root passes the exclusive flag) takes some of the answers first: the read
    // ends at its limit with what it got, and the line stays usable.
    TPortHandle h = OpenComPort(pty.sSlave, 9600);
    ASSERT_TRUE(h);
    const int fdThief = ::open(pty.sSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fdThief < 0)
        GTEST_SKIP() << "a second reader needs root here";
    std::atomic<bool> bStop{false};
    std::jthread thief([&] {
        while (!bStop) {
            pollfd p{fdThief, POLLIN, 0};
            std::uint8_t b[64];
            if (poll(&p, 1, 5) > 0)
                (void)!::read(fdThief, b, sizeof b);
        }
    });
    std::jthread peer([&] {
        for (int i = 0; i < 60 && !bStop; ++i) {
            pty.Send({0x55});
            std::this_thread::sleep_for(3ms);
        }
    });
    for (int i = 0; i < 3; ++i) {
        std::uint8_t b[100];
        std::uint32_t n = 0;
        EXPECT_TRUE(h->Read(b, 100, n)) << "read " << i << " taken for a hang-up";
    }
    bStop = true;
    peer.join();
    thief.join();
    ::close(fdThief);
}

TEST_F(Pty, ReadFromASilentPeerEndsAfterItsLimit) {
    TPortHandle h = OpenComPort(pty.sSlave, 9600);
    ASSERT_TRUE(h);
    std::uint8_t b[8];
    std::uint32_t n = 99;
    const auto t0 = TClock::now();
    ASSERT_TRUE(h->Read(b, 8, n));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(ms.count(), 205);
    EXPECT_LT(ms.count(), 400);
}

TEST_F(Pty, ReadReturnsAsSoonAsEverythingHasArrivedAndWriteGoesOut) {
    TPortHandle h = OpenComPort(pty.sSlave, 9600);
    ASSERT_TRUE(h);
    const std::uint8_t aOut[3] = {0x81, 0x00, 0xAA};
    std::uint32_t n = 0;
    ASSERT_TRUE(h->Write(aOut, 3, n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(pty.Receive(3, 1s), (std::vector<std::uint8_t>{0x81, 0x00, 0xAA}));

    std::jthread peer([&] {
        std::this_thread::sleep_for(20ms);
        pty.Send({1, 2, 3, 4});
        std::this_thread::sleep_for(20ms);
        pty.Send({5, 6, 7, 8, 9});
    });
    std::uint8_t b[8] = {};
    const auto t0 = TClock::now();
    ASSERT_TRUE(h->Read(b, 8, n));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0);
    EXPECT_EQ(n, 8u);
    EXPECT_LT(ms.count(), 200);
    EXPECT_EQ(b[7], 8);
}

TEST_F(Pty, HungUpLineFailsTheRead) {
    auto p = std::make_unique<TPty>();
    TPortHandle h = OpenComPort(p->sSlave, 9600);
    ASSERT_TRUE(h);
    p.reset(); // the peer closes its side
    std::uint8_t b[8];
    std::uint32_t n = 0;
    EXPECT_FALSE(h->Read(b, 8, n));
}

TEST_F(Pty, WorkerOnAPortThatCannotBeOpened) {
    TNotifyQueue q;
    auto w = StartWorker(q, "/dev/kelvo-no-such-port", 0, [](TPtyWorker&) { ADD_FAILURE(); });
    EXPECT_EQ(RunToEnd(q, 5s), (std::vector<TNotification>{{10, 10}}));
    w->WaitFor();
    EXPECT_FALSE(q.Wait(0ms)) << "nothing after the final notification";
}

TEST_F(Pty, WorkerExchangesFramesAndClosesBeforeItsFinalNotification) {
    TNotifyQueue q;
    std::jthread logger([&] {
        // Two wake-up frames, then an identification answered like a logger in its application.
        EXPECT_EQ(pty.Receive(16, 3s), std::vector<std::uint8_t>(16, 0));
        EXPECT_EQ(pty.Receive(8, 3s), (std::vector<std::uint8_t>{0x81, 0, 0, 0, 0, 0, 0, 0xAA}));
        std::vector<std::uint8_t> a{0x00, 0x00, 0x66, 0x01, 0x05, 0x88, 0x00, 0};
        a[7] = CalcCRC8(a.data(), 7);
        pty.Send(a);
    });
    auto w = StartWorker(q, pty.sSlave, 4, [](TPtyWorker& self) {
        self.SendCommand(true, 1, 0, 0, 0, 0, 0, 0);
        self.Post(Notify::Class, MakeWord(self.FRxBuffer[2], self.FRxBuffer[3]));
    });
    const auto aPosts = RunToEnd(q, 5s);
    EXPECT_TRUE(pty.SlaveClosed()) << "the port is closed when the final notification arrives";
    logger.join();
    EXPECT_EQ(aPosts, (std::vector<TNotification>{{20, 26113}, {0, 4}}));
    w->WaitFor();
    EXPECT_TRUE(OpenComPort(pty.sSlave, 9600));
}

TEST_F(Pty, SilentPeerEndsInNoAnswer) {
    TNotifyQueue q;
    const auto t0 = TClock::now();
    auto w = StartWorker(q, pty.sSlave, 6,
                         [](TPtyWorker& self) { self.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); });
    EXPECT_EQ(RunToEnd(q, 10s), (std::vector<TNotification>{{13, 6}}));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - t0);
    // Two wake-ups with their pauses, then five reads of 208 ms and four pauses of 100 ms.
    EXPECT_GE(ms.count(), 200 + 5 * 205 + 4 * 100);
    EXPECT_TRUE(pty.SlaveClosed());
}

TEST_F(Pty, CancelEndsWithStatus20) {
    TNotifyQueue q;
    auto w = StartWorker(q, pty.sSlave, 0,
                         [](TPtyWorker& self) { self.SendCommand(true, 1, 0, 0, 0, 0, 0, 0); });
    std::this_thread::sleep_for(400ms);
    bCancel = true;
    EXPECT_EQ(RunToEnd(q, 5s), (std::vector<TNotification>{{10, 20}}));
    EXPECT_TRUE(pty.SlaveClosed());
}
