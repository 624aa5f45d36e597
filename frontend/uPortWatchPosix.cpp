#include "frontend/uPortWatch.h"

#include "link/uSystemTexts.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <libudev.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

// The rescan period while the system does not tell of changes.
constexpr std::chrono::milliseconds FallbackRescan = std::chrono::seconds(1);

// Entries made, removed, renamed or changed in the folder, and the folder itself going away.
constexpr std::uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct TUdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};

// True when sDevDir is the system's device folder, whose ports udev announces.
bool IsSystemDevDir(const std::string& sDevDir) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::weakly_canonical(sDevDir, ec);
    return !ec && p == "/dev";
}

} // namespace

struct TPortWatch::TImpl {
    TImpl(TCallback onChange, std::string sDevDir, std::chrono::milliseconds rescan,
          std::atomic<bool>& bNotifies)
        : onChange(std::move(onChange)), sDevDir(std::move(sDevDir)), rescan(rescan),
          bNotifies(bNotifies) {}
    ~TImpl() {
        CloseNotify();
        CloseMonitor();
        if (iStop >= 0)
            ::close(iStop);
    }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    // Watches the folder (again); false when it is not there or inotify is not to be had.
    bool AddWatch() {
        if (iNotify >= 0 && iWatch < 0)
            iWatch = ::inotify_add_watch(iNotify, sDevDir.c_str(), WatchMask);
        return iWatch >= 0;
    }

    // udev's own events of tty devices, where a udev daemon runs and sDevDir is /dev: they come
    // once udev's rules have run (the device's group and mode set, its links made), where
    // inotify tells of a new node the moment the kernel makes it. Without the daemon no event
    // would ever come; then, and for any other folder, inotify tells of the changes.
    bool OpenMonitor() {
        if (!IsSystemDevDir(sDevDir))
            return false;
        hUdev.reset(udev_new());
        if (!hUdev)
            return false;
        {
            const std::unique_ptr<udev_queue, udev_queue* (*)(udev_queue*)> hQueue(
                udev_queue_new(hUdev.get()), udev_queue_unref);
            if (!hQueue || udev_queue_get_udev_is_active(hQueue.get()) == 0) {
                hUdev.reset();
                return false;
            }
        }
        hMonitor.reset(udev_monitor_new_from_netlink(hUdev.get(), "udev"));
        if (!hMonitor ||
            udev_monitor_filter_add_match_subsystem_devtype(hMonitor.get(), "tty", nullptr) < 0 ||
            udev_monitor_enable_receiving(hMonitor.get()) < 0) {
            CloseMonitor();
            return false;
        }
        iMonitor = udev_monitor_get_fd(hMonitor.get());
        return iMonitor >= 0;
    }

    void CloseMonitor() {
        hMonitor.reset();
        hUdev.reset();
        iMonitor = -1;
    }

    // Takes every pending udev event; true when one of them is of a port that the list takes.
    bool ReadMonitor() {
        bool bChanged = false;
        while (udev_device* p = udev_monitor_receive_device(hMonitor.get())) {
            const char* sName = udev_device_get_sysname(p);
            if (sName != nullptr && IsUsbSerialName(sName))
                bChanged = true;
            udev_device_unref(p);
        }
        return bChanged;
    }

    void CloseNotify() {
        if (iNotify >= 0)
            ::close(iNotify);
        iNotify = -1;
        iWatch = -1;
    }

