// Why a port cannot be opened or used, in the system's terms: the reasons callers may tell apart,
// the platform's reasons for a failed open and for a failed call on an open port, and why a user
// may not open a serial device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The reasons of a failed open that callers may want to add advice to; others are the system's
// own words.
namespace PortReason {
constexpr const char* NoDevice = "no such device";
constexpr const char* InUse = "in use by another program";
constexpr const char* Permission = "permission denied";
constexpr const char* NotSerial = "not a serial device";
// An open port whose device went away: a USB serial converter unplugged, its driver gone.
constexpr const char* Disconnected = "the device was disconnected";
} // namespace PortReason

// The reason for a failed open of sPort, from the system's error code (errno; GetLastError on
// Windows): no such device, in use and by whom, permission and what would help, not a serial
// device, or the system's own words.
std::string OpenErrorReason(std::uint32_t iError, const std::string& sPort);

// The other programs that hold the device of sPort open, as "name (pid N)" separated by ", ";
// empty when none is seen or the system does not tell.
std::string PortHolders(const std::string& sPort);

// The reason of a failed read, write or query of an open port, from the system's error code: a
// device that went away says so.
std::string IoErrorReason(std::uint32_t iError);

// Why a user may not open a serial device, from its owner, group and mode (POSIX permissions), and
// what would let them: joining the device's group is advised only when that group may read and
// write it and is not root's.

struct TDeviceAccess {
    unsigned iMode = 0; // the permission bits (0660)
    unsigned iOwner = 0;
    std::string sOwner; // the owner's name, or empty when unknown
    unsigned iGroup = 0;
    std::string sGroup; // the group's name, or empty when unknown
};

struct TUserAccess {
    unsigned iUid = 0;
    std::vector<unsigned> aGroups; // the effective group and the supplementary ones
    std::string sUser;             // the user's name, or empty when unknown
};

// The reason of a refused open: "permission denied", and who may open the device or how this user
// could.
std::string PermissionReasonOf(const TDeviceAccess& device, const TUserAccess& user);
