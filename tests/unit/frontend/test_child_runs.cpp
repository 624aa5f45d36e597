// Children started and read together: their lines and ends, what other threads post, and what is
// left when they end or the owner goes. A shell plays the children.
#include "frontend/uChildRuns.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <thread>

using namespace std::chrono_literals;
using TKind = TChildRuns::TItem::TKind;

namespace {

// What came for one child, in order: "out:..." and "err:..." lines, then "end:<status>".
using TSeen = std::map<TChildRuns::TId, std::vector<std::string>>;

// Takes until no child runs; the ends keep how the process ended.
TSeen TakeAll(TChildRuns& runs, std::map<TChildRuns::TId, TChildRuns::TItem>* pEnds = nullptr) {
    TSeen seen;
    const auto tUntil = std::chrono::steady_clock::now() + 20s;
    while (runs.Running() > 0 && std::chrono::steady_clock::now() < tUntil) {
        for (TChildRuns::TItem& item : runs.Take(1s)) {
            EXPECT_NE(item.kind, TKind::Posted);
            std::vector<std::string>& a = seen[item.id];
            if (item.kind == TKind::End) {
                a.push_back("end:" + std::to_string(item.iExitStatus));
                if (pEnds)
                    (*pEnds)[item.id] = item;
            } else {
                a.push_back((item.kind == TKind::Out ? "out:" : "err:") + item.sLine);
            }
        }
    }
    EXPECT_EQ(runs.Running(), 0u);
    return seen;
}

std::size_t Threads() {
    const auto it = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

// The threads before a test's children: a thread started and joined first, so that a helper
// thread that a runtime starts with the first thread (ThreadSanitizer's) is counted already.
std::size_t ThreadsBefore() {
    std::thread([] {}).join();
    return Threads();
}

#ifdef _WIN32
#define SKIP_WITHOUT_SHELL() GTEST_SKIP() << "the children are played by a POSIX shell"
#else
#define SKIP_WITHOUT_SHELL()
#endif

} // namespace

TEST(ChildRuns, LinesAndEndsOfEachChildInTheirOrder) {
    SKIP_WITHOUT_SHELL();
    TChildRuns runs("sh");
    const std::size_t iThreads = ThreadsBefore();
    // The input comes first, each stream keeps its order, a last line without its end counts,
    // and a carriage return before a line end goes.
    const TChildRuns::TId a = runs.Start(
        {"-c", "cat; echo e1 >&2; printf 'o1\\r\\n\\n'; echo e2 >&2; printf last; exit 3"},
        "in1\nin2");
    const TChildRuns::TId b = runs.Start({"-c", "kill -9 $$"}, {});
    const TChildRuns::TId c = runs.Start({"-c", "echo only"}, {});
    EXPECT_EQ(runs.Running(), 3u);
    std::map<TChildRuns::TId, TChildRuns::TItem> ends;
    TSeen seen = TakeAll(runs, &ends);

    // The streams are read apart: the order holds within each of them.
    std::vector<std::string> aOut;
    std::vector<std::string> aErr;
    for (const std::string& s : seen[a]) {
        if (s.starts_with("out:"))
            aOut.push_back(s);
        else if (s.starts_with("err:"))
            aErr.push_back(s);
    }
    EXPECT_EQ(aOut, (std::vector<std::string>{"out:in1", "out:in2o1", "out:", "out:last"}));
    EXPECT_EQ(aErr, (std::vector<std::string>{"err:e1", "err:e2"}));
    EXPECT_EQ(seen[a].back(), "end:3");
    EXPECT_EQ(seen[b], (std::vector<std::string>{"end:-1"}));
    EXPECT_NE(ends[b].sHow.find("killed by signal 9"), std::string::npos) << ends[b].sHow;
    EXPECT_EQ(seen[c], (std::vector<std::string>{"out:only", "end:0"}));
    for (const auto& [id, end] : ends)
        EXPECT_EQ(end.sWhy, "") << id;
    // The readers of the ended children are gone.
    EXPECT_EQ(Threads(), iThreads);
}

TEST(ChildRuns, AChildThatCannotStartEndsWithTheReason) {
    SKIP_WITHOUT_SHELL();
    TChildRuns runs("/nonexistent/kelvo-child");
    const TChildRuns::TId id = runs.Start({}, "input");
    EXPECT_EQ(runs.Running(), 1u);
    std::map<TChildRuns::TId, TChildRuns::TItem> ends;
    EXPECT_EQ(TakeAll(runs, &ends)[id], (std::vector<std::string>{"end:1"}));
    EXPECT_NE(ends[id].sWhy.find("cannot start /nonexistent/kelvo-child"), std::string::npos)
        << ends[id].sWhy;
    // A later child has a number of its own.
    EXPECT_EQ(runs.Start({}, {}), id + 1);
}

TEST(ChildRuns, APostWakesTheWaitAndACancelEndsAChild) {
    SKIP_WITHOUT_SHELL();
    TChildRuns runs("sh");
    const TChildRuns::TId id = runs.Start({"-c", "echo ready; exec sleep 60"}, {});
    int iCalled = 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread poster([&] {
        std::this_thread::sleep_for(100ms);
        runs.Post([&] { ++iCalled; });
    });
    std::vector<TChildRuns::TItem> aPosted;
    while (aPosted.empty() && std::chrono::steady_clock::now() - t0 < 20s) {
        for (TChildRuns::TItem& item : runs.Take(30s)) {
            if (item.kind == TKind::Posted)
                aPosted.push_back(std::move(item));
        }
    }
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << "the post did not wake the wait";
    ASSERT_EQ(aPosted.size(), 1u);
    aPosted.front().posted();
    EXPECT_EQ(iCalled, 1);

    // Nothing came: the wait lasts its time.
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(runs.Take(200ms).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - t1, 200ms);

    EXPECT_EQ(runs.Running(), 1u);
    runs.Cancel(id);
    std::map<TChildRuns::TId, TChildRuns::TItem> ends;
    EXPECT_EQ(TakeAll(runs, &ends)[id].back(), "end:-1");
    EXPECT_FALSE(ends[id].bKilled) << "it ended on its cancel";
    EXPECT_NE(ends[id].sHow.find("killed by signal 15"), std::string::npos) << ends[id].sHow;
    runs.Cancel(id); // an ended child: nothing to do
}

TEST(ChildRuns, ChildrenStillRunningAreCancelledWhenTheOwnerGoes) {
    SKIP_WITHOUT_SHELL();
    const std::size_t iThreads = ThreadsBefore();
    const auto t0 = std::chrono::steady_clock::now();
    {
        TChildRuns runs("sh");
        runs.Start({"-c", "exec sleep 60"}, {});
        runs.Start({"-c", "exec sleep 60"}, {});
        EXPECT_TRUE(runs.Take(100ms).empty());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_EQ(Threads(), iThreads);
}

// Children that end only when killed, and a grandchild ended by the test: POSIX only.
#ifndef _WIN32
namespace {

// Children that do not end on their cancel: one ignores SIGTERM, as does the program it becomes;
// the other, too, and a grandchild in a session of its own (out of reach of a kill of the child's
// process group) holds its pipes open. Each writes a line once its trap is set, the second the
// grandchild's process id.
const std::vector<std::string> IgnoresTerm = {"-c", "trap '' TERM; echo ready; exec sleep 60"};
const std::vector<std::string> GrandchildHoldsPipes = {
    "-c", "trap '' TERM; setsid sh -c 'echo $$; exec sleep 60' & exec sleep 60"};

// Takes until every child has written its first line; the lines by child.
std::map<TChildRuns::TId, std::string> FirstLines(TChildRuns& runs, std::size_t iChildren) {
    std::map<TChildRuns::TId, std::string> aFirst;
    const auto tUntil = std::chrono::steady_clock::now() + 20s;
    while (aFirst.size() < iChildren && std::chrono::steady_clock::now() < tUntil) {
        for (const TChildRuns::TItem& item : runs.Take(1s)) {
            EXPECT_EQ(item.kind, TKind::Out) << item.sLine;
            aFirst.emplace(item.id, item.sLine);
        }
    }
    EXPECT_EQ(aFirst.size(), iChildren);
    return aFirst;
}

// The grandchild is this test's to end.
void EndGrandchild(const std::string& sPid) {
    const int iPid = std::atoi(sPid.c_str());
    ASSERT_GT(iPid, 1) << sPid;
    ::kill(iPid, SIGKILL);
}

} // namespace

TEST(ChildRuns, AChildThatDoesNotEndOnItsCancelIsKilledInTime) {
    const std::size_t iThreads = ThreadsBefore();
    constexpr auto KillAfter = 300ms;
    TChildRuns runs("sh", KillAfter);
    const TChildRuns::TId stubborn = runs.Start(IgnoresTerm, {});
    const TChildRuns::TId held = runs.Start(GrandchildHoldsPipes, {});
    const std::string sGrandchild = FirstLines(runs, 2)[held];

    const auto t0 = std::chrono::steady_clock::now();
    runs.CancelAll();
    // Not before its time.
    EXPECT_TRUE(runs.Take(KillAfter - 100ms).empty());
    std::map<TChildRuns::TId, TChildRuns::TItem> ends;
    TakeAll(runs, &ends);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    for (const TChildRuns::TId id : {stubborn, held}) {
        EXPECT_TRUE(ends[id].bKilled) << id;
        EXPECT_EQ(ends[id].iExitStatus, -1) << id;
        EXPECT_NE(ends[id].sHow.find("killed by signal 9"), std::string::npos) << ends[id].sHow;
    }
    // No reader waits for the grandchild.
    EXPECT_EQ(Threads(), iThreads);
    EndGrandchild(sGrandchild);
}

TEST(ChildRuns, TheOwnerGoesInTimeWhateverItsChildrenDo) {
    const std::size_t iThreads = ThreadsBefore();
    std::string sGrandchild;
    const auto t0 = std::chrono::steady_clock::now();
    {
        TChildRuns runs("sh", 300ms);
        runs.Start(IgnoresTerm, {});
        const TChildRuns::TId held = runs.Start(GrandchildHoldsPipes, {});
        sGrandchild = FirstLines(runs, 2)[held];
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_EQ(Threads(), iThreads);
    EndGrandchild(sGrandchild);
}
#endif
