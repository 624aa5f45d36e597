// kelvo-logger-sim: serves the logger model on a pseudo-terminal. The host opens the slave side
// like a serial port; this program holds only the master side (like a real logger, it keeps no
// descriptor on the host's device), paces the bytes if asked, and passes them to and from the
// model.
#include "cmdline/uMainGuard.h"
#include "link/uRS232.h"
#include "link/uSystemTexts.h"
#include "sim/uLoggerModel.h"
#include "sim/uSimOptions.h"
#include "uVersionInfo.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Quiet time after which a partial frame or line is dropped.
constexpr auto IdleTime = 20ms;
// Pause while no client has the slave open: the master then reports POLLHUP (and reads fail
// with EIO) until the next open, so polling at once would spin. What a client writes meanwhile
// waits in the pseudo-terminal.
constexpr int HangupPauseMs = 10;
// Longest sleep in poll, so that a signal is noticed even without EINTR.
constexpr auto MaxWait = 100ms;
constexpr std::size_t ReadChunk = 4096;

volatile std::sig_atomic_t gbStop = 0;
extern "C" void OnStopSignal(int) {
    gbStop = 1;
}

struct ESetup : std::runtime_error {
    ESetup(const std::string& s, int iExit) : std::runtime_error(s), iExitCode(iExit) {}
    int iExitCode;
};

std::string SysError(const std::string& sWhat) {
    return sWhat + ": " + ErrorText(errno);
}

const TClock::time_point gtStart = TClock::now();

// One line of the verbose log, with the milliseconds since the start.
void LogLine(const std::string& s) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - gtStart);
    std::cerr << "[" << ms.count() << " ms] " << s << std::endl;
}

