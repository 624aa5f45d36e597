// kelvo-update with several ports: one child process per port, each a kelvo-update of its own
// with one port and JSON Lines. The program-wide state of an update (the cancel flag, the
// options, the catalogue's selection and file slot, the HEX line buffer) is one per process, so
// that the loggers cannot mix; this process only starts the children, reads their JSON Lines,
// shows them and sums them up.
#pragma once

#include "cli/uPortLines.h"

#include <string>
#include <vector>

// How a run of several ports shows itself.
struct TSeveralSettings {
    std::vector<std::string> aPorts;
    // The arguments of every child besides --port (--json and the hidden child option included).
    std::vector<std::string> aChildArgs;
    // What every child reads on its standard input: the firmware file's bytes, read and checked
    // once here, so that every logger gets the same image whatever happens to the file meanwhile.
    std::string sChildInput;
    bool bJson = false;
    bool bQuiet = false;
};

// Runs the update on every port at once; the exit status. Cancels them all once bInterrupted
// is set.
int RunSeveral(const TSeveralSettings& settings);
