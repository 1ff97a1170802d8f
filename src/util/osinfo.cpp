// OS and account queries: administrator membership (judged on the full token behind a filtered
// one), elevation, the Windows generation, WOW64, and the OS line of the log.
#include "platform/platform.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/utility.h"

bool CUtility::IsUserInAdminGroup2(plat::Handle token) {
    plat::IKernel& k = plat::kernel();
    UniqueHandle ownToken;  // the process's own token, when none was given
    if (!token) {
        if (!k.OpenProcessToken(0, plat::kTokenDuplicate | plat::kTokenQuery, ownToken.Receive()))
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

bool CUtility::IsProcessElevated() {
    plat::IKernel& k = plat::kernel();
    UniqueHandle token;
    uint32_t elevated = 0;
    return k.OpenProcessToken(0, plat::kTokenQuery, token.Receive()) &&
           k.GetTokenElevation(token.Get(), &elevated) && elevated != 0;
}

OsVersionClass CUtility::ClassifyVersion(uint32_t major, uint32_t minor) {
    const uint32_t combined = major * 256 + minor;
    if (combined >= 0x0A00) return OsWin10;
    if (combined == 0x0603) return OsWin81;
    if (combined == 0x0602) return OsWin8;
    if (combined == 0x0601) return OsWin7;
    if (combined == 0x0600) return OsVista;
    return OsOlder;
}

OsVersionClass CUtility::GetOSVersionClass(plat::OsVersion* out) {
    plat::OsVersion version;
    std::optional<int32_t> status = plat::kernel().RtlGetVersion(version);
    if (status && *status == 0) {
        if (out) *out = version;
        return ClassifyVersion(version.major, version.minor);
    }
    return GetOSVersionClassLegacy(out);
}

OsVersionClass CUtility::GetOSVersionClassLegacy(plat::OsVersion* out) {
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

bool CUtility::IsWow64() {
    std::optional<plat::IKernel::Wow64Answer> answer = plat::kernel().IsWow64Process();
    return answer && answer->ok && answer->wow64;
}

void CUtility::OSInfo() {
    const plat::OsVersion& version = Run().version;
    Log(tags::kOSInfo, L"OS %d.%d(%d) %ls x64:%d", static_cast<int>(version.major),
        static_cast<int>(version.minor), static_cast<int>(version.build),
        version.servicePack.c_str(), Run().wow64 ? 1 : 0);
}
