// What kelvo-update writes: the report and the outcome on standard output, diagnostics and the
// progress bar on standard error (the JSON Lines for programs: uJsonLines.h).
#pragma once

#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uUpdateRunner.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
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

// The time left of a transfer from its recent rate: the progress made since the newest step that
// is at least Window old, so that a slow start or a stall long ago does not bend the estimate.
class TRecentRate {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds Window{30};

    void Restart() { Fa.clear(); }
    // A step of iPercent at t; a step back means a new attempt, which starts afresh.
    void Add(TClock::time_point t, int iPercent);
    // The seconds until 100 %, or nothing while no progress is seen in the window.
    std::optional<int> SecondsLeft() const;

private:
    std::deque<std::pair<TClock::time_point, int>> Fa;
};

// The width of the terminal that standard error writes to, where the live lines are drawn; 80
// when it is not known.
int StatusColumns();

// The columns that s takes on a terminal: a character one, a wide (East Asian) character two, a
// combining mark none; a byte that is not part of well-formed UTF-8 one, as the terminal shows a
// replacement character for it. Control characters are expected to be escaped already.
std::size_t DisplayWidth(std::string_view s);

// s cut at the right to at most iWidth columns, never inside a character.
std::string CutToWidth(std::string_view s, std::size_t iWidth);

// s in at most iWidth columns: unchanged when it fits, else its start and its end joined by
// sEllipsis (its middle left out). Too narrow for that, the ellipsis cut to iWidth.
std::string CutMiddle(std::string_view s, std::size_t iWidth, std::string_view sEllipsis);

// s in at most iWidth columns: unchanged when it fits, else its start followed by sEllipsis.
std::string CutEnd(std::string_view s, std::size_t iWidth, std::string_view sEllipsis);

// s with spaces up to iWidth columns.
std::string PadToWidth(std::string s, std::size_t iWidth);

// What stands for a left-out part of a text on the terminal of standard error: "…" where it shows
// UTF-8, else "...".
std::string_view TerminalEllipsis();

// The progress bar's line for a terminal of iColumns: "[####    ]  42%  3:07 left", the bar as
// wide as the terminal allows, never longer than iColumns - 1 (the last column would wrap on some
// terminals); too narrow for a bar, only the figures.
std::string BarLine(int iPercent, std::optional<int> iSecondsLeft, int iColumns);

// The bar on standard error, redrawn in place, as wide as the terminal.
class TProgressBar {
public:
    void Show(int iPercent);
    // Erases the line; the next Redraw shows the bar again.
    void Clear();
    void Redraw();
    // A new attempt: no bar until its first progress, and a rate of its own.
    void Restart();

private:
    void Draw();
    TRecentRate FRate;
    std::optional<int> FiPercent;
    std::size_t FiShown = 0; // the width of the line on the terminal
};

// Rows as lines of columns, each column as wide as its widest cell (in terminal columns), two
// spaces apart; the last cell is not padded.
std::vector<std::string> AlignedColumns(const std::vector<std::vector<std::string>>& aRows);

// The lines of the firmware list: a header line and one line per entry in aligned columns
// (spaces), the entry number first; the loaded file sFile (when given) first as entry "file" with
// its name last, then the built-in images, newest first.
std::vector<std::string> FirmwareListLines(const std::optional<std::string>& sFile);

// The firmware list on standard output; bJson: one JSON object a line instead (the file slot with
// entry 0 and its "file" name).
void PrintFirmwareList(const std::optional<std::string>& sFile, bool bJson);

// The ports, tab-separated under a header with the columns that any of them fills, or one JSON
// object a line.
void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson);

// True for the line that starts an attempt, the first or a repeat.
bool IsStartLine(std::int32_t iCode, const TStep& step, const std::string& sPort);
