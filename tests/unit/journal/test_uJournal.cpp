#include "journal/uJournal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// A fresh folder per test, removed afterwards.
class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        FDir = fs::temp_directory_path() / ("kelvo-journal-" + std::to_string(rd()));
        fs::create_directories(FDir);
        FPath = (FDir / "state" / "journal.sqlite3").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(FDir, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(FDir, ignored);
    }

    // A run on a converter: completed or not, logger left in its bootloader or not.
    TJournalRun Run(const std::string& sConverter, const std::string& sPort, bool bCompleted,
                    bool bLeftInBootloader, std::uint32_t iSerial = 328300) {
        TJournalRun run;
        run.sProgram = "kelvo-update";
        run.sPort = sPort;
        run.sConverter = sConverter;
        run.iSerial = iSerial;
        run.iAppVersion = 1416;
        run.iClass = 26113;
        run.iBootClass = 51202;
        if (bCompleted) {
            run.sEnded = UtcNow();
            run.iStatus = bLeftInBootloader ? 44 : 0;
        }
        run.bLeftInBootloader = bLeftInBootloader;
        return run;
    }

    fs::path FDir;
    std::string FPath;
};

TEST_F(JournalTest, RowRoundTripsWithEveryFieldAndWithNulls) {
    auto journal = TJournal::Open(FPath);
    TJournalRun full;
    full.sProgram = "kelvo-firmware-update";
    full.sVersion = "0.1.0";
    full.sComputer = "bench-3";
    full.sPort = "/dev/ttyUSB0";
    full.sConverter = "usb-Kelvo_Converter_K1X3-if00-port0";
    full.sStarted = "2026-12-10T18:56:28.920Z";
    full.sEnded = "2026-12-10T18:58:01.004Z";
    full.iSerial = 0xFFFFFFFFu; // the whole unsigned range survives
    full.iAppVersion = 1416;
    full.iClass = 26113;
    full.iPlatform = 12;
    full.iPrint = 0xFFFF;
    full.iBootClass = 51202;
    full.iBootVersion = 0;
    full.iEntry = 0;
    full.sImage = "Kelvo model 26113 V5.138, A9e, BL3.0";
    full.sFileName = "fw \"ü\".kfw";
    full.sFileSha256 = std::string(64, 'a');
    full.iLinesSent = 1234;
    full.iRepeats = 2;
    full.iStatus = 0;
    full.sStatusText = "Update successful";
    full.bLeftInBootloader = true;
    full.sReason = "in use by another program: minicom (pid 4242)";
    full.bRestartUnconfirmed = true;
    const std::int64_t iFull = journal->Begin(full);
    EXPECT_EQ(iFull, full.iId);
    EXPECT_GT(iFull, 0);

    TJournalRun bare; // every optional empty; Begin fills the start time
    bare.sPort = "COM3";
    journal->Begin(bare);
    EXPECT_TRUE(NormalizeSince(bare.sStarted)) << bare.sStarted;

    THistoryFilter all;
    all.iLimit = 0;
    const auto aRuns = journal->History(all);
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[0], bare);
    EXPECT_EQ(aRuns[1], full);

    // Empty values are NULL in the file, so that other readers of the file see "unknown".
    sqlite3* hDb = nullptr;
    ASSERT_EQ(sqlite3_open(FPath.c_str(), &hDb), SQLITE_OK);
    sqlite3_stmt* h = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(hDb,
                                 "SELECT count(*) FROM runs WHERE converter IS NULL AND "
                                 "ended IS NULL AND serial IS NULL AND entry IS NULL AND "
                                 "file_sha256 IS NULL AND status IS NULL AND reason IS NULL",
                                 -1, &h, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(h), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(h, 0), 1);
    sqlite3_finalize(h);
    sqlite3_close(hDb);

    // Update rewrites every field, back to NULL too.
    TJournalRun cleared = bare;
    cleared.iId = iFull;
    journal->Update(cleared);
    EXPECT_EQ(journal->History(all)[1], cleared);
}

