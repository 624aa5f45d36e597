#include "cli/uCliOutput.h"

#include "cli/uTerminal.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "hexline/uFmt.h"
#include "hexline/uShownText.h"
#include "link/uCommThread.h"
#include "link/uExceptions1V0.h"

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

namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long SecondsOf(const std::tm& t) {
    return DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1),
                         static_cast<unsigned>(t.tm_mday)) *
               86400 +
           t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

// The text of a version word: high byte, dot, low byte, as the report shows it.
std::string VersionText(std::int32_t iVersion) {
    return std::to_string((iVersion >> 8) & 0xFF) + "." + std::to_string(iVersion & 0xFF);
}

} // namespace

std::string JsonString(const std::string& s) {
    std::string r = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const int n = Utf8Sequence(s, i);
        if (n < 0) {
            r += "\xEF\xBF\xBD";
            i += static_cast<std::size_t>(-n);
            continue;
        }
        if (n > 1) {
            r.append(s, i, static_cast<std::size_t>(n));
            i += static_cast<std::size_t>(n);
            continue;
        }
        switch (c) {
        case '"':
            r += "\\\"";
            break;
        case '\\':
            r += "\\\\";
            break;
        case '\n':
            r += "\\n";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\t':
            r += "\\t";
            break;
        default:
            if (c < 0x20)
                r += Fmt("\\u%04x", c);
            else
                r += static_cast<char>(c);
        }
        ++i;
    }
    return r + "\"";
}

int UtcOffsetMinutes(const std::tm& local, const std::tm& utc) {
    return static_cast<int>((SecondsOf(local) - SecondsOf(utc)) / 60);
}

std::string IsoTime(const std::tm& local, int iMillis, int iOffsetMinutes) {
    const int iOffset = iOffsetMinutes < 0 ? -iOffsetMinutes : iOffsetMinutes;
    return Fmt("%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", local.tm_year + 1900,
               local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, iMillis,
               iOffsetMinutes < 0 ? '-' : '+', iOffset / 60, iOffset % 60);
}

std::string IsoTimeNow() {
    const auto tNow = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(tNow);
    const auto iMillis = std::chrono::duration_cast<std::chrono::milliseconds>(
                             tNow.time_since_epoch() - std::chrono::seconds(t))
                             .count();
    // Made on the main thread only, like the report lines.
    const std::tm local = *std::localtime(&t);
    const std::tm utc = *std::gmtime(&t);
    return IsoTime(local, static_cast<int>(iMillis), UtcOffsetMinutes(local, utc));
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
    std::vector<std::int32_t> aEntries;
    if (sFile)
        aEntries.push_back(0);
    for (std::int32_t i = GetFwCount(); i >= 1; --i)
        aEntries.push_back(i);
    for (std::int32_t i : aEntries) {
        const TBl3FileHeader h = GetFwHeader(i);
        const std::vector<std::string> aRow = FirmwareRow(h);
        TJsonObject o;
        o.Str("list", "firmware")
            .Int("entry", i)
            .Str("firmware", aRow[0])
            .Int("class", h.quarn_class)
            .Str("version", aRow[1])
            .Str("platform", aRow[2])
            .Str("print", aRow[3])
            .Str("date", h.quarn_date)
            .Str("bootloader", aRow[5])
            .Str("description", FirmwareDescription(i));
        if (i == 0)
            o.Str("file", *sFile);
        Console.Out(o.Text());
    }
}

