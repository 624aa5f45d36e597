// Watching the port list: which serial ports ListComPorts lists, reported as it changes, for a
// station that starts an update whenever a logger is plugged in.
#pragma once

#include "frontend/uPortList.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Reports the list of ListComPorts(aList, sDevDir) (same ports, same order) through a callback,
// called on the watcher's own thread: once at start, then each time the list has changed. The
// system tells of changes (Linux: udev's events of tty devices, which come once its rules have
// run, when sDevDir is /dev and a udev daemon runs, else inotify on sDevDir; Windows: a change
// notification on the registry's serialcomm key); a rescan every `rescan` is the safety net.
// Where that notification cannot be had (or while sDevDir is missing), it rescans every second
// instead.
//
// The callback must return quickly and must not throw nor destroy the watcher; handing the list
// to a queue that another thread drains is the intended use. Destroying the watcher stops its
// thread at once (without waiting for a rescan) and joins it: no call of the callback runs or
// follows after the destructor.
class TPortWatch {
public:
    using TCallback = std::function<void(const std::vector<std::string>& aPorts)>;

    // Throws std::runtime_error when the thread or its stop signal cannot be made.
    explicit TPortWatch(TCallback onChange, std::string sDevDir = PortDeviceDir(),
                        std::chrono::milliseconds rescan = std::chrono::seconds(5));
    ~TPortWatch();
    TPortWatch(const TPortWatch&) = delete;
    TPortWatch& operator=(const TPortWatch&) = delete;

    // True while the system tells of changes; false while the watcher only rescans every second.
    bool Notifies() const { return FbNotifies.load(); }

private:
    struct TImpl; // the platform's handles and thread
    std::atomic<bool> FbNotifies{false};
    std::unique_ptr<TImpl> F;
};
