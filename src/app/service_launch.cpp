// The system launch: the agent started as the local system account through a one-shot scheduled
// task, then awaited through its manager process or, failing that, its window.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "ui/loading_wnd.h"
#include "unpack/work_folder.h"
#include "util/run_context.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

constexpr int kManagerAttempts = 10;
constexpr uint32_t kManagerRetryPauseMs = 500;
constexpr int kWindowAttempts = 15;
constexpr uint32_t kWindowPollMs = 1000;
constexpr uint32_t kWindowClosedPollMs = 2000;
constexpr uint32_t kFinalPauseMs = 5000;

}  // namespace

void CUnPackFileApp::RunAsService(const CWorkFolder& work) {
    // The session the agent must come up in; -1 when it cannot be told.
    const int session = static_cast<int>(Run().session);
    const std::wstring token = m_strToken;

    // The work folder goes into the task's action, in single quotes inside double quotes, and
    // through the interpreter, which expands "%": a path holding any of these three would
    // change the program the system account runs. No system launch then; the run cleans up.
    if (work.Path().find_first_of(L"'\"%") != std::wstring::npos) {
        CUtility::Log(tags::kRunAsService,
                      L"System launch refused, the work folder %ls holds ' \" or %%",
                      work.Path().c_str());
        return;
    }

    // "IsSystemUser" tells the agent that it runs as the system account, for exactly as long as
    // this launch lasts.
    CRegistry registry;
    if (registry.SetRootKey(plat::kHkeyCurrentUser, true) &&
        registry.OpenKey(L"UNIVERSAL_PATH_CONVERT", true))
        registry.SetDWORDValue(L"IsSystemUser", 1);

    auto schtasks = [&](const std::wstring& arguments) {
        return ExecuteCommand(work, SystemProgramCommand(L"schtasks", arguments), false);
    };
    const std::wstring deleteTask = text::Format(L"/delete /f /tn AVESK%d", session);
    const uint32_t created =
        schtasks(text::Format(L"/create /xml AVESK.xml /ru \"system\" /tn AVESK%d", session));
    const uint32_t changed =
        created != 0 ? created
                     : schtasks(text::Format(L"/change /tn AVESK%d /ru \"system\" /tr "
                                             L"\"'%ls' QVManagerVESK.exe %d %ls\"",
                                             session, work.Join(L"Launcher.exe").c_str(), session,
                                             token.c_str()));
    // A task that was not made or not pointed at this work folder would run, as the system
    // account, whatever action it carries: it is deleted unrun, and no agent is waited for.
    if (changed != 0) {
        CUtility::Log(tags::kRunAsService,
                      L"RunAsService AVESK%d %ls failed %d, task deleted, not run", session,
                      created != 0 ? L"create" : L"change", static_cast<int>(changed));
        schtasks(deleteTask);
        registry.DeleteValue(L"IsSystemUser");
        return;
    }
    schtasks(text::Format(L"/run /tn AVESK%d", session));
    CUtility::Log(tags::kRunAsService, L"RunAsService AVESK%d begin", session);
    // The task goes at once; the agent it started keeps running.
    schtasks(deleteTask);

    PrepareAgentFiles(work, tags::kRunAsService);

    // The work folder's manager in this session, awaited until it ends: the folder stays until
    // then.
    int attemptsLeft = kManagerAttempts;
    for (; attemptsLeft > 0; --attemptsLeft) {
        if (WaitProcessExit(work, kAgentManagerExe, static_cast<uint32_t>(session))) break;
        CUtility::Log(tags::kRunAsService, L"fail to wait QVM try to wait again");
        SleepWithSpinner(kManagerRetryPauseMs);
        if (AgentWindowExists()) CloseLoadingWnd(&m_pMainWnd);
    }

    // No manager seen: the agent may still be up, visible only through its window.
    bool windowFound = false;
    if (attemptsLeft == 0) {
        CUtility::Log(tags::kRunAsService, L"fail to wait QVM try to find VESK window");
        for (int i = 0; i < kWindowAttempts; ++i) {
            SleepWithSpinner(kWindowPollMs);
            if (AgentWindowExists()) {
                windowFound = true;
                CloseLoadingWnd(&m_pMainWnd);
                CUtility::Log(tags::kRunAsService, L"VESK window found");
                break;
            }
            CUtility::Log(tags::kRunAsService, L"fail to find VESK window try to find again");
        }
        if (windowFound) {
            while (AgentWindowExists()) SleepWithSpinner(kWindowClosedPollMs);
            CUtility::Log(tags::kRunAsService, L"VESK window is closed");
        } else {
            CUtility::Log(tags::kRunAsService, L"fail to find VESK window");
        }
    }
    CUtility::Log(tags::kRunAsService, L"RunAsService AVESK%d end", session);

    registry.DeleteValue(L"IsSystemUser");
    if (registry.GetDWORDValue(L"IsCustomization", 0) != 0) {
        RunAsStandard(work);
        windowFound = false;
    }
    if (windowFound) SleepWithSpinner(kFinalPauseMs);
}
