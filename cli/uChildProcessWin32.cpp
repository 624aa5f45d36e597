#include "cli/uChildProcess.h"

#include <windows.h>

#include <stdexcept>

struct TChildProcess::TImpl {
    PROCESS_INFORMATION process{};
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

// A pipe whose read end stays with this process; its write end can be inherited.
void Pipe(HANDLE& hRead, HANDLE& hWrite) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0))
        throw std::runtime_error(SystemError("CreatePipe"));
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
}

} // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& aArgs) : F(std::make_unique<TImpl>()) {
    char aExe[MAX_PATH * 4];
    const DWORD iLen = ::GetModuleFileNameA(nullptr, aExe, sizeof aExe);
    if (iLen == 0 || iLen >= sizeof aExe)
        throw std::runtime_error(SystemError("GetModuleFileName"));
    std::string sCommand = Quoted(aExe);
    for (const std::string& s : aArgs)
        sCommand += " " + Quoted(s);

    HANDLE hOutWrite = nullptr;
    HANDLE hErrWrite = nullptr;
    Pipe(F->hOut, hOutWrite);
    Pipe(F->hErr, hErrWrite);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE hNull = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNull;
    si.hStdOutput = hOutWrite;
    si.hStdError = hErrWrite;
    // A process group of its own: Ctrl+Break can reach it alone. The write ends of this child's
    // pipes are closed here before the next child starts, so no other child inherits them.
    const BOOL bStarted =
        ::CreateProcessA(aExe, sCommand.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                         nullptr, nullptr, &si, &F->process);
    const std::string sError = bStarted ? std::string() : SystemError("CreateProcess");
    ::CloseHandle(hOutWrite);
    ::CloseHandle(hErrWrite);
    if (hNull != INVALID_HANDLE_VALUE)
        ::CloseHandle(hNull);
    if (!bStarted) {
        ::CloseHandle(F->hOut);
        ::CloseHandle(F->hErr);
        throw std::runtime_error("cannot start kelvo-update: " + sError);
    }
}

TChildProcess::~TChildProcess() {
    if (!F->bWaited) {
        ::TerminateProcess(F->process.hProcess, 1);
        Wait();
    }
    ::CloseHandle(F->process.hThread);
    ::CloseHandle(F->process.hProcess);
    ::CloseHandle(F->hOut);
    ::CloseHandle(F->hErr);
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