    // Reads every pending event; true when one of them may have changed the list. A watch that
    // is gone (the folder removed or moved away) is dropped; a read error ends the use of inotify.
    bool ReadEvents() {
        bool bChanged = false;
        for (;;) {
            alignas(inotify_event) char aBuffer[4096];
            const ssize_t n = ::read(iNotify, aBuffer, sizeof aBuffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return bChanged;
            if (n <= 0) {
                CloseNotify();
                return true;
            }
            for (ssize_t i = 0; i < n;) {
                inotify_event e;
                std::memcpy(&e, aBuffer + i, sizeof e);
                const char* sName = aBuffer + i + sizeof e;
                i += static_cast<ssize_t>(sizeof e + e.len);
                if (e.mask & IN_Q_OVERFLOW) {
                    bChanged = true;
                } else if (e.wd != iWatch) {
                    // A watch removed earlier.
                } else if (e.mask & IN_IGNORED) {
                    iWatch = -1;
                    bChanged = true;
                } else if (e.mask & IN_MOVE_SELF) {
                    // The watch would follow the folder to its new name: watch the name again.
                    ::inotify_rm_watch(iNotify, iWatch);
                    iWatch = -1;
                    bChanged = true;
                } else if (e.len == 0 || IsUsbSerialName(sName)) {
                    // Only the names the list takes: other entries of a busy /dev need no rescan.
                    bChanged = true;
                }
            }
        }
    }

    void Run() {
        std::optional<std::vector<std::string>> aLast;
        TClock::time_point tNext{};
        bool bRescan = true;
        for (;;) {
            if (bRescan) {
                bNotifies = iWatch >= 0 || iMonitor >= 0;
                std::vector<std::string> aPorts;
                ListComPorts(aPorts, sDevDir);
                if (!aLast || aPorts != *aLast) {
                    onChange(aPorts);
                    aLast = std::move(aPorts);
                }
                tNext = TClock::now() + (bNotifies ? rescan : FallbackRescan);
                bRescan = false;
            }
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(tNext - TClock::now()).count();
            // The stop signal first, then whichever of udev and inotify tells of changes.
            pollfd aFds[2] = {{iStop, POLLIN, 0}, {iMonitor >= 0 ? iMonitor : iNotify, POLLIN, 0}};
            const bool bTold = aFds[1].fd >= 0;
            const int r = ::poll(aFds, bTold ? 2 : 1,
                                 static_cast<int>(std::clamp<long long>(wait, 0, 1 << 30)));
            if (r < 0 && errno != EINTR) {
                // Only the stop signal and the rescans are left.
                CloseMonitor();
                CloseNotify();
            }
            if (r > 0 && aFds[0].revents != 0)
                return;
            if (r > 0 && bTold && aFds[1].revents != 0) {
                if (iMonitor >= 0) {
                    bRescan = ReadMonitor();
                } else {
                    bRescan = ReadEvents();
                    if (iWatch < 0 && AddWatch())
                        bRescan = true; // the folder is back
                }
            }
            if (TClock::now() >= tNext) {
                if (iMonitor < 0)
                    AddWatch();
                bRescan = true;
            }
        }
    }

    TCallback onChange;
    const std::string sDevDir;
    const std::chrono::milliseconds rescan;
    std::atomic<bool>& bNotifies;
    int iStop = -1;   // an eventfd: the destructor's stop signal
    int iNotify = -1; // inotify; -1 when it is not to be had
    int iWatch = -1;  // the watch of sDevDir; -1 while there is none
    std::unique_ptr<udev, TUdevUnref> hUdev;
    std::unique_ptr<udev_monitor, TUdevUnref> hMonitor;
    int iMonitor = -1; // the udev monitor's socket (owned by it); -1 when inotify is used
    std::thread thread;
};

TPortWatch::TPortWatch(TCallback onChange, std::string sDevDir, std::chrono::milliseconds rescan)
    : F(std::make_unique<TImpl>(std::move(onChange), std::move(sDevDir), rescan, FbNotifies)) {
    F->iStop = ::eventfd(0, EFD_CLOEXEC);
    if (F->iStop < 0)
        throw std::runtime_error("Cannot watch the ports: " + ErrorText(errno));
    // Watched before the first listing, so that no change between the two is missed.
    if (!F->OpenMonitor()) {
        F->iNotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        F->AddWatch();
    }
    F->thread = std::thread([p = F.get()] { p->Run(); });
}

TPortWatch::~TPortWatch() {
    const std::uint64_t iOne = 1;
    while (::write(F->iStop, &iOne, sizeof iOne) < 0 && errno == EINTR) {
    }
    F->thread.join();
}
