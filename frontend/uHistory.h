// The update journal's history as every front end shows it: the runs that pass a filter, each
// run's facts in words, and their CSV form for a spreadsheet.
#pragma once

#include "journal/uJournal.h"

#include <string>
#include <vector>

// One recorded fact of a run: its name (the CSV column's header) and its value in plain text
// (empty when unknown).
struct TRunFact {
    const char* sName;
    std::string sValue;
};

// Every fact of the run, in the order of the CSV columns.
std::vector<TRunFact> RunFacts(const TJournalRun& run);
// What became of the run: its status text, or that it never completed its row.
std::string RunOutcome(const TJournalRun& run);
// Whether the run left its logger in its bootloader: "yes", "no", "maybe" (the run never
// completed its row) or "unknown (restart not confirmed)".
std::string LeftInBootloaderText(const TJournalRun& run);
// The start in UTC to the second, "YYYY-MM-DD HH:MM:SS".
std::string StartedText(const TJournalRun& run);

// One CSV field as RFC 4180 writes it: quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& s);
// The CSV lines of the runs (as given, newest first): a header line, then one line per run.
std::vector<std::string> HistoryCsvLines(const std::vector<TJournalRun>& aRuns);

// How a front end opens the journal to read its history.
enum class TJournalAccess {
    // As an updating program does: an earlier schema is brought up to date first.
    Writable,
    // Never writes and waits only briefly for a writer: for a window beside running updates.
    ReadOnly,
};

// How long a read-only reader waits for a writer that holds the journal.
constexpr int HistoryBusyTimeoutMs = 300;

struct THistoryRead {
    std::vector<TJournalRun> aRuns; // newest first
    bool bJournalExists = false;    // false: no journal yet (and none was made by asking)
};

// The journal's runs that pass the filter, newest first. A journal that does not exist has no
// runs. Throws EJournal when the journal cannot be read and std::invalid_argument for a malformed
// date in the filter.
THistoryRead ReadHistory(const THistoryFilter& filter, TJournalAccess access);
