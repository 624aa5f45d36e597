#include "cli/uConsolePlatform.h"

#include <windows.h>

#include <csignal>
#include <io.h>
#include <thread>

void InstallSignalHandlers(void (*onCancel)(int)) {
    std::signal(SIGINT, onCancel);
    std::signal(SIGTERM, onCancel);
    std::signal(SIGBREAK, onCancel);
}

bool IsTerminal(std::FILE* pStream) {
    return _isatty(_fileno(pStream)) != 0;
}

namespace {

// The visible part of the console's screen buffer; false when the stream is no console.
bool ConsoleWindow(std::FILE* pStream, SMALL_RECT& window) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info))
        return false;
    window = info.srWindow;
    return true;
}

} // namespace

int TerminalColumns(std::FILE* pStream) {
    SMALL_RECT window{};
    return ConsoleWindow(pStream, window) ? window.Right - window.Left + 1 : 0;
}

int TerminalRows(std::FILE* pStream) {
    SMALL_RECT window{};
    return ConsoleWindow(pStream, window) ? window.Bottom - window.Top + 1 : 0;
}

bool TerminalShowsUtf8(std::FILE* pStream) {
    SMALL_RECT window{};
    return ConsoleWindow(pStream, window) && ::GetConsoleOutputCP() == CP_UTF8;
}

bool EnableCursorControl(std::FILE* pStream) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    DWORD iMode = 0;
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &iMode))
        return false;
    return (iMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(h, iMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

long long ThisProcessId() {
    return static_cast<long long>(::GetCurrentProcessId());
}

// A thread waits for the parent's end or for this watch's own end, whichever comes first.
struct TParentWatch::TImpl {
    HANDLE hParent = nullptr;
    HANDLE hStop = nullptr;
    std::thread thread;
    ~TImpl() {
        if (thread.joinable()) {
            ::SetEvent(hStop);
            thread.join();
        }
        if (hStop != nullptr)
            ::CloseHandle(hStop);
        if (hParent != nullptr)
            ::CloseHandle(hParent);
    }
};

TParentWatch::TParentWatch(long long iParent, void (*onCancel)(int))
    : F(std::make_unique<TImpl>()) {
    F->hParent = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(iParent));
    if (F->hParent == nullptr) {
        onCancel(SIGTERM); // gone already
        return;
    }
    // Without an event to stop the thread there is no watch: the update runs unwatched.
    F->hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (F->hStop == nullptr)
        return;
    F->thread = std::thread([hParent = F->hParent, hStop = F->hStop, onCancel] {
        const HANDLE a[2] = {hParent, hStop};
        if (::WaitForMultipleObjects(2, a, FALSE, INFINITE) == WAIT_OBJECT_0)
            onCancel(SIGTERM);
    });
}

TParentWatch::~TParentWatch() = default;

std::optional<std::string> ReadStandardInput(std::size_t iMax) {
    const HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string s;
    char a[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, a, sizeof a, &n, nullptr))
            return ::GetLastError() == ERROR_BROKEN_PIPE ? std::optional(s) : std::nullopt;
        if (n == 0)
            return s;
        if (s.size() + n > iMax)
            return std::nullopt;
        s.append(a, n);
    }
}
