#include "cli/uCliOutput.h"

#include "cli/uConsolePlatform.h"
#include "cli/uJsonLines.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "hexline/uShownText.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <iterator>

TConsole Console;

void TConsole::Write(std::FILE* pStream, const std::string& s, bool& bFailed) {
    if (bFailed)
        return;
    if (std::fwrite(s.data(), 1, s.size(), pStream) != s.size() || std::fflush(pStream) != 0) {
        bFailed = true;
        std::clearerr(pStream);
    }
}

namespace {

[[gnu::format(printf, 1, 2)]] std::string Fmt(const char* sFormat, ...) {
    char b[256];
    std::va_list args;
    va_start(args, sFormat);
    std::vsnprintf(b, sizeof b, sFormat, args);
    va_end(args);
    return b;
}

} // namespace

std::string PlainLines(std::string s) {
    // Only the CR of a CR LF: a lone one belongs to the text (a port name) and is shown escaped.
    for (std::size_t i = 0; (i = s.find("\r\n", i)) != std::string::npos;)
        s.erase(i, 1);
    return s;
}

void TRecentRate::Add(TClock::time_point t, int iPercent) {
    if (!Fa.empty() && iPercent < Fa.back().second)
        Fa.clear();
    Fa.emplace_back(t, iPercent);
    // The base of the rate: the newest step at least Window before this one.
    while (Fa.size() >= 2 && Fa[1].first <= t - Window)
        Fa.pop_front();
}

std::optional<int> TRecentRate::SecondsLeft() const {
    if (Fa.size() < 2)
        return std::nullopt;
    const auto& [tBase, iBase] = Fa.front();
    const auto& [tLast, iLast] = Fa.back();
    if (iLast <= iBase)
        return std::nullopt;
    const double dSeconds = std::chrono::duration<double>(tLast - tBase).count();
    return static_cast<int>(dSeconds / (iLast - iBase) * (100 - iLast) + 0.5);
}

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
    const int iColumns = StatusColumns();
    std::string s = BarLine(*FiPercent, FRate.SecondsLeft(), iColumns);
    const std::size_t iWidth = s.size();
    // Spaces over what a longer line before left, as far as the terminal is wide now.
    const std::size_t iErase = std::min(FiShown, static_cast<std::size_t>(iColumns - 1));
    if (iWidth < iErase)
        s += std::string(iErase - iWidth, ' ');
    Console.ErrInPlace("\r" + s);
    FiShown = iWidth;
}

void TProgressBar::Clear() {
    if (FiShown > 0)
        Console.ErrInPlace("\r" + std::string(FiShown, ' ') + "\r");
    FiShown = 0;
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

std::vector<std::string> FirmwareListLines(const std::optional<std::string>& sFile) {
    using TRow = std::vector<std::string>;
    std::vector<TRow> aRows;
    TRow header{"Entry"};
    header.insert(header.end(), std::begin(FirmwareColumns), std::end(FirmwareColumns));
    if (sFile)
        header.push_back("File");
    aRows.push_back(std::move(header));
    const auto add = [&](std::string sEntry, std::int32_t iEntry) {
        TRow row{std::move(sEntry)};
        for (std::string& s : FirmwareRow(GetFwHeader(iEntry)))
            row.push_back(std::move(s));
        aRows.push_back(std::move(row));
    };
    if (sFile) {
        add("file", 0);
        // The name is the operator's own text: no control character reaches the terminal.
        aRows.back().push_back(EscapeControlChars(*sFile));
    }
    for (std::int32_t i = GetFwCount(); i >= 1; --i)
        add(std::to_string(i), i);

    return AlignedColumns(aRows);
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

void PrintFirmwareList(const std::optional<std::string>& sFile, bool bJson) {
    if (!bJson) {
        for (const std::string& s : FirmwareListLines(sFile))
            Console.Out(s);
        return;
    }
    for (const std::string& s : FirmwareListJson(sFile))
        Console.Out(s);
}

void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson) {
    if (bJson) {
        for (const std::string& s : PortListJson(aPorts))
            Console.Out(s);
        return;
    }
    if (aPorts.empty())
        return;
    // The cells of the columns; the port always, the others when any port fills them.
    constexpr const char* aNames[] = {"Port", "USB id", "Product", "Serial", "By-id", "Device"};
    using TRow = std::array<std::string, std::size(aNames)>;
    std::vector<TRow> aRows;
    std::array<bool, std::size(aNames)> aShown{true};
    for (const auto& d : aPorts) {
        const std::string sUsbId = d.sVendorId.empty() && d.sProductId.empty()
                                       ? std::string()
                                       : d.sVendorId + ":" + d.sProductId;
        aRows.push_back({d.sPort, sUsbId, d.sProduct, d.sSerial, d.sById, d.sDeviceName});
        for (std::size_t i = 0; i < aShown.size(); ++i)
            aShown[i] = aShown[i] || !aRows.back()[i].empty();
    }
    const auto line = [&](const auto& cell) {
        std::string s;
        for (std::size_t i = 0; i < aShown.size(); ++i) {
            if (aShown[i])
                s += (s.empty() ? "" : "\t") + cell(i);
        }
        return s;
    };
    Console.Out(line([&](std::size_t i) { return std::string(aNames[i]); }));
    for (const TRow& row : aRows) {
        Console.Out(line([&](std::size_t i) {
            return row[i].empty() ? std::string("-") : EscapeControlChars(row[i]);
        }));
    }
}

bool IsStartLine(std::int32_t iCode, const TStep& step, const std::string& sPort) {
    return iCode == -1 && step.action == TAction::Report && step.sText == StartText(sPort);
}
