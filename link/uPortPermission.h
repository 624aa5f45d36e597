// Why a user may not open a serial device, from its owner, group and mode (POSIX permissions), and
// what would let them: joining the device's group is advised only when that group may read and
// write it and is not root's.
#pragma once

#include <string>
#include <vector>

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
