// Windows: the operator's program from its start to the idle main window, offscreen, for
// bench/run-gui under Wine (which times the whole run from outside).
#include "bench/GuiStart.h"

int main(int argc, char** argv) {
    // Without a display, whatever the caller's environment says.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    return StartChild(argc, argv);
}
