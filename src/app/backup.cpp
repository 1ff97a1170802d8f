// The elevation backup: a copy of the launcher in the product's shared temporary folder, which
// the agent uses to elevate itself. Made once the agent has been started.
#include <optional>

#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "util/file.h"
#include "util/held_folder.h"
#include "util/log.h"
#include "util/paths.h"
#include "util/run_context.h"
#include "util/text.h"

std::wstring ElevationBackupName(const std::wstring& folder, uint32_t session, uint32_t high,
                                 uint32_t low) {
    return text::Format(L"%ls\\Vesk%02d%u%u%u%u.exe", folder.c_str(), static_cast<int>(session),
                        high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
}

namespace {

// The product's shared temporary folder, held: the common application-data folder, then
// "Quintrova" and "Temp", each made where missing (with the rights it inherits there: every user
// may add a backup, and keeps the rights to the copies it made) and reached through the level
// above it, never through a link (one there is removed as a link, or the folder refused). Where
// the common application-data folder cannot be told, the Windows folder's "Temp", not made.
bool HoldBackupFolder(CHeldFolder& out, std::wstring& path) {
    plat::IFiles& fs = plat::files();
    std::wstring base;
    if (fs.SHGetFolderPath(plat::kCsidlCommonAppData, plat::kShgfpTypeCurrent, base) < 0) {
        fs.GetWindowsDirectory(base);
        path = paths::Append(base, L"Temp");
        return out.Open(path);
    }
    path = paths::Append(paths::Append(base, L"Quintrova"), L"Temp");
    CHeldFolder data, product;
    return data.Open(base) && data.MakeFolder(L"Quintrova", nullptr, product) &&
           product.MakeFolder(L"Temp", nullptr, out);
}

bool IsTrustedOwner(const std::wstring& owner) {
    return !owner.empty() && (owner == Run().userSid || owner == plat::kSidAdministrators ||
                              owner == plat::kSidSystem);
}

// One line that says why the backup is not made; false, with `error` as the last error.
bool Refused(const wchar_t* why, const std::wstring& target, uint32_t error,
             const std::wstring& owner = std::wstring()) {
    if (owner.empty())
        logging::Log(tags::kMakeElevationBackup, L"backup for elevation refused, %ls %ls", why,
                     target.c_str());
    else
        logging::Log(tags::kMakeElevationBackup, L"backup for elevation refused, %ls %ls (%ls)",
                     why, target.c_str(), owner.c_str());
    return plat::Fail(error);
}

// The copy into the held folder. What is at the name is written into only when it is a plain
// file of one name that the logged-on user, the administrators or the system own (so it stays
// theirs: an administrator at the desk in another account rewrites the user's own copy in place);
// anything else there (another account's file, a link, a second name of some other file) goes
// first, deleted as the run itself, and the copy is made anew (create-new: nothing can be slipped
// in meanwhile). Where it cannot go, nothing is written and one line says why.
//
// Written as the logged-on user where the run may act as that user (an elevated run: it can then
// reach nothing that user could not), else as the run itself. An elevated run's own new copy gives
// the logged-on user full control of it, so that the user's later unelevated runs can refresh it.
// False, with the last error, when no copy could be made.
bool MakeBackup(CFile& own, const CHeldFolder& folder, const std::wstring& name,
                CCopyProgress* progress) {
    const std::wstring target = folder.Join(name);
    std::wstring owner;
    bool inPlace = folder.OwnerOf(name, owner);
    const uint32_t found = plat::kernel().GetLastError();
    inPlace = inPlace && IsTrustedOwner(owner);
    plat::FindData entry;
    if (!inPlace && found != plat::kErrorFileNotFound && folder.Find(name, entry) &&
        !folder.Delete(entry, false)) {
        const uint32_t error = plat::kernel().GetLastError();
        if (found == kErrorLinkRefused) return Refused(L"link at", target, error);
        if (found == kErrorOtherName) return Refused(L"another name for", target, error);
        return Refused(L"another account's file at", target, error,
                       owner.empty() ? L"owner unknown" : owner);
    }

    const bool elevated = Run().elevated;
    plat::AccessList forUser;  // an elevated run's own copy: the logged-on user may refresh it
    if (elevated && !Run().userSid.empty())
        forUser.entries.push_back({Run().userSid, plat::kFileAllAccess, 0, true});
    auto copy = [&](bool asUser) {
        std::optional<CImpersonateUser> impersonation;
        if (asUser && !impersonation.emplace().IsImpersonating())
            return plat::Fail(plat::kErrorNoToken);
        UniqueFile file =
            folder.OpenFile(name, plat::kGenericWrite | plat::kDelete, plat::kShareNone,
                            inPlace ? plat::kOpenExisting : plat::kCreateNew,
                            !asUser && elevated && !forUser.entries.empty() ? &forUser : nullptr);
        if (!file) return false;
        CFile out;
        out.Attach(file.Release(), target);
        if (CopyOpenFile(own, out, progress)) return true;
        // A copy that could not be finished is worth nothing to the agent: it goes.
        const uint32_t error = plat::kernel().GetLastError();
        if (out.Delete()) inPlace = false;
        return plat::Fail(error);
    };
    return (elevated && copy(true)) || copy(false);
}

}  // namespace

void CUnPackFileApp::MakeElevationBackup(CAgentWatch& watch) {
    const std::wstring source = Run().modulePath;
    uint32_t high = 0, low = 0;  // a file without version information names the copy 0.0.0.0
    paths::VersionOf(Run().modulePath, nullptr, &high, &low, 1);
    CHeldFolder folder;
    std::wstring folderPath;
    const bool held = HoldBackupFolder(folder, folderPath);
    const uint32_t holdError = plat::kernel().GetLastError();
    const std::wstring target = ElevationBackupName(folderPath, Run().session, high, low);
    const std::wstring name = target.substr(target.rfind(L'\\') + 1);
    // Its bytes come from the file the run holds, never from whatever the launcher's path names
    // now. Between its pieces, the loading window goes as soon as the agent's window is there.
    struct LookBetweenPieces final : CCopyProgress {
        explicit LookBetweenPieces(CAgentWatch& watch) : watch(watch) {}
        void OnPiece() override { watch.Look(); }
        CAgentWatch& watch;
    } look(watch);
    CFile& own = m_ownFile.File();
    const bool made =
        m_ownFile.Open() &&
        (held ? MakeBackup(own, folder, name, &look)
              : Refused(holdError == kErrorLinkRefused ? L"link above" : L"cannot open", target,
                        holdError));
    const int result = made ? 0 : static_cast<int>(plat::kernel().GetLastError());
    logging::Log(tags::kMakeElevationBackup, L"backup for elevation %ls to %ls %d", source.c_str(),
                 target.c_str(), result);
}
