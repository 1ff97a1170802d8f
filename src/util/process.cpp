// Processes, sessions and user tokens: finding processes by name and session, obtaining the
// logged-on user's token, impersonating that user, and starting a process.
#include "platform/platform.h"
#include "util/text.h"
#include "util/utility.h"

uint32_t CUtility::GetOwnSessionId() {
    plat::IKernel& k = plat::kernel();
    uint32_t session = plat::kAnySession;
    if (!k.ProcessIdToSessionId(k.GetCurrentProcessId(), &session)) session = plat::kAnySession;
    return session;
}

bool CUtility::FindProcesses(const std::wstring& exeName, std::vector<uint32_t>& pids,
                             uint32_t session) {
    plat::IKernel& k = plat::kernel();
    std::vector<plat::ProcessEntry> snapshot;
    pids.clear();
    if (!k.ProcessSnapshot(snapshot)) return false;
    for (const plat::ProcessEntry& entry : snapshot) {
        if (!text::EqualsNoCase(entry.exeFile, exeName)) continue;
        uint32_t s = 0;
        if (session == plat::kAnySession ||
            (k.ProcessIdToSessionId(entry.pid, &s) && s == session))
            pids.push_back(entry.pid);
    }
    return true;
}

bool CUtility::GetShellUserToken(plat::Handle* token) {
    plat::IKernel& k = plat::kernel();
    std::vector<uint32_t> pids;
    FindProcesses(L"explorer.exe", pids, plat::kAnySession);
    if (pids.empty()) return false;
    plat::Handle process = k.OpenProcess(plat::kProcessAllAccess, true, pids.front());
    bool ok = false;
    plat::Handle processToken = 0;
    if (process && k.OpenProcessToken(process, plat::kTokenAllAccess, &processToken)) {
        ok = k.DuplicateTokenEx(processToken, plat::kMaximumAllowed, plat::kSecurityIdentification,
                                plat::kTokenPrimary, token);
        k.CloseHandle(processToken);
    }
    k.CloseHandle(process);
    return ok;
}

bool CUtility::GetSessionUserToken(plat::Handle* token, uint32_t session) {
    if (session == plat::kAnySession) session = GetOwnSessionId();
    if (plat::kernel().WTSQueryUserToken(session, token)) return true;
    return GetShellUserToken(token);
}

bool CUtility::StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                            const std::wstring& currentDirectory, int showCommand) {
    return plat::kernel().CreateProcess(commandLine, true, plat::kCreateDefaultErrorMode,
                                        currentDirectory, showCommand, pi);
}

CImpersonateUser::CImpersonateUser() {
    plat::Handle token = 0;
    if (CUtility::GetSessionUserToken(&token, plat::kAnySession)) m_hToken = token;
    if (m_hToken && plat::kernel().ImpersonateLoggedOnUser(m_hToken)) m_bImpersonating = true;
}

CImpersonateUser::~CImpersonateUser() {
    if (m_bImpersonating) plat::kernel().RevertToSelf();
    if (m_hToken) plat::kernel().CloseHandle(m_hToken);
    m_hToken = 0;
}

void CImpersonateUser::Revert() {
    if (m_bImpersonating) plat::kernel().RevertToSelf();
}
