#include "journal/uJournal.h"

#include "link/uSystemTexts.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The schema this program writes and reads (PRAGMA user_version): 1 the first; 2 adds the reason
// why a port could not be opened or used; 3 that a restart could not be confirmed.
constexpr int SchemaVersion = 3;
// How long a writer waits for another one before it gives up.
constexpr int BusyTimeoutMs = 5000;

// The columns of a run, in the order of BindRun and ReadRun (which reads "id" first).
constexpr std::array<const char*, 25> RunColumns = {"program",
                                                    "version",
                                                    "computer",
                                                    "port",
                                                    "converter",
                                                    "started",
                                                    "ended",
                                                    "serial",
                                                    "app_version",
                                                    "class",
                                                    "platform",
                                                    "print",
                                                    "boot_class",
                                                    "boot_version",
                                                    "entry",
                                                    "image",
                                                    "file_name",
                                                    "file_sha256",
                                                    "lines_sent",
                                                    "repeats",
                                                    "status",
                                                    "status_text",
                                                    "left_in_bootloader",
                                                    "reason",
                                                    "restart_unconfirmed"};
constexpr int RunColumnCount = static_cast<int>(RunColumns.size());

// "c1<sSuffix>1, c2<sSuffix>2, ...", e.g. "program = ?1, version = ?2" or "?1, ?2".
std::string ColumnList(bool bNames, const char* sSuffix) {
    std::string s;
    for (int i = 0; i < RunColumnCount; ++i) {
        s += i ? ", " : "";
        s += bNames ? RunColumns[static_cast<std::size_t>(i)] : "";
        s += sSuffix + std::to_string(i + 1);
    }
    return s;
}

// The schema version that added a column; the others came with version 1.
int ColumnSince(const std::string_view sColumn) {
    return sColumn == "reason" ? 2 : sColumn == "restart_unconfirmed" ? 3 : 1;
}

// The query of every column of a run. A journal of an earlier schema (read without bringing it
// up) gives a column it does not have yet as that column's value in the earlier rows.
std::string SelectRuns(int iVersion = SchemaVersion) {
    std::string s = "SELECT id";
    for (const char* sColumn : RunColumns) {
        if (ColumnSince(sColumn) <= iVersion)
            s += std::string(", ") + sColumn;
        else
            s += std::string_view(sColumn) == "reason" ? ", NULL" : ", 0";
    }
    return s + " FROM runs";
}

constexpr const char* SchemaSql = R"(
CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    program TEXT, version TEXT, computer TEXT,
    port TEXT, converter TEXT,
    started TEXT, ended TEXT,
    serial INTEGER, app_version INTEGER,
    class INTEGER, platform INTEGER, print INTEGER, boot_class INTEGER, boot_version INTEGER,
    entry INTEGER, image TEXT, file_name TEXT, file_sha256 TEXT,
    lines_sent INTEGER NOT NULL DEFAULT 0, repeats INTEGER NOT NULL DEFAULT 0,
    status INTEGER, status_text TEXT,
    left_in_bootloader INTEGER NOT NULL DEFAULT 0,
    reason TEXT,
    restart_unconfirmed INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS runs_converter ON runs (converter);
CREATE INDEX IF NOT EXISTS runs_port ON runs (port);
)";

// What brings a journal of an earlier schema one version on, from version 1: each step only adds,
// so that what the earlier program wrote stays as it was.
constexpr const char* MigrationSql[] = {
    // 1 to 2: the reason of a status 10 or 11.
    "ALTER TABLE runs ADD COLUMN reason TEXT;",
    // 2 to 3: the port lost while the logger restarted; earlier rows did not know it.
    "ALTER TABLE runs ADD COLUMN restart_unconfirmed INTEGER NOT NULL DEFAULT 0;",
};
static_assert(std::size(MigrationSql) == SchemaVersion - 1);

fs::path FsPath(const std::string& sUtf8) {
    return fs::path(std::u8string(sUtf8.begin(), sUtf8.end()));
}

std::string Utf8(const fs::path& path) {
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}

