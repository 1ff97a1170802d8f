#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <optional>

#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "unpack/work_folder.h"
#include "util/run_context.h"
#include "waits.h"

namespace {

const std::wstring kTag = L"[CUnPackFileApp::RunAsService] ";

// The final 5-second pauses of a launch.
long Pauses(const sim::SimMachine& m) {
    const auto w = waits::SpinnerWaits(m.sleeps);
    return std::count(w.begin(), w.end(), 5000u);
}

// Drives a system launch on the simulated machine: the scheduled task's "run" starts whatever
// the test asks for (a manager, a window, or nothing).
class ServiceLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        ForgetRun();  // tests change the session, and set up again
        workFolder.emplace();
        workFolder->Prepare();
        work = workFolder->Path();
        m.WriteFile(work + L"AVESK.xml", "<Task/>");
        m.onCreateProcess = [this](const std::wstring& commandLine, const std::wstring&) {
            const std::wstring parameters = sim::InterpreterParameters(commandLine);
            commands.push_back(parameters);
            if (parameters.find(L"schtasks /run") != std::wstring::npos && onRun) onRun();
            const bool fails = !failing.empty() && parameters.find(failing) != std::wstring::npos;
            return sim::Runs(0, fails ? 1 : 0);
        };
    }
    void Run() {
        app.RunAsService(*workFolder);
        log = m.LogMessages();
    }
    // The agent's manager as the task starts it: the work folder's program.
    uint32_t StartManager(uint32_t session, int64_t runMs) {
        const uint32_t pid = m.AddProcess(kAgentManagerExe, session, runMs);
        m.processImages[pid] = work + L"qvmanagervesk.EXE";  // letter case aside
        return pid;
    }
    size_t Count(const std::wstring& line) const {
        return static_cast<size_t>(std::count(log.begin(), log.end(), line));
    }
    size_t IndexOf(const std::wstring& line) const {
        return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
    }

    sim::SimMachine m;
    CUnPackFileApp app;
    std::optional<CWorkFolder> workFolder;
    std::wstring work;
    std::vector<std::wstring> commands;
    std::vector<std::wstring> log;
    std::function<void()> onRun;
    std::wstring failing;  // a command holding this text ends with exit code 1
};

TEST_F(ServiceLaunch, TheFourTaskCommandsCarryTheSessionAndTheToken) {
    m.selfSession = 3;
    SetUp();
    Run();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0], L"/c schtasks /create /xml AVESK.xml /ru \"system\" /tn AVESK3");
    EXPECT_EQ(commands[1], L"/c schtasks /change /tn AVESK3 /ru \"system\" /tr \"'" + work +
                               L"Launcher.exe' QVManagerVESK.exe 3 \"");
    EXPECT_EQ(commands[2], L"/c schtasks /run /tn AVESK3");
    EXPECT_EQ(commands[3], L"/c schtasks /delete /f /tn AVESK3");
    EXPECT_EQ(commands.size(), 4u);  // no standard launch afterwards

    commands.clear();
    app.m_strToken = L"ab12_Cx";
    Run();
    EXPECT_EQ(commands[1], L"/c schtasks /change /tn AVESK3 /ru \"system\" /tr \"'" + work +
                               L"Launcher.exe' QVManagerVESK.exe 3 ab12_Cx\"");

    // Separators, brackets, any script and an inner backslash are plain text inside the
    // action's double quotes (a blank never gets here: it would split the token).
    commands.clear();
    app.m_strToken = L"a(1),b;c=[d]\u00f1\u0416\\e";
    Run();
    EXPECT_EQ(commands[1], L"/c schtasks /change /tn AVESK3 /ru \"system\" /tr \"'" + work +
                               L"Launcher.exe' QVManagerVESK.exe 3 a(1),b;c=[d]\u00f1\u0416\\e\"");
}

