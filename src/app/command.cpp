// Running the launch's commands through the command interpreter, hidden, with the work folder as
// current directory; waiting for them (and for the agent) while the loading window keeps moving.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "ui/loading_wnd.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

constexpr uint32_t kCommandPollMs = 120;
constexpr uint32_t kProcessPollMs = 1000;

// The system folder of the interpreter, as this launcher reaches it (`fromLauncher`) or as the
// interpreter itself sees it. They differ for a 32-bit launcher on 64-bit Windows Vista or later,
// which takes the 64-bit interpreter through "sysnative" (a name only 32-bit programs have); that
// interpreter finds its programs in the real "system32".
std::wstring InterpreterFolder(bool fromLauncher) {
    std::wstring folder;
    if (!CUtility::IsPreVista() && CUtility::IsWow64()) {
        plat::files().GetSystemWindowsDirectory(folder);
        return folder + (fromLauncher ? L"\\sysnative" : L"\\system32");
    }
    plat::files().GetSystemDirectory(folder);
    return folder;
}

// Whether a process has ended, told by its handle: a process may itself exit with 259, which
// the exit-code poll cannot tell from a running one. Only a handle that cannot be waited on
// falls back to the exit code (and a process whose exit code cannot be read counts as ended,
// rather than holding the launcher forever).
bool HasEnded(plat::Handle process) {
    plat::IKernel& k = plat::kernel();
    const uint32_t wait = k.WaitForSingleObject(process, 0);
    if (wait == plat::kWaitObject0) return true;
    if (wait == plat::kWaitTimeout) return false;
    uint32_t code = 0;
    return !k.GetExitCodeProcess(process, &code) || code != plat::kStillActive;
}

}  // namespace

std::wstring ElevationBackupName(const std::wstring& folder, uint32_t session, uint32_t high,
                                 uint32_t low) {
    return text::Format(L"%ls\\Vesk%02d%u%u%u%u.exe", folder.c_str(), static_cast<int>(session),
                        high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
}

namespace {

constexpr const wchar_t* kExecuteTag = L"CUnPackFileApp::ExecuteCommand";

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
            CUtility::Log(L"[%ls] backup for elevation refused, %ls at %ls", kExecuteTag, fault,
                          level.c_str());
            return false;
        }
    }
    const uint32_t attributes = plat::files().GetFileAttributes(target);
    if (attributes == plat::kInvalidFileAttributes) return true;
    plat::AccessList access;
    if (attributes & plat::kAttrReparsePoint) {
        CUtility::Log(L"[%ls] backup for elevation refused, link at %ls", kExecuteTag,
                      target.c_str());
        return false;
    }
    if (!plat::files().GetFileAccess(target, access) ||
        (access.owner != plat::kSidAdministrators && access.owner != plat::kSidSystem)) {
        CUtility::Log(L"[%ls] backup for elevation refused, %ls is owned by another account",
                      kExecuteTag, target.c_str());
        return false;
    }
    return true;
}

// A copy of the launcher in the shared temporary folder, for the agent's elevation.
// Its bytes come from the file the run holds, never from whatever the launcher's path names now.
void MakeElevationBackup(COwnFile& own) {
    const std::wstring source = CUtility::GetModulePath();
    uint32_t high = 0, low = 0;  // a file without version information names the copy 0.0.0.0
    CUtility::GetModuleVersion(nullptr, &high, &low, 1);
    const uint32_t session = CUtility::GetOwnSessionId();
    int madeSecured = 0;
    const std::wstring folder = CUtility::GetSharedTempFolder(&madeSecured);
    const std::wstring target = ElevationBackupName(folder, session, high, low);
    const bool elevated = CUtility::IsElevatedRun();
    if (elevated && !BackupTargetChecked(folder, madeSecured, target)) return;
    // An elevated or system run's folder is closed to the user: the copy is made as the
    // launcher itself (see CopyFileForRun).
    const int result = !own.Open() ? static_cast<int>(own.OpenError().m_lOsError)
                       : elevated  ? CUtility::CopyOpenFile(own.File(), target)
                                   : CUtility::CopyOpenFileAsUser(own.File(), target);
    CUtility::Log(L"[%ls] backup for elevation %ls to %ls %d", kExecuteTag, source.c_str(),
                  target.c_str(), result);
}

}  // namespace

