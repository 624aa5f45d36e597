#include "link/uNotifyQueue.h"

void TNotifyQueue::Post(std::int32_t iCode, std::int32_t iValue) noexcept {
    try {
        {
            const std::lock_guard lock(FLock);
            FQueue.push_back({iCode, iValue});
        }
        FReady.notify_one();
    } catch (...) {
        // Out of memory: the notification is lost, as a post to a vanished window would be.
    }
}

std::optional<TNotification> TNotifyQueue::Wait(std::chrono::milliseconds tTimeout) {
    std::unique_lock lock(FLock);
    if (!FReady.wait_for(lock, tTimeout, [this] { return !FQueue.empty(); }))
        return std::nullopt;
    const TNotification n = FQueue.front();
    FQueue.pop_front();
    return n;
}
