#include "cli/uChildProcess.h"

#include <windows.h>

#include <stdexcept>

struct TChildProcess::TImpl {
    PROCESS_INFORMATION process{};
    HANDLE hIn = nullptr;
    HANDLE hOut = nullptr;
    HANDLE hErr = nullptr;
    bool bWaited = false;
    int iExit = -1;
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

// A pipe of which the child inherits one end (bChildReads: the read end) and this process keeps
// the other.
struct TPipe {
    THandle read;
    THandle write;
    explicit TPipe(bool bChildReads) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        if (!::CreatePipe(&read.h, &write.h, &sa, 0))
            throw std::runtime_error(SystemError("CreatePipe"));
        ::SetHandleInformation(bChildReads ? write.h : read.h, HANDLE_FLAG_INHERIT, 0);
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

    TPipe in(true);
    TPipe out(false);
    TPipe err(false);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.read.h;
    si.hStdOutput = out.write.h;
    si.hStdError = err.write.h;
    // A process group of its own: Ctrl+Break can reach it alone. The child's ends of its pipes
    // are closed here before the next child starts, so no other child inherits them.
    if (!::CreateProcessA(sProgram.empty() ? aExe : nullptr, sCommand.data(), nullptr, nullptr,
                          TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &F->process))
        throw std::runtime_error("cannot start " +
                                 (sProgram.empty() ? std::string("kelvo-update") : sProgram) +
                                 ": " + SystemError("CreateProcess"));
    F->hIn = in.write.Take();
    F->hOut = out.read.Take();
    F->hErr = err.read.Take();
}

TChildProcess::~TChildProcess() {
    if (!F->bWaited) {
        ::TerminateProcess(F->process.hProcess, 1);
        Wait();
    }
    ::CloseHandle(F->process.hThread);
    ::CloseHandle(F->process.hProcess);
    if (F->hIn != nullptr)
        ::CloseHandle(F->hIn);
    ::CloseHandle(F->hOut);
    ::CloseHandle(F->hErr);
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
    DWORD n = 0;
    if (!::ReadFile(stream == TStream::Out ? F->hOut : F->hErr, pBuffer, static_cast<DWORD>(iSize),
                    &n, nullptr))
        return 0; // ERROR_BROKEN_PIPE: the child has ended
    return n;
}

void TChildProcess::Cancel() {
    if (!F->bWaited)
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, F->process.dwProcessId);
}

int TChildProcess::Wait() {
    if (F->bWaited)
        return F->iExit;
    ::WaitForSingleObject(F->process.hProcess, INFINITE);
    DWORD iCode = 0;
    F->bWaited = true;
    F->iExit = ::GetExitCodeProcess(F->process.hProcess, &iCode) && iCode <= 255
                   ? static_cast<int>(iCode)
                   : -1;
    return F->iExit;
}

std::string TChildProcess::EndedHow() const {
    // A Windows process always leaves an exit code, also when it was terminated from outside.
    return {};
}
