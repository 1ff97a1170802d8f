// Processes, sessions and user tokens: finding processes by name and session, obtaining the
// logged-on user's token, impersonating that user, and starting a process.
#include "platform/platform.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
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
        if (session == plat::kAnySession || (k.ProcessIdToSessionId(entry.pid, &s) && s == session))
            pids.push_back(entry.pid);
    }
    return true;
}

namespace {

// The token of an opened process, duplicated as a primary token.
bool DuplicateProcessToken(plat::Handle process, plat::Handle* token) {
    plat::IKernel& k = plat::kernel();
    UniqueHandle processToken;
    return process && k.OpenProcessToken(process, plat::kTokenAllAccess, processToken.Receive()) &&
           k.DuplicateTokenEx(processToken.Get(), plat::kMaximumAllowed,
                              plat::kSecurityIdentification, plat::kTokenPrimary, token);
}

// Whether an opened process runs the system's own shell, the Windows folder's explorer.exe.
bool IsSystemShell(plat::Handle process) {
    std::wstring image, windows;
    plat::files().GetSystemWindowsDirectory(windows);
    return !windows.empty() && plat::kernel().QueryFullProcessImageName(process, image) &&
           text::EqualsNoCase(image, windows + L"\\explorer.exe");
}

}  // namespace

bool CUtility::GetShellUserToken(plat::Handle* token, bool elevated, uint32_t session) {
    plat::IKernel& k = plat::kernel();
    std::vector<uint32_t> pids;
    // An elevated run acts as the user at its own desktop, not as whoever's shell the snapshot
    // lists first: the system's shell in its own session comes first.
    if (elevated) {
        FindProcesses(L"explorer.exe", pids, session);
        for (uint32_t pid : pids) {
            const UniqueHandle process(k.OpenProcess(plat::kProcessAllAccess, true, pid));
            if (process && IsSystemShell(process.Get()) &&
                DuplicateProcessToken(process.Get(), token))
                return true;
        }
    }
    FindProcesses(L"explorer.exe", pids, plat::kAnySession);
    if (pids.empty()) return false;
    const UniqueHandle process(k.OpenProcess(plat::kProcessAllAccess, true, pids.front()));
    return DuplicateProcessToken(process.Get(), token);
}

bool CUtility::GetSessionUserToken(plat::Handle* token, uint32_t session, bool elevated) {
    if (plat::kernel().WTSQueryUserToken(session, token)) return true;
    return GetShellUserToken(token, elevated, session);
}

bool CUtility::GetSessionUserSid(uint32_t session, std::wstring& sid) {
    std::wstring domain, user;
    return plat::kernel().WTSQuerySessionUser(session, domain, user) &&
           plat::kernel().LookupAccountName(domain.empty() ? user : domain + L"\\" + user, sid);
}

bool CUtility::StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                            const std::wstring& currentDirectory, int showCommand) {
    plat::ProcessStart start;
    start.commandLine = commandLine;
    start.inheritHandles = true;
    start.creationFlags = plat::kCreateDefaultErrorMode;
    start.currentDirectory = currentDirectory;
    start.show = showCommand;
    return plat::kernel().CreateProcess(start, pi);
}

CImpersonateUser::CImpersonateUser() {
    const UniqueHandle& token = Run().userToken;
    if (token && plat::kernel().ImpersonateLoggedOnUser(token.Get()))
        m_bImpersonating = true;
}

CImpersonateUser::~CImpersonateUser() {
    Revert();
}

void CImpersonateUser::Revert() {
    if (m_bImpersonating) plat::kernel().RevertToSelf();
}
