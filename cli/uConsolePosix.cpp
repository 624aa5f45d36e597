#include "cli/uConsolePlatform.h"

#include <csignal>
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
