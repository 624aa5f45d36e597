// What kelvo-update writes: the report and the outcome on standard output, diagnostics and the
// progress bar on standard error, JSON Lines for programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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

// s as a JSON string literal, quotes included.
std::string JsonString(const std::string& s);

// The time part of a report line, "hh-nn-ss".
std::string TimeOfDay();

// A dialog's text with its CR LF line breaks as plain line ends.
std::string PlainLines(std::string s);

// A progress bar with percentage and estimated time left, redrawn in place on a terminal.
class TProgressBar {
public:
    void Show(int iPercent);
    void Clear();

private:
    std::optional<std::chrono::steady_clock::time_point> FtStart;
    int FiStartPercent = 0;
    bool FbShown = false;
};

// The header line and one line per firmware entry, tab-separated: the file slot first when
// bWithFile, then the built-in images, newest first.
void PrintFirmwareList(bool bWithFile);
