#include "frontend/uHistory.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace {

template <class T> std::string Or(const std::optional<T>& i) {
    return i ? std::to_string(*i) : std::string();
}

std::string VersionText(const std::optional<std::uint16_t>& i) {
    return i ? std::to_string(*i >> 8) + "." + std::to_string(*i & 0xFF) : "";
}

} // namespace

std::string RunOutcome(const TJournalRun& run) {
    if (!run.iStatus)
        return "interrupted (the run ended without recording its outcome)";
    return run.sStatusText;
}

std::string LeftInBootloaderText(const TJournalRun& run) {
    return !run.iStatus              ? "maybe"
           : run.bRestartUnconfirmed ? "unknown (restart not confirmed)"
           : run.bLeftInBootloader   ? "yes"
                                     : "no";
}

std::string StartedText(const TJournalRun& run) {
    std::string s = run.sStarted.substr(0, 19);
    if (s.size() > 10 && s[10] == 'T')
        s[10] = ' ';
    return s;
}

std::vector<TRunFact> RunFacts(const TJournalRun& r) {
    return {
        {"started", r.sStarted},
        {"ended", r.sEnded},
        {"program", r.sProgram},
        {"version", r.sVersion},
        {"computer", r.sComputer},
        {"port", r.sPort},
        {"converter", r.sConverter},
        {"serial", Or(r.iSerial)},
        {"application", VersionText(r.iAppVersion)},
        {"class", Or(r.iClass)},
        {"platform", Or(r.iPlatform)},
        {"print", Or(r.iPrint)},
        {"bootloader class", Or(r.iBootClass)},
        {"bootloader version", VersionText(r.iBootVersion)},
        {"entry", Or(r.iEntry)},
        {"image", r.sImage},
        {"file", r.sFileName},
        {"file sha256", r.sFileSha256},
        {"lines sent", std::to_string(r.iLinesSent)},
        {"repeats", std::to_string(r.iRepeats)},
        {"status", Or(r.iStatus)},
        {"outcome", RunOutcome(r)},
        {"left in bootloader", LeftInBootloaderText(r)},
        // Last, so that a spreadsheet that reads the earlier columns by position keeps working.
        {"reason", r.sReason},
    };
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string r = "\"";
    for (const char c : s)
        r += c == '"' ? std::string("\"\"") : std::string(1, c);
    return r + "\"";
}

std::vector<std::string> HistoryCsvLines(const std::vector<TJournalRun>& aRuns) {
    // A line of the facts' names (the header) or of their values.
    const auto line = [](const TJournalRun& r, bool bNames) {
        std::string s;
        bool bFirst = true;
        for (const TRunFact& fact : RunFacts(r)) {
            s += (bFirst ? "" : ",") + CsvField(bNames ? std::string(fact.sName) : fact.sValue);
            bFirst = false;
        }
        return s;
    };
    std::vector<std::string> aLines{line(TJournalRun{}, true)};
    for (const TJournalRun& r : aRuns)
        aLines.push_back(line(r, false));
    return aLines;
}

THistoryRead ReadHistory(const THistoryFilter& filter, TJournalAccess access) {
    THistoryRead result;
    const std::string sPath = JournalPath();
    // No journal yet: no runs, and nothing created for asking.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(std::u8string(sPath.begin(), sPath.end())),
                                 ec))
        return result;
    result.bJournalExists = true;
    const auto journal = access == TJournalAccess::ReadOnly
                             ? TJournal::OpenReadOnly(sPath, HistoryBusyTimeoutMs)
                             : TJournal::Open(sPath);
    result.aRuns = journal->History(filter);
    return result;
}
