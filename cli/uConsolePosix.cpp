#include "cli/uConsolePlatform.h"

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

void InstallSignalHandlers(void (*onCancel)(int)) {
    std::signal(SIGINT, onCancel);
    std::signal(SIGTERM, onCancel);
    // Writes to a closed pipe fail with EPIPE instead, and the output stops there.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
}

bool IsTerminal(std::FILE* pStream) {
    return isatty(fileno(pStream)) != 0;
}

int TerminalColumns(std::FILE* pStream) {
    winsize ws{};
    if (ioctl(fileno(pStream), TIOCGWINSZ, &ws) != 0)
        return 0;
    return ws.ws_col;
}

bool EnableCursorControl(std::FILE* pStream) {
    return IsTerminal(pStream);
}
