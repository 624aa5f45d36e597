// Child processes started one by one, each read by two threads of its own, and one queue where
// their lines and their ends come to the thread that owns the children, together with what other
// threads post to it: one loop waits for all of that at once, without polling. A child that has
// not ended a while after its cancel is killed, so that none can keep its owner waiting.
#pragma once

#include "frontend/uChildProcess.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TChildRuns {
public:
    // A child's number: the number of children started before it.
    using TId = std::size_t;

    // What has come to the owner's thread.
    struct TItem {
        enum class TKind {
            Out,   // a line of a child's standard output
            Err,   // a line of its standard error
            End,   // the child has ended: its last line has come before
            Posted // what another thread posted
        };
        TKind kind = TKind::Posted;
        TId id = 0;
        std::string sLine; // Out, Err: the line without its line end
        // End: the exit status; -1 when the process did not exit by itself, sHow says how.
        int iExitStatus = -1;
        std::string sHow;
        // End: it had not ended tKillAfter after its cancel, and was killed.
        bool bKilled = false;
        // End: why the child could not be started (its exit status is then 1); empty when it was.
        std::string sWhy;
        std::function<void()> posted; // Posted: for the owner's thread to call
    };

    using TClock = std::chrono::steady_clock;

    // How long a child has to end after its cancel before it is killed. An update takes its
    // cancel at its next exchange, at most the logger's restart wait and one read away, and then
    // closes its port and completes its journal row.
    static constexpr std::chrono::milliseconds DefaultKillAfter = std::chrono::seconds(5);

    // The children run sProgram (found on the PATH), or this program itself when it is empty;
    // each is killed when it has not ended tKillAfter after its cancel.
    explicit TChildRuns(std::string sProgram = {},
                        std::chrono::milliseconds tKillAfter = DefaultKillAfter);
    // Children still running are cancelled and awaited, and killed as Take kills them: the
    // destructor returns within tKillAfter and a moment.
    ~TChildRuns();
    TChildRuns(const TChildRuns&) = delete;
    TChildRuns& operator=(const TChildRuns&) = delete;

    // Starts a child with aArgs (the program name not included) and writes sInput to its standard
    // input once both its output streams are read. A child that cannot be started ends at once:
    // its End, with the reason, is queued.
    TId Start(const std::vector<std::string>& aArgs, const std::string& sInput);
    // Everything that has come, in the order it came, waiting up to t for something. A child's
    // threads are joined and its process awaited before its End is handed out: an ended child
    // leaves nothing behind (but a killed process that the system still holds). Kills the
    // children whose time after their cancel is up.
    std::vector<TItem> Take(std::chrono::milliseconds t);
    // Asks a child to cancel, if it is still running; it ends as it does, or Take kills it
    // tKillAfter later.
    void Cancel(TId id);
    void CancelAll();
    // The children whose End has not been taken yet.
    std::size_t Running() const { return FiRunning; }

    // From any thread: f comes to the owner's thread as a Posted item, waking its Take.
    void Post(std::function<void()> f);

    // All members but Post belong to the thread that owns the object.

private:
    // What the reader threads, Start and Post put into the queue.
    struct TRaw {
        TItem::TKind kind;
        TId id = 0;
        bool bStreamEnd = false; // Out, Err: the stream has ended, sLine is empty
        std::string sLine;       // Out, Err: the line; End: why the child could not be started
        std::function<void()> posted;
    };
    struct TChild;

    void Push(TRaw raw);
    static void ReadLines(TChildProcess& process, TChildProcess::TStream stream, TId id,
                          TChildRuns& runs);
    // The earliest time at which a cancelled child is to be killed; tUntil when that is later.
    TClock::time_point NextKill(TClock::time_point tUntil) const;
    // Kills the cancelled children whose time is up.
    void KillOverdue();

    const std::string FsProgram;
    const std::chrono::milliseconds FtKillAfter;
    std::mutex FMutex;
    std::condition_variable FReady;
    std::deque<TRaw> FaQueue;
    // The children that have been started and whose End has not been taken yet.
    std::map<TId, std::unique_ptr<TChild>> FaChildren;
    TId FiNext = 0;
    std::size_t FiRunning = 0;
};
