#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/run_context.h"
#include "util/utility.h"

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
        EXPECT_EQ(CUtility::IsUserInAdminGroup2(), c.admin) << static_cast<int>(c.kind);
        EXPECT_EQ(CUtility::IsProcessElevated(), c.elevated) << static_cast<int>(c.kind);
    }
}

TEST(OsQueries, BeforeVistaTheTokenItselfIsChecked) {
    sim::SimMachine m;
    m.version.major = 5;
    m.version.minor = 1;
    m.token = TokenKind::LimitedAdmin;  // no linked token is asked for on such a system
    EXPECT_FALSE(CUtility::IsUserInAdminGroup2());
    m.token = TokenKind::ElevatedAdmin;
    EXPECT_TRUE(CUtility::IsUserInAdminGroup2());
}

TEST(OsQueries, ACallersTokenStaysOpenAndFailuresAnswerFalse) {
    sim::SimMachine m;
    m.token = TokenKind::LimitedAdmin;
    plat::Handle token = 0;
    ASSERT_TRUE(plat::kernel().OpenProcessToken(0, plat::kTokenQuery, &token));
    EXPECT_TRUE(CUtility::IsUserInAdminGroup2(token));
    uint32_t type = 0;
    EXPECT_TRUE(plat::kernel().GetTokenElevationType(token, &type));  // still a valid handle
    EXPECT_TRUE(plat::kernel().CloseHandle(token));

    m.getVersionExFails = true;
    EXPECT_FALSE(CUtility::IsUserInAdminGroup2());
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
        EXPECT_EQ(CUtility::GetOSVersionClass(&out), c.modern) << c.major << "." << c.minor;
        EXPECT_EQ(out.major, c.major);
        m.rtlGetVersionMissing = true;
        EXPECT_EQ(CUtility::GetOSVersionClass(), c.legacy) << c.major << "." << c.minor;
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
    EXPECT_FALSE(CUtility::IsWow64());
    m.wow64 = true;
    EXPECT_TRUE(CUtility::IsWow64());
    m.wow64Missing = true;
    EXPECT_FALSE(CUtility::IsWow64());
}

TEST(OsQueries, TheOsLine) {
    sim::SimMachine m;
    m.version = {6, 1, 7601, 2, L"Service Pack 1", 1, 0, 0, 1};
    m.wow64 = true;
    CUtility::OSInfo();
    m.version = {10, 0, 19045, 2, L"", 0, 0, 0, 1};
    m.wow64Missing = true;
    ForgetRun();  // another run
    CUtility::OSInfo();
    EXPECT_EQ(m.LogMessages(),
              (std::vector<std::wstring>{L"[CUtility::OSInfo] OS 6.1(7601) Service Pack 1 x64:1",
                                         L"[CUtility::OSInfo] OS 10.0(19045)  x64:0"}));
}

}  // namespace
