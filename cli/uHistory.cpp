#include "cli/uHistory.h"

#include "cli/uCliOutput.h"
#include "cli/uTerminal.h"
#include "frontend/uJsonLines.h"
#include "hexline/uShownText.h"
#include "journal/uJournal.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

namespace {

template <class T> std::string Or(const std::optional<T>& i, const std::string& sNone = "") {
    return i ? std::to_string(*i) : sNone;
}

std::string VersionText(const std::optional<std::uint16_t>& i) {
    return i ? std::to_string(*i >> 8) + "." + std::to_string(*i & 0xFF) : "";
}

// What became of the run: its status and text, or that it never ended its row.
std::string Outcome(const TJournalRun& r) {
    if (!r.iStatus)
        return "interrupted (the run ended without recording its outcome)";
    return r.sStatusText;
}

// The columns, each a header and the run's value in plain text.
struct TColumn {
    const char* sHeader;
    std::string (*value)(const TJournalRun&);
};

const TColumn aColumns[] = {
    {"started",
     [](const TJournalRun& r) {
         return r.sStarted;
     }},
    {"ended",
     [](const TJournalRun& r) {
         return r.sEnded;
     }},
    {"program",
     [](const TJournalRun& r) {
         return r.sProgram;
     }},
    {"version",
     [](const TJournalRun& r) {
         return r.sVersion;
     }},
    {"computer",
     [](const TJournalRun& r) {
         return r.sComputer;
     }},
    {"port",
     [](const TJournalRun& r) {
         return r.sPort;
     }},
    {"converter",
     [](const TJournalRun& r) {
         return r.sConverter;
     }},
    {"serial",
     [](const TJournalRun& r) {
         return Or(r.iSerial);
     }},
    {"application",
     [](const TJournalRun& r) {
         return VersionText(r.iAppVersion);
     }},
    {"class",
     [](const TJournalRun& r) {
         return Or(r.iClass);
     }},
    {"platform",
     [](const TJournalRun& r) {
         return Or(r.iPlatform);
     }},
    {"print",
     [](const TJournalRun& r) {
         return Or(r.iPrint);
     }},
    {"bootloader class",
     [](const TJournalRun& r) {
         return Or(r.iBootClass);
     }},
    {"bootloader version",
     [](const TJournalRun& r) {
         return VersionText(r.iBootVersion);
     }},
    {"entry",
     [](const TJournalRun& r) {
         return Or(r.iEntry);
     }},
    {"image",
     [](const TJournalRun& r) {
         return r.sImage;
     }},
    {"file",
     [](const TJournalRun& r) {
         return r.sFileName;
     }},
    {"file sha256",
     [](const TJournalRun& r) {
         return r.sFileSha256;
     }},
    {"lines sent",
     [](const TJournalRun& r) {
         return std::to_string(r.iLinesSent);
     }},
    {"repeats",
     [](const TJournalRun& r) {
         return std::to_string(r.iRepeats);
     }},
    {"status",
     [](const TJournalRun& r) {
         return Or(r.iStatus);
     }},
    {"outcome",
     [](const TJournalRun& r) {
         return Outcome(r);
     }},
    {"left in bootloader",
     [](const TJournalRun& r) {
         return std::string(!r.iStatus              ? "maybe"
                            : r.bRestartUnconfirmed ? "unknown (restart not confirmed)"
                            : r.bLeftInBootloader   ? "yes"
                                                    : "no");
     }},
    // Last, so that a spreadsheet that reads the earlier columns by position keeps working.
    {"reason",
     [](const TJournalRun& r) {
         return r.sReason;
     }},
};

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

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string r = "\"";
    for (const char c : s)
        r += c == '"' ? std::string("\"\"") : std::string(1, c);
    return r + "\"";
}

std::vector<std::string> HistoryLines(const std::vector<TJournalRun>& aRuns, THistoryForm form) {
    std::vector<std::string> aLines;
    if (form == THistoryForm::Json) {
        for (const TJournalRun& r : aRuns)
            aLines.push_back(JsonOf(r));
        return aLines;
    }
    if (form == THistoryForm::Csv) {
        std::string s;
        for (const TColumn& c : aColumns)
            s += (s.empty() ? "" : ",") + CsvField(c.sHeader);
        aLines.push_back(s);
        for (const TJournalRun& r : aRuns) {
            s.clear();
            for (std::size_t i = 0; i < std::size(aColumns); ++i)
                s += (i == 0 ? "" : ",") + CsvField(aColumns[i].value(r));
            aLines.push_back(s);
        }
        return aLines;
    }
    // The table: the columns an operator reads first; the rest is in the JSON and the CSV.
    const std::vector<std::pair<const char*, std::string (*)(const TJournalRun&)>> aShown = {
        {"Started (UTC)",
         [](const TJournalRun& r) {
             std::string s = r.sStarted.substr(0, 19);
             if (s.size() > 10 && s[10] == 'T')
                 s[10] = ' ';
             return s;
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
             return EscapeControlChars(Outcome(r) +
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
    const std::string sPath = JournalPath();
    // No journal yet: no runs, and nothing created for asking.
    if (std::error_code ec; std::filesystem::exists(sPath, ec)) {
        try {
            aRuns = TJournal::Open(sPath)->History(filter);
        } catch (const std::exception& e) {
            Console.Err("kelvo-update: the update journal cannot be read: " +
                        EscapeControlChars(e.what()));
            return 1;
        }
    }
    for (const std::string& s : HistoryLines(aRuns, form))
        Console.Out(s);
    return 0;
}
