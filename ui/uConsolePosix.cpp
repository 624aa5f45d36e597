#include "ui/uConsole.h"

#include <cstdlib>
#include <string_view>

namespace {

bool IsSet(const char* sName) {
    const char* s = std::getenv(sName);
    return s != nullptr && *s != '\0';
}

// A platform plugin that talks to a display server: xcb, or one of the wayland family.
bool NeedsDisplayServer(std::string_view sName) {
    return sName == "xcb" || sName.starts_with("wayland");
}

// sPlatforms as Qt reads it: plugin names separated by ';', each optionally followed by ':' and its
// arguments; the first that loads is used. True only when every one needs a display server, so
// that a fallback such as offscreen is still left to Qt.
bool AllNeedDisplayServer(std::string_view sPlatforms) {
    bool bAny = false;
    while (!sPlatforms.empty()) {
        const std::size_t iEnd = sPlatforms.find(';');
        std::string_view sItem = sPlatforms.substr(0, iEnd);
        sItem = sItem.substr(0, sItem.find(':'));
        if (!sItem.empty()) {
            if (!NeedsDisplayServer(sItem))
                return false;
            bAny = true;
        }
        if (iEnd == std::string_view::npos)
            break;
        sPlatforms.remove_prefix(iEnd + 1);
    }
    return bAny;
}

} // namespace

void AttachParentConsole() {}

bool DisplayReachable(int argc, char** argv) {
    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"))
        return true;
    // Qt takes "-platform NAME" (also written "--platform") before the environment, and the xcb
    // plugin takes "-display NAME" in place of DISPLAY.
    const char* sPlatform = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        std::string_view sArg = argv[i];
        if (sArg.starts_with("--"))
            sArg.remove_prefix(1);
        if (sArg == "-display")
            return true;
        if (sArg == "-platform")
            sPlatform = argv[++i];
    }
    if (sPlatform == nullptr)
        sPlatform = std::getenv("QT_QPA_PLATFORM");
    // Unset or empty: Qt's default on Linux, xcb (or wayland in a Wayland session, which would
    // have set WAYLAND_DISPLAY).
    if (sPlatform == nullptr || *sPlatform == '\0')
        return false;
    return !AllNeedDisplayServer(sPlatform);
}
