// Programs that start on one new journal at the same moment (the children of a several-port run)
// each get their row.
#include "journal/uJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

TEST(JournalProcesses, SeveralProgramsStartOnANewFileAtOnce) {
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-journal-processes-" + std::to_string(getpid()));
    fs::remove_all(dir);
    constexpr int Rounds = 30;
    constexpr int Programs = 6;
    for (int iRound = 0; iRound < Rounds; ++iRound) {
        const std::string sPath = (dir / ("j" + std::to_string(iRound) + ".sqlite3")).string();
        std::vector<pid_t> aPids;
        for (int i = 0; i < Programs; ++i) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                try {
                    TJournalRun run;
                    run.sProgram = "test";
                    run.sPort = "/dev/ttyUSB" + std::to_string(i);
                    TJournal::Open(sPath)->Begin(run);
                    _exit(0);
                } catch (...) {
                    _exit(1);
                }
            }
            aPids.push_back(pid);
        }
        for (const pid_t pid : aPids) {
            int iStatus = -1;
            ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
            EXPECT_TRUE(WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) << "round " << iRound;
        }
        THistoryFilter all;
        all.iLimit = 0;
        EXPECT_EQ(TJournal::Open(sPath)->History(all).size(), std::size_t{Programs})
            << "round " << iRound;
    }
    fs::remove_all(dir);
}
