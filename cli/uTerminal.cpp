#include "cli/uTerminal.h"

#include "cli/uCliOutput.h"
#include "cli/uConsolePlatform.h"
#include "hexline/uFmt.h"
#include "hexline/uShownText.h"

#include <algorithm>
#include <iterator>

namespace {

// The columns of one character on a terminal (wcwidth's rule, for the ranges that matter here).
std::size_t CharWidth(char32_t c) {
    // Combining marks and zero-width characters.
    constexpr std::pair<char32_t, char32_t> aZero[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
        {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};
    // East Asian wide and full-width characters, emoji.
    constexpr std::pair<char32_t, char32_t> aWide[] = {
        {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},  {0x3400, 0x4DBF},
        {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},  {0xF900, 0xFAFF},
        {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},  {0x1F300, 0x1F64F},
        {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
    const auto in = [c](const auto& aRanges) {
        return std::any_of(std::begin(aRanges), std::end(aRanges),
                           [c](const auto& r) { return c >= r.first && c <= r.second; });
    };
    return in(aZero) ? 0 : in(aWide) ? 2 : 1;
}

// The character at s[i]: its length in bytes and its columns.
std::pair<std::size_t, std::size_t> CharAt(std::string_view s, std::size_t i) {
    const std::string sBytes(s.substr(i, 4));
    const int n = Utf8Sequence(sBytes, 0);
    if (n <= 1)
        return {1, 1};
    const auto b = [&](int k) {
        return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]));
    };
    char32_t c = b(0) & (0x7F >> n);
    for (int k = 1; k < n; ++k)
        c = (c << 6) | (b(k) & 0x3F);
    return {static_cast<std::size_t>(n), CharWidth(c)};
}

// The bytes of s's start that take at most iWidth columns.
std::size_t FitStart(std::string_view s, std::size_t iWidth) {
    std::size_t i = 0;
    std::size_t iUsed = 0;
    while (i < s.size()) {
        const auto [n, w] = CharAt(s, i);
        if (iUsed + w > iWidth)
            break;
        iUsed += w;
        i += n;
    }
    return i;
}

// The first byte of s's end that takes at most iWidth columns.
std::size_t FitEnd(std::string_view s, std::size_t iWidth) {
    // The characters' starts, walked from the front: UTF-8 is read forwards only.
    std::vector<std::pair<std::size_t, std::size_t>> a;
    for (std::size_t i = 0; i < s.size();) {
        const auto [n, w] = CharAt(s, i);
        a.emplace_back(i, w);
        i += n;
    }
    std::size_t iStart = s.size();
    std::size_t iUsed = 0;
    for (auto it = a.rbegin(); it != a.rend() && iUsed + it->second <= iWidth; ++it) {
        iUsed += it->second;
        iStart = it->first;
    }
    return iStart;
}

} // namespace

std::size_t DisplayWidth(std::string_view s) {
    std::size_t iWidth = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto [n, w] = CharAt(s, i);
        iWidth += w;
        i += n;
    }
    return iWidth;
}

std::string CutToWidth(std::string_view s, std::size_t iWidth) {
    return std::string(s.substr(0, FitStart(s, iWidth)));
}

std::string CutMiddle(std::string_view s, std::size_t iWidth, std::string_view sEllipsis) {
    if (DisplayWidth(s) <= iWidth)
        return std::string(s);
    const std::size_t iEllipsis = DisplayWidth(sEllipsis);
    if (iWidth <= iEllipsis)
        return CutToWidth(sEllipsis, iWidth);
    // The end tells ports apart more often than the start: it gets the odd column.
    const std::size_t iHead = (iWidth - iEllipsis) / 2;
    const std::size_t iTail = iWidth - iEllipsis - iHead;
    return std::string(s.substr(0, FitStart(s, iHead))) + std::string(sEllipsis) +
           std::string(s.substr(FitEnd(s, iTail)));
}