TEST_F(JournalTest, UpdateWithoutARowFails) {
    auto journal = TJournal::Open(FPath);
    TJournalRun run;
    EXPECT_THROW(journal->Update(run), EJournal);
    run.iId = 99;
    EXPECT_THROW(journal->Update(run), EJournal);
}

// Each case: runs in order (converter, port, completed, left in bootloader), the lookup, and the
// index of the run it must find (-1: none).
struct TPinCase {
    const char* sName;
    std::vector<std::tuple<std::string, std::string, bool, bool>> aRuns;
    std::string sConverter, sPort;
    int iFound;
};

TEST_F(JournalTest, InterruptedRunOnFollowsThePinRule) {
    const std::vector<TPinCase> aCases = {
        {"left in bootloader, nothing after",
         {{"convA", "/dev/ttyUSB0", true, true}},
         "convA",
         "/dev/ttyUSB0",
         0},
        {"followed by a finished run",
         {{"convA", "/dev/ttyUSB0", true, true}, {"convA", "/dev/ttyUSB0", true, false}},
         "convA",
         "/dev/ttyUSB0",
         -1},
        {"never completed", {{"convA", "/dev/ttyUSB0", false, false}}, "convA", "/dev/ttyUSB0", 0},
        {"another converter", {{"convB", "/dev/ttyUSB0", true, true}}, "convA", "/dev/ttyUSB0", -1},
        {"the converter decides, not the port",
         {{"convA", "/dev/ttyUSB3", true, true}, {"convB", "/dev/ttyUSB0", true, false}},
         "convA",
         "/dev/ttyUSB0",
         0},
        {"no converter: the port decides",
         {{"", "/dev/ttyUSB1", true, true},
          {"", "/dev/ttyUSB0", true, true},
          {"", "/dev/ttyUSB1", true, false}},
         "",
         "/dev/ttyUSB0",
         1},
        {"no converter, another port", {{"", "/dev/ttyUSB1", true, true}}, "", "/dev/ttyUSB0", -1},
        {"a finished run on another converter does not count",
         {{"convA", "/dev/ttyUSB0", true, true}, {"convB", "/dev/ttyUSB0", true, false}},
         "convA",
         "/dev/ttyUSB0",
         0},
        {"the latest wins",
         {{"convA", "/dev/ttyUSB0", true, true},
          {"convA", "/dev/ttyUSB0", true, false},
          {"convA", "/dev/ttyUSB0", false, false},
          {"convA", "/dev/ttyUSB0", true, true}},
         "convA",
         "/dev/ttyUSB0",
         3},
    };
    for (std::size_t iCase = 0; iCase < aCases.size(); ++iCase) {
        const TPinCase& c = aCases[iCase];
        SCOPED_TRACE(c.sName);
        auto journal = TJournal::Open((FDir / ("pin" + std::to_string(iCase))).string());
        std::vector<std::int64_t> aIds;
        std::uint32_t iSerial = 1000;
        for (const auto& [sConverter, sPort, bCompleted, bLeft] : c.aRuns) {
            TJournalRun run = Run(sConverter, sPort, bCompleted, bLeft, iSerial++);
            aIds.push_back(journal->Begin(run));
        }
        // The run that looks now has its own row already; it never finds itself.
        TJournalRun current = Run(c.sConverter, c.sPort, false, false, 0);
        const std::int64_t iCurrent = journal->Begin(current);
        const auto found = journal->InterruptedRunOn(c.sConverter, c.sPort, iCurrent);
        if (c.iFound < 0) {
            EXPECT_FALSE(found) << "found row " << found->iId;
        } else {
            ASSERT_TRUE(found);
            EXPECT_EQ(found->iId, aIds[static_cast<std::size_t>(c.iFound)]);
            EXPECT_EQ(found->iSerial, 1000u + static_cast<std::uint32_t>(c.iFound));
        }
    }

    // A completed run that never heard a logger (its port was busy) tells nothing of it: the run
    // before it decides.
    auto journal = TJournal::Open((FDir / "deaf").string());
    TJournalRun left = Run("convA", "/dev/ttyUSB0", true, true);
    journal->Begin(left);
    TJournalRun deaf = Run("convA", "/dev/ttyUSB0", true, false);
    deaf.iClass.reset();
    deaf.iBootClass.reset();
    deaf.iSerial.reset();
    journal->Begin(deaf);
    const auto found = journal->InterruptedRunOn("convA", "/dev/ttyUSB0", 0);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->iId, left.iId);
}

