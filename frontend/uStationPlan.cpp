#include "frontend/uStationPlan.h"

#include <algorithm>

void TStationPlan::Ports(const std::vector<std::string>& aPorts) {
    // A port counts as arriving when it is missing from the list before: one that stays on the
    // list is still the connection it was, run or not.
    const std::set<std::string> aNow(aPorts.begin(), aPorts.end());
    if (FbFirstList && FRules.bOnlyNew) {
        // The ports at start are not taken: as if each had had its run.
        FbFirstList = false;
        FaPresent = aNow;
        return;
    }
    FbFirstList = false;
    for (const auto& s : FaPresent) {
        if (aNow.count(s) != 0)
            continue;
        FaWaiting.erase(std::remove(FaWaiting.begin(), FaWaiting.end(), s), FaWaiting.end());
        if (const auto it = FaRunning.find(s); it != FaRunning.end())
            it->second = false; // its run will notice
    }
    std::set<std::string> aSeen;
    for (const auto& s : aPorts) {
        if (FaPresent.count(s) != 0 || !aSeen.insert(s).second)
            continue;
        if (const auto it = FaRunning.find(s); it != FaRunning.end())
            it->second = true; // a new connection, to run once this run has ended
        else
            FaWaiting.push_back(s);
    }
    FaPresent = aNow;
}

void TStationPlan::RunEnded(const std::string& sPort, bool bSuccess) {
    const auto it = FaRunning.find(sPort);
    if (it == FaRunning.end())
        return;
    ++(bSuccess ? FiSucceeded : FiFailed);
    // Else it is still the connection that has had its run, or gone and taken when it is back.
    if (it->second)
        FaWaiting.push_back(sPort);
    FaRunning.erase(it);
}

void TStationPlan::StopStarting() {
    FbStopped = true;
}

bool TStationPlan::MayStart() const {
    return !FbStopped && (!FRules.iCount || FiStarted < *FRules.iCount);
}

std::vector<std::string> TStationPlan::TakeStarts() {
    std::vector<std::string> aStarts;
    while (MayStart() && FaRunning.size() < FRules.iMaxParallel && !FaWaiting.empty()) {
        aStarts.push_back(FaWaiting.front());
        FaWaiting.pop_front();
        FaRunning.emplace(aStarts.back(), false);
        ++FiStarted;
    }
    return aStarts;
}

bool TStationPlan::Done() const {
    const bool bNoMore = FbStopped || (FRules.iCount && FiSucceeded + FiFailed >= *FRules.iCount);
    return bNoMore && FaRunning.empty();
}

TStationTally TStationPlan::Tally() const {
    return {FiSucceeded, FiFailed, FaRunning.size(), FaWaiting.size()};
}

TStationPort TStationPlan::State(const std::string& sPort) const {
    if (FaRunning.count(sPort) != 0)
        return TStationPort::Running;
    if (std::find(FaWaiting.begin(), FaWaiting.end(), sPort) != FaWaiting.end())
        return TStationPort::Waiting;
    return FaPresent.count(sPort) != 0 ? TStationPort::Idle : TStationPort::Absent;
}
