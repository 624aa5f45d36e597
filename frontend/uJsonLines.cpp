#include "frontend/uJsonLines.h"

#include "firmware/uFWVersions.h"
#include "hexline/uShownText.h"
#include "link/uCommThread.h"
#include "link/uExceptions1V0.h"
#include "link/uSystemTexts.h"

#include <chrono>
#include <limits>
#include <utility>

namespace {

constexpr std::pair<TEvent, const char*> aEventNames[] = {
    {TEvent::Start, "start"},
    {TEvent::Class, "class"},
    {TEvent::Version, "version"},
    {TEvent::Platform, "platform"},
    {TEvent::Print, "print"},
    {TEvent::Info, "info"},
    {TEvent::UpdateClass, "update-class"},
    {TEvent::UpdateInfo, "update-info"},
    {TEvent::Candidate, "candidate"},
    {TEvent::Selected, "selected"},
    {TEvent::Progress, "progress"},
    {TEvent::VectorTable, "vector-table"},
    {TEvent::BadLine, "bad-line"},
    {TEvent::EchoDiffers, "echo-differs"},
    {TEvent::Repeat, "repeat"},
    {TEvent::Status, "status"},
    {TEvent::Reason, "reason"},
    {TEvent::Done, "done"},
    {TEvent::GaveUp, "gave-up"},
    {TEvent::Note, "note"},
    {TEvent::Serial, "serial"},
    {TEvent::Notification, "notification"},
    {TEvent::Result, "result"},
    {TEvent::Summary, "summary"},
    {TEvent::Plugged, "plugged"},
    {TEvent::Unplugged, "unplugged"},
    {TEvent::Waiting, "waiting"},
    {TEvent::Settling, "settling"},
};

TJson ImageObject(std::int32_t iEntry, const std::string& sDescription) {
    TJson o = TJson::object();
    o["entry"] = iEntry;
    o["description"] = sDescription;
    return o;
}

// s with every byte that is not part of well-formed UTF-8 as U+FFFD.
std::string WellFormedUtf8(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const int n = Utf8Sequence(s, i);
        if (n < 0) {
            r += "\xEF\xBF\xBD";
            i += static_cast<std::size_t>(-n);
        } else {
            r.append(s, i, static_cast<std::size_t>(n));
            i += static_cast<std::size_t>(n);
        }
    }
    return r;
}

} // namespace

TJson RunObject(TEvent event, const TJson& code, const TJson& value, const std::string& sText) {
    TJson o = TJson::object();
    o["time"] = IsoTimeNow();
    o["event"] = EventName(event);
    o["code"] = code;
    o["value"] = value;
    o["text"] = sText;
    return o;
}