// A run whose program was killed is completed by the program that started it, once: a row that
// its run completed stays as it is, and what the row knew of the lines sent is never lowered.
TEST_F(JournalTest, AnUnendedRowIsCompletedOnlyOnce) {
    auto journal = TJournal::Open(FPath);
    TJournalRun killed = Run("convA", "/dev/ttyUSB0", false, false);
    killed.iLinesSent = 40;
    journal->Begin(killed);
    TJournalRun ended = Run("convB", "/dev/ttyUSB1", true, false);
    journal->Begin(ended);

    EXPECT_TRUE(journal->CompleteUnended(killed.iId, 1, "ended unexpectedly", 30, true));
    EXPECT_FALSE(journal->CompleteUnended(killed.iId, 20, "again", 500, false));
    EXPECT_FALSE(journal->CompleteUnended(ended.iId, 1, "ended unexpectedly", 9, true));
    EXPECT_FALSE(journal->CompleteUnended(ended.iId + 1000, 1, "no such row", 9, true));
    const auto aRuns = journal->History({});
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[0], ended);
    const TJournalRun& r = aRuns[1];
    EXPECT_FALSE(r.sEnded.empty());
    EXPECT_EQ(r.iStatus, 1);
    EXPECT_EQ(r.sStatusText, "ended unexpectedly");
    EXPECT_EQ(r.iLinesSent, 40);
    EXPECT_TRUE(r.bLeftInBootloader);
    // Left in its bootloader: the next run on the converter finds it.
    EXPECT_EQ(journal->InterruptedRunOn("convA", "/dev/ttyUSB0", 0)->iId, killed.iId);

    // A restart that could not be confirmed may have left the logger in its bootloader too.
    TJournalRun unconfirmed = Run("convB", "/dev/ttyUSB1", true, false);
    unconfirmed.bRestartUnconfirmed = true;
    journal->Begin(unconfirmed);
    const auto found = journal->InterruptedRunOn("convB", "/dev/ttyUSB1", 0);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->iId, unconfirmed.iId);
}

TEST_F(JournalTest, SeveralWritersAtOnceLoseNoRow) {
    constexpr int Writers = 8;
    constexpr int Updates = 10;
    std::atomic<int> iFailures{0};
    std::vector<std::string> aErrors(Writers);
    std::vector<std::thread> aThreads;
    for (int iWriter = 0; iWriter < Writers; ++iWriter)
        aThreads.emplace_back([&, iWriter] {
            try {
                // Every writer opens the new file at once: one creates it, the others wait.
                auto journal = TJournal::Open(FPath);
                TJournalRun run = Run("conv" + std::to_string(iWriter), "port", false, false);
                journal->Begin(run);
                for (int i = 1; i <= Updates; ++i) {
                    run.iLinesSent = i;
                    if (i == Updates) {
                        run.sEnded = UtcNow();
                        run.iStatus = 0;
                    }
                    journal->Update(run);
                }
            } catch (const std::exception& e) {
                aErrors[static_cast<std::size_t>(iWriter)] = e.what();
                ++iFailures;
            }
        });
    for (auto& thread : aThreads)
        thread.join();
    for (const auto& sError : aErrors)
        EXPECT_EQ(sError, "");
    ASSERT_EQ(iFailures, 0);

    THistoryFilter all;
    all.iLimit = 0;
    const auto aRuns = TJournal::Open(FPath)->History(all);
    ASSERT_EQ(aRuns.size(), static_cast<std::size_t>(Writers));
    for (const auto& run : aRuns) {
        EXPECT_EQ(run.iLinesSent, Updates);
        EXPECT_FALSE(run.sEnded.empty());
        EXPECT_EQ(run.iStatus, 0);
    }
}

