// A program on a pseudo-terminal of its own for end-to-end tests (POSIX): its standard streams
// are the terminal, it is the terminal's foreground process group, and what it writes is
// collected as it comes, so that a test can watch it and type into it (Ctrl+C included).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class TTerminalProcess {
public:
    // aArgs[0] is the program's path; aEnv is added to this process's environment. The terminal
    // has iColumns and iRows.
    TTerminalProcess(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnv,
                     unsigned short iColumns, unsigned short iRows);
    ~TTerminalProcess(); // kills the program if it still runs
    TTerminalProcess(const TTerminalProcess&) = delete;
    TTerminalProcess& operator=(const TTerminalProcess&) = delete;

    // Everything the terminal has shown so far.
    std::string Seen() const;
    // Types s on the terminal's keyboard ("\x03" is Ctrl+C for the foreground process group).
    void Type(const std::string& s);
    void Signal(int iSignal);
    pid_t Pid() const { return Fpid; }
    // Waits for the program's end; its exit status, or -1 when it did not exit normally. The
    // output is collected until the terminal hangs up (a few seconds at most after the end).
    int Wait();

private:
    void Read();

    pid_t Fpid = -1;
    int FfdMaster = -1;
    mutable std::mutex FMutex;
    std::string FsSeen;
    std::atomic<bool> FbReadEnded{false};
    std::atomic<bool> FbStopReading{false};
    std::thread FReader;
};
