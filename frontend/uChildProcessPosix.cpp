#include "frontend/uChildProcess.h"

#include "link/uSystemTexts.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

struct TChildProcess::TImpl {
    pid_t pid = -1;
    int fdIn = -1;
    int fdOut = -1;
    int fdErr = -1;
    // A pipe of this process alone: Kill writes to it, which ends every Read.
    int fdKilledRead = -1;
    int fdKilledWrite = -1;
    bool bKilled = false;
    std::chrono::steady_clock::time_point tKilled;
    bool bReadsEnded = false;
    bool bWaited = false;
    int iExit = -1;
    int iSignal = 0;
};

namespace {

// How long a killed process is waited for, from the kill. SIGKILL takes effect when the process
// next leaves the kernel, at once unless a system call holds it (closing a port with unsent output
// can take half a minute).
constexpr auto KilledWait = std::chrono::seconds(1);

std::runtime_error SystemError(const std::string& sWhat, int iError) {
    return std::runtime_error(sWhat + ": " + ErrorText(iError));
}

// A pipe whose ends no other child inherits: each child holds only its own ends, so that each
// pipe ends when its own child does.
struct TPipe {
    int fdRead = -1;
    int fdWrite = -1;
    TPipe() {
        int a[2];
        if (::pipe2(a, O_CLOEXEC) != 0)
            throw SystemError("pipe", errno);
        fdRead = a[0];
        fdWrite = a[1];
    }
    ~TPipe() {
        Close(fdRead);
        Close(fdWrite);
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    // Hands one end over to its new owner.
    static int Take(int& fd) {
        const int r = fd;
        fd = -1;
        return r;
    }
    static void Close(int& fd) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// The file actions of a spawn, destroyed on every path.
struct TFileActions {
    posix_spawn_file_actions_t a;
    TFileActions() {
        if (const int e = posix_spawn_file_actions_init(&a); e != 0)
            throw SystemError("posix_spawn_file_actions_init", e);
    }
    ~TFileActions() { posix_spawn_file_actions_destroy(&a); }
    TFileActions(const TFileActions&) = delete;
    TFileActions& operator=(const TFileActions&) = delete;
    void Dup2(int fd, int iTarget) {
        if (const int e = posix_spawn_file_actions_adddup2(&a, fd, iTarget); e != 0)
            throw SystemError("posix_spawn_file_actions_adddup2", e);
    }
};

// The program's own file, by the path that names it, so that the child carries the program's name
// (in ps, and where a port's holder is named); /proc/self/exe when that path is gone.
std::string OwnExecutable() {
    char a[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", a, sizeof a - 1);
    if (n > 0) {
        const std::string s(a, static_cast<std::size_t>(n));
        struct stat st {};
        if (::stat(s.c_str(), &st) == 0)
            return s;
    }
    return "/proc/self/exe";
}

// The attributes of a spawn, destroyed on every path: the child gets a process group of its own,
// so that Ctrl+C on the terminal reaches only this program, which decides what its children do
// (a station lets the running updates finish).
struct TSpawnAttributes {
    posix_spawnattr_t a;
    TSpawnAttributes() {
        if (const int e = posix_spawnattr_init(&a); e != 0)
            throw SystemError("posix_spawnattr_init", e);
        int e = posix_spawnattr_setflags(&a, POSIX_SPAWN_SETPGROUP);
        if (e == 0)
            e = posix_spawnattr_setpgroup(&a, 0);
        if (e != 0) {
            posix_spawnattr_destroy(&a);
            throw SystemError("posix_spawnattr_setpgroup", e);
        }
    }
    ~TSpawnAttributes() { posix_spawnattr_destroy(&a); }
    TSpawnAttributes(const TSpawnAttributes&) = delete;
    TSpawnAttributes& operator=(const TSpawnAttributes&) = delete;
};

} // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& aArgs, const std::string& sProgram)
    : F(std::make_unique<TImpl>()) {
    std::vector<std::string> aAll{sProgram.empty() ? std::string("kelvo-update") : sProgram};
    aAll.insert(aAll.end(), aArgs.begin(), aArgs.end());
    std::vector<char*> argv;
    for (std::string& s : aAll)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    TPipe in;
    TPipe out;
    TPipe err;
    TPipe killed;
    TFileActions actions;
    actions.Dup2(in.fdRead, 0);
    actions.Dup2(out.fdWrite, 1);
    actions.Dup2(err.fdWrite, 2);
    TSpawnAttributes attributes;
    const int e = sProgram.empty() ? posix_spawn(&F->pid, OwnExecutable().c_str(), &actions.a,
                                                 &attributes.a, argv.data(), environ)
                                   : posix_spawnp(&F->pid, sProgram.c_str(), &actions.a,
                                                  &attributes.a, argv.data(), environ);
    if (e != 0) {
        F->pid = -1;
        throw SystemError("cannot start " + aAll.front(), e);
    }
    F->fdIn = TPipe::Take(in.fdWrite);
    F->fdOut = TPipe::Take(out.fdRead);
    F->fdErr = TPipe::Take(err.fdRead);
    F->fdKilledRead = TPipe::Take(killed.fdRead);
    F->fdKilledWrite = TPipe::Take(killed.fdWrite);
}

TChildProcess::~TChildProcess() {
    if (F->pid > 0 && !F->bWaited) {
        Kill();
        Wait();
    }
    TPipe::Close(F->fdIn);
    TPipe::Close(F->fdOut);
    TPipe::Close(F->fdErr);
    TPipe::Close(F->fdKilledRead);
    TPipe::Close(F->fdKilledWrite);
}

bool TChildProcess::WriteInput(const std::string& s) {
    bool bAll = true;
    for (std::size_t i = 0; i < s.size();) {
        const ssize_t n = ::write(F->fdIn, s.data() + i, s.size() - i);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            bAll = false; // EPIPE: the child has ended (SIGPIPE is ignored)
            break;
        }
        i += static_cast<std::size_t>(n);
    }
    TPipe::Close(F->fdIn);
    return bAll;
}

std::size_t TChildProcess::Read(TStream stream, char* pBuffer, std::size_t iSize) {
    const int fd = stream == TStream::Out ? F->fdOut : F->fdErr;
    pollfd a[2] = {{F->fdKilledRead, POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        if (::poll(a, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        // Killed: what the pipe still holds, or a grandchild still writes, is not waited for.
        if (a[0].revents != 0)
            return 0;
        const ssize_t n = ::read(fd, pBuffer, iSize);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        // A pipe fails a read only when this process misuses it: nothing more will come.
        if (errno != EINTR)
            return 0;
    }
}

void TChildProcess::Cancel() {
    // Never after the wait: the process id may belong to another process by then.
    if (F->pid > 0 && !F->bWaited && !F->bKilled)
        ::kill(F->pid, SIGTERM);
}

void TChildProcess::Kill() {
    if (F->pid > 0 && !F->bWaited && !F->bKilled) {
        // Its process group, which it leads: what it started goes with it. The group's id cannot
        // be another's while the process has not been waited for.
        if (::kill(-F->pid, SIGKILL) != 0)
            ::kill(F->pid, SIGKILL);
        F->bKilled = true;
        F->tKilled = std::chrono::steady_clock::now();
    }
    if (!F->bReadsEnded) {
        // The byte stays in the pipe: every Read from now on sees it.
        while (::write(F->fdKilledWrite, "k", 1) < 0 && errno == EINTR) {
        }
        F->bReadsEnded = true;
    }
}

int TChildProcess::Wait() {
    if (F->bWaited)
        return F->iExit;
    int iStatus = 0;
    pid_t r = 0;
    if (!F->bKilled) {
        while ((r = ::waitpid(F->pid, &iStatus, 0)) < 0 && errno == EINTR) {
        }
    } else {
        const auto tUntil = F->tKilled + KilledWait;
        while ((r = ::waitpid(F->pid, &iStatus, WNOHANG)) == 0 || (r < 0 && errno == EINTR)) {
            // Still held by the system: it ends on its own, unwaited for.
            if (std::chrono::steady_clock::now() >= tUntil)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    F->bWaited = true;
    F->iExit = r == F->pid && WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    F->iSignal = r == F->pid && WIFSIGNALED(iStatus) ? WTERMSIG(iStatus) : 0;
    return F->iExit;
}

std::string TChildProcess::EndedHow() const {
    if (!F->bWaited)
        return F->bKilled ? "killed by signal " + std::to_string(SIGKILL) +
                                ", and still held by the system"
                          : std::string();
    if (F->iExit >= 0)
        return {};
    if (F->iSignal == 0)
        return "ended in an unknown way";
    const char* sName = ::strsignal(F->iSignal);
    return "killed by signal " + std::to_string(F->iSignal) +
           (sName != nullptr ? std::string(" (") + sName + ")" : std::string());
}
