// The port watch on a temporary device folder: entries named as USB serial ports appear, vanish
// and are renamed, and the folder itself goes away and comes back. The safety-net rescan is a
// minute, so a prompt report can only come from the folder's change notification (or, while
// the folder is missing, from the one-second retry).
#include "frontend/uPortWatch.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The lists a watcher reported, in order, for the test's thread to wait on.
class TReports {
public:
    TPortWatch::TCallback Callback() {
        return [this](const std::vector<std::string>& a) {
            std::lock_guard lock(FMutex);
            FaAll.push_back(a);
            FaNew.push_back(a);
            FCond.notify_all();
        };
    }

    // Waits (a few seconds at most) for a report of exactly aExpected; reports between that
    // are passing states of one change (a rename seen as removal, then arrival) are skipped.
    bool WaitFor(const std::vector<std::string>& aExpected) {
        std::unique_lock lock(FMutex);
        const auto tEnd = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            while (!FaNew.empty()) {
                const bool bMatch = FaNew.front() == aExpected;
                FaNew.pop_front();
                if (bMatch)
                    return true;
            }
            if (FCond.wait_until(lock, tEnd) == std::cv_status::timeout && FaNew.empty())
                return false;
        }
    }

    std::vector<std::vector<std::string>> All() {
        std::lock_guard lock(FMutex);
        return FaAll;
    }

private:
    std::mutex FMutex;
    std::condition_variable FCond;
    std::deque<std::vector<std::string>> FaNew;
    std::vector<std::vector<std::string>> FaAll;
};

std::string Listed(const std::vector<std::string>& a) {
    std::string s;
    for (const auto& p : a)
        s += p + " ";
    return s;
}

} // namespace

TEST(PortWatch, ReportsEachChangeOfTheFolder) {
    const fs::path base =
        fs::temp_directory_path() / ("kelvo-port-watch-" + std::to_string(getpid()));
    fs::remove_all(base);
    fs::create_directories(base);
    const fs::path dev = base / "dev";
    const auto P = [&](const char* s) {
        return (dev / s).string();
    };

    TReports reports;
    TPortWatch watch(reports.Callback(), dev.string(), 60s);

    const struct {
        const char* sWhat;
        std::function<void()> act;
        std::vector<std::string> aExpected;
        std::optional<bool> bNotifies; // nullopt: either, as the events happen to be read
    } aSteps[] = {
        {"the folder missing at start", [] {}, {}, false},
        {"the folder made, then a port and another tty in it",
         [&] {
             fs::create_directory(dev);
             std::ofstream(dev / "ttyUSB0");
             std::ofstream(dev / "ttyS0");
         },
         {P("ttyUSB0")},
         true},
        {"a link to a pseudo-terminal, as the simulator's ports are",
         [&] { fs::create_symlink("/dev/ptmx", dev / "ttyACM3"); },
         {P("ttyACM3"), P("ttyUSB0")},
         true},
        {"ports in natural order",
         [&] { std::ofstream(dev / "ttyUSB10"); },
         {P("ttyACM3"), P("ttyUSB0"), P("ttyUSB10")},
         true},
        {"a port removed",
         [&] { fs::remove(dev / "ttyUSB0"); },
         {P("ttyACM3"), P("ttyUSB10")},
         true},
        {"a port renamed",
         [&] { fs::rename(dev / "ttyACM3", dev / "ttyUSB2"); },
         {P("ttyUSB2"), P("ttyUSB10")},
         true},
        {"a port moved in from elsewhere",
         [&] {
             std::ofstream(base / "ttyACM0");
             fs::rename(base / "ttyACM0", dev / "ttyACM0");
         },
         {P("ttyACM0"), P("ttyUSB2"), P("ttyUSB10")},
         true},
        {"the folder moved away", [&] { fs::rename(dev, base / "away"); }, {}, false},
        {"the folder back",
         [&] { fs::rename(base / "away", dev); },
         {P("ttyACM0"), P("ttyUSB2"), P("ttyUSB10")},
         true},
        {"the folder deleted", [&] { fs::remove_all(dev); }, {}, std::nullopt},
        {"the folder made again with a port in it",
         [&] {
             fs::create_directory(base / "new");
             std::ofstream(base / "new" / "ttyUSB7");
             fs::rename(base / "new", dev);
         },
         {P("ttyUSB7")},
         true},
    };
    for (const auto& step : aSteps) {
        step.act();
        ASSERT_TRUE(reports.WaitFor(step.aExpected))
            << step.sWhat << ": no report of " << Listed(step.aExpected);
        if (step.bNotifies) {
            EXPECT_EQ(watch.Notifies(), *step.bNotifies) << step.sWhat;
        }
    }
    // A list is reported only when it differs from the one before.
    const auto aAll = reports.All();
    for (std::size_t i = 1; i < aAll.size(); ++i)
        EXPECT_NE(aAll[i], aAll[i - 1]) << "report " << i << ": " << Listed(aAll[i]);
    fs::remove_all(base);
}

TEST(PortWatch, RescanFindsAChangeTheNotificationMisses) {
    // The device folder is a link, and the watch follows it to the folder it named then: the link
    // turned to another folder with a port in it changes nothing the watch sees.
    const fs::path base =
        fs::temp_directory_path() / ("kelvo-port-rescan-" + std::to_string(getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "first");
    fs::create_directories(base / "second");
    std::ofstream(base / "second" / "ttyUSB4");
    const fs::path dev = base / "dev";
    fs::create_directory_symlink("first", dev);

    TReports reports;
    TPortWatch watch(reports.Callback(), dev.string(), 1s);
    ASSERT_TRUE(reports.WaitFor({}));
    fs::create_directory_symlink("second", base / "dev.new");
    fs::rename(base / "dev.new", dev);
    EXPECT_TRUE(reports.WaitFor({(dev / "ttyUSB4").string()}));
    EXPECT_TRUE(watch.Notifies());
    fs::remove_all(base);
}

TEST(PortWatch, StopsAtOnceWhenDestroyed) {
    const fs::path dev =
        fs::temp_directory_path() / ("kelvo-port-stop-" + std::to_string(getpid()));
    fs::remove_all(dev);
    fs::create_directories(dev);
    std::ofstream(dev / "ttyUSB3");
    TReports reports;
    const auto tStart = std::chrono::steady_clock::now();
    {
        TPortWatch watch(reports.Callback(), dev.string(), 60s);
        ASSERT_TRUE(reports.WaitFor({(dev / "ttyUSB3").string()}));
    }
    // Well below the rescan period: the destructor wakes the thread rather than waiting.
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, 10s);
    fs::remove_all(dev);
}
