// The elevation decision at the start of a run, the token pre-scan of the command line, and the
// prompt that leads a user with a token switch to the elevated relaunch.
#include "app/app.h"
#include "platform/platform.h"
#include "res/strings.h"
#include "util/log.h"
#include "util/paths.h"
#include "util/process.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/text.h"

namespace {

constexpr uint32_t kPromptStyle = plat::kMbOkCancel | plat::kMbIconExclamation |
                                  plat::kMbSystemModal | plat::kMbSetForeground | plat::kMbTopmost;

// "T" once every "/" and "-" is gone, in any case: /T, -t, --t, t, /-T ...
bool IsTokenSwitchLike(const std::wstring& argument) {
    std::wstring rest;
    for (wchar_t c : argument)
        if (c != L'/' && c != L'-') rest.push_back(c);
    return text::EqualsNoCase(rest, L"T");
}

}  // namespace

bool CUnPackFileApp::DecideElevation(bool& systemLaunch) {
    systemLaunch = false;
    if (!Run().administrator || Run().IsPreVista() || HasCodeSignSettings()) return true;
    if (Run().tokenElevated) {
        // A fail-safe boot keeps the agent with the user.
        if (plat::kernel().GetSystemMetrics(plat::kSmCleanBoot) == 0) systemLaunch = true;
        return true;
    }
    // An administrator without an elevated token: the elevated copy does the job. If it cannot
    // be started (the user declined the consent prompt), this run goes on as a standard launch.
    plat::ShellExecInfo info;
    info.mask = plat::kSeeMaskNoAsync;
    info.verb = L"runas";
    info.file = Run().modulePath;
    info.parameters = plat::kernel().GetCommandLine();
    info.show = plat::kSwShowNormal;
    return !plat::kernel().ShellExecuteEx(info);
}

bool CUnPackFileApp::PreScanToken(bool systemLaunch, bool& tokenSwitchMark) {
    for (const std::wstring& argument : m_args) {
        if (!IsTokenSwitchLike(argument)) continue;
        if (systemLaunch) {
            // Only effect: an agent window found while the lock is held no longer ends the run.
            tokenSwitchMark = true;
            continue;
        }
        if (Run().IsPreVista()) continue;
        ShowElevationPrompt();
        return false;
    }
    return true;
}

void CUnPackFileApp::ShowElevationPrompt() {
    plat::IKernel& k = plat::kernel();
    const std::wstring caption = k.LoadString(IDS_ELEVATION_CAPTION);
    const std::wstring message = text::Format(
        L"%ls\n%ls\n%ls", k.LoadString(IDS_ELEVATION_LINE1).c_str(),
        k.LoadString(IDS_ELEVATION_LINE2).c_str(), k.LoadString(IDS_ELEVATION_LINE3).c_str());
    if (plat::user().MessageBox(message, caption, kPromptStyle) != plat::kIdOk) {
        logging::Log(tags::kShowElevationPrompt, L"VESK ElevationLimited cancel");
        return;
    }
    // Reopen the launcher with its whole command line. The path is quoted: unquoted, a path with
    // a blank ("C:\Users\Ann Lee\...") would be split and could start "C:\Users\Ann.exe".
    const std::wstring path = Run().modulePath;
    std::wstring folder = path;
    paths::StripComponents(folder, 1);
    const std::wstring commandLine =
        text::Format(L"\"%ls\" %ls", path.c_str(), k.GetCommandLine().c_str());
    plat::ProcessInfo pi;
    if (proc::StartProcess(commandLine, pi, folder, plat::kSwShowNormal)) {
        const UniqueHandle process(pi.hProcess), thread(pi.hThread);  // not used further
        logging::Log(tags::kShowElevationPrompt, L"VESK ElevationLimited reopen ");
    } else {
        logging::Log(tags::kShowElevationPrompt, L"VESK ElevationLimited reopen failed %d",
                     static_cast<int>(k.GetLastError()));
    }
}
