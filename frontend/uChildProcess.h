// kelvo-update started once more by itself, for one of several ports (or another program): its
// standard input comes from this process, its standard output and error come back through pipes,
// and it can be asked to cancel as Ctrl+C would. It runs in a process group of its own: Ctrl+C on
// the terminal reaches only the program that started it, which asks its children as it sees fit.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class TChildProcess {
public:
    enum class TStream { Out, Err };

    // Starts sProgram (found on the PATH), or this program under its own name when it is empty,
    // with aArgs (the program name not included); its standard input is a pipe that WriteInput
    // fills. Throws std::runtime_error when it cannot be started.
    explicit TChildProcess(const std::vector<std::string>& aArgs, const std::string& sProgram = {});
    // Kills the process if it has not been waited for, and closes the pipes: the threads that
    // read them must have ended.
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Writes s to the process's standard input and closes it, so that it reads s and then the
    // end. False when it did not take all of s: it has ended, and its own output says why.
    bool WriteInput(const std::string& s);
    // Reads what the stream has, blocking until there is something: the number of bytes, 0 at
    // its end or once the process has been killed. One thread per stream may call it while the
    // owner's thread uses the other members.
    std::size_t Read(TStream stream, char* pBuffer, std::size_t iSize);
    // Asks the process to cancel its update (SIGTERM; on Windows Ctrl+Break).
    void Cancel();
    // Ends the process at once (SIGKILL to its process group; on Windows TerminateProcess) and
    // ends the reads of both streams, also while another process (a grandchild) still holds
    // their pipes open: nothing that the process left behind keeps its reader waiting.
    void Kill();
    // Waits for the end: the exit status, or -1 when the process did not exit by itself (killed
    // by a signal, or by Kill). After Kill it waits a moment at most: a process that the system
    // still holds (in the middle of closing a device, say) is left to end on its own.
    int Wait();
    // After Wait: how the process ended when it did not exit by itself ("killed by signal 9
    // (Killed)"); empty otherwise.
    std::string EndedHow() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> F;
};
