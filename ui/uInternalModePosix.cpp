// The internal-mode store on POSIX: a line "intern=<number>" in
// $XDG_CONFIG_HOME/Orlenta/Quarn.conf.
#include "ui/uStartupOptions.h"

#include <cstdlib>
#include <fstream>

bool IsInternalMode() {
    std::string sDir;
    if (const char* s = std::getenv("XDG_CONFIG_HOME"); s && *s)
        sDir = s;
    else if (const char* h = std::getenv("HOME"); h && *h)
        sDir = std::string(h) + "/.config";
    else
        return false;
    std::ifstream f(sDir + "/Orlenta/Quarn.conf");
    std::string sLine;
    while (std::getline(f, sLine)) {
        if (sLine.rfind("intern=", 0) == 0) {
            long long iValue = 0;
            return ParseStoreInteger(sLine.substr(7), iValue) && iValue == InternalAccessCode;
        }
    }
    return false;
}
