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

// An elevated or system run writes its backup only into a folder that it has checked: the
// folder and the one above it are real folders that only administrators and the system account
// can change (so nobody else can swap them or plant a file or link in them meanwhile), and a
// backup already there is no link and belongs to one of those two. Otherwise one line says why,
// and the launch goes on without the backup.
bool BackupTargetChecked(const std::wstring& folder, int madeSecured, const std::wstring& target) {
    std::wstring parent = folder;
    CUtility::StripPathComponents(parent, 1);
    // Levels this run has just made with the list need no reading back.
    const std::wstring levels[] = {parent, folder};
    for (int i = 0; i < 2 - madeSecured; ++i) {
        const std::wstring& level = levels[i];
        if (const wchar_t* fault = CUtility::AdminOnlyFault(level)) {
            CUtility::Log(tags::kExecuteCommand, L"backup for elevation refused, %ls at %ls", fault,
                          level.c_str());
            return false;
        }
    }
    const uint32_t attributes = plat::files().GetFileAttributes(target);
    if (attributes == plat::kInvalidFileAttributes) return true;
    plat::AccessList access;
    if (attributes & plat::kAttrReparsePoint) {
        CUtility::Log(tags::kExecuteCommand, L"backup for elevation refused, link at %ls",
                      target.c_str());
        return false;
    }
    if (!plat::files().GetFileAccess(target, access) ||
        (access.owner != plat::kSidAdministrators && access.owner != plat::kSidSystem)) {
        CUtility::Log(tags::kExecuteCommand,
                      L"backup for elevation refused, %ls is owned by another account",
                      target.c_str());
        return false;
    }
    return true;
}

}  // namespace

void CUnPackFileApp::MakeElevationBackup(bool& seen) {
    const std::wstring source = CUtility::GetModulePath();
    uint32_t high = 0, low = 0;  // a file without version information names the copy 0.0.0.0
    CUtility::GetModuleVersion(nullptr, &high, &low, 1);
    int madeSecured = 0;
    const std::wstring folder = CUtility::GetSharedTempFolder(&madeSecured);
    const std::wstring target = ElevationBackupName(folder, Run().session, high, low);
    const bool elevated = Run().elevated;
    if (elevated && !BackupTargetChecked(folder, madeSecured, target)) return;
    // Its bytes come from the file the run holds, never from whatever the launcher's path names
    // now. Between its pieces, the loading window goes as soon as the agent's window is there.
    // An elevated or system run's folder is closed to the user: the copy is made as the launcher
    // itself (see CopyFileForRun).
    struct WatchForAgent final : CCopyProgress {
        WatchForAgent(CUnPackFileApp& app, bool& seen) : app(app), seen(seen) {}
        void OnPiece() override { app.CloseLoadingWndForAgent(seen); }
        CUnPackFileApp& app;
        bool& seen;
    } watch(*this, seen);
    const int result = !m_ownFile.Open() ? static_cast<int>(m_ownFile.OpenError().m_lOsError)
                       : elevated        ? CUtility::CopyOpenFile(m_ownFile.File(), target, &watch)
                                  : CUtility::CopyOpenFileAsUser(m_ownFile.File(), target, &watch);
    CUtility::Log(tags::kExecuteCommand, L"backup for elevation %ls to %ls %d", source.c_str(),
                  target.c_str(), result);
}