std::string CutEnd(std::string_view s, std::size_t iWidth, std::string_view sEllipsis) {
    if (DisplayWidth(s) <= iWidth)
        return std::string(s);
    const std::size_t iEllipsis = DisplayWidth(sEllipsis);
    if (iWidth <= iEllipsis)
        return CutToWidth(sEllipsis, iWidth);
    return CutToWidth(s, iWidth - iEllipsis) + std::string(sEllipsis);
}

std::string PadToWidth(std::string s, std::size_t iWidth) {
    const std::size_t iHas = DisplayWidth(s);
    if (iHas < iWidth)
        s.append(iWidth - iHas, ' ');
    return s;
}

std::string_view TerminalEllipsis() {
    return TerminalShowsUtf8(stderr) ? "\xE2\x80\xA6" : "...";
}

int StatusColumns() {
    const int iColumns = TerminalColumns(stderr);
    return iColumns > 0 ? iColumns : 80;
}

std::vector<std::string> AlignedColumns(const std::vector<std::vector<std::string>>& aRows) {
    std::vector<std::size_t> aWidths;
    for (const auto& row : aRows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c == aWidths.size())
                aWidths.push_back(0);
            aWidths[c] = std::max(aWidths[c], DisplayWidth(row[c]));
        }
    std::vector<std::string> aLines;
    for (const auto& row : aRows) {
        std::string sLine;
        for (std::size_t c = 0; c < row.size(); ++c) {
            sLine += row[c];
            if (c + 1 < row.size())
                sLine.append(aWidths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        sLine.erase(sLine.find_last_not_of(' ') + 1);
        aLines.push_back(std::move(sLine));
    }
    return aLines;
}

void TInPlaceLines::Show(const std::vector<std::string>& aLines) {
    Console.ErrInPlace(Draw(aLines, StatusColumns(), TerminalRows(stderr)));
}

void TInPlaceLines::Clear() {
    if (const std::string s = Erase(StatusColumns()); !s.empty())
        Console.ErrInPlace(s);
}

void TInPlaceLines::Redraw() {
    if (!FaLines.empty())
        Show(FaLines);
}

std::size_t TInPlaceLines::RowsShown(int iColumns) const {
    if (iColumns <= 0 || iColumns == FiShownColumns)
        return FaShownWidths.size();
    // The terminal has changed its width since: one that rewraps its lines puts a line now
    // wider than it on several rows.
    const auto iWidth = static_cast<std::size_t>(iColumns);
    std::size_t iRows = 0;
    for (std::size_t i : FaShownWidths)
        iRows += std::max<std::size_t>(1, (i + iWidth - 1) / iWidth);
    return iRows;
}

std::string TInPlaceLines::Draw(const std::vector<std::string>& aLines, int iColumns, int iRows) {
    FaLines = aLines;
    const auto cut = [&](const std::string& sLine) {
        return iColumns > 0 ? CutToWidth(sLine, static_cast<std::size_t>(iColumns - 1)) : sLine;
    };
    if (FKind == TKind::OneLine) {
        const std::string sCut = cut(aLines.empty() ? std::string() : aLines.front());
        const std::size_t iWidth = DisplayWidth(sCut);
        // Spaces over what a longer line before left, as far as the terminal is wide now.
        std::size_t iErase = FaShownWidths.empty() ? 0 : FaShownWidths.front();
        if (iColumns > 0)
            iErase = std::min(iErase, static_cast<std::size_t>(iColumns - 1));
        FaShownWidths = {iWidth};
        FiShownColumns = iColumns;
        return "\r" + sCut + std::string(iErase > iWidth ? iErase - iWidth : 0, ' ');
    }
    std::vector<std::string> aShown = aLines;
    // A block taller than the terminal would scroll its first lines away, out of the cursor's
    // reach: the lines that do not fit are counted on a line of their own instead, above the
    // footer, which stays. A terminal too short even for that shows what it can of the footer.
    if (iRows > 1 && aLines.size() > static_cast<std::size_t>(iRows - 1)) {
        const auto iRoom = static_cast<std::size_t>(iRows - 1);
        const std::size_t iFooter = std::min(FiFooter, aLines.size());
        const auto footer = aLines.end() - static_cast<std::ptrdiff_t>(iFooter);
        if (iRoom > iFooter) {
            const std::size_t iKept = iRoom - iFooter - 1;
            aShown.assign(aLines.begin(), aLines.begin() + static_cast<std::ptrdiff_t>(iKept));
            aShown.push_back("(" + std::to_string(aLines.size() - iFooter - iKept) +
                             " more ports)");
            aShown.insert(aShown.end(), footer, aLines.end());
        } else {
            aShown.assign(aLines.end() - static_cast<std::ptrdiff_t>(iRoom), aLines.end());
        }
    }
    // Up to the first line of the block, then every line anew, none into the last column.
    const std::size_t iUp = RowsShown(iColumns);
    std::string s = iUp > 0 ? "\x1b[" + std::to_string(iUp) + "A\r" : "\r";
    FaShownWidths.clear();
    for (const std::string& sLine : aShown) {
        const std::string sCut = cut(sLine);
        FaShownWidths.push_back(DisplayWidth(sCut));
        s += sCut + "\x1b[K\n";
    }
    if (aShown.size() < iUp)
        s += "\x1b[J";
    FiShownColumns = iColumns;
    return s;
}

std::string TInPlaceLines::Erase(int iColumns) {
    if (FKind == TKind::OneLine) {
        const std::size_t iShown = FaShownWidths.empty() ? 0 : FaShownWidths.front();
        FaShownWidths.clear();
        return iShown > 0 ? "\r" + std::string(iShown, ' ') + "\r" : std::string();
    }
    const std::size_t iUp = RowsShown(iColumns);
    FaShownWidths.clear();
    if (iUp == 0)
        return {};
    // Row by row, back to the first: a block at the top of the screen erased with one "erase
    // below" would be a clear of the whole screen, which some terminals (tmux) keep in the
    // scrollback.
    std::string s = "\x1b[" + std::to_string(iUp) + "A\r";
    for (std::size_t i = 0; i < iUp; ++i)
        s += i == 0 ? "\x1b[2K" : "\x1b[B\x1b[2K";
    if (iUp > 1)
        s += "\x1b[" + std::to_string(iUp - 1) + "A";
    return s;
}

std::string BarLine(int iPercent, std::optional<int> iSecondsLeft, int iColumns) {
    iPercent = std::clamp(iPercent, 0, 100);
    std::string sLeft = "--:--";
    if (iSecondsLeft) {
        const int i = std::max(*iSecondsLeft, 0);
        sLeft = i >= 3600 ? Fmt("%d:%02d:%02d", i / 3600, i / 60 % 60, i % 60)
                          : Fmt("%d:%02d", i / 60, i % 60);
    }
    const std::string sFigures = Fmt("%3d%%  %s left", iPercent, sLeft.c_str());
    const auto iWidth = static_cast<std::size_t>(std::max(iColumns, 1) - 1);
    // "[" bar "] " figures, with a bar of at least ten marks.
    if (iWidth < sFigures.size() + 3 + 10)
        return sFigures.substr(sFigures.find_first_not_of(' ')).substr(0, iWidth);
    const std::size_t iBar = iWidth - sFigures.size() - 3;
    const std::size_t iFilled = iBar * static_cast<std::size_t>(iPercent) / 100;
    return "[" + std::string(iFilled, '#') + std::string(iBar - iFilled, ' ') + "] " + sFigures;
}

void TProgressBar::Show(int iPercent) {
    FRate.Add(std::chrono::steady_clock::now(), iPercent);
    FiPercent = iPercent;
    Draw();
}

void TProgressBar::Draw() {
    FLine.Show({BarLine(*FiPercent, FRate.SecondsLeft(), StatusColumns())});
}

void TProgressBar::Redraw() {
    if (FiPercent)
        Draw();
}

void TProgressBar::Restart() {
    Clear();
    FRate.Restart();
    FiPercent.reset();
}
