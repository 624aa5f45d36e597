#include "cli/uChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct TChildProcess::TImpl {
    pid_t pid = -1;
    int fdOut = -1;
    int fdErr = -1;
    bool bWaited = false;
    int iExit = -1;
};

namespace {

// A pipe whose ends no other child inherits: each child holds only its own write ends, so that
// each pipe ends when its own child does.
void Pipe(int aFd[2]) {
    if (::pipe2(aFd, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

} // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& aArgs) : F(std::make_unique<TImpl>()) {
    std::vector<std::string> aAll{"kelvo-update"};
    aAll.insert(aAll.end(), aArgs.begin(), aArgs.end());
    std::vector<char*> argv;
    for (std::string& s : aAll)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int aOut[2];
    int aErr[2];
    Pipe(aOut);
    try {
        Pipe(aErr);
    } catch (...) {
        ::close(aOut[0]);
        ::close(aOut[1]);
        throw;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, aOut[1], 1);
    posix_spawn_file_actions_adddup2(&actions, aErr[1], 2);
    // The program itself, whatever name it was started by.
    const int iError =
        posix_spawn(&F->pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(aOut[1]);
    ::close(aErr[1]);
    F->fdOut = aOut[0];
    F->fdErr = aErr[0];
    if (iError != 0) {
        F->pid = -1;
        ::close(F->fdOut);
        ::close(F->fdErr);
        throw std::runtime_error(std::string("cannot start kelvo-update: ") +
                                 std::strerror(iError));
    }
}

TChildProcess::~TChildProcess() {
    if (F->pid > 0 && !F->bWaited) {
        ::kill(F->pid, SIGKILL);
        Wait();
    }
    ::close(F->fdOut);
    ::close(F->fdErr);
}

std::size_t TChildProcess::Read(TStream stream, char* pBuffer, std::size_t iSize) {
    const int fd = stream == TStream::Out ? F->fdOut : F->fdErr;
    for (;;) {
        const ssize_t n = ::read(fd, pBuffer, iSize);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            return 0;
    }
}

void TChildProcess::Cancel() {
    // Never after the wait: the process id may belong to another process by then.
    if (F->pid > 0 && !F->bWaited)
        ::kill(F->pid, SIGTERM);
}

int TChildProcess::Wait() {
    if (F->bWaited)
        return F->iExit;
    int iStatus = 0;
    pid_t r = 0;
    while ((r = ::waitpid(F->pid, &iStatus, 0)) < 0 && errno == EINTR) {
    }
    F->bWaited = true;
    F->iExit = r == F->pid && WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    return F->iExit;
}
