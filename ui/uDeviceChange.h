// The window's notice of port devices that come and go (its device-change hook), reduced to the
// decision whether the present serial ports have changed. The workshop station watches the ports
// with its own watcher (frontend/uPortWatch.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
// A WM_DEVICECHANGE message: true for the arrival (0x8000) or removal (0x8004) of a device
// whose broadcast header names a port (device type 3). The header is read only for those two.
bool IsPortChange(std::uintptr_t wParam, std::intptr_t lParam);
#else
// A change in the device directory: true when the listed ports differ from those shown.
bool IsPortChange(const std::vector<std::string>& aShown, const std::vector<std::string>& aPresent);
#endif
