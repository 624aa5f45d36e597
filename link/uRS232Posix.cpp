// POSIX serial backend: termios raw 9600 8N1, exclusive through TIOCEXCL and flock.
#include "link/uRS232.h"

#include "link/uLinePace.h"
#include "link/uPortReason.h"
#include "link/uSystemTexts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/serial.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// Constant added to every read limit, as the logger's protocol expects.
constexpr int ReadTotalTimeoutConstant = 200;
bool BaudToSpeed(std::int32_t iBaud, speed_t& iSpeed) {
    switch (iBaud) {
    case 1200:
        iSpeed = B1200;
        return true;
    case 2400:
        iSpeed = B2400;
        return true;
    case 4800:
        iSpeed = B4800;
        return true;
    case 9600:
        iSpeed = B9600;
        return true;
    case 19200:
        iSpeed = B19200;
        return true;
    case 38400:
        iSpeed = B38400;
        return true;
    case 57600:
        iSpeed = B57600;
        return true;
    case 115200:
        iSpeed = B115200;
        return true;
    default:
        return false;
    }
}

// Milliseconds left until tDeadline, never negative.
int MsLeft(TClock::time_point tDeadline) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline - TClock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

// A modem-control request that the device cannot carry (a pseudo-terminal has no DTR or RTS) is
// not a failure of the port.
bool ModemLine(int fd, unsigned long iRequest, int iBits) {
    if (ioctl(fd, iRequest, &iBits) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL;
}

class TPosixSerialPort final : public TSerialPort {
public:
    // tByte: the time the line takes for one byte (ten bits).
    TPosixSerialPort(int fd, std::chrono::nanoseconds tByte) : Ffd(fd), FPace(tByte) {}
    ~TPosixSerialPort() override { Close(); }

    bool ClearErrors() override {
        // termios keeps no error state to clear; the query still tells whether the device is
        // there at all.
        int iQueued = 0;
        return ioctl(Ffd, FIONREAD, &iQueued) == 0 || Failed(errno);
    }

    // Only the receive side: written bytes are on their way by the time Write returns (the
    // driver sends them at the line's pace), and on a pseudo-terminal flushing the transmit side
    // would also discard what the peer has not read yet (a frame sent without awaiting an answer).
    bool Purge() override { return tcflush(Ffd, TCIFLUSH) == 0 || Failed(errno); }

    std::string LastError() const override { return FsLastError; }

    bool Write(const std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iWritten) override {
        iWritten = 0;
        const auto tStart = TClock::now();
        const auto tDeadline = tStart + std::chrono::milliseconds(iCount);
        FPace.Written(tStart, iCount);
        while (iWritten < iCount) {
            const ssize_t n = ::write(Ffd, pData + iWritten, iCount - iWritten);
            if (n > 0) {
                iWritten += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return Failed(errno);
            pollfd p{Ffd, POLLOUT, 0};
            const int iLeft = MsLeft(tDeadline);
            if (iLeft == 0)
                return true; // out of time: a short write, reported through iWritten
            if (poll(&p, 1, iLeft) < 0 && errno != EINTR)
                return Failed(errno);
            if (p.revents & (POLLERR | POLLNVAL))
                return LineFailed(p.revents);
        }
        return true;
    }

    bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) override {
        iRead = 0;
        const auto tDeadline =
            TClock::now() + std::chrono::milliseconds(iCount + ReadTotalTimeoutConstant);
        bool bHungUp = false;
        // When this read found its first bytes, and how many.
        std::optional<TClock::time_point> tFirst;
        std::uint32_t iFirst = 0;
        SleepUntil(std::min(FPace.FirstLook(TClock::now(), iCount), tDeadline));
        while (iRead < iCount) {
            const ssize_t n = ::read(Ffd, pData + iRead, iCount - iRead);
            if (n > 0) {
                iRead += static_cast<std::uint32_t>(n);
                bHungUp = false;
                const auto tNow = TClock::now();
                if (!tFirst) {
                    tFirst = tNow;
                    iFirst = iRead;
                }
                // Every look teaches the pace, the last one too; what has not come by the
                // wake-up is left to poll, so the read still ends as soon as its last byte is
                // there.
                const auto tNext = FPace.Found(*tFirst, iFirst, tNow, iRead, iCount);
                if (iRead < iCount)
                    SleepUntil(std::min(tNext, tDeadline));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return Failed(errno); // EIO: the device is gone
            // Nothing to read although poll reported a hang-up: the line is gone. Readable without
            // a hang-up and still nothing: another reader took the bytes first; keep waiting.
            if (n == 0 && bHungUp)
                return LineFailed(POLLHUP);
            const int iLeft = MsLeft(tDeadline);
            if (iLeft == 0)
                return true;
            pollfd p{Ffd, POLLIN, 0};
            const int iReady = poll(&p, 1, iLeft);
            if (iReady < 0 && errno != EINTR)
                return Failed(errno);
            if (iReady > 0 && (p.revents & POLLNVAL) != 0)
                return LineFailed(POLLNVAL);
            bHungUp = iReady > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
        }
        return true;
    }

    // Nothing is read: what arrives meanwhile stays for the next read. A device that has gone
    // away reports a hang-up (or an error) to poll at once, whatever it was asked to watch for.
    bool WaitUnlessHungUp(std::int32_t iMs) override {
        const auto tDeadline = TClock::now() + std::chrono::milliseconds(iMs);
        for (int iLeft = iMs; iLeft > 0; iLeft = MsLeft(tDeadline)) {
            pollfd p{Ffd, 0, 0};
            const int iReady = poll(&p, 1, iLeft);
            if (iReady < 0 && errno != EINTR)
                return Failed(errno);
            if (iReady > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
                return LineFailed(p.revents);
        }
        return true;
    }

    // Asks the driver to hand over received bytes at once instead of collecting them for a
    // while (a USB serial converter's driver may hold them for up to its latency time). A device
    // that has no such setting (a pseudo-terminal) or refuses it is used as it is: the update
    // then only takes longer.
    void RequestLowLatency() {
        serial_struct serial{};
        if (ioctl(Ffd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
            return;
        const int iOldFlags = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(Ffd, TIOCSSERIAL, &serial) == 0)
            FiOldSerialFlags = iOldFlags;
    }

    bool SetExclusive() {
        FbExclusive = ioctl(Ffd, TIOCEXCL) == 0;
        return FbExclusive;
    }

    // The line settings to put back on close.
    void KeepSettings(const termios& tio) { FOldSettings = tio; }

    bool Close() override {
        if (Ffd < 0)
            return true;
        // The port is left as it was found; a device that is gone refuses, which changes nothing.
        if (FOldSettings)
            tcsetattr(Ffd, TCSANOW, &*FOldSettings);
        if (serial_struct serial{}; FiOldSerialFlags && ioctl(Ffd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = *FiOldSerialFlags;
            ioctl(Ffd, TIOCSSERIAL, &serial);
        }
        if (FbExclusive)
            ioctl(Ffd, TIOCNXCL);
        const bool bOk = ::close(Ffd) == 0; // also releases the flock
        Ffd = -1;
        return bOk;
    }

private:
    static void SleepUntil(TClock::time_point t) {
        if (t - TClock::now() >= MinPaceWait)
            std::this_thread::sleep_until(t);
    }

    // A failed call: its reason kept for LastError, from errno or from what poll reported.
    bool Failed(int iError) {
        FsLastError = IoErrorReason(static_cast<std::uint32_t>(iError));
        return false;
    }
    bool LineFailed(int iRevents) {
        FsLastError = (iRevents & POLLNVAL) != 0
                          ? std::string("the port was closed while in use")
                          : std::string(PortReason::Disconnected) +
                                ((iRevents & POLLHUP) != 0 ? " (hang-up)" : " (error on the line)");
        return false;
    }

    std::string FsLastError;
    int Ffd;
    TLinePace FPace; // when a read looks for its bytes
    bool FbExclusive = false;
    std::optional<termios> FOldSettings;
    std::optional<int> FiOldSerialFlags; // the driver's flags before RequestLowLatency
};

} // namespace

TPortHandle OpenComPort(const std::string& sPort, std::int32_t iBaud, std::string* psReason) {
    std::string sIgnored;
    std::string& sReason = psReason != nullptr ? *psReason : sIgnored;
    speed_t iSpeed = 0;
    if (sPort.empty()) {
        sReason = "no port name";
        return nullptr;
    }
    if (!BaudToSpeed(iBaud, iSpeed)) {
        sReason = "the line cannot carry " + std::to_string(iBaud) + " baud";
        return nullptr;
    }
    const int fd = ::open(sPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        sReason = OpenErrorReason(static_cast<std::uint32_t>(errno), sPort);
        return nullptr;
    }
    // From here on the port object owns fd and closes it on every failure path.
    auto hPort =
        std::make_unique<TPosixSerialPort>(fd, std::chrono::nanoseconds(10'000'000'000LL / iBaud));

    // Exclusive: flock keeps out every other program of ours, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        sReason = OpenErrorReason(EBUSY, sPort);
        return nullptr;
    }
    termios tio{};
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
        sReason = PortReason::NotSerial;
        return nullptr;
    }
    // The program's own terminal is never a logger's line: frames written there would land on the
    // operator's screen and leave the terminal raw.
    if (pid_t sid = 0; ioctl(fd, TIOCGSID, &sid) == 0) {
        sReason = "it is the terminal this program runs in, not a serial port";
        return nullptr;
    }
    // Exclusivity keeps out who comes after us, not who opened the port before: a program that
    // holds it now (a modem manager probing new ports, a terminal program) would take the
    // logger's answers away. Checked before TIOCEXCL, so that a refused open never touches the
    // exclusive flag of the port's owner.
    if (const std::string sHolders = PortHolders(sPort); !sHolders.empty()) {
        sReason = std::string(PortReason::InUse) + ": " + sHolders;
        return nullptr;
    }
    // TIOCEXCL keeps out other programs that come later (root ignores it).
    if (!hPort->SetExclusive()) {
        sReason = std::string("exclusive use was refused: ") + ErrorText(errno);
        return nullptr;
    }
    hPort->KeepSettings(tio);

    // Line settings, filled completely rather than edited: raw, 8N1, no flow control.
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, iSpeed) != 0 || cfsetospeed(&tio, iSpeed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0) {
        sReason = std::string("the line settings were refused: ") + ErrorText(errno);
        return nullptr;
    }

    hPort->RequestLowLatency();

    // Driver queue sizes and time limits have no counterpart here: Read and Write keep the
    // limits themselves. Last, RTS off and DTR on.
    if (!ModemLine(fd, TIOCMBIC, TIOCM_RTS) || !ModemLine(fd, TIOCMBIS, TIOCM_DTR)) {
        sReason = std::string("the modem lines were refused: ") + ErrorText(errno);
        return nullptr;
    }
    return hPort;
}

bool EnsureStandardStreams() {
    // A descriptor opens on the lowest free number: going up from 0, each closed one is taken by
    // the null device itself.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int iNull = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (iNull != fd) {
            if (iNull >= 0)
                ::close(iNull);
            return false;
        }
    }
    return true;
}