std::string JsonText(const TJson& j) {
    return j.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

std::string JsonString(const std::string& s) {
    return JsonText(TJson(s));
}

TJson StrOrNull(const std::string& s) {
    return s.empty() ? TJson() : TJson(s);
}

std::string IsoTimeNow() {
    return LocalIso(std::chrono::system_clock::now());
}

const char* EventName(TEvent event) {
    for (const auto& [e, sName] : aEventNames) {
        if (e == event)
            return sName;
    }
    return "notification";
}

std::optional<TEvent> EventOfName(std::string_view sName) {
    for (const auto& [e, s] : aEventNames) {
        if (s == sName)
            return e;
    }
    return std::nullopt;
}

TEvent RunEvent(const TStep& step) {
    if (step.action == TAction::Diagnostic)
        return TEvent::Reason;
    switch (step.source) {
    case TSource::Start:
        return TEvent::Start;
    case TSource::Note:
        return TEvent::Note;
    case TSource::GaveUp:
        return TEvent::GaveUp;
    case TSource::Warning:
        return TEvent::Reason;
    case TSource::Settling:
        return TEvent::Settling;
    case TSource::Notification:
        break;
    }
    switch (step.iCode) {
    case Notify::Done:
        return TEvent::Done;
    case Notify::Progress:
        return TEvent::Progress;
    case Notify::Status:
        return step.iNotified == Status::EchoMismatch ? TEvent::Repeat : TEvent::Status;
    case Notify::EchoDiffers:
        return TEvent::EchoDiffers;
    case Notify::LineBad:
        return TEvent::BadLine;
    case Notify::NoAnswer:
        return TEvent::Repeat;
    case Notify::Class:
        return TEvent::Class;
    case Notify::Version:
        return TEvent::Version;
    case Notify::Platform:
        return TEvent::Platform;
    case Notify::Print:
        return TEvent::Print;
    case Notify::InfoWord:
        return TEvent::Info;
    case Notify::UpidId:
        return TEvent::UpdateClass;
    case Notify::TransferBegins:
        return TEvent::Selected;
    case Notify::Candidate:
        return TEvent::Candidate;
    case Notify::UpidInfo:
        return TEvent::UpdateInfo;
    case Notify::VectorLine:
        return TEvent::VectorTable;
    case Notify::Serial:
        return TEvent::Serial;
    default:
        return TEvent::Notification;
    }
}

void AddVersion(TJson& o, std::optional<std::int32_t> iVersion) {
    if (!iVersion) {
        o["version"] = nullptr;
        o["version_major"] = nullptr;
        o["version_minor"] = nullptr;
        return;
    }
    // The text as the report shows it: high byte, dot, low byte.
    const int iMajor = (*iVersion >> 8) & 0xFF;
    const int iMinor = *iVersion & 0xFF;
    o["version"] = std::to_string(iMajor) + "." + std::to_string(iMinor);
    o["version_major"] = iMajor;
    o["version_minor"] = iMinor;
}

std::vector<std::string> FirmwareListJson(const std::optional<std::string>& sFile) {
    std::vector<std::int32_t> aEntries;
    if (sFile)
        aEntries.push_back(0);
    for (std::int32_t i = GetFwCount(); i >= 1; --i)
        aEntries.push_back(i);
    std::vector<std::string> aLines;
    for (std::int32_t i : aEntries) {
        const TBl3FileHeader h = GetFwHeader(i);
        const std::vector<std::string> aRow = FirmwareRow(h);
        TJson o = TJson::object();
        o["list"] = "firmware";
        o["entry"] = i;
        o["firmware"] = aRow[0];
        o["class"] = h.quarn_class;
        // The image's text keeps its minor number's two digits ("5.08"); the numbers compare
        // with the logger's.
        o["version"] = aRow[1];
        o["version_major"] = h.quarn_verH;
        o["version_minor"] = h.quarn_verL;
        o["platform"] = aRow[2];
        o["print"] = aRow[3];
        o["date"] = h.quarn_date;
        o["bootloader"] = aRow[5];
        o["description"] = FirmwareDescription(i);
        if (i == 0)
            o["file"] = *sFile;
        aLines.push_back(JsonText(o));
    }
    return aLines;
}

std::vector<std::string> PortListJson(const std::vector<TPortDetails>& aPorts) {
    std::vector<std::string> aLines;
    for (const auto& d : aPorts) {
        TJson o = TJson::object();
        o["list"] = "port";
        o["port"] = d.sPort;
        o["by-id"] = StrOrNull(d.sById);
        o["vendor-id"] = StrOrNull(d.sVendorId);
        o["product-id"] = StrOrNull(d.sProductId);
        o["product"] = StrOrNull(d.sProduct);
        o["serial"] = StrOrNull(d.sSerial);
        o["description"] = StrOrNull(d.sDescription);
        o["device"] = StrOrNull(d.sDeviceName);
        o["in-gui-list"] = d.bInGuiList;
        aLines.push_back(JsonText(o));
    }
    return aLines;
}

void TJsonRun::Step(const TStep& step) {
    if (step.action != TAction::Report && step.action != TAction::Diagnostic)
        return;
    const bool bNotification = step.source == TSource::Notification && step.iCode >= 0;
    // The serial number is 32 bits without a sign, also where it comes from the journal or the
    // label.
    const bool bSerial = step.iCode == Notify::Serial || (step.iCode >= Notify::PinFromJournal &&
                                                          step.iCode <= Notify::SerialDiffers);
    const TJson value = !bNotification ? TJson()
                        : bSerial      ? TJson(static_cast<std::uint32_t>(step.iNotified))
                                       : TJson(step.iNotified);
    TJson o =
        RunObject(RunEvent(step), bNotification ? TJson(step.iCode) : TJson(), value, step.sText);
    if (bNotification && step.iCode == Notify::Version)
        AddVersion(o, step.iNotified);
    // The entry under examination, and the one chosen: iFwIndex, set before the worker posted
    // the notification, which the queue delivers after it.
    const std::optional<std::int32_t> iEntry = !bNotification ? std::optional<std::int32_t>()
                                               : step.iCode == Notify::Candidate ? step.iNotified
                                               : step.iCode == Notify::TransferBegins
                                                   ? iFwIndex
                                                   : std::optional<std::int32_t>();
    if (iEntry) {
        o["entry"] = *iEntry;
        o["description"] = FirmwareDescription(*iEntry);
    }
    if (bNotification && step.iCode == Notify::Progress)
        o["lines_sent"] = step.iLinesSent;
    if (FbPortOnEveryLine)
        o["port"] = FsPort;
    o["update"] = FiUpdate;
    // The row is known from the first start on: a program that watches can complete it when
    // this one cannot.
    if (step.source == TSource::Start)
        o["journal_row"] = FiJournalRow ? TJson(*FiJournalRow) : TJson();
    FOut(JsonText(o));
}

void TJsonRun::Result(const TRunResult& result) {
    TJson o = RunObject(TEvent::Result, TJson(), TJson(), result.sOutcome);
    o["exit"] = result.ExitStatus();
    o["success"] = result.bSuccess;
    o["port"] = FsPort;
    TJson logger; // null until the run identified the logger
    if (result.iClass) {
        logger["class"] = *result.iClass;
        AddVersion(logger, result.iVersion);
        logger["serial"] = result.bIdentified ? TJson(result.iSerial) : TJson();
    }
    o["logger"] = logger;
    o["image"] =
        result.iEntry ? ImageObject(*result.iEntry, FirmwareDescription(*result.iEntry)) : TJson();
    o["reason"] = StrOrNull(result.sReason);
    o["left_in_bootloader"] = result.bLeftInBootloader;
    o["restart_unconfirmed"] = result.bRestartUnconfirmed;
    o["note"] = StrOrNull(result.sNote);
    o["update"] = FiUpdate;
    o["journal_row"] = FiJournalRow ? TJson(*FiJournalRow) : TJson();
    FOut(JsonText(o));
}

std::optional<TJson> ReadJsonLine(std::string_view sLine) {
    TJson o = TJson::parse(WellFormedUtf8(sLine), nullptr, false);
    if (!o.is_object())
        return std::nullopt;
    return o;
}

std::optional<std::string> JsonStr(const TJson& o, const char* sKey) {
    const auto it = o.find(sKey);
    if (it == o.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<long long> JsonInt(const TJson& o, const char* sKey) {
    const auto it = o.find(sKey);
    if (it == o.end() || !it->is_number_integer() ||
        (it->is_number_unsigned() &&
         it->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<long long>::max()}))
        return std::nullopt;
    return it->get<long long>();
}

std::optional<TEvent> JsonEvent(const TJson& o) {
    const std::optional<std::string> sEvent = JsonStr(o, "event");
    return sEvent ? EventOfName(*sEvent) : std::nullopt;
}
