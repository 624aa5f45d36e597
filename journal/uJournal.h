// The update journal: one SQLite file per user with one row per run of an update (per port of a
// several-port run). A row is written when the run starts, rewritten as facts arrive and
// completed at the end, so a run that never ends (killed, power lost) keeps what it learned and
// shows as not completed. The journal also remembers which logger a converter last left in its
// bootloader, for the version pin of a logger found already in its bootloader.
//
// Several processes may write one file at once (WAL mode and a busy timeout). Callers treat every
// EJournal as a warning: the journal never stops or changes an update.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A journal that cannot be opened, read or written; the text names the file and the reason.
class EJournal : public std::runtime_error {
public:
    explicit EJournal(const std::string& sText, bool bBusy = false)
        : std::runtime_error(sText), FbBusy(bBusy) {}
    // Another connection held the file past the busy timeout: trying again later may succeed.
    bool IsBusy() const { return FbBusy; }

private:
    bool FbBusy;
};

// One row: one run of an update on one port. Empty texts and empty optionals are stored as NULL.
struct TJournalRun {
    std::int64_t iId = 0; // 0 before Begin
    std::string sProgram, sVersion, sComputer;
    std::string sPort;
    std::string sConverter; // by-id name or USB serial; empty when unknown
    // UTC ISO 8601 with milliseconds and 'Z'; sEnded empty: the run has not completed its row.
    std::string sStarted, sEnded;
    std::optional<std::uint32_t> iSerial;     // as read from the logger's application
    std::optional<std::uint16_t> iAppVersion; // as read from the logger's application
    std::optional<std::uint16_t> iClass, iPlatform, iPrint, iBootClass, iBootVersion;
    std::optional<std::int32_t> iEntry; // the selected catalogue entry (0: a file)
    std::string sImage;                 // its description, e.g. "Kelvo model 26113 V5.138, ..."
    std::string sFileName, sFileSha256;
    std::int32_t iLinesSent = 0, iRepeats = 0;
    std::optional<std::int32_t> iStatus; // the final status (0 success); empty until completed
    std::string sStatusText;
    bool bLeftInBootloader = false;
    // The port was lost while the logger restarted after the finish request: whether it was left
    // in its bootloader is unknown.
    bool bRestartUnconfirmed = false;
    // Why the port could not be opened or used, for status 10 and 11, in the system's terms.
    std::string sReason;

    bool operator==(const TJournalRun&) const = default;
};

// Which rows History returns, newest first.
struct THistoryFilter {
    int iLimit = 20; // 0 or less: all
    std::optional<std::uint32_t> iSerial;
    // The port name or the converter's name, each also without "/dev/serial/by-id/" or "/dev/" as
    // the live lines show it; empty: all.
    std::string sPort;
    std::string sSince; // UTC date "YYYY-MM-DD" or date-time "YYYY-MM-DDTHH:MM[:SS[.mmm]][Z]"
    std::string sDay;   // UTC date "YYYY-MM-DD": only the runs started that day; empty: all
};

// One connection to the journal file. Its calls take turns, so one object may serve several
// threads; several objects (and processes) may write the same file at once.
class TJournal {
public:
    // Opens the journal at sPath (UTF-8), creating its folders and the file as needed: WAL mode, a
    // busy timeout of a few seconds, the schema created, brought up from an earlier version (its
    // rows kept) or checked. A damaged file is renamed "<path>.corrupt-<UTC timestamp>" and a new
    // one is started; what happened goes to *psNotice (left untouched otherwise). A file of a
    // newer schema than this program knows is left alone. Throws EJournal on every failure.
    static std::unique_ptr<TJournal> Open(const std::string& sPath,
                                          std::string* psNotice = nullptr);
    // Opens an existing journal for reading only, for a viewer beside running updates: nothing is
    // created, brought up or written, and a reader waits at most iBusyTimeoutMs for a writer. A
    // file of an earlier schema is read as it is. Only History may be called. Throws EJournal.
    static std::unique_ptr<TJournal> OpenReadOnly(const std::string& sPath, int iBusyTimeoutMs);
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    const std::string& Path() const { return FPath; }

    // Inserts the run as a new row (sStarted := UtcNow() when empty) and sets run.iId.
    std::int64_t Begin(TJournalRun& run);
    // Rewrites every field of the row run.iId; the caller sets sEnded and iStatus to complete it.
    void Update(const TJournalRun& run);
    // Completes the row iId, when it has not been completed yet, for a run whose program ended
    // without completing it: ended now, iStatus, sText, the lines sent (never fewer than the row
    // has) and bLeftInBootloader. True when it did; false for a completed row or none.
    bool CompleteUnended(std::int64_t iId, std::int32_t iStatus, const std::string& sText,
                         std::int32_t iLinesSent, bool bLeftInBootloader);
    // The latest run on this converter (its name when sConverter is not empty, else the port name
    // sPort), other than iExcludeId, when that run left its logger in the bootloader, may have
    // (its port was lost while the logger restarted) or never completed its row; nothing when the
    // latest run there finished otherwise, or there is none.
    std::optional<TJournalRun> InterruptedRunOn(const std::string& sConverter,
                                                const std::string& sPort, std::int64_t iExcludeId);
    // The rows that pass the filter, newest first. Throws std::invalid_argument for a malformed
    // filter.sSince or filter.sDay.
    std::vector<TJournalRun> History(const THistoryFilter& filter);

private:
    struct TImpl;
    TJournal(std::string sPath, std::unique_ptr<TImpl> impl);
    // Throws EJournal on a read-only connection.
    void NeedWritable() const;

    std::string FPath;
    std::unique_ptr<TImpl> FImpl;
};

// The journal's path: KELVO_JOURNAL when set, else the platform's per-user place
// ($XDG_STATE_HOME/kelvo/journal.sqlite3, default ~/.local/state/...; on Windows
// %LOCALAPPDATA%\kelvo\journal.sqlite3). UTF-8. Throws EJournal when there is no such place.
std::string JournalPath();
// The computer's name, UTF-8; empty when the system does not tell it.
std::string ComputerName();

// UTC now as ISO 8601 with milliseconds: "2026-12-10T18:56:28.920Z".
std::string UtcNow();
// A UTC date or date-time as History's filter takes it, in the journal's own form (a prefix of
// the stored times, so that text order is time order); nothing when sText is not one.
std::optional<std::string> NormalizeSince(const std::string& sText);
