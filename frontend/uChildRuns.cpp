#include "frontend/uChildRuns.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <thread>

// A child with the threads that read its two streams; they end when the child does, or when it
// is killed.
struct TChildRuns::TChild {
    std::unique_ptr<TChildProcess> process;
    std::thread out;
    std::thread err;
    int iStreamsEnded = 0;
    std::optional<TClock::time_point> tKill; // set by its cancel
    bool bKilled = false;

    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    // A start that failed half-way leaves a child that has not had its input: it is killed, which
    // ends its reader too.
    ~TChild() {
        if (process && (out.joinable() || err.joinable()))
            process->Kill();
        if (out.joinable())
            out.join();
        if (err.joinable())
            err.join();
    }
    bool Running() const { return process && iStreamsEnded < 2; }
};

TChildRuns::TChildRuns(std::string sProgram, std::chrono::milliseconds tKillAfter)
    : FsProgram(std::move(sProgram)), FtKillAfter(tKillAfter) {}

TChildRuns::~TChildRuns() {
    // All are asked first, so that they end together rather than one after the other; those
    // that do not are killed in time.
    CancelAll();
    while (FiRunning > 0)
        Take(FtKillAfter);
}

void TChildRuns::Push(TRaw raw) {
    {
        const std::lock_guard lock(FMutex);
        FaQueue.push_back(std::move(raw));
    }
    FReady.notify_one();
}

void TChildRuns::Post(std::function<void()> f) {
    Push({TItem::TKind::Posted, 0, false, {}, std::move(f)});
}

// Reads one stream of a child to its end, line by line.
void TChildRuns::ReadLines(TChildProcess& process, TChildProcess::TStream stream, TId id,
                           TChildRuns& runs) {
    const auto kind = stream == TChildProcess::TStream::Out ? TItem::TKind::Out : TItem::TKind::Err;
    std::string sPending;
    char a[4096];
    for (std::size_t n; (n = process.Read(stream, a, sizeof a)) > 0;) {
        sPending.append(a, n);
        for (std::size_t i; (i = sPending.find('\n')) != std::string::npos;) {
            std::string sLine = sPending.substr(0, i);
            sPending.erase(0, i + 1);
            if (!sLine.empty() && sLine.back() == '\r')
                sLine.pop_back();
            runs.Push({kind, id, false, std::move(sLine), {}});
        }
    }
    if (!sPending.empty())
        runs.Push({kind, id, false, std::move(sPending), {}});
    runs.Push({kind, id, true, {}, {}});
}

TChildRuns::TId TChildRuns::Start(const std::vector<std::string>& aArgs,
                                  const std::string& sInput) {
    const TId id = FiNext++;
    ++FiRunning;
    try {
        auto child = std::make_unique<TChild>();
        child->process = std::make_unique<TChildProcess>(aArgs, FsProgram);
        child->out = std::thread(ReadLines, std::ref(*child->process), TChildProcess::TStream::Out,
                                 id, std::ref(*this));
        child->err = std::thread(ReadLines, std::ref(*child->process), TChildProcess::TStream::Err,
                                 id, std::ref(*this));
        TChild& started = *FaChildren.emplace(id, std::move(child)).first->second;
        // The input is written once both streams are read: a child that writes before it reads
        // cannot block on a full pipe.
        started.process->WriteInput(sInput);
    } catch (const std::exception& e) {
        Push({TItem::TKind::End, id, false, e.what(), {}});
    }
    return id;
}

TChildRuns::TClock::time_point TChildRuns::NextKill(TClock::time_point tUntil) const {
    for (const auto& [id, child] : FaChildren) {
        if (child->tKill && !child->bKilled && child->Running())
            tUntil = std::min(tUntil, *child->tKill);
    }
    return tUntil;
}

void TChildRuns::KillOverdue() {
    const auto tNow = TClock::now();
    for (auto& [id, child] : FaChildren) {
        if (child->tKill && *child->tKill <= tNow && !child->bKilled && child->Running()) {
            child->process->Kill();
            child->bKilled = true;
        }
    }
}

std::vector<TChildRuns::TItem> TChildRuns::Take(std::chrono::milliseconds t) {
    const auto tUntil = TClock::now() + t;
    std::vector<TItem> a;
    for (;;) {
        std::deque<TRaw> aRaw;
        {
            std::unique_lock lock(FMutex);
            FReady.wait_until(lock, NextKill(tUntil), [&] { return !FaQueue.empty(); });
            aRaw.swap(FaQueue);
        }
        // A killed child's streams end at once: their ends come with the next wait.
        KillOverdue();
        for (TRaw& raw : aRaw) {
            TItem item;
            item.kind = raw.kind;
            item.id = raw.id;
            if (raw.kind == TItem::TKind::Posted) {
                item.posted = std::move(raw.posted);
            } else if (raw.kind == TItem::TKind::End) {
                --FiRunning;
                item.iExitStatus = 1;
                item.sWhy = std::move(raw.sLine);
            } else if (!raw.bStreamEnd) {
                item.sLine = std::move(raw.sLine);
            } else {
                // The streams of a child whose start failed half-way end without it.
                const auto it = FaChildren.find(raw.id);
                if (it == FaChildren.end() || ++it->second->iStreamsEnded < 2)
                    continue;
                // Both streams have ended: the threads end now, and the process has ended or
                // is about to.
                TChild& child = *it->second;
                child.out.join();
                child.err.join();
                item.kind = TItem::TKind::End;
                item.iExitStatus = child.process->Wait();
                item.sHow = child.process->EndedHow();
                item.bKilled = child.bKilled;
                FaChildren.erase(it);
                --FiRunning;
            }
            a.push_back(std::move(item));
        }
        // Only the end of a stream came, or a child was killed: there may still be time to wait.
        if (!a.empty() || TClock::now() >= tUntil)
            return a;
    }
}

void TChildRuns::Cancel(TId id) {
    const auto it = FaChildren.find(id);
    if (it == FaChildren.end() || !it->second->Running())
        return;
    TChild& child = *it->second;
    child.process->Cancel();
    // The time runs from the first cancel: asking again does not put the kill off.
    if (!child.tKill)
        child.tKill = TClock::now() + FtKillAfter;
}

void TChildRuns::CancelAll() {
    for (const auto& [id, child] : FaChildren)
        Cancel(id);
}
