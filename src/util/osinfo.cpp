// OS and account queries: administrator membership (judged on the full token behind a filtered
// one), elevation, the Windows generation, WOW64, and the OS line of the log.
#include "platform/platform.h"
#include "util/utility.h"

bool CUtility::IsUserInAdminGroup2(plat::Handle token) {
    plat::IKernel& k = plat::kernel();
    bool result = false;
    bool ownsToken = false;
    plat::Handle checkToken = 0;

    [&] {
        if (!token) {
            if (!k.OpenProcessToken(0, plat::kTokenDuplicate | plat::kTokenQuery, &token)) return;
            ownsToken = true;
        }
        plat::OsVersion version;
        if (!k.GetVersionEx(version)) return;
        if (version.major >= 6) {
            uint32_t type = 0;
            if (!k.GetTokenElevationType(token, &type)) return;
            if (type == plat::kTokenElevationTypeLimited &&
                !k.GetTokenLinkedToken(token, &checkToken))
                return;
        }
        if (!checkToken && !k.DuplicateToken(token, plat::kSecurityIdentification, &checkToken))
            return;
        bool member = false;
        if (k.CheckAdministratorsMembership(checkToken, &member)) result = member;
    }();

    if (ownsToken) k.CloseHandle(token);
    if (checkToken) k.CloseHandle(checkToken);
    return result;
}

bool CUtility::IsProcessElevated() {
    plat::IKernel& k = plat::kernel();
    plat::Handle token = 0;
    if (!k.OpenProcessToken(0, plat::kTokenQuery, &token)) return false;
    uint32_t elevated = 0;
    if (!k.GetTokenElevation(token, &elevated)) elevated = 0;
    k.CloseHandle(token);
    return elevated != 0;
}

bool CUtility::IsLocalSystem() {
    plat::IKernel& k = plat::kernel();
    plat::Handle token = 0;
    if (!k.OpenProcessToken(0, plat::kTokenQuery, &token)) return false;
    bool system = false;
    if (!k.IsLocalSystemToken(token, &system)) system = false;
    k.CloseHandle(token);
    return system;
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

bool CUtility::IsOSAtLeast(OsVersionClass minimumClass, uint32_t minimumBuild) {
    plat::OsVersion version;
    OsVersionClass c = GetOSVersionClass(&version);
    if (minimumBuild != 0) return version.build >= minimumBuild;
    return c >= minimumClass;
}

bool CUtility::IsPreVista() {
    plat::OsVersion version;
    plat::kernel().GetVersionEx(version);
    return version.major < 6;
}

bool CUtility::IsWow64() {
    std::optional<plat::IKernel::Wow64Answer> answer = plat::kernel().IsWow64Process();
    return answer && answer->ok && answer->wow64;
}

void CUtility::OSInfo() {
    plat::OsVersion version;
    plat::kernel().GetVersionEx(version);
    const bool wow64 = IsWow64();
    Log(L"[%ls] OS %d.%d(%d) %ls x64:%d", L"CUtility::OSInfo", static_cast<int>(version.major),
        static_cast<int>(version.minor), static_cast<int>(version.build),
        version.servicePack.c_str(), wow64 ? 1 : 0);
}
