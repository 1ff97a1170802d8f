// One launcher-and-agent pair per user session: hand the foreground to a running agent, wait for
// an earlier launcher, or end stale agent managers and take over.
#include "app/agent.h"
#include "app/app.h"
#include "app/instance_mutex.h"
#include "platform/platform.h"
#include "ui/loading_wnd.h"
#include "util/log.h"
#include "util/process.h"
#include "util/run_context.h"

namespace {

constexpr int kLockTries = 30;
constexpr uint32_t kLockPauseMs = 500;
constexpr uint32_t kCleanupPauseMs = 3000;
constexpr uint32_t kEndedManagerExitCode = 2;

// Brings the agent's window to the front; results are of no consequence.
void HandOverTo(plat::Hwnd window) {
    plat::IUser& user = plat::user();
    user.ShowWindow(window, plat::kSwShowNormal);
    user.SwitchToThisWindow(window, true);
    const uint32_t foregroundThread = user.GetWindowThreadProcessId(user.GetForegroundWindow());
    const uint32_t ownThread = plat::kernel().GetCurrentThreadId();
    user.AttachThreadInput(ownThread, foregroundThread, true);
    user.SetForegroundWindow(window);
    user.AttachThreadInput(ownThread, foregroundThread, false);
}

}  // namespace

bool CUnPackFileApp::CheckSingleInstance(bool tokenSwitchMark) {
    CInstanceMutex& lock = g_instanceMutex;
    if (!lock.IsAlreadyExists()) {
        if (const plat::Hwnd window = FindAgentWindow()) {
            HandOverTo(window);
            logging::Log(tags::kCheckSingleInstance,
                         L"VESK skip by foreground window without instance");
            return false;
        }
        return true;
    }

    if (const plat::Hwnd window = FindAgentWindow(); window && !tokenSwitchMark) {
        HandOverTo(window);
        logging::Log(tags::kCheckSingleInstance, L"VESK skip by foreground instance");
        return false;
    }

    // Wait up to 15 s for the earlier launcher to let go of the lock.
    for (int i = 0; i < kLockTries && lock.IsAlreadyExists(); ++i) {
        SleepWithSpinner(kLockPauseMs);
        lock.Create();
    }
    if (!lock.IsAlreadyExists()) return true;

    const int answer = static_cast<int>(lock.Answer());
    const uint32_t session = Run().session;
    std::vector<uint32_t> pids;
    proc::FindProcesses(kAgentServerExe, pids, session);
    if (!pids.empty()) {
        logging::Log(tags::kCheckSingleInstance, L"VESK skip by another instance (%d)", answer);
        return false;
    }
    proc::FindProcesses(kAgentManagerExe, pids, session);
    if (pids.empty()) {
        logging::Log(tags::kCheckSingleInstance, L"VESK skip by lock without instance (%d)",
                     answer);
        return false;
    }
    // Only managers run here, with no server: a stale agent. End it and take over.
    plat::IKernel& k = plat::kernel();
    for (uint32_t pid : pids) {
        logging::Log(tags::kCheckSingleInstance, L"Close QVM %d", static_cast<int>(pid));
        if (const UniqueHandle process{k.OpenProcess(plat::kProcessTerminate, true, pid)})
            k.TerminateProcess(process.Get(), kEndedManagerExitCode);
    }
    logging::Log(tags::kCheckSingleInstance, L"Wait 3sec for another instance cleanup");
    SleepWithSpinner(kCleanupPauseMs);
    proc::FindProcesses(kAgentManagerExe, pids, session);
    if (!pids.empty()) {
        logging::Log(tags::kCheckSingleInstance, L"VESK skip by another instance (%d)", answer);
        return false;
    }
    return true;
}
