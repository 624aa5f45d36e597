// The station's engine as the GUI drives it: its view of each port from the children's JSON Lines,
// and a stop from another thread that ends an idle station at once. The children are a shell that
// writes a run's lines, in place of kelvo-update (whose station the end-to-end tests drive).
#include "frontend/uStationEngine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct StationEngine : ::testing::Test {
    fs::path dir;
    fs::path dev;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("kelvo-engine-" + std::to_string(getpid()));
        fs::remove_all(dir);
        dev = dir / "dev";
        fs::create_directories(dev);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Children that run sScript in a shell; the station's own arguments follow as $0, $1, ...
    TStationStart Start(const std::string& sScript) const {
        TStationStart start;
        start.sProgram = "/bin/sh";
        start.aChildArgs = {"-c", sScript};
        start.sDevDir = dev.string();
        start.tKillAfter = 1s;
        return start;
    }

    // Steps the station until bDone says so, for at most tLimit; false when it did not.
    template <class F>
    static bool StepUntil(TStation& station, F bDone, std::chrono::seconds tLimit) {
        const auto tEnd = std::chrono::steady_clock::now() + tLimit;
        while (!bDone()) {
            if (std::chrono::steady_clock::now() > tEnd)
                return false;
            station.Step();
        }
        return true;
    }
};

} // namespace

TEST_F(StationEngine, TheViewFollowsEachPortFromItsChildsLines) {
    std::ofstream(dev / "ttyUSB0");
    // A child that identifies a logger, shows progress, and then succeeds or fails by its port.
    const std::string sScript = R"(
echo '{"event":"serial","value":320042}'
echo '{"event":"progress","value":37}'
case "$2" in *ttyUSB1) echo '{"event":"result","exit":40,"success":false,"text":"No image fits."}'; exit 40;; esac
echo '{"event":"result","exit":0,"success":true,"text":"Updated."}'
)";
    TStationListener quiet;
    TStation station(Start(sScript), quiet);
    const auto tBefore = std::chrono::system_clock::now();
    ASSERT_TRUE(StepUntil(
        station, [&] { return station.Plan().Tally().iSucceeded == 1; }, 10s));
    std::ofstream(dev / "ttyUSB1");
    ASSERT_TRUE(StepUntil(
        station, [&] { return station.Plan().Tally().iFailed == 1; }, 10s));

    const TStationView view = station.View();
    ASSERT_EQ(view.aTiles.size(), 2u);
    const TStationTile& ok = view.aTiles[0];
    EXPECT_EQ(ok.sPort, (dev / "ttyUSB0").string());
    EXPECT_EQ(ok.state, TStationPort::Idle);
    EXPECT_TRUE(ok.bHasRun && ok.bEnded && ok.bSuccess);
    EXPECT_EQ(ok.iSerial, 320042u);
    EXPECT_EQ(ok.iPercent, 100);
    EXPECT_EQ(ok.sOutcome, "Updated.");
    EXPECT_GE(ok.tEnded, tBefore);
    const TStationTile& failed = view.aTiles[1];
    EXPECT_TRUE(failed.bEnded);
    EXPECT_FALSE(failed.bSuccess || failed.bCancelled);
    EXPECT_EQ(failed.iExit, 40);
    EXPECT_EQ(failed.sOutcome, "No image fits.");
    EXPECT_EQ(failed.iUpdate, 2);
    EXPECT_FALSE(view.bDone);

    // Unplugged, the port waits for its next logger and keeps its latest update.
    fs::remove(dev / "ttyUSB0");
    ASSERT_TRUE(StepUntil(
        station,
        [&] { return station.Plan().State((dev / "ttyUSB0").string()) == TStationPort::Absent; },
        10s));
    EXPECT_TRUE(station.View().aTiles[0].bSuccess);
}

TEST_F(StationEngine, AStopFromAnotherThreadEndsAnIdleStationAtOnce) {
    TStationListener quiet;
    TStation station(Start("exit 0"), quiet);
    station.Step(10ms); // the first list
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        station.RequestStop();
        station.Wake();
    });
    const auto t0 = std::chrono::steady_clock::now();
    // An idle station waits up to a second a turn; the wake cuts that short.
    while (!station.Step())
        ASSERT_LT(std::chrono::steady_clock::now() - t0, 5s);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms);
    EXPECT_TRUE(station.View().bDone);
    EXPECT_TRUE(station.Stopping());
    EXPECT_FALSE(station.Cancelling());
}

TEST_F(StationEngine, CancelAllEndsARunningChildCancelled) {
    std::ofstream(dev / "ttyUSB0");
    // A child that waits until its cancel (SIGTERM) and then ends as a cancelled run does.
    const std::string sScript = R"(
trap 'echo "{\"event\":\"result\",\"exit\":20,\"success\":false,\"text\":\"Cancelled.\"}"; exit 20' TERM
echo '{"event":"progress","value":5}'
while :; do sleep 0.05; done
)";
    TStationListener quiet;
    TStation station(Start(sScript), quiet);
    ASSERT_TRUE(StepUntil(
        station, [&] { return station.Plan().Tally().iRunning == 1; }, 10s));
    station.RequestCancel();
    ASSERT_TRUE(StepUntil(
        station, [&] { return station.Done(); }, 10s));
    const TStationTile tile = station.View().aTiles.at(0);
    EXPECT_TRUE(tile.bCancelled);
    EXPECT_EQ(tile.iExit, 20);
    EXPECT_TRUE(station.Stopping() && station.Cancelling());
}
