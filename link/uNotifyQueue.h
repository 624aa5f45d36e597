// A notification target for owners without a window: the worker posts, the owner's thread drains
// in posting order.
#pragma once

#include "link/uCommThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

struct TNotification {
    std::int32_t iCode;
    std::int32_t iValue;
    bool operator==(const TNotification&) const = default;
};

class TNotifyQueue final : public TNotifyTarget {
public:
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept override;
    // The next notification, or nothing once tTimeout has passed without one.
    std::optional<TNotification> Wait(std::chrono::milliseconds tTimeout);

private:
    std::mutex FLock;
    std::condition_variable FReady;
    std::deque<TNotification> FQueue;
};

// True for the notifications that end an update (0, 10, 13).
constexpr bool IsFinal(std::int32_t iCode) {
    return iCode == Notify::Done || iCode == Notify::Status || iCode == Notify::NoAnswer;
}
