// A child process for end-to-end tests and benchmarks (POSIX): standard input from /dev/null,
// standard output to a file or a pipe, standard error to "<file>.err".
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// The argument and environment vectors of an exec: aArgs, and this process's environment with aEnv
// added. Made before a fork, so that the child only has to exec.
class TExecVectors {
public:
    TExecVectors(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnv);
    char* const* Argv() { return FArgv.data(); }
    char* const* Envp() { return FEnvp.data(); }

private:
    std::vector<std::string> FaArgs;
    std::vector<std::string> FaEnv;
    std::vector<char*> FArgv;
    std::vector<char*> FEnvp;
};

class TProcess {
public:
    // aArgs[0] is the program's path; aEnv is added to this process's environment.
    TProcess(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnv,
             const std::filesystem::path& stdoutFile, bool bPipe = false);
    ~TProcess(); // kills the process if it still runs
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    // The first line of the piped output, or empty after tLimit.
    std::string FirstLine(std::chrono::milliseconds tLimit);
    void Signal(int iSignal);
    pid_t Pid() const { return Fpid; }
    // The exit status, or -1 when the process did not exit normally; its resource usage.
    int Wait(rusage* pUsage = nullptr);

private:
    pid_t Fpid = -1;
    int FfdOut = -1;
};

std::string ReadFile(const std::filesystem::path& p);
std::vector<std::string> ReadLines(const std::filesystem::path& p);
// True once a process has ended (gone, or a zombie that nobody reaps).
bool Ended(pid_t pid);

// kelvo-logger-sim on its own pseudo-terminal, recording the lines it accepted into
// dir/record.txt; its standard error goes to dir/sim.out.err. Stopped with SIGTERM at the end.
class TSimProcess {
public:
    // sExe: the simulator's path; aArgs: its options (presets, faults, pacing).
    TSimProcess(const std::string& sExe, const std::filesystem::path& dir,
                const std::vector<std::string>& aArgs);
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    std::vector<std::string> Record() const { return ReadLines(FRecord); }
    // Stops the simulator; its exit status.
    int Stop();

    std::string sPort; // the path of the pseudo-terminal's slave side

private:
    std::filesystem::path FRecord;
    TProcess FProcess;
    bool FbStopped = false;
};
