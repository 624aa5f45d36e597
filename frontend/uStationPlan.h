// The plan of a workshop station: which ports to start an update on as loggers are plugged in,
// and when the station is done. It only decides; watching the ports and running the updates are
// the caller's.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct TStationRules {
    // Ports present in the first list are taken only once they have gone away and come back.
    bool bOnlyNew = false;
    // Runs at once; beyond that, ports wait their turn in the order they arrived.
    std::size_t iMaxParallel = 32;
    // The station ends after this many runs have ended, and starts no more than that.
    std::optional<std::size_t> iCount;
};

// The runs so far and the ports waiting now.
struct TStationTally {
    std::size_t iSucceeded = 0;
    std::size_t iFailed = 0;
    std::size_t iRunning = 0;
    std::size_t iWaiting = 0;
    bool operator==(const TStationTally&) const = default;
};

// Where a port stands in the plan.
enum class TStationPort {
    Absent,  // not on the latest list
    Waiting, // present, its run to start in its turn
    Running, // its run is on (it may have gone meanwhile)
    Idle     // present, its run for this connection had (or skipped: present at start)
};

// A port gets one run per connection: once its run has ended it is taken again only after it
// has gone from the list and come back. A port that goes while it waits leaves the queue; one
// that goes while its run is on keeps running until the run ends (the run notices the unplug),
// and waits for its return after that.
class TStationPlan {
public:
    explicit TStationPlan(const TStationRules& rules) : FRules(rules) {}

    // The ports present now, the whole list each time; the first call gives those at start.
    void Ports(const std::vector<std::string>& aPorts);
    // The run at sPort has ended. A port without a run is ignored.
    void RunEnded(const std::string& sPort, bool bSuccess);
    // No run starts from now on (Ctrl+C once); the runs on go on to their end.
    void StopStarting();

    // The ports to start a run on now, in their order of arrival; they count as running from
    // here on, until RunEnded.
    std::vector<std::string> TakeStarts();

    // Nothing runs and nothing more will start: starting has been stopped, or the count of runs
    // has been reached.
    bool Done() const;
    TStationTally Tally() const;
    TStationPort State(const std::string& sPort) const;

private:
    bool MayStart() const;

    TStationRules FRules;
    bool FbFirstList = true;
    bool FbStopped = false;
    std::size_t FiStarted = 0;
    std::size_t FiSucceeded = 0;
    std::size_t FiFailed = 0;
    std::set<std::string> FaPresent;   // the latest list
    std::deque<std::string> FaWaiting; // present, not yet run, in order of arrival
    // Started and not yet ended; true when the port has been unplugged and plugged in again since.
    std::map<std::string, bool> FaRunning;
};
