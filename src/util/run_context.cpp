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
    auto temp = std::make_shared<CHeldFolder>();
    if (run.tempPath.empty() || !temp->Open(run.tempPath) || !temp->FinalPath(run.tempFinal))
        run.tempFinal = CUtility::WithoutTrailingSeparators(run.tempPath);
    run.tempDirect = *temp && temp->LiesAt(run.tempFinal);
    run.temp = std::move(temp);
    if (!CUtility::GetSessionUserSid(run.session, run.userSid)) run.userSid.clear();
    auto token = std::make_shared<UniqueHandle>();
    if (!CUtility::GetSessionUserToken(token->Receive(), run.session, run.elevated)) token->Reset();
    run.userToken = std::move(token);
    return run;
}

const RunContext& Run() {
    if (!g_run) g_run = RunContext::Detect();
    return *g_run;
}

void ForgetRun() {
    g_run.reset();
}

CRunScope::CRunScope() : m_outer(g_run) {
    g_run = RunContext::Detect();
}

CRunScope::~CRunScope() {
    g_run = m_outer;
}
