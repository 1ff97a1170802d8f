// Faults that the simulated machine can stage and Wine cannot: launchers in two sessions of one
// user at once, a work folder planted as a link that cannot be removed as one, and a link put
// above the work folder between the extraction and the launch.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/agent.h"
#include "app/app.h"
#include "host/life_cycle.h"
#include "host/package_builder.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "sim/sim_tasks.h"
#include "ui/loading_wnd.h"
#include "util/text.h"

namespace {

using namespace regtest;

const std::wstring kSelf = L"C:\\Downloads\\VESK.exe";
const std::wstring kUnpack = L"C:\\users\\user\\Temp\\unpackvesk\\";

int RunLauncher() {
    std::wstring self = kSelf;
    wchar_t* argv[] = {self.data()};
    CUnPackFileApp app;
    RunState run;
    return RunApplication(app, 1, argv, run);
}

std::wstring Folder(uint32_t session) {
    return kUnpack + std::to_wstring(session) + L"\\";
}

// The log of one session, messages only.
std::vector<std::wstring> LogOf(sim::SimMachine& m, uint32_t session) {
    const uint32_t own = m.selfSession;
    m.selfSession = session;
    std::vector<std::wstring> log = m.LogMessages();
    m.selfSession = own;
    return log;
}

bool Has(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The life of one machine with rights as Windows decides them (life_cycle.h): each run starts its
// own package's agent with its token as the right account, leaves no task and nothing of its own
// behind, and makes or keeps a backup that the desk user's later runs can refresh. What an elevated
// run killed at the agent's start leaves (a read-only file the user may not change) is moved aside
// by the user's next run and removed by the next elevated one.
TEST(LifeCycle, RunsOfEveryKindFollowOneAnotherOnOneMachine) {
    const struct {
        const wchar_t* left;
        const wchar_t* tasks;
        const wchar_t* backup;
        const wchar_t* owner;  // of the backup
    } expected[] = {
        {L"-", L"-", L"0", L"user"},          // limited
        {L"-", L"-", L"none", L"user"},       // elevated: the system launch makes none
        {L"1", L"AVESK1", L"none", L"user"},  // killed at the agent's start
        {L"1.1", L"AVESK1", L"0", L"user"},   // limited: the leftover moved aside
        {L"-", L"-", L"none", L"user"},       // elevated: the task and the leftover gone
        {L"-", L"-", L"0", L"user"},          // another administrator: the user's, in place
        {L"-", L"-", L"5", L"user"},          // a second user leaves the user's backup
        {L"-", L"-", L"none", L"user"},       // the system launch over a task left registered
        {L"-", L"-", L"none", L"user"},       // the launcher run as the local system account
    };
    int runs = 0;
    lifecycle::Live([&](const lifecycle::Outcome& o, sim::SimMachine& m) {
        const auto& e = expected[runs++];
        const std::wstring which = L"run " + std::to_wstring(o.n) + L" " + o.kind;
        EXPECT_EQ(o.started, o.expected) << which;
        EXPECT_EQ(o.left, e.left) << which;
        EXPECT_EQ(o.tasks, e.tasks) << which;
        EXPECT_EQ(o.backup, e.backup) << which;
        EXPECT_EQ(o.backupOwner, m.SidOf(e.owner)) << which;
        EXPECT_EQ(m.Exists(m.tempPath + L"unpackvesk\\1"), o.kind == L"killed") << which;
        EXPECT_LT(m.Now(), 3600u * 1000) << which;  // no prompt that nobody answers waited
    });
    EXPECT_EQ(runs, 9);
}

// One user logged on in sessions 1 and 2 shares one temp folder and one registry hive. The
// launcher in session 1 is in the middle of its system launch (agent up, window shown) when a
// launcher in session 2 starts and runs to its end. Each keeps to its own folder, product key,
// scheduled task and log; the one that ends first leaves the other's alone.
TEST(Faults, LaunchersInTwoSessionsKeepSeparateFoldersKeysAndTasks) {
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;  // the system launch, with its task
    m.sessionUsers = {{1, L"user"}, {2, L"user"}};
    m.WriteFile(kSelf,
                testpkg::Pack(testpkg::Stub(), {{"setup.ini", "[Settings]\r\nvesk_token=tok\r\n"},
                                                {"AVESK.xml", testpkg::kTaskTemplate},
                                                {"agent.txt", "agent files"}}));

    std::map<uint32_t, std::vector<std::wstring>> commands;  // per session
    std::map<uint32_t, std::wstring> actions;                // of the task run, per session
    sim::TaskScheduler scheduler(m);
    scheduler.onRun = [&](const sim::ScheduledTask& task) {
        actions[m.selfSession] = task.command + L" " + task.arguments;
    };
    bool bothRunning = false;
    bool firstIntactAfterSecond = false;
    m.onCreateProcess = [&](const std::wstring& commandLine, const std::wstring& directory) {
        const uint32_t session = m.selfSession;
        const std::wstring parameters = sim::InterpreterParameters(commandLine);
        commands[session].push_back(parameters);
        const auto schtasks = scheduler.Handle(parameters, directory);
        if (parameters.find(L" /run /tn") == std::wstring::npos)
            return schtasks.value_or(sim::Program{});
        // The task brings the agent up in the launcher's session for 8 s.
        const uint32_t manager = m.AddProcess(kAgentManagerExe, session, 8000);
        m.processImages[manager] = Folder(session) + kAgentManagerExe;
        const plat::Hwnd window = m.AddWindow(kAgentWindowClass, manager);
        m.After(8000, [&m, window] { m.CloseWindow(window); });
        if (session == 2) {
            bothRunning = m.ReadFile(Folder(1) + L"agent.txt") == "agent files" &&
                          m.ReadFile(Folder(2) + L"agent.txt") == "agent files" &&
                          Dword(m, L"user", kProductKey1, L"IsSystemUser") == 1 &&
                          Dword(m, L"user", kProductKey2, L"IsSystemUser") == 1;
            return sim::Program{};
        }
        // Two seconds into the first launch, the second launcher starts in session 2.
        m.After(2000, [&] {
            const uint32_t pid = m.selfPid;
            const std::wstring cwd = m.currentDir;
            m.selfSession = 2;
            m.selfPid = 5252;
            EXPECT_EQ(RunLauncher(), 0);
            m.selfSession = 1;
            m.selfPid = pid;
            m.currentDir = cwd;
            firstIntactAfterSecond =
                !m.Exists(Folder(2)) && m.ReadFile(Folder(1) + L"agent.txt") == "agent files" &&
                m.ReadFile(Folder(1) + L"setup.ini") == "[Settings]\r\nvesk_token=tok\r\n" &&
                Dword(m, L"user", kProductKey1, L"IsSystemUser") == 1 &&
                !regtest::Has(m, L"user", kProductKey2, L"IsSystemUser");
        });
        return sim::Program{};
    };

    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_TRUE(bothRunning);
    EXPECT_TRUE(firstIntactAfterSecond);

    // Each launcher's task carries its own session in its name and its action.
    for (uint32_t s : {1u, 2u}) {
        const std::wstring n = std::to_wstring(s);
        const std::vector<std::wstring>& c = commands[s];
        // The cabinet expansion, then the three task commands, with the system's programs named
        // by their full paths (the run is elevated).
        ASSERT_EQ(c.size(), 4u) << s;
        const std::wstring schtasks = L"/c C:\\windows\\system32\\schtasks.exe ";
        EXPECT_EQ(c[0], L"/c C:\\windows\\system32\\expand.exe *.cab /f:* .\\");
        EXPECT_EQ(c[1], schtasks + L"/create /xml AVESK.xml /ru \"system\" /tn AVESK" + n + L" /f");
        EXPECT_EQ(actions[s],
                  L"\"" + Folder(s) + L"Launcher.exe\" QVManagerVESK.exe " + n + L" tok");
        EXPECT_EQ(c[3], schtasks + L"/delete /f /tn AVESK" + n);
        EXPECT_EQ(Text(m, L"user", s == 1 ? kProductKey1 : kProductKey2, L"ImagePath"), Sz(kSelf));
        EXPECT_FALSE(
            regtest::Has(m, L"user", s == 1 ? kProductKey1 : kProductKey2, L"IsSystemUser"));
        const auto log = LogOf(m, s);
        EXPECT_TRUE(Has(log, L"[CUnPackFileApp::RunAsService] RunAsService AVESK" + n + L" end"));
        EXPECT_TRUE(Has(log, L"[CUnPack::UnPackFiles] UnPack total 3 files."));
        const std::wstring other = L"AVESK" + std::to_wstring(3 - s);
        EXPECT_TRUE(std::none_of(log.begin(), log.end(), [&](const std::wstring& l) {
            return l.find(other) != std::wstring::npos;
        })) << s;
    }
    EXPECT_FALSE(m.Exists(kUnpack));
    EXPECT_TRUE(scheduler.tasks.empty());
}

// Where a link planted in place of the work folder cannot be removed as a link, the run writes
// nothing through it, deletes nothing behind it, skips the launch and still ends with 0.
TEST(Faults, AWorkFolderPlantedAsALinkIsNeverUsed) {
    sim::SimMachine m;
    m.linksOpenAsTargets = true;
    m.WriteFile(L"C:\\precious\\keep.txt", "keep me");
    m.MakeSymlink(Folder(1).substr(0, Folder(1).size() - 1), L"C:\\precious");
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"setup.ini", "[Settings]\r\n"},
                                                       {"keep.txt", "overwritten"}}));
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\keep.txt"), "keep me");
    EXPECT_FALSE(m.Exists(L"C:\\precious\\setup.ini"));
    const auto log = m.LogMessages();
    EXPECT_TRUE(Has(log, L"[CUnPackFileApp::InitInstance] VESK skip without unpacking files"));
    EXPECT_TRUE(m.CallsStartingWith(L"CreateProcess").empty());
}

