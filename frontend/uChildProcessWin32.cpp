#include "frontend/uChildProcess.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

struct TChildProcess::TImpl {
    PROCESS_INFORMATION process{};
    HANDLE hIn = nullptr;
    // Read with overlapped I/O, each with an event of its own that tells a read done.
    HANDLE hOut = nullptr;
    HANDLE hErr = nullptr;
    HANDLE hOutDone = nullptr;
    HANDLE hErrDone = nullptr;
    // Set by Kill: it ends every Read.
    HANDLE hKilled = nullptr;
    bool bKilled = false;
    ULONGLONG iKilledAt = 0; // GetTickCount64 at the kill
    bool bWaited = false;
    int iExit = -1;
    // Started by a program without a console (the GUI): the child has a console of its own,
    // without a window, where its cancel must be sent.
    bool bOwnConsole = false;
};

namespace {

// One argument as the runtime's command-line parser reads it back: quoted when it has to be,
// backslashes doubled before a quote.
std::string Quoted(const std::string& s) {
    if (!s.empty() && s.find_first_of(" \t\n\v\"") == std::string::npos)
        return s;
    std::string r = "\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t iBackslashes = 0;
        while (i < s.size() && s[i] == '\\') {
            ++i;
            ++iBackslashes;
        }
        if (i == s.size()) {
            r.append(iBackslashes * 2, '\\');
            break;
        }
        if (s[i] == '"') {
            r.append(iBackslashes * 2 + 1, '\\');
            r += '"';
        } else {
            r.append(iBackslashes, '\\');
            r += s[i];
        }
    }
    return r + "\"";
}

std::string SystemError(const char* sWhat) {
    return std::string(sWhat) + " failed (error " + std::to_string(::GetLastError()) + ")";
}

// A handle closed on every path unless it is handed over.
struct THandle {
    HANDLE h = nullptr;
    THandle() = default;
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    HANDLE Take() {
        const HANDLE r = h;
        h = nullptr;
        return r;
    }
};

// How long a killed process is waited for, from the kill: TerminateProcess returns before the
// process has gone.
constexpr DWORD KilledWaitMs = 1000;

// The pipe of the child's standard input: the child inherits its read end, this process keeps
// the other.
struct TInputPipe {
    THandle read;
    THandle write;
    TInputPipe() {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        if (!::CreatePipe(&read.h, &write.h, &sa, 0))
            throw std::runtime_error(SystemError("CreatePipe"));
        ::SetHandleInformation(write.h, HANDLE_FLAG_INHERIT, 0);
    }
};

// A pipe of an output stream: the child inherits its write end, as an anonymous pipe's; this
// process reads the other with overlapped I/O, so that Kill can end a read that a grandchild
// holding the write end would otherwise keep waiting. Anonymous pipes take no overlapped reads:
// a named pipe of this process's own.
struct TOutputPipe {
    THandle read;
    THandle write;
    THandle done; // the event of the reads
    TOutputPipe() {
        static std::atomic<unsigned> iPipes{0};
        const std::string sName = "\\\\.\\pipe\\kelvo-update-" +
                                  std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(iPipes++);
        read.h = ::CreateNamedPipeA(
            sName.c_str(),
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
            65536, 0, nullptr);
        if (read.h == INVALID_HANDLE_VALUE)
            throw std::runtime_error(SystemError("CreateNamedPipe"));
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        write.h = ::CreateFileA(sName.c_str(), GENERIC_WRITE, 0, &sa, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (write.h == INVALID_HANDLE_VALUE)
            throw std::runtime_error(SystemError("CreateFile of a pipe"));
        done.h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (done.h == nullptr)
            throw std::runtime_error(SystemError("CreateEvent"));
    }
};

} // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& aArgs, const std::string& sProgram)
    : F(std::make_unique<TImpl>()) {
    char aExe[MAX_PATH * 4];
    if (sProgram.empty()) {
        const DWORD iLen = ::GetModuleFileNameA(nullptr, aExe, sizeof aExe);
        if (iLen == 0 || iLen >= sizeof aExe)
            throw std::runtime_error(SystemError("GetModuleFileName"));
    }
    // Another program is looked for as the command line's first word is: also on the PATH.
    std::string sCommand = Quoted(sProgram.empty() ? std::string(aExe) : sProgram);
    for (const std::string& s : aArgs)
        sCommand += " " + Quoted(s);

    TInputPipe in;
    TOutputPipe out;
    TOutputPipe err;
    THandle killed;
    killed.h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (killed.h == nullptr)
        throw std::runtime_error(SystemError("CreateEvent"));
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.read.h;
    si.hStdOutput = out.write.h;
    si.hStdError = err.write.h;
    // A process group of its own: Ctrl+Break can reach it alone. The child's ends of its pipes
    // are closed here before the next child starts, so no other child inherits them. Started by a
    // program without a console (the GUI), the child gets a console of its own that never shows
    // a window.
    F->bOwnConsole = ::GetConsoleWindow() == nullptr && ::GetConsoleCP() == 0;
    const DWORD iFlags = CREATE_NEW_PROCESS_GROUP | (F->bOwnConsole ? CREATE_NO_WINDOW : 0);
    if (!::CreateProcessA(sProgram.empty() ? aExe : nullptr, sCommand.data(), nullptr, nullptr,
                          TRUE, iFlags, nullptr, nullptr, &si, &F->process))
        throw std::runtime_error("cannot start " +
                                 (sProgram.empty() ? std::string("kelvo-update") : sProgram) +
                                 ": " + SystemError("CreateProcess"));
    F->hIn = in.write.Take();
    F->hOut = out.read.Take();
    F->hErr = err.read.Take();
    F->hOutDone = out.done.Take();
    F->hErrDone = err.done.Take();
    F->hKilled = killed.Take();
}

