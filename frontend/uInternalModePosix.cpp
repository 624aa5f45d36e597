// The internal-mode store on POSIX: a line "intern=<number>" in
// $XDG_CONFIG_HOME/Orlenta/Quarn.conf.
#include "frontend/uStartupOptions.h"

#include "firmware/uRegularFile.h"

#include <cstdlib>
#include <sstream>

namespace {

// The store is a few lines; a bigger file is no store.
constexpr std::uintmax_t MaxStoreSize = 64u * 1024u;

} // namespace

bool IsInternalMode() {
    std::string sDir;
    if (const char* s = std::getenv("XDG_CONFIG_HOME"); s && *s)
        sDir = s;
    else if (const char* h = std::getenv("HOME"); h && *h)
        sDir = std::string(h) + "/.config";
    else
        return false;
    // Read at start-up: a FIFO or a device in its place must not hold the program up.
    const TFileRead file = ReadRegularFile(sDir + "/Orlenta/Quarn.conf", MaxStoreSize);
    if (file.state != TFileReadState::Read)
        return false;
    std::istringstream f(file.sContent);
    std::string sLine;
    while (std::getline(f, sLine)) {
        if (sLine.rfind("intern=", 0) == 0) {
            long long iValue = 0;
            return ParseStoreInteger(sLine.substr(7), iValue) && iValue == InternalAccessCode;
        }
    }
    return false;
}
