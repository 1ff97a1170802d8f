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

// The interpreter by its full path, never by bare name: a bare "cmd.exe" is looked up through
// the search path, which starts with the current directory, the user-writable work folder. A
// 32-bit launcher on 64-bit Windows Vista or later takes the 64-bit interpreter through the
// "sysnative" folder.
std::wstring InterpreterPath() {
    std::wstring folder;
    if (!CUtility::IsPreVista() && CUtility::IsWow64()) {
        plat::files().GetSystemWindowsDirectory(folder);
        return text::Format(L"%ls\\sysnative\\cmd.exe", folder.c_str());
    }
    plat::files().GetSystemDirectory(folder);
    return text::Format(L"%ls\\cmd.exe", folder.c_str());
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

// A copy of the launcher in the shared temporary folder, for the agent's elevation. Its bytes
// come from the file the run holds, never from whatever the launcher's path names now.
void MakeElevationBackup(COwnFile& own) {
    const std::wstring source = CUtility::GetModulePath();
    uint32_t high = 0, low = 0;  // a file without version information names the copy 0.0.0.0
    CUtility::GetModuleVersion(nullptr, &high, &low, 1);
    const uint32_t session = CUtility::GetOwnSessionId();
    const std::wstring target =
        ElevationBackupName(CUtility::GetSharedTempFolder(), session, high, low);
    const int result = own.Open() ? CUtility::CopyOpenFileAsUser(own.File(), target)
                                  : static_cast<int>(own.OpenError().m_lOsError);
    CUtility::Log(L"[%ls] backup for elevation %ls to %ls %d", L"CUnPackFileApp::ExecuteCommand",
                  source.c_str(), target.c_str(), result);
}

}  // namespace

uint32_t CUnPackFileApp::ExecuteCommand(const std::wstring& workFolder,
                                        const std::wstring& parameters, bool agentStart) {
    const wchar_t* const tag = L"CUnPackFileApp::ExecuteCommand";
    plat::IKernel& k = plat::kernel();
    plat::files().SetCurrentDirectory(workFolder);

    plat::ShellExecInfo info;
    info.mask = plat::kSeeMaskNoCloseProcess | plat::kSeeMaskNoAsync | plat::kSeeMaskFlagNoUi;
    info.verb = L"open";
    info.file = InterpreterPath();
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

void CUnPackFileApp::ExpandCabinets(const std::wstring& workFolder) {
    // Every file of every cabinet in the work folder, into the work folder itself.
    ExecuteCommand(workFolder, L"/c expand *.cab /f:* .\\", false);
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
