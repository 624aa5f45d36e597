#include "cli/uChildRuns.h"

#include <exception>
#include <thread>

// A child with the threads that read its two streams; they end when the child does.
struct TChildRuns::TChild {
    std::unique_ptr<TChildProcess> process;
    std::thread out;
    std::thread err;
    int iStreamsEnded = 0;

    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    // A child left running (the owner ends early, or a start failed half-way) is cancelled and
    // awaited; the process's own destructor kills it if it has still not ended.
    ~TChild() {
        if (process && (out.joinable() || err.joinable()))
            process->Cancel();
        if (out.joinable())
            out.join();
        if (err.joinable())
            err.join();
    }
    bool Running() const { return process && iStreamsEnded < 2; }
};

TChildRuns::TChildRuns(std::string sProgram) : FsProgram(std::move(sProgram)) {}

TChildRuns::~TChildRuns() {
    // All are asked first, so that they end together rather than one after the other.
    CancelAll();
    FaChildren.clear();
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

std::vector<TChildRuns::TItem> TChildRuns::Take(std::chrono::milliseconds t) {
    const auto tUntil = std::chrono::steady_clock::now() + t;
    std::vector<TItem> a;
    for (;;) {
        std::deque<TRaw> aRaw;
        {
            std::unique_lock lock(FMutex);
            FReady.wait_until(lock, tUntil, [&] { return !FaQueue.empty(); });
            aRaw.swap(FaQueue);
        }
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
                FaChildren.erase(it);
                --FiRunning;
            }
            a.push_back(std::move(item));
        }
        // Only the end of a stream came: there is still time to wait for something.
        if (!a.empty() || aRaw.empty())
            return a;
    }
}

void TChildRuns::Cancel(TId id) {
    const auto it = FaChildren.find(id);
    if (it != FaChildren.end() && it->second->Running())
        it->second->process->Cancel();
}

void TChildRuns::CancelAll() {
    for (auto& [id, child] : FaChildren) {
        if (child->Running())
            child->process->Cancel();
    }
}
