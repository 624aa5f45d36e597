// How long a transfer has left, from the rate of its recent progress.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

// The time left of a transfer from its recent rate: the progress made since the newest step that
// is at least Window old, so that a slow start or a stall long ago does not bend the estimate.
class TRecentRate {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds Window{30};

    void Restart() { Fa.clear(); }
    // A step of iPercent at t; a step back means a new attempt, which starts afresh.
    void Add(TClock::time_point t, int iPercent);
    // The seconds until 100 %, or nothing while no progress is seen in the window.
    std::optional<int> SecondsLeft() const;

private:
    std::deque<std::pair<TClock::time_point, int>> Fa;
};
