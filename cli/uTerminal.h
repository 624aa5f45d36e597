// Drawing on a terminal: the columns that a text takes there, texts cut and padded to a width,
// aligned columns, and lines on standard error redrawn in place (the progress bar, the live lines
// of several ports).
#pragma once

#include "frontend/uRecentRate.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Rows as lines of columns, each column as wide as its widest cell (in terminal columns), two
// spaces apart; the last cell is not padded.
std::vector<std::string> AlignedColumns(const std::vector<std::vector<std::string>>& aRows);

// The width of the terminal that standard error writes to, where the lines in place are drawn;
// 80 when it is not known.
int StatusColumns();

// What stands for a left-out part of a text on the terminal of standard error: "…" where it shows
// UTF-8, else "...".
std::string_view TerminalEllipsis();

// Lines kept on the terminal of standard error and redrawn in place. A line never reaches the
// terminal's last column (some terminals wrap there), counted in columns, not bytes.
class TInPlaceLines {
public:
    enum class TKind {
        // One line with the cursor on it, redrawn after a carriage return, what a longer line
        // left covered with spaces: any terminal can do that (the progress bar).
        OneLine,
        // Lines that each end a line, the cursor moved back up to the first with ANSI escape
        // sequences (EnableCursorControl first). The block is never taller than the terminal
        // less one line, so that nothing scrolls away and the cursor always finds its first line
        // again (the live lines of several ports).
        Block,
    };

    // iFooter: the last lines of every block, which always stay (the station's count): a block
    // taller than the terminal counts the lines before them instead.
    explicit TInPlaceLines(TKind kind, std::size_t iFooter = 0) : FKind(kind), FiFooter(iFooter) {}

    // Draws aLines over the lines shown (OneLine: the first of them).
    void Show(const std::vector<std::string>& aLines);
    // Erases the lines; the next Redraw shows them again.
    void Clear();
    // The lines last shown, drawn again for the terminal as it is now.
    void Redraw();

    // The bytes that draw aLines over the lines shown, on a terminal of iColumns and iRows (0:
    // not known); from then on they are the lines shown.
    std::string Draw(const std::vector<std::string>& aLines, int iColumns, int iRows);
    // The bytes that erase the lines shown; from then on there are none.
    std::string Erase(int iColumns);

private:
    // The terminal's rows that a block takes now.
    std::size_t RowsShown(int iColumns) const;
    TKind FKind;
    std::size_t FiFooter;
    std::vector<std::string> FaLines;
    std::vector<std::size_t> FaShownWidths; // the columns of each line on the terminal now
    int FiShownColumns = 0;                 // the terminal's width when they were drawn
};

// The progress bar's line for a terminal of iColumns: "[####    ]  42%  3:07 left", the bar as
// wide as the terminal allows, never longer than iColumns - 1 (the last column would wrap on some
// terminals); too narrow for a bar, only the figures.
std::string BarLine(int iPercent, std::optional<int> iSecondsLeft, int iColumns);

// The bar on standard error, redrawn in place, as wide as the terminal.
class TProgressBar {
public:
    void Show(int iPercent);
    // Erases the line; the next Redraw shows the bar again.
    void Clear() { FLine.Clear(); }
    void Redraw();
    // A new attempt: no bar until its first progress, and a rate of its own.
    void Restart();

private:
    void Draw();
    TRecentRate FRate;
    std::optional<int> FiPercent;
    TInPlaceLines FLine{TInPlaceLines::TKind::OneLine};
};
