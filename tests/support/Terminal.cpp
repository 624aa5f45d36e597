#include "tests/support/Terminal.h"

#include "tests/support/Process.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

TTerminalProcess::TTerminalProcess(const std::vector<std::string>& aArgs,
                                   const std::vector<std::string>& aEnv, unsigned short iColumns,
                                   unsigned short iRows) {
    // Everything the child needs is made before the fork: after it, only exec.
    TExecVectors exec(aArgs, aEnv);
    winsize ws{};
    ws.ws_col = iColumns;
    ws.ws_row = iRows;
    Fpid = forkpty(&FfdMaster, nullptr, nullptr, &ws);
    if (Fpid == 0) {
        execve(exec.Argv()[0], exec.Argv(), exec.Envp());
        _exit(127);
    }
    if (Fpid < 0)
        throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
    FReader = std::thread([this] { Read(); });
}

TTerminalProcess::~TTerminalProcess() {
    if (Fpid > 0) {
        ::kill(Fpid, SIGKILL);
        Wait();
    }
    FbStopReading = true;
    if (FReader.joinable())
        FReader.join();
    if (FfdMaster >= 0)
        ::close(FfdMaster);
}

void TTerminalProcess::Read() {
    char b[4096];
    while (!FbStopReading) {
        pollfd p{FfdMaster, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(FfdMaster, b, sizeof b);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // EIO: every holder of the terminal's other side has gone
        const std::lock_guard lock(FMutex);
        FsSeen.append(b, static_cast<std::size_t>(n));
    }
    FbReadEnded = true;
}

std::string TTerminalProcess::Seen() const {
    const std::lock_guard lock(FMutex);
    return FsSeen;
}

void TTerminalProcess::Type(const std::string& s) {
    if (::write(FfdMaster, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
        throw std::runtime_error("cannot type on the terminal");
}

void TTerminalProcess::Signal(int iSignal) {
    if (Fpid > 0)
        ::kill(Fpid, iSignal);
}

int TTerminalProcess::Wait() {
    if (Fpid <= 0)
        return -1;
    int iStatus = 0;
    while (::waitpid(Fpid, &iStatus, 0) < 0 && errno == EINTR) {
    }
    Fpid = -1;
    // The last output is read once the terminal hangs up; a process left behind that still
    // holds it does not keep the test waiting long.
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!FbReadEnded && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    FbStopReading = true;
    if (FReader.joinable())
        FReader.join();
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}
