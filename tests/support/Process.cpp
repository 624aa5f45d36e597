#include "tests/support/Process.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TExecVectors::TExecVectors(const std::vector<std::string>& aArgs,
                           const std::vector<std::string>& aEnv)
    : FaArgs(aArgs) {
    for (char** e = environ; *e; ++e)
        FaEnv.emplace_back(*e);
    FaEnv.insert(FaEnv.end(), aEnv.begin(), aEnv.end());
    for (auto& s : FaArgs)
        FArgv.push_back(s.data());
    FArgv.push_back(nullptr);
    for (auto& s : FaEnv)
        FEnvp.push_back(s.data());
    FEnvp.push_back(nullptr);
}

TProcess::TProcess(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnv,
                   const std::filesystem::path& stdoutFile, bool bPipe) {
    TExecVectors exec(aArgs, aEnv);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    int aPipe[2] = {-1, -1};
    if (bPipe) {
        if (pipe(aPipe) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_adddup2(&fa, aPipe[1], 1);
        posix_spawn_file_actions_addclose(&fa, aPipe[0]);
        posix_spawn_file_actions_addclose(&fa, aPipe[1]);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    const std::string sErr = stdoutFile.string() + ".err";
    posix_spawn_file_actions_addopen(&fa, 2, sErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int r = posix_spawn(&Fpid, exec.Argv()[0], &fa, nullptr, exec.Argv(), exec.Envp());
    posix_spawn_file_actions_destroy(&fa);
    if (bPipe) {
        close(aPipe[1]);
        FfdOut = aPipe[0];
    }
    if (r != 0) {
        Fpid = -1;
        throw std::runtime_error("cannot start " + aArgs[0]);
    }
}

TProcess::~TProcess() {
    if (Fpid > 0) {
        kill(Fpid, SIGKILL);
        Wait();
    }
    if (FfdOut >= 0)
        close(FfdOut);
}

std::string TProcess::FirstLine(std::chrono::milliseconds tLimit) {
    std::string s;
    const auto tEnd = std::chrono::steady_clock::now() + tLimit;
    while (std::chrono::steady_clock::now() < tEnd) {
        pollfd p{FfdOut, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char c;
        if (read(FfdOut, &c, 1) != 1)
            break;
        if (c == '\n')
            return s;
        s += c;
    }
    return {};
}

void TProcess::Signal(int iSignal) {
    if (Fpid > 0)
        kill(Fpid, iSignal);
}

int TProcess::Wait(rusage* pUsage) {
    if (Fpid <= 0)
        return -1;
    int iStatus = 0;
    rusage usage{};
    wait4(Fpid, &iStatus, 0, &usage);
    Fpid = -1;
    if (pUsage)
        *pUsage = usage;
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> ReadLines(const std::filesystem::path& p) {
    std::vector<std::string> a;
    std::ifstream f(p);
    for (std::string s; std::getline(f, s);)
        a.push_back(s);
    return a;
}

bool Ended(pid_t pid) {
    const std::string sStat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t i = sStat.rfind(')');
    return i == std::string::npos || sStat.substr(i + 2, 1) == "Z";
}

namespace {

std::vector<std::string> SimArgs(const std::string& sExe, const std::filesystem::path& record,
                                 const std::vector<std::string>& aArgs) {
    std::vector<std::string> a{sExe, "--record", record.string()};
    a.insert(a.end(), aArgs.begin(), aArgs.end());
    return a;
}

} // namespace

TSimProcess::TSimProcess(const std::string& sExe, const std::filesystem::path& dir,
                         const std::vector<std::string>& aArgs)
    : FRecord(dir / "record.txt"),
      FProcess(SimArgs(sExe, FRecord, aArgs), {}, dir / "sim.out", true) {
    sPort = FProcess.FirstLine(std::chrono::seconds(5));
    if (sPort.empty())
        throw std::runtime_error("the simulated logger did not start");
}

TSimProcess::~TSimProcess() {
    Stop();
}

int TSimProcess::Stop() {
    if (FbStopped)
        return -1;
    FbStopped = true;
    FProcess.Signal(SIGTERM);
    return FProcess.Wait();
}
