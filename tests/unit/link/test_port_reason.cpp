// The reason of a refused open names who may open the device; it advises joining the device's
// group only when that group may read and write it and is not root's.
#include "link/uPortReason.h"

#include <gtest/gtest.h>

TEST(PortPermission, AdviceFitsTheDevicesOwnerGroupAndMode) {
    const TUserAccess nobody{65534, {65534}, "nobody"};
    const struct {
        TDeviceAccess device;
        TUserAccess user;
        const char* sReason;
    } aCases[] = {
        {{0660, 0, "root", 20, "dialout"},
         nobody,
         "permission denied: the device belongs to the group 'dialout', which this user is not "
         "in; 'sudo usermod -aG dialout nobody' adds the user, then log in again"},
        {{0660, 0, "root", 20, ""},
         {1000, {1000}, ""},
         "permission denied: the device belongs to the group '20', which this user is not in; "
         "'sudo usermod -aG 20 $USER' adds the user, then log in again"},
        {{0600, 0, "root", 0, "root"},
         nobody,
         "permission denied: only its owner root may open it (mode 0600, group root)"},
        {{0600, 0, "root", 20, "dialout"},
         {1000, {1000, 20}, "ann"},
         "permission denied: only its owner root may open it (mode 0600, group dialout)"},
        {{0620, 0, "root", 5, "tty"},
         nobody,
         "permission denied: only its owner root may open it (mode 0620, group tty)"},
        {{0660, 0, "root", 0, "root"},
         nobody,
         "permission denied: only its owner root and the group root may open it (mode 0660)"},
        {{0060, 0, "root", 20, "dialout"},
         {0, {0}, "root"},
         "permission denied: the device belongs to the group 'dialout', which this user is not "
         "in; 'sudo usermod -aG dialout root' adds the user, then log in again"},
        {{0060, 0, "root", 0, "root"},
         nobody,
         "permission denied: only the group root may open it (mode 0060, owner root)"},
        {{0444, 0, "root", 20, "dialout"},
         nobody,
         "permission denied: nobody may open it for reading and writing (mode 0444, owner root, "
         "group dialout)"},
        // The bits let this user in: something else refused, nothing to advise.
        {{0660, 0, "root", 20, "dialout"},
         {1000, {1000, 20}, "ann"},
         "permission denied (mode 0660, owner root, group dialout)"},
        {{0600, 1000, "ann", 20, "dialout"},
         {1000, {1000}, "ann"},
         "permission denied (mode 0600, owner ann, group dialout)"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(PermissionReasonOf(c.device, c.user), c.sReason) << c.sReason;
}