// A work folder whose path holds a character that the task's action or the interpreter would
// read (a quote ends the path early, "%" expands) is never put into the task: no command, no
// "IsSystemUser", one refusal line.
TEST_F(ServiceLaunch, AWorkFolderTheTaskWouldRewriteIsNeverPutIntoIt) {
    m.token = sim::TokenKind::ElevatedAdmin;
    for (const wchar_t* user : {L"o'neil", L"a%PATH%b", L"q\"q"}) {
        const std::wstring folder =
            L"C:\\users\\" + std::wstring(user) + L"\\Temp\\unpackvesk\\1\\";
        m.tempPath = L"C:\\users\\" + std::wstring(user) + L"\\Temp\\";
        std::filesystem::create_directories(m.HostPath(m.tempPath));
        ForgetRun();  // a run with that temp folder
        CWorkFolder theirs;
        theirs.Prepare();
        commands.clear();
        app.RunAsService(theirs);
        log = m.LogMessages();
        EXPECT_TRUE(commands.empty()) << commands.front();
        EXPECT_EQ(log.back(),
                  kTag + L"System launch refused, the work folder " + folder + L" holds ' \" or %");
        EXPECT_FALSE(regtest::Has(m, L"user", regtest::kProductKey1, L"IsSystemUser"));
    }
}

TEST_F(ServiceLaunch, AManagerFoundAtOnceIsAwaitedWithoutRetriesOrPause) {
    onRun = [this] { StartManager(m.selfSession, 4000); };
    Run();
    // The begin line comes after the run command and before the delete command.
    const size_t begin = IndexOf(kTag + L"RunAsService AVESK1 begin");
    ASSERT_LT(begin, log.size());
    size_t commandLines = 0;
    for (size_t i = 0; i < begin; ++i)
        if (log[i].find(L"finish ecode") != std::wstring::npos) ++commandLines;
    EXPECT_EQ(commandLines, 3u);
    EXPECT_EQ(Count(kTag + L"fail to wait QVM try to wait again"), 0u);
    EXPECT_EQ(Count(kTag + L"fail to wait QVM try to find VESK window"), 0u);
    EXPECT_EQ(log.back(), kTag + L"RunAsService AVESK1 end");
    EXPECT_EQ(Pauses(m), 0);
    EXPECT_GE(m.Now(), 4000u);
    EXPECT_LT(m.Now(), 6000u);
}

// A program of the manager's name that the user started first from elsewhere is passed over:
// the launch lasts as long as the work folder's manager, and the folder is there until it ends.
TEST_F(ServiceLaunch, OnlyTheWorkFoldersManagerIsAwaited) {
    m.processImages[m.AddProcess(kAgentManagerExe, m.selfSession, 1000)] = L"C:\\QVManagerVESK.exe";
    uint32_t manager = 0;
    onRun = [this, &manager] { manager = StartManager(m.selfSession, 6000); };
    Run();
    EXPECT_FALSE(m.IsAlive(manager));
    EXPECT_TRUE(m.Exists(work));
}

TEST_F(ServiceLaunch, AnAgentSeenOnlyThroughItsWindowIsFollowedByAPause) {
    plat::Hwnd window = 0;
    onRun = [this, &window] {
        // The agent's manager runs in another session; only its window is visible here.
        const uint32_t manager = m.AddProcess(kAgentManagerExe, 2, -1);
        window = m.AddWindow(kAgentWindowClass, manager);
        m.After(12000, [this, &window] { m.CloseWindow(window); });
    };
    Run();
    EXPECT_EQ(Count(kTag + L"fail to wait QVM try to wait again"), 10u);
    const size_t found = IndexOf(kTag + L"VESK window found");
    ASSERT_LT(found, log.size());
    EXPECT_EQ(log[found - 1], kTag + L"fail to wait QVM try to find VESK window");
    EXPECT_EQ(log[found + 1], kTag + L"VESK window is closed");
    EXPECT_EQ(log[found + 2], kTag + L"RunAsService AVESK1 end");
    EXPECT_EQ(waits::SpinnerWaits(m.sleeps).back(), 5000u);
    EXPECT_GE(m.Now(), 12000u + 5000u);
}

TEST_F(ServiceLaunch, NeitherManagerNorWindowGivesUpAfterBothPhases) {
    Run();
    EXPECT_EQ(Count(kTag + L"fail to wait QVM try to wait again"), 10u);
    EXPECT_EQ(Count(kTag + L"fail to find VESK window try to find again"), 15u);
    EXPECT_EQ(log[log.size() - 2], kTag + L"fail to find VESK window");
    EXPECT_EQ(log.back(), kTag + L"RunAsService AVESK1 end");
    EXPECT_EQ(Pauses(m), 0);
    // About 5 s of manager retries and 15 s of looking for the window.
    EXPECT_GE(m.Now(), 20000u);
    EXPECT_LT(m.Now(), 22000u);
}

