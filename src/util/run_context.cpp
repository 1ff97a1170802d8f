#include "util/run_context.h"

#include "platform/platform.h"

namespace {
std::optional<RunContext> g_run;
}  // namespace

RunContext RunContext::Detect() {
    RunContext run;
    std::wstring sid;
    run.system = plat::kernel().GetTokenUserSid(0, sid) && sid == plat::kSidSystem;
    run.elevated = run.system || CUtility::IsProcessElevated();
    run.session = CUtility::GetOwnSessionId();
    plat::kernel().GetVersionEx(run.version);
    plat::OsVersion rtl;
    run.osClass = CUtility::GetOSVersionClass(&rtl);
    run.build = rtl.build;
    run.wow64 = CUtility::IsWow64();
    plat::files().GetTempPath(run.tempPath);
    if (run.tempPath.empty() || !run.temp.Open(run.tempPath) || !run.temp.FinalPath(run.tempFinal))
        run.tempFinal = CUtility::WithoutTrailingSeparators(run.tempPath);
    run.tempDirect = run.temp && run.temp.LiesAt(run.tempFinal);
    if (!CUtility::GetSessionUserSid(run.session, run.userSid)) run.userSid.clear();
    if (!CUtility::GetSessionUserToken(run.userToken.Receive(), run.session, run.elevated))
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
