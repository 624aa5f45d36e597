#include "cli/uHistory.h"

#include "cli/uCliOutput.h"
#include "cli/uTerminal.h"
#include "frontend/uHistory.h"
#include "frontend/uJsonLines.h"
#include "hexline/uShownText.h"

#include <optional>

namespace {

template <class T> std::string Or(const std::optional<T>& i, const std::string& sNone) {
    return i ? std::to_string(*i) : sNone;
}

std::string JsonOf(const TJournalRun& r) {
    const auto num = [](const auto& i) {
        return i ? TJson(*i) : TJson();
    };
    TJson o = TJson::object();
    o["started"] = r.sStarted;
    o["ended"] = StrOrNull(r.sEnded);
    o["program"] = r.sProgram;
    o["version"] = r.sVersion;
    o["computer"] = StrOrNull(r.sComputer);
    o["port"] = r.sPort;
    o["converter"] = StrOrNull(r.sConverter);
    o["serial"] = num(r.iSerial);
    o["application"] = num(r.iAppVersion);
    o["class"] = num(r.iClass);
    o["platform"] = num(r.iPlatform);
    o["print"] = num(r.iPrint);
    o["bootloader_class"] = num(r.iBootClass);
    o["bootloader_version"] = num(r.iBootVersion);
    o["entry"] = num(r.iEntry);
    o["image"] = StrOrNull(r.sImage);
    o["file"] = StrOrNull(r.sFileName);
    o["file_sha256"] = StrOrNull(r.sFileSha256);
    o["lines_sent"] = r.iLinesSent;
    o["repeats"] = r.iRepeats;
    o["status"] = num(r.iStatus);
    o["text"] = StrOrNull(r.sStatusText);
    o["interrupted"] = !r.iStatus;
    // Unknown (null) when the port was lost while the logger restarted.
    o["left_in_bootloader"] =
        r.bRestartUnconfirmed ? TJson() : TJson(r.bLeftInBootloader || !r.iStatus);
    o["restart_unconfirmed"] = r.bRestartUnconfirmed;
    o["reason"] = StrOrNull(r.sReason);
    return JsonText(o);
}

} // namespace

std::vector<std::string> HistoryLines(const std::vector<TJournalRun>& aRuns, THistoryForm form) {
    std::vector<std::string> aLines;
    if (form == THistoryForm::Json) {
        for (const TJournalRun& r : aRuns)
            aLines.push_back(JsonOf(r));
        return aLines;
    }
    if (form == THistoryForm::Csv)
        return HistoryCsvLines(aRuns);
    // The table: the columns an operator reads first; the rest is in the JSON and the CSV.
    const std::vector<std::pair<const char*, std::string (*)(const TJournalRun&)>> aShown = {
        {"Started (UTC)",
         [](const TJournalRun& r) {
             return StartedText(r);
         }},
        {"Port",
         [](const TJournalRun& r) {
             return EscapeControlChars(r.sPort);
         }},
        {"Serial",
         [](const TJournalRun& r) {
             return Or(r.iSerial, "-");
         }},
        {"Image",
         [](const TJournalRun& r) {
             return r.sImage.empty() ? std::string("-") : EscapeControlChars(r.sImage);
         }},
        {"Status",
         [](const TJournalRun& r) {
             return Or(r.iStatus, "-");
         }},
        {"Outcome",
         [](const TJournalRun& r) {
             // With the reason of a port that could not be used, as the message box has it.
             return EscapeControlChars(RunOutcome(r) +
                                       (r.sReason.empty() ? "" : " Reason: " + r.sReason));
         }},
    };
    std::vector<std::vector<std::string>> aRows(1);
    for (const auto& [sHeader, value] : aShown)
        aRows[0].push_back(sHeader);
    for (const TJournalRun& r : aRuns) {
        aRows.emplace_back();
        for (const auto& [sHeader, value] : aShown)
            aRows.back().push_back(value(r));
    }
    return AlignedColumns(aRows);
}

int PrintHistory(const THistoryFilter& filter, THistoryForm form) {
    std::vector<TJournalRun> aRuns;
    try {
        aRuns = ReadHistory(filter, TJournalAccess::Writable).aRuns;
    } catch (const std::exception& e) {
        Console.Err("kelvo-update: the update journal cannot be read: " +
                    EscapeControlChars(e.what()));
        return 1;
    }
    for (const std::string& s : HistoryLines(aRuns, form))
        Console.Out(s);
    return 0;
}
