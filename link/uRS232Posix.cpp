// POSIX serial backend: termios raw 9600 8N1, exclusive through TIOCEXCL and flock.
#include "link/uRS232.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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
    explicit TPosixSerialPort(int fd) : Ffd(fd) {}
    ~TPosixSerialPort() override { Close(); }

    bool ClearErrors() override {
        // termios keeps no error state to clear; the query still tells whether the device is
        // there at all.
        int iQueued = 0;
        return ioctl(Ffd, FIONREAD, &iQueued) == 0;
    }

    // Only the receive side: written bytes have left by the time Write returns, and on a
    // pseudo-terminal flushing the transmit side would also discard what the peer has not read
    // yet (a frame sent without awaiting an answer).
    bool Purge() override { return tcflush(Ffd, TCIFLUSH) == 0; }

    bool Write(const std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iWritten) override {
        iWritten = 0;
        const auto tDeadline = TClock::now() + std::chrono::milliseconds(iCount);
        while (iWritten < iCount) {
            const ssize_t n = ::write(Ffd, pData + iWritten, iCount - iWritten);
            if (n > 0) {
                iWritten += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            pollfd p{Ffd, POLLOUT, 0};
            const int iLeft = MsLeft(tDeadline);
            if (iLeft == 0)
                return true; // out of time: a short write, reported through iWritten
            if (poll(&p, 1, iLeft) < 0 && errno != EINTR)
                return false;
            if (p.revents & (POLLERR | POLLNVAL))
                return false;
        }
        return true;
    }

    bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) override {
        iRead = 0;
        const auto tDeadline =
            TClock::now() + std::chrono::milliseconds(iCount + ReadTotalTimeoutConstant);
        bool bReadable = false;
        while (iRead < iCount) {
            const ssize_t n = ::read(Ffd, pData + iRead, iCount - iRead);
            if (n > 0) {
                iRead += static_cast<std::uint32_t>(n);
                bReadable = false;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false; // EIO: the device is gone
            // Nothing although poll reported input: end of file, the line was hung up.
            if (n == 0 && bReadable)
                return false;
            const int iLeft = MsLeft(tDeadline);
            if (iLeft == 0)
                return true;
            pollfd p{Ffd, POLLIN, 0};
            const int iReady = poll(&p, 1, iLeft);
            if (iReady < 0 && errno != EINTR)
                return false;
            if (iReady > 0 && (p.revents & POLLIN) == 0)
                return false; // hang-up or error without data
            bReadable = iReady > 0;
        }
        return true;
    }

    bool SetExclusive() {
        FbExclusive = ioctl(Ffd, TIOCEXCL) == 0;
        return FbExclusive;
    }

    bool Close() override {
        if (Ffd < 0)
            return true;
        if (FbExclusive)
            ioctl(Ffd, TIOCNXCL);
        const bool bOk = ::close(Ffd) == 0; // also releases the flock
        Ffd = -1;
        return bOk;
    }

private:
    int Ffd;
    bool FbExclusive = false;
};

} // namespace

TPortHandle OpenComPort(const std::string& sPort, std::int32_t iBaud) {
    speed_t iSpeed = 0;
    if (sPort.empty() || !BaudToSpeed(iBaud, iSpeed))
        return nullptr;
    const int fd = ::open(sPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // From here on the port object owns fd and closes it on every failure path.
    auto hPort = std::make_unique<TPosixSerialPort>(fd);

    // Exclusive: flock keeps out every other program of ours, root included; TIOCEXCL keeps out
    // other programs (root ignores it). The lock comes first so that a refused open never touches
    // the exclusive flag of the port's owner.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !hPort->SetExclusive())
        return nullptr;

    // Line settings, filled completely rather than edited: raw, 8N1, no flow control.
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return nullptr; // not a terminal device
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, iSpeed) != 0 || cfsetospeed(&tio, iSpeed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0)
        return nullptr;

    // Driver queue sizes and time limits have no counterpart here: Read and Write keep the
    // limits themselves. Last, RTS off and DTR on.
    if (!ModemLine(fd, TIOCMBIC, TIOCM_RTS) || !ModemLine(fd, TIOCMBIS, TIOCM_DTR))
        return nullptr;
    return hPort;
}
