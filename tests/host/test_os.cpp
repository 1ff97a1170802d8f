#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/log.h"
#include "util/os.h"
#include "util/run_context.h"

namespace {

using sim::TokenKind;

TEST(OsQueries, AdministratorMembershipIsJudgedOnTheFullToken) {
    struct Case {
        TokenKind kind;
        bool admin;
        bool elevated;
    } cases[] = {
        {TokenKind::StandardUser, false, false},
        {TokenKind::LimitedAdmin, true, false},  // filtered token: the linked one counts
        {TokenKind::ElevatedAdmin, true, true},
        {TokenKind::System, true, true},
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        m.token = c.kind;
        EXPECT_EQ(os::IsUserInAdminGroup2(), c.admin) << static_cast<int>(c.kind);
        EXPECT_EQ(os::IsProcessElevated(), c.elevated) << static_cast<int>(c.kind);
    }
}

TEST(OsQueries, BeforeVistaTheTokenItselfIsChecked) {
    sim::SimMachine m;
    m.version.major = 5;
    m.version.minor = 1;
    m.token = TokenKind::LimitedAdmin;  // no linked token is asked for on such a system
    EXPECT_FALSE(os::IsUserInAdminGroup2());
    m.token = TokenKind::ElevatedAdmin;
    EXPECT_TRUE(os::IsUserInAdminGroup2());
}

TEST(OsQueries, ACallersTokenStaysOpenAndFailuresAnswerFalse) {
    sim::SimMachine m;
    m.token = TokenKind::LimitedAdmin;
    plat::Handle token;
    ASSERT_TRUE(plat::kernel().OpenProcessToken(plat::Handle(), plat::kTokenQuery, &token));
    EXPECT_TRUE(os::IsUserInAdminGroup2(token));
    uint32_t type = 0;
    EXPECT_TRUE(plat::kernel().GetTokenElevationType(token, &type));  // still a valid handle
    EXPECT_TRUE(plat::kernel().CloseHandle(token));

    m.getVersionExFails = true;
    EXPECT_FALSE(os::IsUserInAdminGroup2());
}

TEST(OsQueries, VersionClassTableAndLegacyFallback) {
    struct Case {
        uint32_t major, minor;
        OsVersionClass modern, legacy;
    } cases[] = {
        {5, 1, OsOlder, OsOlder}, {6, 0, OsVista, OsVista}, {6, 1, OsWin7, OsWin7},
        {6, 2, OsWin8, OsWin8},   {6, 3, OsWin81, OsWin8},  {6, 4, OsOlder, OsWin8},
        {10, 0, OsWin10, OsWin8}, {11, 5, OsWin10, OsWin8},
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        m.version.major = c.major;
        m.version.minor = c.minor;
        plat::OsVersion out;
        EXPECT_EQ(os::GetOSVersionClass(&out), c.modern) << c.major << "." << c.minor;
        EXPECT_EQ(out.major, c.major);
        m.rtlGetVersionMissing = true;
        EXPECT_EQ(os::GetOSVersionClass(), c.legacy) << c.major << "." << c.minor;
    }
}

TEST(OsQueries, AMinimumBuildOverridesTheClass) {
    sim::SimMachine m;
    m.version = {6, 1, 22000, 2, L"", 0, 0, 0, 1};
    EXPECT_TRUE(::Run().IsOSAtLeast(OsWin10, 20000));
    EXPECT_FALSE(::Run().IsOSAtLeast(OsWin10, 0));
    EXPECT_TRUE(::Run().IsOSAtLeast(OsWin7, 0));
    EXPECT_FALSE(::Run().IsOSAtLeast(OsOlder, 22001));
}

TEST(OsQueries, PreVistaAndWow64) {
    sim::SimMachine m;
    EXPECT_FALSE(::Run().IsPreVista());
    m.version.major = 5;
    ForgetRun();
    EXPECT_TRUE(::Run().IsPreVista());
    EXPECT_FALSE(os::IsWow64());
    m.wow64 = true;
    EXPECT_TRUE(os::IsWow64());
    m.wow64Missing = true;
    EXPECT_FALSE(os::IsWow64());
}

TEST(OsQueries, TheOsLine) {
    sim::SimMachine m;
    m.version = {6, 1, 7601, 2, L"Service Pack 1", 1, 0, 0, 1};
    m.wow64 = true;
    logging::OsLine();
    m.version = {10, 0, 19045, 2, L"", 0, 0, 0, 1};
    m.wow64Missing = true;
    ForgetRun();  // another run
    logging::OsLine();
    EXPECT_EQ(m.LogMessages(),
              (std::vector<std::wstring>{L"[CUtility::OSInfo] OS 6.1(7601) Service Pack 1 x64:1",
                                         L"[CUtility::OSInfo] OS 10.0(19045)  x64:0"}));
}

TEST(OsQueries, AModulePathCutOffByItsBufferIsNoPath) {
    sim::SimMachine m;
    m.moduleFile = L"C:\\" + std::wstring(251, L'd') + L"\\VESK.exe";  // 264 characters
    EXPECT_EQ(os::GetModulePath(), L"");
    m.moduleFile = L"C:\\" + std::wstring(246, L'd') + L"\\VESK.exe";  // 259: it fits
    EXPECT_EQ(os::GetModulePath(), m.moduleFile);
}

TEST(OsQueries, UserTokensAndImpersonation) {
    {
        // As the local system account: the user of the own session, through the terminal
        // services query.
        sim::SimMachine m;
        m.token = sim::TokenKind::System;
        m.sessionUsers[1] = L"ann";
        {
            CImpersonateUser asUser;
            EXPECT_TRUE(asUser.IsImpersonating());
            EXPECT_EQ(m.impersonating, L"ann");
        }
        EXPECT_EQ(m.impersonating, L"");
    }
    {
        // As an elevated administrator: the shell's user.
        sim::SimMachine m;
        m.token = sim::TokenKind::ElevatedAdmin;
        plat::Handle token;
        EXPECT_TRUE(os::GetSessionUserToken(&token, 1, true));
        EXPECT_NE(token, plat::Handle());
        plat::kernel().CloseHandle(token);
        CImpersonateUser asUser;
        EXPECT_EQ(m.impersonating, L"user");
        asUser.Revert();
        EXPECT_EQ(m.impersonating, L"");
    }
    {
        // No shell and no system account: no token, no impersonation.
        sim::SimMachine m;
        m.EndProcess(m.ProcessesNamed(L"explorer.exe").at(0), 0);
        plat::Handle token;
        EXPECT_FALSE(os::GetShellUserToken(&token, 1, false));
        CImpersonateUser asUser;
        EXPECT_FALSE(asUser.IsImpersonating());
        EXPECT_EQ(m.impersonations, 0);
    }
}

// An elevated run takes the user of its own session from the system's shell there, not the
// first explorer.exe of the snapshot (another user's) nor a program that only carries the name.
// An unelevated run keeps to the first one.
TEST(OsQueries, AnElevatedRunTakesTheSystemShellOfItsOwnSession) {
    for (sim::TokenKind kind : {sim::TokenKind::ElevatedAdmin, sim::TokenKind::StandardUser}) {
        sim::SimMachine m;
        m.token = kind;
        m.EndProcess(m.ProcessesNamed(L"explorer.exe").at(0), 0);
        const uint32_t other = m.AddProcess(L"explorer.exe", 2, -1, 0, L"bob");
        const uint32_t fake = m.AddProcess(L"explorer.exe", 1, -1, 0, L"mallory");
        m.processImages[fake] = L"C:\\users\\mallory\\explorer.exe";
        const uint32_t own = m.AddProcess(L"explorer.exe", 1, -1, 0, L"user");
        plat::Handle token;
        os::GetShellUserToken(&token, 1, kind == sim::TokenKind::ElevatedAdmin);
        const auto opened = m.CallsStartingWith(L"OpenProcess ");
        ASSERT_FALSE(opened.empty());
        if (kind == sim::TokenKind::ElevatedAdmin) {
            EXPECT_EQ(opened, (std::vector<std::wstring>{
                                  L"OpenProcess " + std::to_wstring(fake) + L" 0x1fffff inherit",
                                  L"OpenProcess " + std::to_wstring(own) + L" 0x1fffff inherit"}));
            ASSERT_NE(token, plat::Handle());
            ASSERT_TRUE(plat::kernel().ImpersonateLoggedOnUser(token));
            EXPECT_EQ(m.impersonating, L"user");
        } else {
            EXPECT_EQ(opened, std::vector<std::wstring>{L"OpenProcess " + std::to_wstring(other) +
                                                        L" 0x1fffff inherit"});
        }
    }
}
}  // namespace