uint32_t CUnPackFileApp::ExecuteCommand(const std::wstring& workFolder,
                                        const std::wstring& parameters, bool agentStart) {
    const wchar_t* const tag = L"CUnPackFileApp::ExecuteCommand";
    plat::IKernel& k = plat::kernel();
    // An elevated run starts nothing in a folder reached through a link.
    if (CUtility::IsElevatedRun() && !CUtility::FolderFinalPathMatches(workFolder)) {
        CUtility::Log(L"[%ls] Command refused, %ls is reached through a link", tag,
                      workFolder.c_str());
        return plat::kErrorAccessDenied;
    }
    plat::files().SetCurrentDirectory(workFolder);

    plat::ShellExecInfo info;
    info.mask = plat::kSeeMaskNoCloseProcess | plat::kSeeMaskNoAsync | plat::kSeeMaskFlagNoUi;
    info.verb = L"open";
    // By full path, so that ShellExecuteEx does not search for a bare "cmd.exe", a search that
    // starts in the current directory, the work folder.
    info.file = InterpreterFolder(true) + L"\\cmd.exe";
    info.parameters = parameters;
    info.show = plat::kSwHide;
    if (!k.ShellExecuteEx(info) || !info.hProcess) {
        const uint32_t error = k.GetLastError();
        CUtility::Log(L"[%ls] fail %d", tag, static_cast<int>(error));
        return error;
    }
    const uint32_t pid = k.GetProcessId(info.hProcess);
    CUtility::Log(L"[%ls] succ wait pid:%d", tag, static_cast<int>(pid));

    if (agentStart) MakeElevationBackup(m_ownFile);

    bool seen = false;
    do {
        if (agentStart && !seen && AgentWindowExists()) {
            seen = true;
            CloseLoadingWnd(&m_pMainWnd);
        }
        SleepWithSpinner(kCommandPollMs);
    } while (!HasEnded(info.hProcess));

    uint32_t exitCode = 0;
    k.GetExitCodeProcess(info.hProcess, &exitCode);
    k.CloseHandle(info.hProcess);
    CUtility::Log(L"[%ls] pid:%d finish ecode:%d", tag, static_cast<int>(pid),
                  static_cast<int>(exitCode));
    return exitCode;
}

std::wstring SystemProgramCommand(const wchar_t* program, const std::wstring& arguments) {
    if (!CUtility::IsElevatedRun()) return text::Format(L"/c %ls %ls", program, arguments.c_str());
    // The interpreter looks for a bare name in its current directory, the work folder, first:
    // an elevated run names the system's own program by its full path. A path with a blank is
    // quoted, and the whole command once more, as the interpreter strips the outer pair.
    const std::wstring path = InterpreterFolder(false) + L"\\" + program + L".exe";
    if (path.find(L' ') == std::wstring::npos)
        return text::Format(L"/c %ls %ls", path.c_str(), arguments.c_str());
    return text::Format(L"/c \"\"%ls\" %ls\"", path.c_str(), arguments.c_str());
}

void CUnPackFileApp::ExpandCabinets(const std::wstring& workFolder) {
    // Every file of every cabinet in the work folder, into the work folder itself.
    ExecuteCommand(workFolder, SystemProgramCommand(L"expand", L"*.cab /f:* .\\"), false);
}

bool CUnPackFileApp::WaitProcessExit(const std::wstring& exeName, uint32_t session) {
    plat::IKernel& k = plat::kernel();
    std::vector<uint32_t> pids;
    CUtility::FindProcesses(exeName, pids, session);
    if (pids.empty()) return false;

    // Waiting on the handle needs SYNCHRONIZE; where that is not granted, the query right alone
    // still lets the exit code tell.
    plat::Handle process = k.OpenProcess(plat::kProcessQueryLimitedInformation | plat::kSynchronize,
                                         false, pids.front());
    if (!process) process = k.OpenProcess(plat::kProcessQueryLimitedInformation, false, pids.front());
    if (!process) {
        CUtility::Log(L"[%ls] failed to OpenProcess %d", L"CUnPackFileApp::WaitProcessExit",
                      static_cast<int>(k.GetLastError()));
        return false;
    }
    bool seen = false;
    do {
        if (!seen && AgentWindowExists()) {
            seen = true;
            CloseLoadingWnd(&m_pMainWnd);
        }
        SleepWithSpinner(kProcessPollMs);
    } while (!HasEnded(process));
    k.CloseHandle(process);
    return true;
}
