// The run's questions to the system: administrator membership (judged on the full token behind a
// filtered one), elevation, the Windows generation, WOW64, the session, the program's own file,
// and the user logged on to the session with a token of that user's.
#include "util/os.h"

#include "platform/platform.h"
#include "util/process.h"
#include "util/scoped_handle.h"
#include "util/text.h"

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

OsVersionClass ClassifyVersion(uint32_t major, uint32_t minor) {
    const uint32_t combined = major * 256 + minor;
    if (combined >= 0x0A00) return OsWin10;
    if (combined == 0x0603) return OsWin81;
    if (combined == 0x0602) return OsWin8;
    if (combined == 0x0601) return OsWin7;
    if (combined == 0x0600) return OsVista;
    return OsOlder;
}

// From GetVersionExW, which tells no more than Windows 8 to a program that does not declare a
// later one.
OsVersionClass GetOSVersionClassLegacy(plat::OsVersion* out) {
    plat::OsVersion version;
    plat::kernel().GetVersionEx(version);
    const uint32_t combined = version.major * 256 + version.minor;
    OsVersionClass c = combined >= 0x0602   ? OsWin8
                       : combined == 0x0601 ? OsWin7
                       : combined == 0x0600 ? OsVista
                                            : OsOlder;
    if (out) *out = version;
    return c;
}

}  // namespace

namespace os {

bool IsUserInAdminGroup2(plat::Handle token) {
    plat::IKernel& k = plat::kernel();
    UniqueHandle ownToken;  // the process's own token, when none was given
    if (!token) {
        if (!k.OpenProcessToken(plat::Handle(), plat::kTokenDuplicate | plat::kTokenQuery,
                                ownToken.Receive()))
            return false;
        token = ownToken.Get();
    }
    plat::OsVersion version;
    if (!k.GetVersionEx(version)) return false;
    UniqueHandle checkToken;
    if (version.major >= 6) {
        uint32_t type = 0;
        if (!k.GetTokenElevationType(token, &type)) return false;
        if (type == plat::kTokenElevationTypeLimited &&
            !k.GetTokenLinkedToken(token, checkToken.Receive()))
            return false;
    }
    if (!checkToken &&
        !k.DuplicateToken(token, plat::kSecurityIdentification, checkToken.Receive()))
        return false;
    bool member = false;
    return k.CheckAdministratorsMembership(checkToken.Get(), &member) && member;
}

bool IsProcessElevated() {
    plat::IKernel& k = plat::kernel();
    UniqueHandle token;
    uint32_t elevated = 0;
    return k.OpenProcessToken(plat::Handle(), plat::kTokenQuery, token.Receive()) &&
           k.GetTokenElevation(token.Get(), &elevated) && elevated != 0;
}

OsVersionClass GetOSVersionClass(plat::OsVersion* out) {
    plat::OsVersion version;
    std::optional<int32_t> status = plat::kernel().RtlGetVersion(version);
    if (status && *status == 0) {
        if (out) *out = version;
        return ClassifyVersion(version.major, version.minor);
    }
    return GetOSVersionClassLegacy(out);
}

bool IsWow64() {
    std::optional<plat::IKernel::Wow64Answer> answer = plat::kernel().IsWow64Process();
    return answer && answer->ok && answer->wow64;
}

uint32_t GetOwnSessionId() {
    plat::IKernel& k = plat::kernel();
    uint32_t session = plat::kAnySession;
    if (!k.ProcessIdToSessionId(k.GetCurrentProcessId(), &session)) session = plat::kAnySession;
    return session;
}

std::wstring GetModulePath() {
    // The answer fills a 260-character buffer; a path that does not fit comes back cut off with
    // the buffer's full length as result, and a cut-off path is never taken for the launcher's.
    constexpr uint32_t kBufferChars = 260;
    std::wstring path;
    const uint32_t length = plat::files().GetModuleFileName(path);
    if (length == 0 || length >= kBufferChars) return std::wstring();
    return path;
}

bool GetShellUserToken(plat::Handle* token, uint32_t session, bool elevated) {
    plat::IKernel& k = plat::kernel();
    std::vector<uint32_t> pids;
    // An elevated run acts as the user at its own desktop, not as whoever's shell the snapshot
    // lists first: the system's shell in its own session comes first.
    if (elevated) {
        proc::FindProcesses(L"explorer.exe", pids, session);
        for (uint32_t pid : pids) {
            const UniqueHandle process(k.OpenProcess(plat::kProcessAllAccess, true, pid));
            if (process && IsSystemShell(process.Get()) &&
                DuplicateProcessToken(process.Get(), token))
                return true;
        }
    }
    proc::FindProcesses(L"explorer.exe", pids, plat::kAnySession);
    if (pids.empty()) return false;
    const UniqueHandle process(k.OpenProcess(plat::kProcessAllAccess, true, pids.front()));
    return DuplicateProcessToken(process.Get(), token);
}

bool GetSessionUserToken(plat::Handle* token, uint32_t session, bool elevated) {
    if (plat::kernel().WTSQueryUserToken(session, token)) return true;
    return GetShellUserToken(token, session, elevated);
}

bool GetSessionUserSid(uint32_t session, std::wstring& sid) {
    std::wstring domain, user;
    return plat::kernel().WTSQuerySessionUser(session, domain, user) &&
           plat::kernel().LookupAccountName(domain.empty() ? user : domain + L"\\" + user, sid);
}

}  // namespace os
