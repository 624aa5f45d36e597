#include "cli/uConsolePlatform.h"

#include <windows.h>

#include <csignal>
#include <io.h>

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