TEST_F(JournalTest, DamagedFileIsMovedAsideAndANewOneStarted) {
    // Not a database at all, and a journal whose schema page was overwritten.
    for (const bool bSchemaPage : {false, true}) {
        SCOPED_TRACE(bSchemaPage ? "schema page" : "not a database");
        const fs::path folder = FDir / (bSchemaPage ? "page" : "garbage");
        const std::string sPath = (folder / "journal.sqlite3").string();
        if (bSchemaPage) {
            auto journal = TJournal::Open(sPath);
            TJournalRun run = Run("convA", "port", true, false);
            journal->Begin(run);
        }
        {
            fs::create_directories(folder);
            std::fstream f(sPath, std::ios::in | std::ios::out | std::ios::binary |
                                      (bSchemaPage ? std::ios::openmode() : std::ios::trunc));
            f.seekp(bSchemaPage ? 100 : 0);
            f << std::string(3000, 'Z');
        }
        const std::string sDamaged = ReadAll(sPath);

        std::string sNotice;
        auto journal = TJournal::Open(sPath, &sNotice);
        TJournalRun run = Run("convA", "port", true, false);
        journal->Begin(run);
        EXPECT_EQ(journal->History({}).size(), 1u);

        std::vector<fs::path> aAside;
        for (const auto& entry : fs::directory_iterator(folder))
            if (const std::string sName = entry.path().filename().string();
                sName.starts_with("journal.sqlite3.corrupt-") && !sName.ends_with("-wal"))
                aAside.push_back(entry.path());
        ASSERT_EQ(aAside.size(), 1u);
        EXPECT_EQ(ReadAll(aAside[0]), sDamaged);
        EXPECT_THAT(sNotice, HasSubstr("damaged"));
        EXPECT_THAT(sNotice, HasSubstr(aAside[0].filename().string()));
    }
}

// A journal of the first schema with one run, as the first program wrote it.
void MakeFirstSchemaJournal(const std::string& sPath) {
    fs::create_directories(fs::path(sPath).parent_path());
    {
        sqlite3* hDb = nullptr;
        ASSERT_EQ(sqlite3_open(sPath.c_str(), &hDb), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(hDb, R"(
CREATE TABLE runs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    program TEXT, version TEXT, computer TEXT,
    port TEXT, converter TEXT,
    started TEXT, ended TEXT,
    serial INTEGER, app_version INTEGER,
    class INTEGER, platform INTEGER, print INTEGER, boot_class INTEGER, boot_version INTEGER,
    entry INTEGER, image TEXT, file_name TEXT, file_sha256 TEXT,
    lines_sent INTEGER NOT NULL DEFAULT 0, repeats INTEGER NOT NULL DEFAULT 0,
    status INTEGER, status_text TEXT,
    left_in_bootloader INTEGER NOT NULL DEFAULT 0);
CREATE INDEX runs_converter ON runs (converter);
CREATE INDEX runs_port ON runs (port);
INSERT INTO runs (program, port, started, ended, serial, status, status_text)
    VALUES ('kelvo-update', '/dev/ttyUSB0', '2026-12-10T08:00:00.000Z',
            '2026-12-10T08:00:01.000Z', 320000, 10, 'Aborted');
PRAGMA user_version=1;)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(hDb);
    }
}

