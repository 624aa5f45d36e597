#include "link/uPortReason.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr unsigned OwnerReadWrite = 0600;
constexpr unsigned GroupReadWrite = 0060;
constexpr unsigned OtherReadWrite = 0006;

std::string Octal(unsigned iMode) {
    char b[16];
    std::snprintf(b, sizeof b, "%04o", iMode & 07777);
    return b;
}

std::string NameOr(const std::string& sName, unsigned iId) {
    return sName.empty() ? std::to_string(iId) : sName;
}

} // namespace

std::string PermissionReasonOf(const TDeviceAccess& device, const TUserAccess& user) {
    const std::string sReason = PortReason::Permission;
    const std::string sOwner = NameOr(device.sOwner, device.iOwner);
    const std::string sGroup = NameOr(device.sGroup, device.iGroup);
    const std::string sMode = Octal(device.iMode);
    const bool bOwnerMay = (device.iMode & OwnerReadWrite) == OwnerReadWrite;
    const bool bGroupMay = (device.iMode & GroupReadWrite) == GroupReadWrite;
    const bool bInGroup =
        std::find(user.aGroups.begin(), user.aGroups.end(), device.iGroup) != user.aGroups.end();
    // The permission bits would let this user in: something else refuses (an ACL, a security
    // module); nothing to advise from here.
    if ((device.iMode & OtherReadWrite) == OtherReadWrite || (bGroupMay && bInGroup) ||
        (bOwnerMay && user.iUid == device.iOwner))
        return sReason + " (mode " + sMode + ", owner " + sOwner + ", group " + sGroup + ")";
    // The usual serial device: its group (dialout) may use it. Root's group is no group to join.
    if (bGroupMay && device.iGroup != 0) {
        const std::string sUser = user.sUser.empty() ? "$USER" : user.sUser;
        return sReason + ": the device belongs to the group '" + sGroup +
               "', which this user is not in; 'sudo usermod -aG " + sGroup + " " + sUser +
               "' adds the user, then log in again";
    }
    if (bOwnerMay && bGroupMay)
        return sReason + ": only its owner " + sOwner + " and the group " + sGroup +
               " may open it (mode " + sMode + ")";
    if (bOwnerMay)
        return sReason + ": only its owner " + sOwner + " may open it (mode " + sMode + ", group " +
               sGroup + ")";
    if (bGroupMay)
        return sReason + ": only the group " + sGroup + " may open it (mode " + sMode + ", owner " +
               sOwner + ")";
    return sReason + ": nobody may open it for reading and writing (mode " + sMode + ", owner " +
           sOwner + ", group " + sGroup + ")";
}
