// kelvo-update --history: the update journal's latest runs as a table, JSON Lines or CSV.
#pragma once

#include <string>
#include <vector>

struct TJournalRun;
struct THistoryFilter;

enum class THistoryForm { Table, Json, Csv };

// The lines that show the runs (newest first, as given) in the form asked for: the table and the
// CSV (HistoryCsvLines) with a header line; nothing but the header for no runs. A run that never
// completed its row shows as interrupted.
std::vector<std::string> HistoryLines(const std::vector<TJournalRun>& aRuns, THistoryForm form);

// Prints the journal's runs that pass filter, in form, on standard output; the exit status: 0, or 1
// when the journal cannot be read (said on standard error). A journal that does not exist yet has
// no runs and is not made by asking.
int PrintHistory(const THistoryFilter& filter, THistoryForm form);
