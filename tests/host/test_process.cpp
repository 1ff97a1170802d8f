#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/utility.h"

namespace {

using Pids = std::vector<uint32_t>;

TEST(Processes, MatchingByWholeNameIgnoringCaseAndBySession) {
    sim::SimMachine m;  // explorer.exe already runs in session 1
    const uint32_t explorer = m.ProcessesNamed(L"explorer.exe").at(0);
    const uint32_t mgr1 = m.AddProcess(L"QVManagerVESK.exe", 1);
    const uint32_t mgr2 = m.AddProcess(L"qvmanagervesk.EXE", 2);
    const uint32_t unknown = m.AddProcess(L"QVManagerVESK.exe", 1);
    m.sessionUnknownProcesses.insert(unknown);

    Pids pids{99};
    EXPECT_TRUE(CUtility::FindProcesses(L"EXPLORER.EXE", pids, plat::kAnySession));
    EXPECT_EQ(pids, Pids{explorer});
    EXPECT_TRUE(CUtility::FindProcesses(L"explorer", pids, plat::kAnySession));
    EXPECT_TRUE(pids.empty());

    CUtility::FindProcesses(L"QVManagerVESK.exe", pids, plat::kAnySession);
    EXPECT_EQ(pids, (Pids{mgr1, mgr2, unknown}));
    CUtility::FindProcesses(L"QVManagerVESK.exe", pids, 1);  // unknown session: left out
    EXPECT_EQ(pids, Pids{mgr1});
    CUtility::FindProcesses(L"QVManagerVESK.exe", pids, 2);
    EXPECT_EQ(pids, Pids{mgr2});

    m.EndProcess(mgr1, 0);
    CUtility::FindProcesses(L"QVManagerVESK.exe", pids, 1);
    EXPECT_TRUE(pids.empty());

    m.snapshotFails = true;
    pids = {1, 2};
    EXPECT_FALSE(CUtility::FindProcesses(L"explorer.exe", pids, plat::kAnySession));
    EXPECT_TRUE(pids.empty());
}

TEST(Processes, UserTokensAndImpersonation) {
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
        plat::Handle token = 0;
        EXPECT_TRUE(CUtility::GetSessionUserToken(&token, 1, true));
        EXPECT_NE(token, 0u);
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
        plat::Handle token = 0;
        EXPECT_FALSE(CUtility::GetShellUserToken(&token, false, 1));
        CImpersonateUser asUser;
        EXPECT_FALSE(asUser.IsImpersonating());
        EXPECT_EQ(m.impersonations, 0);
    }
}

// An elevated run takes the user of its own session from the system's shell there, not the
// first explorer.exe of the snapshot (another user's) nor a program that only carries the name.
// An unelevated run keeps to the first one.
TEST(Processes, AnElevatedRunTakesTheSystemShellOfItsOwnSession) {
    for (sim::TokenKind kind : {sim::TokenKind::ElevatedAdmin, sim::TokenKind::StandardUser}) {
        sim::SimMachine m;
        m.token = kind;
        m.EndProcess(m.ProcessesNamed(L"explorer.exe").at(0), 0);
        const uint32_t other = m.AddProcess(L"explorer.exe", 2, -1, 0, L"bob");
        const uint32_t fake = m.AddProcess(L"explorer.exe", 1, -1, 0, L"mallory");
        m.processImages[fake] = L"C:\\users\\mallory\\explorer.exe";
        const uint32_t own = m.AddProcess(L"explorer.exe", 1, -1, 0, L"user");
        plat::Handle token = 0;
        CUtility::GetShellUserToken(&token, kind == sim::TokenKind::ElevatedAdmin, 1);
        const auto opened = m.CallsStartingWith(L"OpenProcess ");
        ASSERT_FALSE(opened.empty());
        if (kind == sim::TokenKind::ElevatedAdmin) {
            EXPECT_EQ(opened, (std::vector<std::wstring>{
                                  L"OpenProcess " + std::to_wstring(fake) + L" 0x1fffff inherit",
                                  L"OpenProcess " + std::to_wstring(own) + L" 0x1fffff inherit"}));
            ASSERT_NE(token, 0u);
            ASSERT_TRUE(plat::kernel().ImpersonateLoggedOnUser(token));
            EXPECT_EQ(m.impersonating, L"user");
        } else {
            EXPECT_EQ(opened, std::vector<std::wstring>{L"OpenProcess " + std::to_wstring(other) +
                                                        L" 0x1fffff inherit"});
        }
    }
}

TEST(Processes, StartProcessIsAPlainCreateProcess) {
    sim::SimMachine m;
    plat::ProcessInfo pi;
    EXPECT_TRUE(CUtility::StartProcess(L"C:\\Downloads\\VESK.exe \"C:\\Downloads\\VESK.exe\" /T x",
                                       pi, L"C:\\Downloads", plat::kSwShowNormal));
    EXPECT_NE(pi.pid, 0u);
    EXPECT_EQ(m.CallsStartingWith(L"CreateProcess"),
              std::vector<std::wstring>{L"CreateProcess C:\\Downloads\\VESK.exe "
                                        L"\"C:\\Downloads\\VESK.exe\" /T x|C:\\Downloads|1|"
                                        L"0x4000000|inherit"});
}

}  // namespace
