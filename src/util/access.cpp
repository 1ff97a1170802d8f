// Access lists of the places an elevated or system run works in: its work folder below the
// user's temp folder and the product's folders under the common application-data folder. Such
// a run starts programs from these places and leaves a copy of itself there, so nothing that a
// standard user (or the logged-on user's own unelevated programs) can change may end up there.
#include "platform/platform.h"
#include "util/run_context.h"
#include "util/utility.h"

namespace {

constexpr uint32_t kInheritBoth = plat::kObjectInherit | plat::kContainerInherit;
constexpr uint32_t kErrorInvalidOwner = 1307;

bool IsTrusted(const std::wstring& sid) {
    return sid == plat::kSidSystem || sid == plat::kSidAdministrators;
}

// Administrators and the system account in full control of the folder and all below it; the
// entry `reader` may read and run what is there; nothing is inherited from above.
plat::AccessList AdminOnly(const std::wstring& reader) {
    plat::AccessList access;
    access.isProtected = true;
    access.entries.push_back({plat::kSidSystem, plat::kFileAllAccess, kInheritBoth, true});
    access.entries.push_back({plat::kSidAdministrators, plat::kFileAllAccess, kInheritBoth, true});
    if (!reader.empty())
        access.entries.push_back({reader, plat::kFileGenericReadExecute, kInheritBoth, true});
    return access;
}

}  // namespace

std::wstring CUtility::GetLoggedOnUserSid() {
    UniqueHandle token;
    std::wstring sid;
    if (!GetSessionUserToken(token.Receive(), plat::kAnySession) ||
        !plat::kernel().GetTokenUserSid(token.Get(), sid))
        sid.clear();
    return sid;
}

plat::AccessList CUtility::WorkFolderAccess(const std::wstring& userSid) {
    // The logged-on user may look into the folder but not add, replace or remove anything:
    // the elevated launcher and the agent it starts as the system account do all the writing.
    plat::AccessList access = AdminOnly(userSid);
    access.owner = plat::kSidAdministrators;  // an owner may always rewrite the list
    return access;
}

plat::AccessList CUtility::SharedFolderAccess() {
    // Every user may read and run the elevation backup (the agent does, as the user); only
    // administrators and the system account write it: the copy made as the logged-on user is
    // refused there, and the launcher's own copy follows once the folder has been checked.
    plat::AccessList access = AdminOnly(plat::kSidUsers);
    access.owner = plat::kSidAdministrators;
    return access;
}

bool CUtility::IsAdminOnly(const plat::AccessList& access) {
    if (!IsTrusted(access.owner) || !access.present || !access.isProtected) return false;
    for (const plat::AccessEntry& entry : access.entries)
        if (entry.allow && (entry.mask & plat::kFileChangeRights) && !IsTrusted(entry.sid))
            return false;
    return true;
}

const wchar_t* CUtility::AdminOnlyFault(const std::wstring& path) {
    plat::IFiles& fs = plat::files();
    const uint32_t attributes = fs.GetFileAttributes(path);
    if (attributes != plat::kInvalidFileAttributes && (attributes & plat::kAttrReparsePoint))
        return L"link";
    plat::AccessList access;
    if (!fs.GetFileAccess(path, access) || !IsAdminOnly(access)) return L"unsafe access list";
    return nullptr;
}

bool CUtility::CreateDirectoryWithAccess(const std::wstring& path, plat::AccessList access) {
    plat::IFiles& fs = plat::files();
    if (fs.CreateDirectoryWithAccess(path, access)) return true;
    if (access.owner.empty() || plat::kernel().GetLastError() != kErrorInvalidOwner) return false;
    // The folder is still made, with the creator's default owner, but not as asked: false,
    // so that the caller reads back what it got before relying on it.
    access.owner.clear();
    fs.CreateDirectoryWithAccess(path, access);
    plat::kernel().SetLastError(kErrorInvalidOwner);
    return false;
}

int CUtility::CopyFileForRun(const std::wstring& source, const std::wstring& target) {
    if (!Run().elevated) return CopyFileAsUser(source, target);
    return plat::files().SHFileOperation(plat::kFoCopy, source, target,
                                         plat::kFofSilent | plat::kFofNoConfirmation);
}
