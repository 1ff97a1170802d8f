#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/process.h"

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
    EXPECT_TRUE(proc::FindProcesses(L"EXPLORER.EXE", pids, plat::kAnySession));
    EXPECT_EQ(pids, Pids{explorer});
    EXPECT_TRUE(proc::FindProcesses(L"explorer", pids, plat::kAnySession));
    EXPECT_TRUE(pids.empty());

    proc::FindProcesses(L"QVManagerVESK.exe", pids, plat::kAnySession);
    EXPECT_EQ(pids, (Pids{mgr1, mgr2, unknown}));
    proc::FindProcesses(L"QVManagerVESK.exe", pids, 1);  // unknown session: left out
    EXPECT_EQ(pids, Pids{mgr1});
    proc::FindProcesses(L"QVManagerVESK.exe", pids, 2);
    EXPECT_EQ(pids, Pids{mgr2});

    m.EndProcess(mgr1, 0);
    proc::FindProcesses(L"QVManagerVESK.exe", pids, 1);
    EXPECT_TRUE(pids.empty());

    m.snapshotFails = true;
    pids = {1, 2};
    EXPECT_FALSE(proc::FindProcesses(L"explorer.exe", pids, plat::kAnySession));
    EXPECT_TRUE(pids.empty());
}

TEST(Processes, StartProcessIsAPlainCreateProcess) {
    sim::SimMachine m;
    plat::ProcessInfo pi;
    EXPECT_TRUE(proc::StartProcess(L"C:\\Downloads\\VESK.exe \"C:\\Downloads\\VESK.exe\" /T x", pi,
                                   L"C:\\Downloads", plat::kSwShowNormal));
    EXPECT_NE(pi.pid, 0u);
    EXPECT_EQ(m.CallsStartingWith(L"CreateProcess"),
              std::vector<std::wstring>{L"CreateProcess C:\\Downloads\\VESK.exe "
                                        L"\"C:\\Downloads\\VESK.exe\" /T x|C:\\Downloads|1|"
                                        L"0x4000000|inherit"});
}

}  // namespace
