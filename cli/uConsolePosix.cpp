#include "cli/uConsolePlatform.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <string>
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

namespace {

winsize WindowSize(std::FILE* pStream) {
    winsize ws{};
    if (ioctl(fileno(pStream), TIOCGWINSZ, &ws) != 0)
        return {};
    return ws;
}

} // namespace

int TerminalColumns(std::FILE* pStream) {
    return WindowSize(pStream).ws_col;
}

int TerminalRows(std::FILE* pStream) {
    return WindowSize(pStream).ws_row;
}

bool TerminalShowsUtf8(std::FILE* pStream) {
    if (!IsTerminal(pStream))
        return false;
    // The character set of the locale, as the C library would choose it: the first of these
    // variables that is set.
    for (const char* sName : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* s = std::getenv(sName);
        if (s == nullptr || *s == '\0')
            continue;
        std::string sValue(s);
        std::transform(sValue.begin(), sValue.end(), sValue.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return sValue.find("utf-8") != std::string::npos ||
               sValue.find("utf8") != std::string::npos;
    }
    return false;
}

bool EnableCursorControl(std::FILE* pStream) {
    return IsTerminal(pStream);
}
