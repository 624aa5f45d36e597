#include "frontend/uStationBook.h"

#include "frontend/uJsonLines.h"
#include "hexline/uShownText.h"
#include "link/uExceptions1V0.h"

#include <algorithm>

namespace {

// "1 update", "2 updates".
std::string Counted(std::size_t i, const std::string& sOne, const std::string& sMany) {
    return std::to_string(i) + " " + (i == 1 ? sOne : sMany);
}

} // namespace

TPortRun& TStationBook::Start(TId id, const std::string& sPort, TClock::time_point t) {
    if (FaAccounts.try_emplace(sPort).second)
        FaPorts.push_back(sPort);
    TRun& started = FaRunning.try_emplace(id, TRun{FiStarted, TPortRun(sPort, t)}).first->second;
    FaRunningAt[sPort] = id;
    ++FiStarted;
    return started.run;
}

TPortRun* TStationBook::Running(TId id) {
    const auto it = FaRunning.find(id);
    return it == FaRunning.end() ? nullptr : &it->second.run;
}

void TStationBook::Finish(TId id) {
    const auto it = FaRunning.find(id);
    if (it == FaRunning.end())
        return;
    TRun& done = it->second;
    TAccount& account = FaAccounts[done.run.sPort];
    ++account.iUpdates;
    if (done.run.iExit == 0) {
        ++FiSucceeded;
    } else {
        ++FiFailed;
        ++account.iFailed;
        account.iLastFailedExit = done.run.iExit;
        account.sLastFailure = done.run.sOutcome;
        if (!FFirstFailure || done.iOrder < FFirstFailure->first)
            FFirstFailure.emplace(done.iOrder, done.run.iExit);
    }
    account.latest.reset();
    account.latest.emplace(done.run);
    if (const auto at = FaRunningAt.find(done.run.sPort);
        at != FaRunningAt.end() && at->second == id)
        FaRunningAt.erase(at);
    FaLatest.push_back(std::move(done));
    FaRunning.erase(it);
    while (FaLatest.size() > FiKeptInFull) {
        FaLatest.pop_front();
        ++FiFolded;
    }
}

void TStationBook::NotStarted(const std::string& sPort, const std::string& sWhy) {
    if (FaAccounts.try_emplace(sPort).second)
        FaPorts.push_back(sPort);
    TAccount& account = FaAccounts[sPort];
    if (account.sNotStarted.empty())
        ++FiNotStarted;
    account.sNotStarted = sWhy;
}

const TPortRun* TStationBook::Latest(const std::string& sPort) const {
    if (const auto at = FaRunningAt.find(sPort); at != FaRunningAt.end())
        return &FaRunning.at(at->second).run;
    const auto it = FaAccounts.find(sPort);
    return it != FaAccounts.end() && it->second.latest ? &*it->second.latest : nullptr;
}

int TStationBook::ExitStatus() const {
    if (FFirstFailure)
        return FFirstFailure->second;
    return FiNotStarted > 0 ? Status::Cancelled : 0;
}

std::string TStationBook::CountText() const {
    const std::size_t iUpdates = FiSucceeded + FiFailed;
    std::string s;
    if (iUpdates == 0)
        s = "No update ran.";
    else if (iUpdates == 1)
        s = FiFailed == 0 ? "1 update, which succeeded." : "1 update, which failed.";
    else if (FiFailed == 0)
        s = std::to_string(iUpdates) + " updates, all succeeded.";
    else
        s = std::to_string(iUpdates) + " updates: " + std::to_string(FiSucceeded) + " succeeded, " +
            std::to_string(FiFailed) + " failed.";
    if (FiNotStarted > 0)
        s += " " + Counted(FiNotStarted, "logger plugged in was", "loggers plugged in were") +
             " not started.";
    return s;
}

std::vector<TPortRun> TStationBook::TableRuns() const {
    std::vector<const TRun*> aLatest;
    for (const TRun& r : FaLatest)
        aLatest.push_back(&r);
    std::sort(aLatest.begin(), aLatest.end(),
              [](const TRun* a, const TRun* b) { return a->iOrder < b->iOrder; });
    std::vector<TPortRun> aRuns;
    for (const TRun* r : aLatest)
        aRuns.push_back(r->run);
    for (const std::string& sPort : FaPorts) {
        const TAccount& account = FaAccounts.at(sPort);
        if (account.sNotStarted.empty())
            continue;
        TPortRun& run = aRuns.emplace_back(sPort, TClock::now());
        run.iExit = Status::Cancelled;
        run.sOutcome = account.sNotStarted;
    }
    return aRuns;
}

std::string TStationBook::SummaryJson() const {
    TJson aPorts = TJson::array();
    const std::vector<TPortRun> aRuns = TableRuns();
    // The loggers not started come last.
    for (std::size_t i = 0; i < aRuns.size(); ++i) {
        aPorts.push_back(SummaryPortJson(aRuns[i]));
        aPorts.back()["started"] = i < aRuns.size() - FiNotStarted;
    }
    TJson aNotUpdated = TJson::array();
    for (const std::string& sPort : FaPorts) {
        const TAccount& account = FaAccounts.at(sPort);
        if (account.iFailed == 0)
            continue;
        TJson o = TJson::object();
        o["port"] = sPort;
        o["updates"] = account.iUpdates;
        o["failed"] = account.iFailed;
        o["exit"] = account.iLastFailedExit;
        o["text"] = account.sLastFailure;
        aNotUpdated.push_back(std::move(o));
    }
    TJson o = SummaryObject(CountText(), ExitStatus());
    o["updates"] = FiSucceeded + FiFailed;
    o["succeeded"] = FiSucceeded;
    o["failed"] = FiFailed;
    o["not_started"] = FiNotStarted;
    o["folded"] = FiFolded;
    o["ports"] = std::move(aPorts);
    o["failures"] = std::move(aNotUpdated);
    return JsonText(o);
}

std::vector<std::pair<std::string, std::string>> TStationBook::NotUpdated() const {
    std::vector<std::pair<std::string, std::string>> a;
    for (const std::string& sPort : FaPorts) {
        const TAccount& account = FaAccounts.at(sPort);
        if (account.iFailed > 0)
            a.emplace_back(sPort, std::to_string(account.iFailed) + " of " +
                                      Counted(account.iUpdates, "update", "updates") +
                                      " failed, the last with exit status " +
                                      std::to_string(account.iLastFailedExit) + ": " +
                                      EscapeControlChars(account.sLastFailure));
        if (!account.sNotStarted.empty())
            a.emplace_back(sPort, EscapeControlChars(account.sNotStarted));
    }
    return a;
}

std::string TStationBook::FoldedText() const {
    if (FiFolded == 0)
        return {};
    return "The latest " + Counted(FaLatest.size(), "update", "updates") + " of " +
           std::to_string(FiFolded + FaLatest.size()) +
           "; the earlier ones are in the counts below and in the journal "
           "(kelvo-update --history).";
}
