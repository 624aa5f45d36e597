// What a workshop station keeps of its updates for its lines and its summary, bounded however long
// it runs: the updates on now, per port an account of its updates with its latest one, and the
// latest finished updates in full; the earlier ones are folded into the accounts (the journal
// keeps every one of them).
#pragma once

#include "frontend/uChildRuns.h"
#include "frontend/uPortRun.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TStationBook {
public:
    using TClock = std::chrono::steady_clock;
    using TId = TChildRuns::TId;
    // The finished updates that the summary lists in full.
    static constexpr std::size_t KeptInFull = 100;

    explicit TStationBook(std::size_t iKeptInFull = KeptInFull) : FiKeptInFull(iKeptInFull) {}

    // An update starts at sPort, run by the child id: its run, to follow the child's lines.
    TPortRun& Start(TId id, const std::string& sPort, TClock::time_point t);
    // The run of a child that has started and not finished; nothing for another id.
    TPortRun* Running(TId id);
    // The child's run has ended (TPortRun::Ended has been called): it goes into its port's
    // account and among the latest updates.
    void Finish(TId id);
    // A logger plugged in at sPort that the station leaves without an update as it ends; sWhy says
    // why.
    void NotStarted(const std::string& sPort, const std::string& sWhy);

    // The port's latest update, on or finished; null when it has had none.
    const TPortRun* Latest(const std::string& sPort) const;

    // What the summary shows (kelvo-update's lines, uStation.h): the runs of its table, the latest
    // updates in the order they started, then the loggers not started; the line before the table
    // when earlier updates have been folded (empty otherwise); the count after it (how many
    // updates, how many failed, loggers not started); per port its failed updates and its logger
    // not started, the texts escaped.
    std::vector<TPortRun> TableRuns() const;
    std::string FoldedText() const;
    std::string CountText() const;
    std::vector<std::pair<std::string, std::string>> NotUpdated() const;
    // The summary as the last JSON object.
    // The same as the last JSON object.
    std::string SummaryJson() const;
    // 0 when every update succeeded and no logger was left out; else the exit status of the first
    // update, in the order they started, that failed; else 20 (cancelled) for a logger not
    // started.
    int ExitStatus() const;

private:
    // One port's updates, finished, and its loggers not started.
    struct TAccount {
        std::size_t iUpdates = 0;
        std::size_t iFailed = 0;
        int iLastFailedExit = 0;
        std::string sLastFailure; // the outcome of its latest failed update
        std::optional<TPortRun> latest;
        std::string sNotStarted; // why a logger plugged in was not started; empty: none was
    };
    struct TRun {
        std::size_t iOrder; // the number of updates started before it
        TPortRun run;
    };

    const std::size_t FiKeptInFull;
    std::size_t FiStarted = 0;
    std::size_t FiSucceeded = 0;
    std::size_t FiFailed = 0;
    std::size_t FiNotStarted = 0;
    std::size_t FiFolded = 0; // finished updates no longer kept in full
    // The first failed update, in start order: its order and exit status.
    std::optional<std::pair<std::size_t, int>> FFirstFailure;
    std::map<TId, TRun> FaRunning;
    std::map<std::string, TId> FaRunningAt; // a port's update on now
    std::deque<TRun> FaLatest;              // finished, in the order they finished
    std::map<std::string, TAccount> FaAccounts;
    std::vector<std::string> FaPorts; // the accounts' ports, in the order they came
};
