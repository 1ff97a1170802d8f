#include "util/run_context.h"

#include "platform/platform.h"
#include "util/os.h"
#include "util/paths.h"

namespace {
std::optional<RunContext> g_run;
}  // namespace

RunContext RunContext::Detect() {
    RunContext run;
    std::wstring sid;
    const bool system =
        plat::kernel().GetTokenUserSid(plat::Handle(), sid) && sid == plat::kSidSystem;
    run.administrator = os::IsUserInAdminGroup2();
    run.tokenElevated = os::IsProcessElevated();
    run.elevated = system || run.tokenElevated;
    run.session = os::GetOwnSessionId();
    plat::kernel().GetVersionEx(run.version);
    plat::OsVersion rtl;
    run.osClass = os::GetOSVersionClass(&rtl);
    run.build = rtl.build;
    run.wow64 = os::IsWow64();
    run.modulePath = os::GetModulePath();
    plat::files().GetTempPath(run.tempPath);
    // Where the final path is known, the folder lies there by definition; where it is not, the
    // path is walked for links.
    const bool final = !run.tempPath.empty() && run.temp.Open(run.tempPath) &&
                       run.temp.FinalPath(run.tempFinal);
    if (!final) run.tempFinal = paths::WithoutTrailingSeparators(run.tempPath);
    run.tempDirect = final || (run.temp && run.temp.LiesAt(run.tempFinal));
    if (!os::GetSessionUserSid(run.session, run.userSid)) run.userSid.clear();
    if (!os::GetSessionUserToken(run.userToken.Receive(), run.session, run.elevated))
        run.userToken.Reset();
    return run;
}

const RunContext& Run() {
    if (!g_run) g_run = RunContext::Detect();
    return *g_run;
}

void ForgetRun() {
    g_run.reset();
}

CRunScope::CRunScope() : m_outer(std::move(g_run)) {
    g_run = RunContext::Detect();
}

CRunScope::~CRunScope() {
    g_run = std::move(m_outer);
}

CImpersonateUser::CImpersonateUser() {
    const UniqueHandle& token = Run().userToken;
    if (token && plat::kernel().ImpersonateLoggedOnUser(token.Get())) m_bImpersonating = true;
}

CImpersonateUser::~CImpersonateUser() {
    Revert();
}

void CImpersonateUser::Revert() {
    if (!m_bImpersonating) return;
    const uint32_t error = plat::kernel().GetLastError();
    plat::kernel().RevertToSelf();
    m_bImpersonating = false;
    plat::kernel().SetLastError(error);
}