struct TDbClose {
    void operator()(sqlite3* h) const { sqlite3_close_v2(h); }
};
using TDb = std::unique_ptr<sqlite3, TDbClose>;

struct TStmtFinalize {
    void operator()(sqlite3_stmt* h) const { sqlite3_finalize(h); }
};
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalize>;

// An SQLite failure with its primary result code, so that Open can tell a damaged file.
class ESqlite : public EJournal {
public:
    ESqlite(const std::string& sText, std::string sReason, int iCode)
        : EJournal(sText, (iCode & 0xFF) == SQLITE_BUSY || (iCode & 0xFF) == SQLITE_LOCKED),
          FReason(std::move(sReason)), FCode(iCode & 0xFF) {}
    bool IsDamage() const { return FCode == SQLITE_CORRUPT || FCode == SQLITE_NOTADB; }
    const std::string& Reason() const { return FReason; }

private:
    std::string FReason;
    int FCode;
};

[[noreturn]] void Fail(sqlite3* hDb, const std::string& sPath, const char* sWhat, int iCode) {
    std::string sReason = hDb ? sqlite3_errmsg(hDb) : sqlite3_errstr(iCode);
    // SQLite's own text says little about a failing system call ("unable to open database
    // file"); the system's reason says why. A file that cannot be created is retried read-only,
    // whose "no such file" would hide the first reason.
    const int iSystem = hDb ? sqlite3_system_errno(hDb) : 0;
    if (iSystem != 0 && std::system_category().default_error_condition(iSystem) !=
                            std::errc::no_such_file_or_directory)
        sReason += " (" + std::system_category().message(iSystem) + ")";
    throw ESqlite("The journal \"" + sPath + "\" " + sWhat + ": " + sReason, sReason, iCode);
}

TStmt Prepare(sqlite3* hDb, const std::string& sPath, const std::string& sSql) {
    sqlite3_stmt* h = nullptr;
    const int iCode =
        sqlite3_prepare_v3(hDb, sSql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &h, nullptr);
    TStmt stmt(h);
    if (iCode != SQLITE_OK)
        Fail(hDb, sPath, "cannot be read", iCode);
    return stmt;
}

// Runs statements without results (or whose result is not needed).
void Exec(sqlite3* hDb, const std::string& sPath, const char* sSql, const char* sWhat) {
    const int iCode = sqlite3_exec(hDb, sSql, nullptr, nullptr, nullptr);
    if (iCode != SQLITE_OK)
        Fail(hDb, sPath, sWhat, iCode);
}

int UserVersion(sqlite3* hDb, const std::string& sPath) {
    TStmt stmt = Prepare(hDb, sPath, "PRAGMA user_version");
    const int iCode = sqlite3_step(stmt.get());
    if (iCode != SQLITE_ROW)
        Fail(hDb, sPath, "cannot be read", iCode);
    return sqlite3_column_int(stmt.get(), 0);
}