int UserVersionOf(const std::string& sPath) {
    sqlite3* hDb = nullptr;
    sqlite3_open_v2(sPath.c_str(), &hDb, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* h = nullptr;
    sqlite3_prepare_v2(hDb, "PRAGMA user_version", -1, &h, nullptr);
    const int iVersion = sqlite3_step(h) == SQLITE_ROW ? sqlite3_column_int(h, 0) : -1;
    sqlite3_finalize(h);
    sqlite3_close(hDb);
    return iVersion;
}

// A journal of the first schema, written before runs kept their reason: its rows stay as they
// were, and new rows keep the reason.
TEST_F(JournalTest, AJournalOfTheFirstSchemaIsMigratedKeepingItsRows) {
    MakeFirstSchemaJournal(FPath);
    auto journal = TJournal::Open(FPath);
    TJournalRun run = Run("", "/dev/ttyUSB1", true, false);
    run.iStatus = 11;
    run.sReason = "the device was disconnected (Input/output error)";
    journal->Begin(run);
    const auto aRuns = journal->History({});
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[0], run);
    EXPECT_EQ(aRuns[1].sPort, "/dev/ttyUSB0");
    EXPECT_EQ(aRuns[1].iSerial, 320000u);
    EXPECT_EQ(aRuns[1].iStatus, 10);
    EXPECT_EQ(aRuns[1].sReason, "");
    // Migrated once: a second program finds the file current.
    journal.reset();
    EXPECT_EQ(TJournal::Open(FPath)->History({}).size(), 2u);
}

