// The access list of an elevated or system run's work folder below the user's temp folder. Such
// a run starts programs from there, so nothing that a standard user (or the logged-on user's own
// unelevated programs) can add or change may end up there.
#include "util/acl.h"

#include "platform/platform.h"

namespace {

constexpr uint32_t kInheritBoth = plat::kObjectInherit | plat::kContainerInherit;

bool IsTrusted(const std::wstring& sid) {
    return sid == plat::kSidSystem || sid == plat::kSidAdministrators;
}

}  // namespace

namespace acl {

plat::AccessList WorkFolderAccess(const std::wstring& userSid) {
    // The logged-on user may look into the folder and delete what it holds (so that a later
    // run of the user's own can clear what an elevated run left), but not add, replace or
    // change anything: the elevated launcher and the agent it starts as the system account do
    // all the writing.
    plat::AccessList access;
    access.owner = plat::kSidAdministrators;  // an owner may always rewrite the list
    access.isProtected = true;
    access.entries.push_back({plat::kSidSystem, plat::kFileAllAccess, kInheritBoth, true});
    access.entries.push_back({plat::kSidAdministrators, plat::kFileAllAccess, kInheritBoth, true});
    if (!userSid.empty())
        access.entries.push_back(
            {userSid, plat::kFileGenericReadExecute | plat::kDelete, kInheritBoth, true});
    return access;
}

bool IsAdminOnly(const plat::AccessList& access) {
    if (!IsTrusted(access.owner) || !access.present || !access.isProtected) return false;
    for (const plat::AccessEntry& entry : access.entries)
        if (entry.allow && (entry.mask & plat::kFileChangeRights) && !IsTrusted(entry.sid))
            return false;
    return true;
}

}  // namespace acl
