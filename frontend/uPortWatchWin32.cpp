#include "frontend/uPortWatch.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

// The rescan period while the registry does not tell of changes.
constexpr std::chrono::milliseconds FallbackRescan = std::chrono::seconds(1);

} // namespace

struct TPortWatch::TImpl {
    TImpl(TCallback onChange, std::chrono::milliseconds rescan, std::atomic<bool>& bNotifies)
        : onChange(std::move(onChange)), rescan(rescan), bNotifies(bNotifies) {}
    ~TImpl() {
        CloseKey();
        if (hChange)
            ::CloseHandle(hChange);
        if (hStop)
            ::CloseHandle(hStop);
    }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;

    void CloseKey() {
        if (hKey)
            ::RegCloseKey(hKey);
        hKey = nullptr;
    }

    // Asks for the next change of the port key's values (opening the key when needed); false
    // when the key is not there (no port has been seen since the system started) or refuses.
    // A notification lasts only as long as the thread that asked for it: only Run calls this.
    bool Arm() {
        if (!hKey && ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                     KEY_NOTIFY, &hKey) != ERROR_SUCCESS) {
            hKey = nullptr;
            return false;
        }
        if (::RegNotifyChangeKeyValue(hKey, FALSE,
                                      REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, hChange,
                                      TRUE) != ERROR_SUCCESS) {
            CloseKey(); // deleted: opened anew at a later rescan
            return false;
        }
        return true;
    }

    void Run() {
        std::optional<std::vector<std::string>> aLast;
        // Asked before the first listing, so that no change between the two is missed.
        bool bArmed = Arm();
        TClock::time_point tNext{};
        bool bRescan = true;
        for (;;) {
            if (bRescan) {
                bNotifies = bArmed;
                std::vector<std::string> aPorts;
                ListComPorts(aPorts);
                if (!aLast || aPorts != *aLast) {
                    onChange(aPorts);
                    aLast = std::move(aPorts);
                }
                tNext = TClock::now() + (bArmed ? rescan : FallbackRescan);
                bRescan = false;
            }
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(tNext - TClock::now()).count();
            const HANDLE aHandles[2] = {hStop, hChange};
            const DWORD r = ::WaitForMultipleObjects(
                2, aHandles, FALSE, static_cast<DWORD>(std::clamp<long long>(wait, 0, 1 << 30)));
            if (r == WAIT_OBJECT_0)
                return;
            if (r == WAIT_OBJECT_0 + 1) {
                bArmed = Arm(); // each notification is for one change only
                bRescan = true;
            } else if (r == WAIT_FAILED &&
                       ::WaitForSingleObject(hStop, static_cast<DWORD>(FallbackRescan.count())) ==
                           WAIT_OBJECT_0) {
                return;
            }
            if (TClock::now() >= tNext) {
                if (!bArmed)
                    bArmed = Arm();
                bRescan = true;
            }
        }
    }

    TCallback onChange;
    const std::chrono::milliseconds rescan;
    std::atomic<bool>& bNotifies;
    HANDLE hStop = nullptr;   // set by the destructor
    HANDLE hChange = nullptr; // set by the registry when the port key changes
    HKEY hKey = nullptr;      // the port key, while it is open
    std::thread thread;
};

TPortWatch::TPortWatch(TCallback onChange, std::string, std::chrono::milliseconds rescan)
    : F(std::make_unique<TImpl>(std::move(onChange), rescan, FbNotifies)) {
    F->hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    F->hChange = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!F->hStop || !F->hChange)
        throw std::runtime_error("Cannot watch the ports: no event (error " +
                                 std::to_string(::GetLastError()) + ")");
    F->thread = std::thread([p = F.get()] { p->Run(); });
}

TPortWatch::~TPortWatch() {
    ::SetEvent(F->hStop);
    F->thread.join();
}
