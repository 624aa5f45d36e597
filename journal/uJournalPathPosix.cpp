// The journal's place on POSIX systems: the user's state folder of the XDG base directories.
#include "journal/uJournal.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string Env(const char* sName) {
    const char* s = std::getenv(sName);
    return s ? s : "";
}

std::string HomeFolder() {
    if (std::string sHome = Env("HOME"); !sHome.empty())
        return sHome;
    // A service started without HOME still has an account with a home folder.
    long iSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> aBuffer(static_cast<std::size_t>(iSize > 0 ? iSize : 16384));
    passwd entry{};
    passwd* pEntry = nullptr;
    if (getpwuid_r(getuid(), &entry, aBuffer.data(), aBuffer.size(), &pEntry) == 0 && pEntry &&
        pEntry->pw_dir && *pEntry->pw_dir)
        return pEntry->pw_dir;
    return "";
}

} // namespace

std::string JournalPath() {
    if (std::string sPath = Env("KELVO_JOURNAL"); !sPath.empty())
        return sPath;
    // A relative XDG_STATE_HOME is invalid and is ignored, as the base-directory rules ask.
    std::string sState = Env("XDG_STATE_HOME");
    if (sState.empty() || sState.front() != '/') {
        const std::string sHome = HomeFolder();
        if (sHome.empty())
            throw EJournal("The journal has no place: neither KELVO_JOURNAL, XDG_STATE_HOME nor "
                           "a home folder is known");
        sState = sHome + "/.local/state";
    }
    return sState + "/kelvo/journal.sqlite3";
}

std::string ComputerName() {
    char s[256] = {};
    if (gethostname(s, sizeof s - 1) != 0)
        return "";
    return s;
}
