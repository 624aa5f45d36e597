// The reasons of the POSIX serial layer: errno, the other holders of a device found through
// /proc, and its permissions.
#include "link/uPortReason.h"

#include "link/uSystemTexts.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The other processes that hold the character device iDevice open, as "name (pid N)", found the
// way fuser does: through the descriptors under /proc. Processes whose descriptors this user may
// not see are not found.
std::string OtherHolders(dev_t iDevice) {
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return {};
    const std::string sSelf = std::to_string(getpid());
    std::string sHolders;
    while (const dirent* p = readdir(proc.get())) {
        const std::string sPid = p->d_name;
        if (sPid.find_first_not_of("0123456789") != std::string::npos || sPid == sSelf)
            continue;
        const std::string sFds = "/proc/" + sPid + "/fd";
        const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(sFds.c_str()), closedir);
        if (!fds)
            continue;
        bool bHolds = false;
        while (const dirent* f = readdir(fds.get())) {
            struct stat target {};
            if (f->d_name[0] != '.' && stat((sFds + "/" + f->d_name).c_str(), &target) == 0 &&
                S_ISCHR(target.st_mode) && target.st_rdev == iDevice) {
                bHolds = true;
                break;
            }
        }
        if (!bHolds)
            continue;
        std::string sName;
        std::getline(std::ifstream("/proc/" + sPid + "/comm"), sName);
        sHolders +=
            (sHolders.empty() ? "" : ", ") + (sName.empty() ? "?" : sName) + " (pid " + sPid + ")";
    }
    return sHolders;
}

// "in use by another program", with the programs where they can be seen.
std::string InUseReason(const std::string& sPort) {
    const std::string sHolders = PortHolders(sPort);
    return PortReason::InUse + (sHolders.empty() ? std::string() : ": " + sHolders);
}

// Permission denied: who may open the device, and whether joining its group would help.
std::string PermissionReason(const std::string& sPort) {
    struct stat device {};
    if (stat(sPort.c_str(), &device) != 0)
        return PortReason::Permission;
    TDeviceAccess access;
    access.iMode = device.st_mode & 07777;
    access.iOwner = device.st_uid;
    access.iGroup = device.st_gid;
    TUserAccess user;
    user.iUid = geteuid();
    std::vector<gid_t> aGroups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    aGroups.resize(static_cast<std::size_t>(
        std::max(getgroups(static_cast<int>(aGroups.size()), aGroups.data()), 0)));
    user.aGroups.assign(aGroups.begin(), aGroups.end());
    user.aGroups.push_back(getegid());
    // The reentrant lookups: ports are opened on worker threads.
    std::vector<char> aBuffer(16384);
    group grp{};
    group* pGroup = nullptr;
    if (getgrgid_r(device.st_gid, &grp, aBuffer.data(), aBuffer.size(), &pGroup) == 0 && pGroup)
        access.sGroup = pGroup->gr_name;
    passwd pwd{};
    passwd* pUser = nullptr;
    if (getpwuid_r(device.st_uid, &pwd, aBuffer.data(), aBuffer.size(), &pUser) == 0 && pUser)
        access.sOwner = pUser->pw_name;
    if (getpwuid_r(geteuid(), &pwd, aBuffer.data(), aBuffer.size(), &pUser) == 0 && pUser)
        user.sUser = pUser->pw_name;
    return PermissionReasonOf(access, user);
}

} // namespace

std::string PortHolders(const std::string& sPort) {
    struct stat device {};
    return stat(sPort.c_str(), &device) == 0 && S_ISCHR(device.st_mode)
               ? OtherHolders(device.st_rdev)
               : std::string();
}

std::string OpenErrorReason(std::uint32_t iCode, const std::string& sPort) {
    const int iError = static_cast<int>(iCode);
    switch (iError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENAMETOOLONG:
        return PortReason::NoDevice;
    case EBUSY:
        return InUseReason(sPort);
    case EACCES:
    case EPERM:
        return PermissionReason(sPort);
    case EISDIR:
    case ENOTDIR:
        return PortReason::NotSerial;
    default:
        return ErrorText(iError);
    }
}

std::string IoErrorReason(std::uint32_t iCode) {
    const int iError = static_cast<int>(iCode);
    const std::string sText = ErrorText(iError);
    switch (iError) {
    case EIO:
    case ENXIO:
    case ENODEV:
        return std::string(PortReason::Disconnected) + " (" + sText + ")";
    default:
        return sText + " (errno " + std::to_string(iError) + ")";
    }
}
