#include <gtest/gtest.h>

#include "app/agent.h"
#include "app/app.h"
#include "app/instance_mutex.h"
#include "platform/platform.h"
#include "sim/sim_machine.h"

namespace {

const std::wstring kPrefix = L"[CUnPackFileApp::InitInstance] ";

class SingleInstance : public ::testing::Test {
protected:
    // Another launcher of this session holds the lock (from before this process started).
    void LockHeld() { m.HoldMutex(kInstanceMutexName, m.selfSession); }
    // The lock as this process found it at start-up.
    bool Check(bool tokenSwitchMark = false) {
        g_instanceMutex.Create();
        return app.CheckSingleInstance(tokenSwitchMark);
    }
    plat::Hwnd AgentWindow() {
        const uint32_t manager = m.AddProcess(kAgentManagerExe, m.selfSession);
        return m.AddWindow(kAgentWindowClass, manager);
    }
    std::vector<std::wstring> HandOverCalls(plat::Hwnd window) {
        const std::wstring w = std::to_wstring(window.value);
        const std::wstring fg = std::to_wstring(5000 + 1);  // the foreground window's thread
        return {L"ShowWindow " + w + L" 1", L"SwitchToThisWindow " + w + L" 1",
                L"AttachThreadInput 100 " + fg + L" 1", L"SetForegroundWindow " + w,
                L"AttachThreadInput 100 " + fg + L" 0"};
    }
    std::vector<std::wstring> WindowCalls() const {
        std::vector<std::wstring> out;
        for (const std::wstring& c : m.calls)
            if (c.rfind(L"ShowWindow", 0) == 0 || c.rfind(L"SwitchTo", 0) == 0 ||
                c.rfind(L"Attach", 0) == 0 || c.rfind(L"SetForeground", 0) == 0)
                out.push_back(c);
        return out;
    }

    sim::SimMachine m;
    CUnPackFileApp app;
};

TEST_F(SingleInstance, FreeLockAndNoAgentGoesOnAtOnce) {
    EXPECT_TRUE(Check());
    EXPECT_TRUE(m.LogMessages().empty());
    EXPECT_TRUE(m.sleeps.empty());
    EXPECT_TRUE(g_instanceMutex.HoldsHandle());
}

TEST_F(SingleInstance, FreeLockButAnAgentWindowHandsOverEvenWithATokenSwitch) {
    const plat::Hwnd window = AgentWindow();
    m.foreground = m.AddWindow(L"Shell_TrayWnd", 1);
    EXPECT_FALSE(Check(/*tokenSwitchMark=*/true));
    EXPECT_EQ(WindowCalls(), HandOverCalls(window));
    EXPECT_EQ(m.foreground, window);
    EXPECT_EQ(m.LogMessages(), std::vector<std::wstring>{
                                   kPrefix + L"VESK skip by foreground window without instance"});
}

TEST_F(SingleInstance, HeldLockWithAnAgentWindowHandsOver) {
    LockHeld();
    const plat::Hwnd window = AgentWindow();
    m.foreground = m.AddWindow(L"Shell_TrayWnd", 1);
    EXPECT_FALSE(Check());
    EXPECT_EQ(WindowCalls(), HandOverCalls(window));
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK skip by foreground instance"});
    EXPECT_TRUE(m.sleeps.empty());
}

TEST_F(SingleInstance, ALockReleasedDuringTheWaitLetsTheRunGoOnAfterTheFifthTry) {
    LockHeld();
    AgentWindow();  // with the token-switch mark the window does not end the run
    m.At(2200, [this] { m.ReleaseMutex(kInstanceMutexName, m.selfSession); });
    EXPECT_TRUE(Check(/*tokenSwitchMark=*/true));
    EXPECT_EQ(m.Now(), 2500u);
    EXPECT_TRUE(m.LogMessages().empty());
    EXPECT_TRUE(WindowCalls().empty());
    // The launcher now holds a fresh lock of its own.
    EXPECT_FALSE(g_instanceMutex.IsAlreadyExists());
    EXPECT_EQ(m.MutexHolders(kInstanceMutexName, m.selfSession), 1);
}

TEST_F(SingleInstance, AServerInTheSessionEndsTheRunAfterFifteenSeconds) {
    LockHeld();
    m.AddProcess(kAgentServerExe, m.selfSession);
    EXPECT_FALSE(Check());
    EXPECT_EQ(m.Now(), 15000u);
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK skip by another instance (183)"});
}

TEST_F(SingleInstance, StaleManagersAreEndedWithExitCodeTwoOthersUntouched) {
    LockHeld();
    const uint32_t a = m.AddProcess(kAgentManagerExe, m.selfSession);
    const uint32_t b = m.AddProcess(L"qvmanagervesk.exe", m.selfSession);
    const uint32_t elsewhere = m.AddProcess(kAgentManagerExe, 2);
    const uint32_t serverElsewhere = m.AddProcess(kAgentServerExe, 2);
    EXPECT_TRUE(Check());
    EXPECT_FALSE(m.IsAlive(a));
    EXPECT_FALSE(m.IsAlive(b));
    EXPECT_EQ(m.ExitCodeOf(a), 2u);
    EXPECT_EQ(m.ExitCodeOf(b), 2u);
    EXPECT_TRUE(m.IsAlive(elsewhere));
    EXPECT_TRUE(m.IsAlive(serverElsewhere));
    EXPECT_EQ(m.LogMessages(),
              (std::vector<std::wstring>{kPrefix + L"Close QVM " + std::to_wstring(a),
                                         kPrefix + L"Close QVM " + std::to_wstring(b),
                                         kPrefix + L"Wait 3sec for another instance cleanup"}));
    EXPECT_EQ(m.Now(), 18000u);
    EXPECT_EQ(m.CallsStartingWith(L"OpenProcess " + std::to_wstring(a)),
              std::vector<std::wstring>{L"OpenProcess " + std::to_wstring(a) + L" 0x1 inherit"});
}

TEST_F(SingleInstance, ManagersThatSurviveTheEndingStopTheRun) {
    LockHeld();
    const uint32_t stubborn = m.AddProcess(kAgentManagerExe, m.selfSession);
    m.unopenableProcesses.insert(stubborn);
    EXPECT_FALSE(Check());
    EXPECT_TRUE(m.IsAlive(stubborn));
    EXPECT_EQ(m.LogMessages().back(), kPrefix + L"VESK skip by another instance (183)");
}

TEST_F(SingleInstance, ALockWithoutAnyAgentStopsTheRun) {
    LockHeld();
    m.mutexAccessDenied = true;  // the lock exists and may not be opened: error 5
    m.AddProcess(kAgentManagerExe, 2);
    EXPECT_FALSE(Check());
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK skip by lock without instance (5)"});
    EXPECT_FALSE(g_instanceMutex.HoldsHandle());
}

TEST_F(SingleInstance, AnUnknownSessionCountsAgentsOfEverySession) {
    LockHeld();
    m.sessionQueryFails = true;
    m.AddProcess(kAgentServerExe, 7);
    EXPECT_FALSE(Check());
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK skip by another instance (183)"});
}

}  // namespace
