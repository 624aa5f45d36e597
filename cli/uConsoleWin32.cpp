#include "cli/uConsolePlatform.h"

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
