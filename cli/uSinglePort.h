// kelvo-update with one port, also as the child for one port of several: the update session with
// its report and progress bar, or its JSON Lines, and the trace file.
#pragma once

#include "cli/uArgs.h"

#include <string>

// Ctrl+C and SIGTERM: the operator wants to stop; the running update is cancelled.
void OnInterrupt(int);

// Updates the logger on sPort with the options of args (the firmware file, if any, is loaded into
// the catalogue's file slot with the SHA-256 sFileSha256); the exit status.
int RunSinglePort(const TArgs& args, const std::string& sPort, const std::string& sFileSha256);