TEST_F(ServiceLaunch, AnUnknownSessionNamesTheTaskMinusOneAndLooksEverywhere) {
    m.sessionQueryFails = true;
    ForgetRun();  // a run that cannot tell its session
    onRun = [this] { StartManager(5, 2000); };
    Run();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0], L"/c schtasks /create /xml AVESK.xml /ru \"system\" /tn AVESK-1");
    EXPECT_NE(commands[1].find(L"QVManagerVESK.exe -1 \""), std::wstring::npos);
    EXPECT_EQ(commands[3], L"/c schtasks /delete /f /tn AVESK-1");
    EXPECT_EQ(Count(kTag + L"fail to wait QVM try to wait again"), 0u);  // found in session 5
    EXPECT_EQ(log.back(), kTag + L"RunAsService AVESK-1 end");
}

TEST_F(ServiceLaunch, IsSystemUserExistsExactlyWhileTheLaunchIsUnderWay) {
    int64_t whileRunning = -2;
    onRun = [this, &whileRunning] {
        StartManager(m.selfSession, 1500);
        whileRunning = regtest::Dword(m, L"user", regtest::kProductKey1, L"IsSystemUser");
    };
    Run();
    EXPECT_EQ(whileRunning, 1);
    EXPECT_FALSE(regtest::Has(m, L"user", regtest::kProductKey1, L"IsSystemUser"));
}

// A task not set up (schtasks takes no "/tr" over 261 characters) is deleted, never run.
TEST_F(ServiceLaunch, ATaskThatCouldNotBeSetUpIsDeletedAndNeverRun) {
    m.SetRegDword(L"user", regtest::kProductKey1, L"IsCustomization", 1);
    m.WriteFile(work + L"QVManagerVESK.exe", "m");
    for (const wchar_t* step : {L"change", L"create"}) {
        failing = std::wstring(L"schtasks /") + step;
        commands.clear();
        Run();
        ASSERT_EQ(commands.size(), step[1] == L'h' ? 3u : 2u);  // no run, no standard launch
        EXPECT_EQ(commands.back(), L"/c schtasks /delete /f /tn AVESK1");
        EXPECT_EQ(
            Count(kTag + L"RunAsService AVESK1 " + step + L" failed 1, task deleted, not run"), 1u);
        EXPECT_FALSE(regtest::Has(m, L"user", regtest::kProductKey1, L"IsSystemUser"));
    }
    EXPECT_LT(m.Now(), 2000u);  // no agent awaited
}

TEST_F(ServiceLaunch, CustomizationRunsTheStandardLaunchAfterwardsAndSkipsThePause) {
    m.SetRegDword(L"user", regtest::kProductKey1, L"IsCustomization", 1);
    m.WriteFile(work + L"QVFeatureVESK.exe", "UIA");
    m.WriteFile(work + L"QVFeatureVESKNOUIA.exe", "NOUIA");
    m.WriteFile(work + L"QVManagerVESK.exe", "manager");
    plat::Hwnd window = 0;
    onRun = [this, &window] {
        const uint32_t manager = m.AddProcess(kAgentManagerExe, 2, -1);
        window = m.AddWindow(kAgentWindowClass, manager);
        m.After(8000, [this, &window] { m.CloseWindow(window); });
    };
    Run();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[4], L"/c QVManagerVESK.exe ");
    // The standard launch exchanged the feature builds; the mini copy is made again from the
    // build that now has the plain name.
    EXPECT_EQ(m.ReadFile(work + L"QVFeatureVESK.exe"), "NOUIA");
    EXPECT_EQ(m.ReadFile(work + L"QVFeatMiniVESK.exe"), "NOUIA");
    EXPECT_TRUE(std::find(log.begin(), log.end(), kTag + L"VESK window found") != log.end());
    EXPECT_EQ(Pauses(m), 0);
}

}  // namespace