class TFd {
public:
    explicit TFd(int fd = -1) : Ffd(fd) {}
    ~TFd() { Close(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Ffd; }
    void Reset(int fd) {
        Close();
        Ffd = fd;
    }
    void Close() {
        if (Ffd >= 0)
            ::close(Ffd);
        Ffd = -1;
    }

private:
    int Ffd;
};

// A symlink that is removed again when it still points where we put it.
class TSymlink {
public:
    TSymlink(std::string sPath, const std::string& sTarget)
        : FsPath(std::move(sPath)), FsTarget(sTarget) {
        // Replace a stale link from an earlier run, but never a file or directory.
        char aBuf[1];
        if (::readlink(FsPath.c_str(), aBuf, sizeof aBuf) >= 0)
            ::unlink(FsPath.c_str());
        if (::symlink(FsTarget.c_str(), FsPath.c_str()) != 0)
            throw ESetup(SysError("cannot create link " + FsPath), SimExit::BadOptions);
    }
    ~TSymlink() {
        std::string s(FsTarget.size() + 1, '\0');
        const ssize_t n = ::readlink(FsPath.c_str(), s.data(), s.size());
        if (n >= 0 && static_cast<std::size_t>(n) == FsTarget.size() &&
            s.compare(0, FsTarget.size(), FsTarget) == 0)
            ::unlink(FsPath.c_str());
    }
    TSymlink(const TSymlink&) = delete;
    TSymlink& operator=(const TSymlink&) = delete;

private:
    std::string FsPath;
    std::string FsTarget;
};

// Opens the master side and puts the slave side into raw mode, opening the slave only for that.
// The mode stays with the pseudo-terminal while the master is open, whoever opens the slave
// later; it is returned so that it can be restored after a client that changed it.
std::string OpenPty(TFd& master, termios& mode) {
    master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (master.Get() < 0 || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0)
        throw ESetup(SysError("cannot open a pseudo-terminal"), SimExit::Failure);
    const char* pName = ptsname(master.Get());
    if (pName == nullptr)
        throw ESetup(SysError("ptsname"), SimExit::Failure);
    const std::string sSlave = pName;
    TFd slave(::open(sSlave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (slave.Get() < 0 || tcgetattr(slave.Get(), &tio) != 0)
        throw ESetup(SysError("cannot open " + sSlave), SimExit::Failure);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(slave.Get(), TCSANOW, &tio) != 0)
        throw ESetup(SysError("cannot set raw mode on " + sSlave), SimExit::Failure);
    mode = tio;
    return sSlave;
}

class TServer {
public:
    TServer(const TSimOptions& options, TLoggerModel& model, int fdMaster, const termios& mode,
            std::ostream* pRecord)
        : FOptions(options), FModel(model), FfdMaster(fdMaster), FMode(mode), FpRecord(pRecord),
          FtByte(options.iBaud ? std::chrono::nanoseconds(10'000'000'000LL / options.iBaud)
                               : std::chrono::nanoseconds(0)),
          FtLatency(std::chrono::milliseconds(options.iLatencyMs)) {}

    // Serves until a stop signal (false) or a hangup fault (true).
    bool Run() {
        while (!gbStop) {
            const auto tNow = TClock::now();
            Deliver(tNow);
            if (FModel.HangupRequested())
                return true;
            if (!FbIdle && FaIn.empty() && tNow - FtLastArrival >= IdleTime) {
                FModel.LineIdle();
                FbIdle = true;
            }
            if (!Transmit(tNow))
                throw ESetup(SysError("write to the pseudo-terminal"), SimExit::Failure);
            Wait(tNow);
        }
        return false;
    }

    int Closes() const { return FiCloses; }

private:
    using TTimedBytes = std::deque<std::pair<TClock::time_point, std::uint8_t>>;

    void Verbose(const std::string& s) const {
        if (FOptions.bVerbose)
            LogLine(s);
    }

    // Hands the bytes whose arrival time has come (bAll: every byte) to the model and queues its
    // answer. The logger answers once it has the last byte: the answer's first byte arrives one
    // byte time after that at the soonest, and each further byte one byte time after the one
    // before.
    void Deliver(TClock::time_point tNow, bool bAll = false) {
        std::vector<std::uint8_t> a;
        TClock::time_point tReceived{};
        while (!FaIn.empty() && (bAll || FaIn.front().first <= tNow)) {
            tReceived = FaIn.front().first;
            a.push_back(FaIn.front().second);
            FaIn.pop_front();
        }
        if (a.empty())
            return;
        // While the logger restarts it hears nothing.
        if (tReceived < FtRestartEnd) {
            Verbose("restarting: " + std::to_string(a.size()) + " byte(s) not heard");
            return;
        }
        for (const std::uint8_t b : FModel.Receive(a.data(), a.size())) {
            FtLastOut = std::max(tReceived, FtLastOut) + FtByte;
            FaOut.emplace_back(FtLastOut, b);
        }
        if (FModel.TakeRestart())
            FtRestartEnd = tReceived + std::chrono::milliseconds(FOptions.iRestartMs);
        if (FpRecord != nullptr) {
            for (const std::string& s : FModel.TakeRecord())
                *FpRecord << s << '\n';
            FpRecord->flush();
        } else {
            FModel.TakeRecord();
        }
    }

    // How many answer bytes are due at tNow: those that have crossed the line. Through a
    // converter (--latency) they leave in whole packets, a partial packet only once the latency
    // has passed since its first byte came in.
    std::size_t Due(TClock::time_point tNow) const {
        std::size_t n = 0;
        while (n < FaOut.size() && FaOut[n].first <= tNow)
            ++n;
        if (FtLatency.count() == 0 || n == 0 || FaOut.front().first + FtLatency <= tNow)
            return n;
        return n - n % LatencyPacket;
    }

    // When the next answer bytes fall due, if any wait.
    std::optional<TClock::time_point> NextDue(TClock::time_point tNow) const {
        if (FaOut.empty())
            return std::nullopt;
        if (FtLatency.count() == 0) {
            const auto it = std::find_if(FaOut.begin(), FaOut.end(),
                                         [&](const auto& p) { return p.first > tNow; });
            return it == FaOut.end() ? tNow : it->first;
        }
        auto t = FaOut.front().first + FtLatency;
        if (FaOut.size() >= LatencyPacket)
            t = std::min(t, FaOut[LatencyPacket - 1].first);
        return std::max(t, tNow);
    }

    // Writes the answer bytes that are due; false when the write fails for good. FbBlocked: the
    // pseudo-terminal took less than was due.
    bool Transmit(TClock::time_point tNow) {
        FbBlocked = false;
        for (std::size_t n = Due(tNow); n > 0;) {
            std::uint8_t aBuf[ReadChunk];
            const std::size_t iChunk = std::min(n, sizeof aBuf);
            for (std::size_t i = 0; i < iChunk; ++i)
                aBuf[i] = FaOut[i].second;
            const ssize_t iWritten = ::write(FfdMaster, aBuf, iChunk);
            if (iWritten < 0) {
                FbBlocked = errno == EAGAIN;
                return errno == EAGAIN || errno == EINTR || errno == EIO;
            }
            FaOut.erase(FaOut.begin(), FaOut.begin() + iWritten);
            n -= static_cast<std::size_t>(iWritten);
            if (static_cast<std::size_t>(iWritten) < iChunk) {
                FbBlocked = true;
                break;
            }
        }
        return true;
    }

    void Wait(TClock::time_point tNow) {
        // Output still due after Transmit means that the line is full: wait until it takes more.
        auto tWake = tNow + MaxWait;
        // The host writes a request at once and then waits for the answer: the logger needs it
        // whole, when its last byte has arrived, and no wake-up for each byte.
        if (!FaIn.empty())
            tWake = std::min(tWake, FaIn.back().first);
        if (const auto t = NextDue(tNow); t && !FbBlocked)
            tWake = std::min(tWake, *t);
        if (!FbIdle)
            tWake = std::min(tWake, FtLastArrival + IdleTime);
        // To the microsecond: the schedule is absolute, and waking late delays the next byte.
        const auto ns = std::max<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(tWake - tNow).count(), 0);
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                               static_cast<long>(ns % 1'000'000'000)};
        pollfd p{FfdMaster, static_cast<short>(POLLIN | (FbBlocked ? POLLOUT : 0)), 0};
        const int iReady = ::ppoll(&p, 1, &timeout, nullptr);
        if (iReady < 0) {
            if (errno == EINTR)
                return;
            throw ESetup(SysError("poll"), SimExit::Failure);
        }
        if (p.revents & POLLHUP) {
            // What the client wrote before it closed can still be read (then reads fail).
            if (p.revents & POLLIN) {
                Opened();
                while (Read()) {
                }
            }
            HungUp();
            return;
        }
        Opened();
        if (p.revents & POLLIN)
            Read();
    }

    // A client has the port open, or had it (it wrote and closed between two looks).
    void Opened() {
        if (!FbConnected) {
            FbConnected = true;
            Verbose("port opened");
        }
    }

    // False when nothing was read.
    bool Read() {
        std::uint8_t aBuf[ReadChunk];
        const ssize_t n = ::read(FfdMaster, aBuf, sizeof aBuf);
        if (n <= 0)
            return false; // EAGAIN, or EIO once no client has the slave open
        const auto tNow = TClock::now();
        for (ssize_t i = 0; i < n; ++i) {
            // A byte arrives one byte time after it was written at the soonest, and one byte
            // time after the byte before.
            FtLastArrival = std::max(tNow, FtLastArrival) + FtByte;
            FaIn.emplace_back(FtLastArrival, aBuf[i]);
        }
        FbIdle = false;
        return true;
    }

    // No client has the slave open: after a close, forget the conversation; then wait a little
    // for the next open.
    void HungUp() {
        if (FbConnected) {
            // What the client sent before it closed reaches the logger, as on a real line; the
            // answers have no one to go to.
            Deliver(TClock::now(), true);
            FaOut.clear();
            FbConnected = false;
            ++FiCloses;
            Verbose("port closed (" + std::to_string(FiCloses) + ")");
            FModel.LineIdle();
            FbIdle = true;
            // Our answers that the client did not read are not for the next one. The input is
            // not flushed: the next client may already have opened the port and written.
            tcflush(FfdMaster, TCOFLUSH);
            // The client may have left other line settings (echo would send our answers back
            // to us); the master reaches the slave's settings without opening it.
            if (tcsetattr(FfdMaster, TCSANOW, &FMode) != 0)
                throw ESetup(SysError("cannot restore raw mode"), SimExit::Failure);
        }
        ::poll(nullptr, 0, HangupPauseMs);
    }

    const TSimOptions& FOptions;
    TLoggerModel& FModel;
    int FfdMaster;
    termios FMode;
    std::ostream* FpRecord;
    std::chrono::nanoseconds FtByte;
    std::chrono::nanoseconds FtLatency;
    TClock::time_point FtRestartEnd{};
    // Bytes on their way, each with the time it has crossed the line.
    TTimedBytes FaIn;
    TTimedBytes FaOut;
    TClock::time_point FtLastOut{};
    TClock::time_point FtLastArrival{};
    bool FbBlocked = false;
    bool FbIdle = true;
    bool FbConnected = false;
    int FiCloses = 0;
};

int Serve(const TSimOptions& options) {
    TLoggerConfig config = options.config;
    if (!options.sImageFile.empty()) {
        std::string sError;
        auto image = LoadImageFile(options.sImageFile, sError);
        if (!image)
            throw ESetup(sError, SimExit::BadOptions);
        config.iImage = 0;
        config.image = std::move(*image);
    }
    TLoggerModel model(std::move(config));
    if (options.bVerbose)
        model.SetLog(LogLine);

    std::ofstream record;
    if (!options.sRecord.empty()) {
        record.open(options.sRecord, std::ios::out | std::ios::trunc);
        if (!record)
            throw ESetup(SysError("cannot write record file " + options.sRecord),
                         SimExit::BadOptions);
    }

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TFd master;
    termios mode{};
    const std::string sSlave = OpenPty(master, mode);
    std::optional<TSymlink> link;
    if (!options.sLink.empty())
        link.emplace(options.sLink, sSlave);
    std::cout << sSlave << std::endl;

    TServer server(options, model, master.Get(), mode, record.is_open() ? &record : nullptr);
    const bool bHangup = server.Run();
    if (options.bVerbose)
        LogLine(std::to_string(server.Closes()) + " close(s) of the port" +
                (bHangup ? "; hangup fault: closing the line" : ""));
    master.Close();
    return bHangup ? SimExit::Hangup : SimExit::Ok;
}

int RunProgram(int argc, char** argv) {
    if (!EnsureStandardStreams())
        return SimExit::Failure;
    std::string sError;
    const auto options = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), sError);
    if (!options) {
        std::cerr << "kelvo-logger-sim: " << sError << std::endl;
        return SimExit::BadOptions;
    }
    if (options->bHelp) {
        std::cout << SimUsage();
        return SimExit::Ok;
    }
    if (options->bVersion) {
        std::cout << "kelvo-logger-sim " << KelvoVersion << std::endl;
        return SimExit::Ok;
    }
    try {
        return Serve(*options);
    } catch (const ESetup& e) {
        std::cerr << "kelvo-logger-sim: " << e.what() << std::endl;
        return e.iExitCode;
    } catch (const std::exception& e) {
        std::cerr << "kelvo-logger-sim: " << e.what() << std::endl;
        return SimExit::Failure;
    }
}

} // namespace

int main(int argc, char** argv) {
    return GuardMain(
        "kelvo-logger-sim", [&] { return RunProgram(argc, argv); },
        [](const std::string& sLine) { std::cerr << sLine << std::endl; });
}