void BindText(sqlite3_stmt* h, int i, const std::string& s) {
    if (s.empty())
        sqlite3_bind_null(h, i);
    else
        sqlite3_bind_text(h, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

template <typename T> void BindInt(sqlite3_stmt* h, int i, const std::optional<T>& value) {
    if (value)
        sqlite3_bind_int64(h, i, static_cast<sqlite3_int64>(*value));
    else
        sqlite3_bind_null(h, i);
}

// Binds the run's fields to parameters 1..RunColumnCount, in RunColumns order.
void BindRun(sqlite3_stmt* h, const TJournalRun& run) {
    int i = 0;
    BindText(h, ++i, run.sProgram);
    BindText(h, ++i, run.sVersion);
    BindText(h, ++i, run.sComputer);
    BindText(h, ++i, run.sPort);
    BindText(h, ++i, run.sConverter);
    BindText(h, ++i, run.sStarted);
    BindText(h, ++i, run.sEnded);
    BindInt(h, ++i, run.iSerial);
    BindInt(h, ++i, run.iAppVersion);
    BindInt(h, ++i, run.iClass);
    BindInt(h, ++i, run.iPlatform);
    BindInt(h, ++i, run.iPrint);
    BindInt(h, ++i, run.iBootClass);
    BindInt(h, ++i, run.iBootVersion);
    BindInt(h, ++i, run.iEntry);
    BindText(h, ++i, run.sImage);
    BindText(h, ++i, run.sFileName);
    BindText(h, ++i, run.sFileSha256);
    sqlite3_bind_int(h, ++i, run.iLinesSent);
    sqlite3_bind_int(h, ++i, run.iRepeats);
    BindInt(h, ++i, run.iStatus);
    BindText(h, ++i, run.sStatusText);
    sqlite3_bind_int(h, ++i, run.bLeftInBootloader ? 1 : 0);
    BindText(h, ++i, run.sReason);
    sqlite3_bind_int(h, ++i, run.bRestartUnconfirmed ? 1 : 0);
}

std::string ColumnText(sqlite3_stmt* h, int i) {
    const auto* s = sqlite3_column_text(h, i);
    return s ? std::string(reinterpret_cast<const char*>(s),
                           static_cast<std::size_t>(sqlite3_column_bytes(h, i)))
             : std::string();
}

template <typename T> std::optional<T> ColumnInt(sqlite3_stmt* h, int i) {
    if (sqlite3_column_type(h, i) == SQLITE_NULL)
        return std::nullopt;
    return static_cast<T>(sqlite3_column_int64(h, i));
}

// Reads a row of SelectRuns().
TJournalRun ReadRun(sqlite3_stmt* h) {
    TJournalRun run;
    int i = 0;
    run.iId = sqlite3_column_int64(h, i++);
    run.sProgram = ColumnText(h, i++);
    run.sVersion = ColumnText(h, i++);
    run.sComputer = ColumnText(h, i++);
    run.sPort = ColumnText(h, i++);
    run.sConverter = ColumnText(h, i++);
    run.sStarted = ColumnText(h, i++);
    run.sEnded = ColumnText(h, i++);
    run.iSerial = ColumnInt<std::uint32_t>(h, i++);
    run.iAppVersion = ColumnInt<std::uint16_t>(h, i++);
    run.iClass = ColumnInt<std::uint16_t>(h, i++);
    run.iPlatform = ColumnInt<std::uint16_t>(h, i++);
    run.iPrint = ColumnInt<std::uint16_t>(h, i++);
    run.iBootClass = ColumnInt<std::uint16_t>(h, i++);
    run.iBootVersion = ColumnInt<std::uint16_t>(h, i++);
    run.iEntry = ColumnInt<std::int32_t>(h, i++);
    run.sImage = ColumnText(h, i++);
    run.sFileName = ColumnText(h, i++);
    run.sFileSha256 = ColumnText(h, i++);
    run.iLinesSent = sqlite3_column_int(h, i++);
    run.iRepeats = sqlite3_column_int(h, i++);
    run.iStatus = ColumnInt<std::int32_t>(h, i++);
    run.sStatusText = ColumnText(h, i++);
    run.bLeftInBootloader = sqlite3_column_int(h, i++) != 0;
    run.sReason = ColumnText(h, i++);
    run.bRestartUnconfirmed = sqlite3_column_int(h, i++) != 0;
    return run;
}

// Resets a statement after use, whatever happened, so it holds no read lock in between.
struct TResetGuard {
    sqlite3_stmt* h;
    ~TResetGuard() {
        sqlite3_reset(h);
        sqlite3_clear_bindings(h);
    }
};

// The timestamp in a file name: no ':' (Windows forbids it), milliseconds so that two damaged
// files moved aside in one second keep apart.
std::string FileStamp() {
    std::string s;
    for (char c : UtcNow())
        if (c != '-' && c != ':')
            s += c;
    return s; // "20261210T185628.920Z"
}

// Moves a damaged journal aside together with its write-ahead log and drops its shared-memory
// index. The log holds the journal's latest rows when it was not copied into the file (another
// program still had the journal open); left beside the new file, SQLite would delete it and
// those rows with it. Returns the new name.
std::string MoveAside(const std::string& sPath) {
    const std::string sAside = sPath + ".corrupt-" + FileStamp();
    std::error_code error;
    fs::rename(FsPath(sPath), FsPath(sAside), error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw EJournal("The journal \"" + sPath +
                       "\" is damaged and cannot be moved aside: " + error.message());
    std::error_code ignored;
    if (fs::exists(FsPath(sPath + "-wal"), ignored))
        fs::rename(FsPath(sPath + "-wal"), FsPath(sAside + "-wal"), ignored);
    fs::remove(FsPath(sPath + "-shm"), ignored);
    return sAside;
}

// The names a column's port or converter goes by: as stored, and as the live lines show it
// short, without "/dev/serial/by-id/" or "/dev/".
std::string ShortNames(const std::string& sColumn) {
    std::string s = sColumn;
    for (const std::string_view sPrefix : {"/dev/serial/by-id/", "/dev/"}) {
        const std::string sAfter = std::to_string(sPrefix.size() + 1);
        s += ", CASE WHEN substr(" + sColumn + ", 1, " + std::to_string(sPrefix.size()) + ") = '" +
             std::string(sPrefix) + "' THEN substr(" + sColumn + ", " + sAfter + ") END";
    }
    return s;
}

bool IsDigits(const std::string& s, std::size_t iPos, std::size_t iCount) {
    if (iPos + iCount > s.size())
        return false;
    for (std::size_t i = iPos; i < iPos + iCount; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

int Number(const std::string& s, std::size_t iPos, std::size_t iCount) {
    return std::stoi(s.substr(iPos, iCount));
}

} // namespace

struct TJournal::TImpl {
    TDb db;
    TStmt insert, update, completeUnended, lastOnConverter, lastOnPort;
    std::mutex lock; // one statement at a time on this connection
    // The file's schema version; below SchemaVersion only for a read-only connection.
    int iVersion = SchemaVersion;
    bool bReadOnly = false;

    static std::unique_ptr<TImpl> Open(const std::string& sPath);
    static std::unique_ptr<TImpl> OpenReadOnly(const std::string& sPath, int iBusyTimeoutMs);
};

std::unique_ptr<TJournal::TImpl> TJournal::TImpl::OpenReadOnly(const std::string& sPath,
                                                               int iBusyTimeoutMs) {
    auto impl = std::make_unique<TImpl>();
    impl->bReadOnly = true;
    sqlite3* hDb = nullptr;
    const int iCode =
        sqlite3_open_v2(sPath.c_str(), &hDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    impl->db.reset(hDb);
    if (iCode != SQLITE_OK)
        Fail(hDb, sPath, "cannot be opened", iCode);
    sqlite3_extended_result_codes(hDb, 1);
    sqlite3_busy_timeout(hDb, iBusyTimeoutMs);
    impl->iVersion = UserVersion(hDb, sPath);
    if (impl->iVersion > SchemaVersion)
        throw EJournal("The journal \"" + sPath +
                       "\" was written by a newer program; it is left alone");
    return impl;
}

// Opens the file and brings it to the current schema. Throws ESqlite (IsDamage for a damaged
// file) or EJournal.
std::unique_ptr<TJournal::TImpl> TJournal::TImpl::Open(const std::string& sPath) {
    auto impl = std::make_unique<TImpl>();
    sqlite3* hDb = nullptr;
    const int iCode =
        sqlite3_open_v2(sPath.c_str(), &hDb,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    impl->db.reset(hDb);
    if (iCode != SQLITE_OK)
        Fail(hDb, sPath, "cannot be opened", iCode);
    sqlite3_extended_result_codes(hDb, 1);
    sqlite3_busy_timeout(hDb, BusyTimeoutMs);

    // The version is read before anything is written, so a newer file stays as it is.
    const auto Newer = [&] {
        return EJournal("The journal \"" + sPath +
                        "\" was written by a newer program; it is left alone");
    };
    int iVersion = UserVersion(hDb, sPath);
    if (iVersion > SchemaVersion)
        throw Newer();
    Exec(hDb, sPath, "PRAGMA journal_mode=WAL", "cannot be opened");
    // Every commit reaches the disk: a run's row must survive a power cut.
    Exec(hDb, sPath, "PRAGMA synchronous=FULL", "cannot be opened");
    if (iVersion < SchemaVersion) {
        // Several programs may start on a new or earlier file at once: one creates or migrates
        // the schema, the others wait for its write lock and then find it done.
        Exec(hDb, sPath, "BEGIN IMMEDIATE", "cannot be written");
        try {
            iVersion = UserVersion(hDb, sPath);
            if (iVersion > SchemaVersion)
                throw Newer();
            if (iVersion == 0) {
                Exec(hDb, sPath, SchemaSql, "cannot be written");
            } else {
                for (int i = iVersion; i < SchemaVersion; ++i)
                    Exec(hDb, sPath, MigrationSql[i - 1], "cannot be written");
            }
            if (iVersion < SchemaVersion)
                Exec(hDb, sPath, ("PRAGMA user_version=" + std::to_string(SchemaVersion)).c_str(),
                     "cannot be written");
            Exec(hDb, sPath, "COMMIT", "cannot be written");
        } catch (...) {
            sqlite3_exec(hDb, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::string sNames;
    for (const char* sColumn : RunColumns)
        sNames += (sNames.empty() ? "" : ", ") + std::string(sColumn);
    impl->insert = Prepare(
        hDb, sPath, "INSERT INTO runs (" + sNames + ") VALUES (" + ColumnList(false, "?") + ")");
    impl->update = Prepare(hDb, sPath,
                           "UPDATE runs SET " + ColumnList(true, " = ?") + " WHERE id = ?" +
                               std::to_string(RunColumnCount + 1));
    impl->completeUnended = Prepare(hDb, sPath,
                                    "UPDATE runs SET ended = ?1, status = ?2, status_text = ?3,"
                                    " lines_sent = max(lines_sent, ?4), left_in_bootloader = ?5"
                                    " WHERE id = ?6 AND ended IS NULL");
    // A completed run that never heard a logger (the port was busy, nothing answered) tells
    // nothing of the one there: it is passed over.
    const std::string sMetALogger =
        " AND (ended IS NULL OR class IS NOT NULL OR boot_class IS NOT NULL)";
    impl->lastOnConverter = Prepare(hDb, sPath,
                                    SelectRuns() + " WHERE converter = ?1 AND id <> ?2" +
                                        sMetALogger + " ORDER BY id DESC LIMIT 1");
    impl->lastOnPort = Prepare(hDb, sPath,
                               SelectRuns() + " WHERE port = ?1 AND id <> ?2" + sMetALogger +
                                   " ORDER BY id DESC LIMIT 1");
    return impl;
}

TJournal::TJournal(std::string sPath, std::unique_ptr<TImpl> impl)
    : FPath(std::move(sPath)), FImpl(std::move(impl)) {}

TJournal::~TJournal() = default;

std::unique_ptr<TJournal> TJournal::Open(const std::string& sPath, std::string* psNotice) {
    if (sPath.empty())
        throw EJournal("The journal has no path");
    const fs::path folder = FsPath(sPath).parent_path();
    if (!folder.empty()) {
        std::error_code error;
        fs::create_directories(folder, error);
        if (error)
            throw EJournal("The journal's folder \"" + Utf8(folder) +
                           "\" cannot be created: " + error.message());
    }
    // Programs that open a new file at the same moment can stand in one another's way where the
    // busy timeout does not wait (both have read it, both want to change it to WAL): the open is
    // tried again until the timeout.
    const auto open = [&] {
        const auto tEnd =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
        for (;;) {
            try {
                return TImpl::Open(sPath);
            } catch (const ESqlite& e) {
                if (!e.IsBusy() || std::chrono::steady_clock::now() >= tEnd)
                    throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    std::unique_ptr<TImpl> impl;
    try {
        impl = open();
    } catch (const ESqlite& e) {
        if (!e.IsDamage())
            throw;
        // The connection closed with the exception, so the file may be renamed (also on
        // Windows, which does not rename open files).
        const std::string sAside = MoveAside(sPath);
        impl = open();
        if (psNotice)
            *psNotice = "The journal \"" + sPath + "\" was damaged (" + e.Reason() +
                        "); it was moved to \"" + sAside + "\" and a new journal was started";
    }
    return std::unique_ptr<TJournal>(new TJournal(sPath, std::move(impl)));
}

std::unique_ptr<TJournal> TJournal::OpenReadOnly(const std::string& sPath, int iBusyTimeoutMs) {
    if (sPath.empty())
        throw EJournal("The journal has no path");
    return std::unique_ptr<TJournal>(
        new TJournal(sPath, TImpl::OpenReadOnly(sPath, iBusyTimeoutMs)));
}

void TJournal::NeedWritable() const {
    if (FImpl->bReadOnly)
        throw EJournal("The journal \"" + FPath + "\" is open for reading only");
}

std::int64_t TJournal::Begin(TJournalRun& run) {
    NeedWritable();
    if (run.sStarted.empty())
        run.sStarted = UtcNow();
    const std::lock_guard guard(FImpl->lock);
    sqlite3_stmt* h = FImpl->insert.get();
    const TResetGuard reset{h};
    BindRun(h, run);
    const int iCode = sqlite3_step(h);
    if (iCode != SQLITE_DONE)
        Fail(FImpl->db.get(), FPath, "cannot be written", iCode);
    run.iId = sqlite3_last_insert_rowid(FImpl->db.get());
    return run.iId;
}

void TJournal::Update(const TJournalRun& run) {
    NeedWritable();
    if (run.iId <= 0)
        throw EJournal("The journal \"" + FPath + "\" has no row for this run yet");
    const std::lock_guard guard(FImpl->lock);
    sqlite3_stmt* h = FImpl->update.get();
    const TResetGuard reset{h};
    BindRun(h, run);
    sqlite3_bind_int64(h, RunColumnCount + 1, run.iId);
    const int iCode = sqlite3_step(h);
    if (iCode != SQLITE_DONE)
        Fail(FImpl->db.get(), FPath, "cannot be written", iCode);
    if (sqlite3_changes(FImpl->db.get()) == 0)
        throw EJournal("The journal \"" + FPath + "\" has lost the row " + std::to_string(run.iId) +
                       " of this run");
}

bool TJournal::CompleteUnended(std::int64_t iId, std::int32_t iStatus, const std::string& sText,
                               std::int32_t iLinesSent, bool bLeftInBootloader) {
    NeedWritable();
    const std::lock_guard guard(FImpl->lock);
    sqlite3_stmt* h = FImpl->completeUnended.get();
    const TResetGuard reset{h};
    const std::string sEnded = UtcNow();
    BindText(h, 1, sEnded);
    sqlite3_bind_int(h, 2, iStatus);
    BindText(h, 3, sText);
    sqlite3_bind_int(h, 4, iLinesSent);
    sqlite3_bind_int(h, 5, bLeftInBootloader ? 1 : 0);
    sqlite3_bind_int64(h, 6, iId);
    const int iCode = sqlite3_step(h);
    if (iCode != SQLITE_DONE)
        Fail(FImpl->db.get(), FPath, "cannot be written", iCode);
    return sqlite3_changes(FImpl->db.get()) > 0;
}

std::optional<TJournalRun> TJournal::InterruptedRunOn(const std::string& sConverter,
                                                      const std::string& sPort,
                                                      std::int64_t iExcludeId) {
    NeedWritable();
    const std::lock_guard guard(FImpl->lock);
    sqlite3_stmt* h = sConverter.empty() ? FImpl->lastOnPort.get() : FImpl->lastOnConverter.get();
    const TResetGuard reset{h};
    const std::string& sName = sConverter.empty() ? sPort : sConverter;
    sqlite3_bind_text(h, 1, sName.data(), static_cast<int>(sName.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(h, 2, iExcludeId);
    const int iCode = sqlite3_step(h);
    if (iCode == SQLITE_DONE)
        return std::nullopt;
    if (iCode != SQLITE_ROW)
        Fail(FImpl->db.get(), FPath, "cannot be read", iCode);
    // Every run on the converter either finished (completed, logger not left in its bootloader)
    // or may have left a logger there, so only the latest one decides.
    TJournalRun run = ReadRun(h);
    if (run.sEnded.empty() || run.bLeftInBootloader || run.bRestartUnconfirmed)
        return run;
    return std::nullopt;
}

std::vector<TJournalRun> TJournal::History(const THistoryFilter& filter) {
    std::string sSince;
    if (!filter.sSince.empty()) {
        const auto since = NormalizeSince(filter.sSince);
        if (!since)
            throw std::invalid_argument("\"" + filter.sSince +
                                        "\" is not a UTC date (YYYY-MM-DD) or date-time "
                                        "(YYYY-MM-DDTHH:MM[:SS])");
        sSince = *since;
    }
    if (!filter.sDay.empty()) {
        const auto day = NormalizeSince(filter.sDay);
        if (!day || day->size() != 10)
            throw std::invalid_argument("\"" + filter.sDay + "\" is not a UTC date (YYYY-MM-DD)");
    }
    const std::lock_guard guard(FImpl->lock);
    // A file made by a program that has not written its schema yet has no runs.
    if (FImpl->iVersion < 1)
        return {};
    sqlite3* hDb = FImpl->db.get();
    TStmt stmt = Prepare(hDb, FPath,
                         SelectRuns(FImpl->iVersion) +
                             " WHERE (?1 IS NULL OR serial = ?1)"
                             " AND (?2 IS NULL OR ?2 IN (" +
                             ShortNames("port") + ", " + ShortNames("converter") +
                             "))"
                             " AND (?3 IS NULL OR started >= ?3)"
                             " AND (?5 IS NULL OR substr(started, 1, 10) = ?5)"
                             " ORDER BY id DESC LIMIT ?4");
    sqlite3_stmt* h = stmt.get();
    BindInt(h, 1, filter.iSerial);
    BindText(h, 2, filter.sPort);
    BindText(h, 3, sSince);
    sqlite3_bind_int(h, 4, filter.iLimit > 0 ? filter.iLimit : -1);
    BindText(h, 5, filter.sDay);
    std::vector<TJournalRun> aRuns;
    int iCode = SQLITE_OK;
    while ((iCode = sqlite3_step(h)) == SQLITE_ROW)
        aRuns.push_back(ReadRun(h));
    if (iCode != SQLITE_DONE)
        Fail(hDb, FPath, "cannot be read", iCode);
    return aRuns;
}

std::string UtcNow() {
    return UtcIso(std::chrono::system_clock::now());
}

std::optional<std::string> NormalizeSince(const std::string& sText) {
    std::string s = sText;
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z'))
        s.pop_back();
    // YYYY-MM-DD
    if (!IsDigits(s, 0, 4) || s.size() < 10 || s[4] != '-' || !IsDigits(s, 5, 2) || s[7] != '-' ||
        !IsDigits(s, 8, 2))
        return std::nullopt;
    const int iMonth = Number(s, 5, 2), iDay = Number(s, 8, 2);
    if (iMonth < 1 || iMonth > 12 || iDay < 1 || iDay > 31)
        return std::nullopt;
    if (s.size() == 10)
        return s;
    // THH:MM, or a space in place of the T
    if (s[10] != 'T' && s[10] != 't' && s[10] != ' ')
        return std::nullopt;
    s[10] = 'T';
    if (s.size() < 16 || !IsDigits(s, 11, 2) || s[13] != ':' || !IsDigits(s, 14, 2) ||
        Number(s, 11, 2) > 23 || Number(s, 14, 2) > 59)
        return std::nullopt;
    if (s.size() == 16)
        return s;
    // :SS
    if (s.size() < 19 || s[16] != ':' || !IsDigits(s, 17, 2) || Number(s, 17, 2) > 60)
        return std::nullopt;
    if (s.size() == 19)
        return s;
    // .m, .mm or .mmm
    const std::size_t iFraction = s.size() - 20;
    if (s[19] != '.' || iFraction < 1 || iFraction > 3 || !IsDigits(s, 20, iFraction))
        return std::nullopt;
    return s;
}
