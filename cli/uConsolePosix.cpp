#include "cli/uConsolePlatform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
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

long long ThisProcessId() {
    return ::getpid();
}

// The kernel sends SIGTERM when the parent ends, which the handler of InstallSignalHandlers takes
// as a cancel. Nothing to stop at the end.
struct TParentWatch::TImpl {};

TParentWatch::TParentWatch(long long iParent, void (*onCancel)(int))
    : F(std::make_unique<TImpl>()) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have ended before the request: this process belongs to another one then.
    if (::getppid() != iParent)
        onCancel(SIGTERM);
}

TParentWatch::~TParentWatch() = default;

std::optional<std::string> ReadStandardInput(std::size_t iMax) {
    std::string s;
    char a[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, a, sizeof a);
        if (n == 0)
            return s;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (s.size() + static_cast<std::size_t>(n) > iMax)
            return std::nullopt;
        s.append(a, static_cast<std::size_t>(n));
    }
}