// An elevated run whose temp folder gets a link above the work folder once the extraction is
// done launches nothing and deletes nothing there.
TEST(Faults, ALinkPutAboveTheWorkFolderAfterTheExtractionStopsTheLaunch) {
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"setup.ini", "[Settings]\r\n"}}));
    m.WriteFile(L"C:\\Target\\1\\keep.txt", "keep me");
    m.onDebugOutput = [&m](const std::wstring& line) {
        if (line.find(L"UnPack total") == std::wstring::npos) return;
        std::filesystem::rename(m.HostPath(kUnpack), m.HostPath(L"C:\\users\\user\\Temp\\moved"));
        m.MakeSymlink(L"C:\\users\\user\\Temp\\unpackvesk", L"C:\\Target");
    };
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_TRUE(m.CallsStartingWith(L"CreateProcess").empty());
    EXPECT_EQ(m.ReadFile(L"C:\\Target\\1\\keep.txt"), "keep me");
    const auto log = m.LogMessages();
    EXPECT_TRUE(Has(log, L"[CUnPackFileApp::InitInstance] Launch refused, " + Folder(1) +
                             L" is reached through a link"));
    EXPECT_TRUE(Has(log, L"[CUnPack::RemoveWorkFolder] Clean-up refused, " + Folder(1) +
                             L" is reached through a link"));
}

}  // namespace
