// The elevation backup: a copy of the launcher in the product's shared temporary folder, which
// the agent uses to elevate itself. Made once the agent has been started.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "util/file.h"
#include "util/run_context.h"
#include "util/text.h"
#include "util/utility.h"

std::wstring ElevationBackupName(const std::wstring& folder, uint32_t session, uint32_t high,
                                 uint32_t low) {
    return text::Format(L"%ls\\Vesk%02d%u%u%u%u.exe", folder.c_str(), static_cast<int>(session),
                        high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
}

namespace {

// The copy as the logged-on user: it can reach nothing that user could not write anyway. An
// error when there is no such user to act as.
int CopyAsUser(CFile& own, const std::wstring& target, CCopyProgress* progress) {
    CImpersonateUser asUser;
    if (!asUser.IsImpersonating()) return static_cast<int>(plat::kErrorNoToken);
    return CUtility::CopyOpenFile(own, target, progress);
}

// The file an elevated or system run may write its backup into as itself: opened inside the
// folder held, which is at the path built (no link above it), never through a link at its name,
// itself no link, with no other name (a hard link would make it some other file). A file of that
// name that belongs to another account than the logged-on user, the administrators or the system is
// never written into (its rights would stay that account's): it is deleted, and the caller makes
// the copy anew. Refused: one line says why, and the last error tells.
enum class Target { Open, Replaced, Refused };

Target OpenCheckedTarget(plat::Handle folder, const std::wstring& target, CFile& out) {
    plat::IFiles& fs = plat::files();
    auto refuse = [&](const wchar_t* why, uint32_t error) {
        CUtility::Log(tags::kExecuteCommand, L"backup for elevation refused, %ls %ls", why,
                      target.c_str());
        plat::kernel().SetLastError(error);
        return Target::Refused;
    };
    const std::wstring name = target.substr(target.rfind(L'\\') + 1);
    UniqueFile file(
        folder ? fs.CreateFileInFolder(folder, name,
                                       plat::kGenericWrite | plat::kDelete | plat::kReadControl,
                                       plat::kShareNone, plat::kOpenAlways)
               : 0);
    if (!file) return refuse(L"cannot open", plat::kernel().GetLastError());
    const bool existed = plat::kernel().GetLastError() == plat::kErrorAlreadyExists;
    plat::FileInformation info;
    if (!fs.GetFileInformation(file.Get(), info) || (info.attributes & plat::kAttrReparsePoint))
        return refuse(L"link at", plat::kErrorAccessDenied);
    if (info.numberOfLinks != 1) return refuse(L"another name for", plat::kErrorAccessDenied);
    plat::AccessList access;
    if (existed &&
        (!fs.GetFileAccess(file.Get(), access) ||
         (access.owner != CUtility::GetLoggedOnUserSid() &&
          access.owner != plat::kSidAdministrators && access.owner != plat::kSidSystem))) {
        if (fs.DeleteOpenFile(file.Get())) return Target::Replaced;
        return refuse(L"another account's file at", plat::kernel().GetLastError());
    }
    out.Attach(file.Release(), target);
    return Target::Open;
}

// An elevated or system run copies as the logged-on user first. Only when that fails does it
// copy as itself, into a file checked through its handle inside the folder it holds; another
// account's file there is replaced, by the user's copy where that now succeeds.
int ElevatedBackup(CFile& own, const std::wstring& folder, const std::wstring& target,
                   CCopyProgress* progress) {
    if (CopyAsUser(own, target, progress) == 0) return 0;
    const UniqueFile held =
        CUtility::OpenFolder(folder, plat::kFileTraverse | plat::kFileReadAttributes);
    if (held && !CUtility::FinalPathMatches(held.Get(), folder)) {
        CUtility::Log(tags::kExecuteCommand, L"backup for elevation refused, link above %ls",
                      target.c_str());
        return static_cast<int>(plat::kErrorAccessDenied);
    }
    CFile out;
    Target checked = OpenCheckedTarget(held.Get(), target, out);
    if (checked == Target::Replaced) {
        if (CopyAsUser(own, target, progress) == 0) return 0;
        checked = OpenCheckedTarget(held.Get(), target, out);
    }
    if (checked != Target::Open) return static_cast<int>(plat::kernel().GetLastError());
    const int result = CUtility::CopyOpenFileTo(own, out, progress);
    // A copy that could not be finished is worth nothing to the agent: it goes.
    if (result != 0) plat::files().DeleteOpenFile(out.GetHandle());
    return result;
}

}  // namespace

void CUnPackFileApp::MakeElevationBackup(bool& seen) {
    const std::wstring source = CUtility::GetModulePath();
    uint32_t high = 0, low = 0;  // a file without version information names the copy 0.0.0.0
    CUtility::GetModuleVersion(nullptr, &high, &low, 1);
    const std::wstring folder = CUtility::GetSharedTempFolder();
    const std::wstring target = ElevationBackupName(folder, Run().session, high, low);
    // Its bytes come from the file the run holds, never from whatever the launcher's path names
    // now. Between its pieces, the loading window goes as soon as the agent's window is there.
    struct WatchForAgent final : CCopyProgress {
        WatchForAgent(CUnPackFileApp& app, bool& seen) : app(app), seen(seen) {}
        void OnPiece() override { app.CloseLoadingWndForAgent(seen); }
        CUnPackFileApp& app;
        bool& seen;
    } watch(*this, seen);
    CFile& own = m_ownFile.File();
    const int result = !m_ownFile.Open() ? static_cast<int>(m_ownFile.OpenError().m_lOsError)
                       : Run().elevated  ? ElevatedBackup(own, folder, target, &watch)
                                         : CUtility::CopyOpenFileAsUser(own, target, &watch);
    CUtility::Log(tags::kExecuteCommand, L"backup for elevation %ls to %ls %d", source.c_str(),
                  target.c_str(), result);
}