TEST_F(JournalTest, DamagedFileIsMovedAsideWithItsWriteAheadLog) {
    // The latest row lives only in the write-ahead log when the file's first page is found
    // damaged: another program that wrote it still has the journal open, so the log is not
    // copied into the file when the damaged journal is closed.
    {
        auto journal = TJournal::Open(FPath);
        TJournalRun run = Run("convA", "earlier", true, false);
        journal->Begin(run);
    }
    sqlite3* hOther = nullptr;
    ASSERT_EQ(sqlite3_open(FPath.c_str(), &hOther), SQLITE_OK);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> other(hOther, sqlite3_close);
    // Neither is it copied when that program ends later (its log then has another name).
    sqlite3_db_config(hOther, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    ASSERT_EQ(sqlite3_exec(hOther,
                           "INSERT INTO runs (program, port) VALUES ('kelvo-update', 'latest')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_GT(fs::file_size(FPath + "-wal"), 0u);
    const std::string sFirstPage = ReadAll(FPath).substr(0, 4096);
    {
        std::fstream f(FPath, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f << std::string(3000, 'Z');
    }

#ifdef _WIN32
    // Windows does not rename a file that another program holds open: the journal is left as
    // it is, log and all, and the open says why.
    try {
        TJournal::Open(FPath);
        FAIL() << "a damaged journal held open elsewhere was opened";
    } catch (const EJournal& e) {
        EXPECT_THAT(e.what(), HasSubstr("is damaged and cannot be moved aside"));
    }
    EXPECT_EQ(ReadAll(FPath).substr(100, 3000), std::string(3000, 'Z'));
    EXPECT_GT(fs::file_size(FPath + "-wal"), 0u);
#else
    std::string sNotice;
    auto journal = TJournal::Open(FPath, &sNotice);
    EXPECT_THAT(sNotice, HasSubstr("damaged"));
    EXPECT_TRUE(journal->History({}).empty());
    std::vector<fs::path> aAside;
    for (const auto& entry : fs::directory_iterator(fs::path(FPath).parent_path()))
        if (const std::string sName = entry.path().filename().string();
            sName.starts_with("journal.sqlite3.corrupt-") && !sName.ends_with("-wal"))
            aAside.push_back(entry.path());
    ASSERT_EQ(aAside.size(), 1u);

    // With its first page mended, the copy set aside, read with its log, has the latest row.
    {
        std::fstream f(aAside[0], std::ios::in | std::ios::out | std::ios::binary);
        f.write(sFirstPage.data(), static_cast<std::streamsize>(sFirstPage.size()));
    }
    auto aside = TJournal::Open(aAside[0].string());
    const auto aRuns = aside->History({});
    ASSERT_EQ(aRuns.size(), 2u);
    EXPECT_EQ(aRuns[0].sPort, "latest");
    EXPECT_EQ(aRuns[1].sPort, "earlier");
#endif
}

TEST_F(JournalTest, NewerSchemaIsRefusedAndLeftAlone) {
    fs::create_directories(fs::path(FPath).parent_path());
    {
        sqlite3* hDb = nullptr;
        ASSERT_EQ(sqlite3_open(FPath.c_str(), &hDb), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(hDb,
                               "CREATE TABLE runs (id INTEGER PRIMARY KEY, future TEXT);"
                               "PRAGMA user_version=99;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(hDb);
    }
    const std::string sBefore = ReadAll(FPath);
    try {
        TJournal::Open(FPath);
        FAIL() << "a newer journal was opened";
    } catch (const EJournal& e) {
        EXPECT_THAT(e.what(), HasSubstr("was written by a newer program; it is left alone"));
    }
    EXPECT_EQ(ReadAll(FPath), sBefore);
}

TEST_F(JournalTest, UnwritablePlaceFailsWithEJournal) {
    // A folder that cannot hold a file: one without write permission, one that is a file.
    const fs::path readOnly = FDir / "ro";
    fs::create_directories(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path plainFile = FDir / "file";
    std::ofstream(plainFile) << "x";
    bool bReadOnlyHolds = !std::ofstream(readOnly / "probe"); // not so for root, nor on Windows
    for (const fs::path& path : {readOnly / "journal.sqlite3", plainFile / "journal.sqlite3"}) {
        if (path.parent_path() == readOnly && !bReadOnlyHolds)
            continue;
        SCOPED_TRACE(path.string());
        try {
            TJournal::Open(path.string());
            ADD_FAILURE() << "opened";
        } catch (const EJournal& e) {
            EXPECT_THAT(e.what(), HasSubstr(path.parent_path().string()));
        }
    }
}

TEST_F(JournalTest, HistoryFiltersAndOrdersNewestFirst) {
    auto journal = TJournal::Open(FPath);
    const auto Add = [&](const std::string& sStarted, std::uint32_t iSerial, const char* sPort,
                         const char* sConverter) {
        TJournalRun run = Run(sConverter, sPort, true, false, iSerial);
        run.sStarted = sStarted;
        return journal->Begin(run);
    };
    const auto i1 = Add("2026-12-09T23:59:59.999Z", 100, "/dev/ttyUSB0", "convA");
    const auto i2 = Add("2026-12-10T08:00:00.000Z", 200, "/dev/ttyUSB1", "");
    const auto i3 = Add("2026-12-10T09:30:00.500Z", 100, "/dev/ttyUSB1", "convA");
    const auto i4 = Add("2026-12-11T00:00:00.000Z", 300, "COM3", "");
    const auto i5 = Add("2026-12-01T00:00:00.000Z", 400, "/dev/ttyACM0",
                        "/dev/serial/by-id/usb-K1X3-if00-port0");

    const auto Filter = [](int iLimit, std::optional<std::uint32_t> iSerial, std::string sPort,
                           std::string sSince) {
        THistoryFilter filter;
        filter.iLimit = iLimit;
        filter.iSerial = iSerial;
        filter.sPort = std::move(sPort);
        filter.sSince = std::move(sSince);
        return filter;
    };
    struct TCase {
        THistoryFilter filter;
        std::vector<std::int64_t> aIds;
    };
    const std::vector<TCase> aCases = {
        {Filter(20, {}, "", ""), {i5, i4, i3, i2, i1}},
        {Filter(2, {}, "", ""), {i5, i4}},
        {Filter(20, 100, "", ""), {i3, i1}},
        {Filter(20, {}, "/dev/ttyUSB1", ""), {i3, i2}},
        // The short names of the live lines: without "/dev/" or "/dev/serial/by-id/".
        {Filter(20, {}, "ttyUSB1", ""), {i3, i2}},
        {Filter(20, {}, "usb-K1X3-if00-port0", ""), {i5}},
        {Filter(20, {}, "ttyACM0", ""), {i5}},
        {Filter(20, {}, "tty", ""), {}},
        {Filter(20, {}, "dev/ttyUSB1", ""), {}},
        {Filter(20, {}, "convA", ""), {i3, i1}},
        {Filter(20, {}, "", "2026-12-10"), {i4, i3, i2}},
        {Filter(20, {}, "", "2026-12-10 09:30"), {i4, i3}},
        {Filter(20, {}, "", "2026-12-10T09:30:00.6Z"), {i4}},
        {Filter(1, 100, "", "2026-12-10"), {i3}},
        {Filter(0, 999, "", ""), {}},
    };
    for (const TCase& c : aCases) {
        std::vector<std::int64_t> aIds;
        for (const auto& run : journal->History(c.filter))
            aIds.push_back(run.iId);
        EXPECT_EQ(aIds, c.aIds) << "limit " << c.filter.iLimit << " port " << c.filter.sPort
                                << " since " << c.filter.sSince;
    }
    EXPECT_THROW(journal->History(Filter(20, {}, "", "10.12.2026")), std::invalid_argument);

    // A day: the runs started on it (UTC), from its first millisecond to its last.
    const auto Day = [&](std::optional<std::uint32_t> iSerial, std::string sDay) {
        THistoryFilter filter = Filter(20, iSerial, "", "");
        filter.sDay = std::move(sDay);
        std::vector<std::int64_t> aIds;
        for (const auto& run : journal->History(filter))
            aIds.push_back(run.iId);
        return aIds;
    };
    EXPECT_EQ(Day({}, "2026-12-10"), (std::vector{i3, i2}));
    EXPECT_EQ(Day({}, "2026-12-09"), (std::vector{i1}));
    EXPECT_EQ(Day(100, "2026-12-10"), (std::vector{i3}));
    EXPECT_EQ(Day({}, "2026-12-12"), (std::vector<std::int64_t>{}));
    EXPECT_THROW(Day({}, "2026-12-10T08:00"), std::invalid_argument);
}

TEST_F(JournalTest, AReadOnlyConnectionReadsAnEarlierSchemaAndWritesNothing) {
    // Nothing is made for asking.
    EXPECT_THROW(TJournal::OpenReadOnly(FPath, 100), EJournal);
    EXPECT_FALSE(fs::exists(FPath));

    MakeFirstSchemaJournal(FPath);
    const auto journal = TJournal::OpenReadOnly(FPath, 100);
    const auto aRuns = journal->History({});
    ASSERT_EQ(aRuns.size(), 1u);
    EXPECT_EQ(aRuns[0].iSerial, 320000u);
    EXPECT_EQ(aRuns[0].sReason, "");
    EXPECT_FALSE(aRuns[0].bRestartUnconfirmed);
    TJournalRun run = Run("", "/dev/ttyUSB1", true, false);
    EXPECT_THROW(journal->Begin(run), EJournal);
    EXPECT_EQ(UserVersionOf(FPath), 1);
}

TEST(JournalTime, NormalizeSinceTakesDatesAndDateTimes) {
    const std::vector<std::pair<std::string, std::string>> aGood = {
        {"2026-12-10", "2026-12-10"},
        {"2026-12-10Z", "2026-12-10"},
        {"2026-12-10T18:56", "2026-12-10T18:56"},
        {"2026-12-10 18:56:28", "2026-12-10T18:56:28"},
        {"2026-12-10T18:56:28.920Z", "2026-12-10T18:56:28.920"},
    };
    for (const auto& [sIn, sOut] : aGood)
        EXPECT_EQ(NormalizeSince(sIn), sOut) << sIn;
    for (const char* s : {"", "2026-1-10", "2026-13-01", "2026-12-10T24:00", "2026-12-10T18",
                          "2026-12-10T18:56:28.1234", "2026-12-10X18:56", "yesterday"})
        EXPECT_FALSE(NormalizeSince(s)) << s;
}

} // namespace