TChildProcess::~TChildProcess() {
    if (!F->bWaited) {
        Kill();
        Wait();
    }
    ::CloseHandle(F->process.hThread);
    ::CloseHandle(F->process.hProcess);
    if (F->hIn != nullptr)
        ::CloseHandle(F->hIn);
    for (const HANDLE h : {F->hOut, F->hErr, F->hOutDone, F->hErrDone, F->hKilled})
        ::CloseHandle(h);
}

bool TChildProcess::WriteInput(const std::string& s) {
    bool bAll = true;
    for (std::size_t i = 0; i < s.size();) {
        DWORD n = 0;
        if (!::WriteFile(F->hIn, s.data() + i, static_cast<DWORD>(s.size() - i), &n, nullptr) ||
            n == 0) {
            bAll = false; // the child has ended
            break;
        }
        i += n;
    }
    ::CloseHandle(F->hIn);
    F->hIn = nullptr;
    return bAll;
}

std::size_t TChildProcess::Read(TStream stream, char* pBuffer, std::size_t iSize) {
    const HANDLE h = stream == TStream::Out ? F->hOut : F->hErr;
    const HANDLE a[2] = {F->hKilled, stream == TStream::Out ? F->hOutDone : F->hErrDone};
    for (;;) {
        // Killed: what the pipe still holds, or a grandchild still writes, is not waited for.
        if (::WaitForSingleObject(F->hKilled, 0) == WAIT_OBJECT_0)
            return 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = a[1];
        if (!::ReadFile(h, pBuffer, static_cast<DWORD>(iSize), nullptr, &overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return 0; // ERROR_BROKEN_PIPE: every writer has gone
        if (::WaitForMultipleObjects(2, a, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            ::CancelIoEx(h, &overlapped);
        // The read is done, or cancelled: either way it is over before its OVERLAPPED goes.
        DWORD n = 0;
        if (!::GetOverlappedResult(h, &overlapped, &n, TRUE))
            return 0;
        if (n > 0)
            return n;
        // A write of no bytes: nothing to hand on.
    }
}

void TChildProcess::Cancel() {
    if (F->bWaited || F->bKilled)
        return;
    if (!F->bOwnConsole) {
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, F->process.dwProcessId);
        return;
    }
    // Ctrl+Break reaches only the processes of the sender's console: this program, which has
    // none, joins the child's for the moment of the send. Its children are cancelled from one
    // thread (their owner's), one after the other.
    if (::AttachConsole(F->process.dwProcessId)) {
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, F->process.dwProcessId);
        ::FreeConsole();
    }
}

void TChildProcess::Kill() {
    // Fails when the process has ended by itself already: its own exit code stands then.
    if (!F->bWaited && !F->bKilled && ::TerminateProcess(F->process.hProcess, 1)) {
        F->bKilled = true;
        F->iKilledAt = ::GetTickCount64();
    }
    ::SetEvent(F->hKilled);
}

int TChildProcess::Wait() {
    if (F->bWaited)
        return F->iExit;
    DWORD iWait = INFINITE;
    if (F->bKilled) {
        const ULONGLONG iSince = ::GetTickCount64() - F->iKilledAt;
        iWait = iSince < KilledWaitMs ? static_cast<DWORD>(KilledWaitMs - iSince) : 0;
    }
    // Still held by the system after a kill: it ends on its own, unwaited for.
    if (::WaitForSingleObject(F->process.hProcess, iWait) != WAIT_OBJECT_0)
        return -1;
    DWORD iCode = 0;
    F->bWaited = true;
    // A killed process exits with TerminateProcess's code: it did not exit by itself.
    F->iExit = !F->bKilled && ::GetExitCodeProcess(F->process.hProcess, &iCode) && iCode <= 255
                   ? static_cast<int>(iCode)
                   : -1;
    return F->iExit;
}

std::string TChildProcess::EndedHow() const {
    // A Windows process always leaves an exit code, also when it was terminated from outside;
    // only Kill's own end is known as such.
    if (!F->bKilled)
        return {};
    return F->bWaited ? "killed" : "killed, and still held by the system";
}