void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson) {
    if (bJson) {
        for (const auto& d : aPorts)
            Console.Out(TJsonObject()
                            .Str("list", "port")
                            .Str("port", d.sPort)
                            .StrOrNull("by-id", d.sById)
                            .StrOrNull("vendor-id", d.sVendorId)
                            .StrOrNull("product-id", d.sProductId)
                            .StrOrNull("product", d.sProduct)
                            .StrOrNull("serial", d.sSerial)
                            .StrOrNull("device", d.sDeviceName)
                            .Text());
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

const char* RunEventName(std::int32_t iCode, std::int32_t iValue, const TStep& step,
                         const std::string& sPort) {
    if (step.action == TAction::Diagnostic)
        return "reason";
    switch (iCode) {
    case -1: // the runner's own lines
        if (IsStartLine(iCode, step, sPort))
            return "start";
        return step.sText == Texts::LoggerWaitsInBootloader ? "note" : "gave-up";
    case Notify::Done:
        return "done";
    case Notify::Progress:
        return "progress";
    case Notify::Status:
        return iValue == Status::EchoMismatch ? "repeat" : "status";
    case Notify::EchoDiffers:
        return "echo-differs";
    case Notify::LineBad:
        return "bad-line";
    case Notify::NoAnswer:
        return "repeat";
    case Notify::Class:
        return "class";
    case Notify::Version:
        return "version";
    case Notify::Platform:
        return "platform";
    case Notify::Print:
        return "print";
    case Notify::InfoWord:
        return "info";
    case Notify::UpidId:
        return "update-class";
    case Notify::TransferBegins:
        return "selected";
    case Notify::Candidate:
        return "candidate";
    case Notify::UpidInfo:
        return "update-info";
    case Notify::VectorLine:
        return "vector-table";
    case Notify::Serial:
        return "serial";
    default:
        return "notification";
    }
}

void TJsonRun::Step(std::int32_t iCode, std::int32_t iValue, const TStep& step) {
    if (step.action != TAction::Report && step.action != TAction::Diagnostic)
        return;
    const bool bNotification = iCode >= 0;
    // The serial number is 32 bits without a sign.
    const std::string sValue = iCode == Notify::Serial
                                   ? std::to_string(static_cast<std::uint32_t>(iValue))
                                   : std::to_string(iValue);
    TJsonObject o;
    o.Str("time", IsoTimeNow())
        .Str("event", RunEventName(iCode, iValue, step, FsPort))
        .Raw("code", bNotification ? std::to_string(iCode) : "null")
        .Raw("value", bNotification ? sValue : "null")
        .Str("text", step.sText);
    if (iCode == Notify::Class && !FiClass)
        FiClass = iValue;
    if (iCode == Notify::Version) {
        if (!FiVersion)
            FiVersion = iValue;
        o.Str("version", VersionText(iValue));
    }
    // The entry under examination, and the one chosen: iFwIndex, set before the worker posted
    // the notification, which the queue delivers after it.
    const std::optional<std::int32_t> iEntry = iCode == Notify::Candidate ? iValue
                                               : iCode == Notify::TransferBegins
                                                   ? iFwIndex
                                                   : std::optional<std::int32_t>();
    if (iEntry) {
        o.Int("entry", *iEntry).Str("description", FirmwareDescription(*iEntry));
        if (iCode == Notify::TransferBegins)
            FiEntry = iEntry;
    }
    if (FbPortOnEveryLine)
        o.Str("port", FsPort);
    Console.Out(o.Text());
}

void TJsonRun::Result(const TRunResult& result, int iExit, const std::string& sOutcome) {
    TJsonObject o;
    o.Str("time", IsoTimeNow())
        .Str("event", "result")
        .Raw("code", "null")
        .Raw("value", "null")
        .Str("text", sOutcome)
        .Int("exit", iExit)
        .Bool("success", result.bSuccess)
        .Str("port", FsPort);
    if (FiClass) {
        TJsonObject logger;
        logger.Int("class", *FiClass)
            .Raw("version", FiVersion ? JsonString(VersionText(*FiVersion)) : "null")
            .Raw("serial", result.bIdentified ? std::to_string(result.iSerial) : "null");
        o.Raw("logger", logger.Text());
    } else {
        o.Raw("logger", "null");
    }
    if (FiEntry)
        o.Raw("image", TJsonObject()
                           .Int("entry", *FiEntry)
                           .Str("description", FirmwareDescription(*FiEntry))
                           .Text());
    else
        o.Raw("image", "null");
    o.StrOrNull("reason", result.sReason);
    Console.Out(o.Text());
}
