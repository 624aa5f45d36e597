#include "cli/uCliOutput.h"

#include "cli/uConsolePlatform.h"
#include "cli/uTerminal.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "frontend/uJsonLines.h"
#include "hexline/uShownText.h"

#include <algorithm>
#include <array>
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

std::string PlainLines(std::string s) {
    // Only the CR of a CR LF: a lone one belongs to the text (a port name) and is shown escaped.
    for (std::size_t i = 0; (i = s.find("\r\n", i)) != std::string::npos;)
        s.erase(i, 1);
    return s;
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

void PrintFirmwareList(const std::optional<std::string>& sFile, bool bJson) {
    if (!bJson) {
        for (const std::string& s : FirmwareListLines(sFile))
            Console.Out(s);
        return;
    }
    for (const std::string& s : FirmwareListJson(sFile))
        Console.Out(s);
}

std::vector<std::string> PortListLines(const std::vector<TPortDetails>& aPorts) {
    std::vector<std::string> aLines;
    if (aPorts.empty())
        return aLines;
    // The cells of the columns; the port always, the others when any port fills them. "GUI list"
    // only when a port is listed that the port box does not offer (Windows: another driver's).
    constexpr const char* aNames[] = {"Port",  "USB id",      "Product", "Serial",
                                      "By-id", "Description", "Device",  "GUI list"};
    constexpr std::size_t GuiListColumn = std::size(aNames) - 1;
    using TRow = std::array<std::string, std::size(aNames)>;
    std::vector<TRow> aRows;
    std::array<bool, std::size(aNames)> aShown{true};
    for (const auto& d : aPorts) {
        const std::string sUsbId = d.sVendorId.empty() && d.sProductId.empty()
                                       ? std::string()
                                       : d.sVendorId + ":" + d.sProductId;
        aRows.push_back({d.sPort, sUsbId, d.sProduct, d.sSerial, d.sById, d.sDescription,
                         d.sDeviceName, d.bInGuiList ? "yes" : "no"});
        for (std::size_t i = 0; i < GuiListColumn; ++i)
            aShown[i] = aShown[i] || !aRows.back()[i].empty();
        aShown[GuiListColumn] = aShown[GuiListColumn] || !d.bInGuiList;
    }
    const auto line = [&](const auto& cell) {
        std::string s;
        for (std::size_t i = 0; i < aShown.size(); ++i) {
            if (aShown[i])
                s += (s.empty() ? "" : "\t") + cell(i);
        }
        return s;
    };
    aLines.push_back(line([&](std::size_t i) { return std::string(aNames[i]); }));
    for (const TRow& row : aRows) {
        aLines.push_back(line([&](std::size_t i) {
            return row[i].empty() ? std::string("-") : EscapeControlChars(row[i]);
        }));
    }
    return aLines;
}

void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson) {
    for (const std::string& s : bJson ? PortListJson(aPorts) : PortListLines(aPorts))
        Console.Out(s);
}
