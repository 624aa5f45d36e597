// What kelvo-update writes: the report and the outcome on standard output, diagnostics on standard
// error, the lists (text on the terminal: uTerminal.h; JSON Lines for programs: uJsonLines.h).
#pragma once

#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uUpdateSession.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The two output streams. A stream that fails once (a pipe whose reader has gone, a terminal that
// was hung up) is not written to again: the update goes on, and its exit status still tells the
// outcome.
class TConsole {
public:
    void Out(const std::string& sLine) { Write(stdout, sLine + "\n", FbOutFailed); }
    void Err(const std::string& sLine) { Write(stderr, sLine + "\n", FbErrFailed); }
    // Without a line end: the progress bar redraws its line in place.
    void ErrInPlace(const std::string& s) { Write(stderr, s, FbErrFailed); }

private:
    static void Write(std::FILE* pStream, const std::string& s, bool& bFailed);
    bool FbOutFailed = false;
    bool FbErrFailed = false;
};

extern TConsole Console;

// A dialog's text with its CR LF line breaks as plain line ends.
std::string PlainLines(std::string s);

// The lines of the firmware list: a header line and one line per entry in aligned columns
// (spaces), the entry number first; the loaded file sFile (when given) first as entry "file" with
// its name last, then the built-in images, newest first.
std::vector<std::string> FirmwareListLines(const std::optional<std::string>& sFile);

// The firmware list on standard output; bJson: one JSON object a line instead (the file slot with
// entry 0 and its "file" name).
void PrintFirmwareList(const std::optional<std::string>& sFile, bool bJson);

// The lines of the port list: a header line and one line per port, tab-separated, with the
// columns that any port fills ("-" for an empty cell), and "GUI list" (yes or no) when a port is
// listed that the GUI's port box does not offer; no line for no port.
std::vector<std::string> PortListLines(const std::vector<TPortDetails>& aPorts);

// The ports as PortListLines gives them, or one JSON object a line.
void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson);
