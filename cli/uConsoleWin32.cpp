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

int TerminalColumns(std::FILE* pStream) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool EnableCursorControl(std::FILE* pStream) {
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    DWORD iMode = 0;
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &iMode))
        return false;
    return (iMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(h, iMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
