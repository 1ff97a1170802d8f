#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "app/agent.h"
#include "app/app.h"
#include "host/package_builder.h"
#include "platform/platform.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "sim/sim_tasks.h"
#include "unpack/work_folder.h"
#include "util/run_context.h"
#include "util/text.h"
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
        m.WriteFile(work + L"AVESK.xml", testpkg::kTaskTemplate);
        scheduler.onRun = [this](const sim::ScheduledTask& task) {
            ran.push_back(task);
            if (onRun) onRun();
        };
        m.onCreateProcess = [this](const std::wstring& commandLine, const std::wstring& directory) {
            const std::wstring parameters = sim::InterpreterParameters(commandLine);
            commands.push_back(parameters);
            directories.push_back(directory);
            if (!failing.empty() && parameters.find(failing) != std::wstring::npos &&
                failures-- != 0)
                return sim::Runs(0, 1);
            return scheduler.Handle(parameters, directory).value_or(sim::Runs(0, 0));
        };
    }
    void Run() {
        app.RunAsService(*workFolder, run);
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
    RunState run;
    std::optional<CWorkFolder> workFolder;
    std::wstring work;
    std::vector<std::wstring> commands, directories;  // the interpreter's, and where it ran
    std::vector<std::wstring> log;
    sim::TaskScheduler scheduler{m};
    std::vector<sim::ScheduledTask> ran;  // the tasks run, in order
    std::function<void()> onRun;
    std::wstring failing;  // a command holding this text ends with exit code 1 ...
    int failures = -1;     // ... that many times (-1: always)
};

TEST_F(ServiceLaunch, TheTaskRunsTheWorkFoldersLauncherAsTheSystemWithSessionAndToken) {
    m.selfSession = 3;
    SetUp();
    auto launches = [this](const std::wstring& arguments) {
        ran.clear();
        Run();
        ASSERT_EQ(ran.size(), 1u) << arguments;
        EXPECT_EQ(ran[0].account, L"SYSTEM");
        EXPECT_EQ(ran[0].command, L"\"" + work + L"Launcher.exe\"");
        EXPECT_EQ(ran[0].arguments, arguments);
        EXPECT_TRUE(scheduler.tasks.empty());  // gone once it ran
    };
    launches(L"QVManagerVESK.exe 3");
    EXPECT_EQ(commands.size(), 3u);  // no standard launch afterwards
    // The definition keeps the template's principal and settings, and its action's context.
    const std::string xml = m.ReadFile(work + L"AVESK.xml");
    EXPECT_NE(xml.find(text::ToUtf16Le(L"</Principals><Settings><Hidden>true</Hidden></Settings>"
                                       L"<Actions Context=\"Author\"><Exec>")),
              std::string::npos);

    run.token = L"ab12_Cx";
    launches(L"QVManagerVESK.exe 3 ab12_Cx");
    // Separators, brackets, any script and an inner backslash are plain text in the action's
    // arguments (a blank never gets here: it would split the token).
    run.token = L"a(1),b;c=[d]\u00f1\u0416\\e";
    launches(L"QVManagerVESK.exe 3 a(1),b;c=[d]\u00f1\u0416\\e");
}

// A work folder whose path holds a character that Task Scheduler would read in the task's action
// (a quote ends the program's path, "%" expands) or that no task definition can carry is never
// put into the task: no command, no "IsSystemUser", one refusal line. An apostrophe or an
// ampersand is plain text in the definition: that launch goes ahead.
TEST_F(ServiceLaunch, AWorkFolderTheTaskWouldRewriteIsNeverPutIntoIt) {
    m.token = sim::TokenKind::ElevatedAdmin;
    for (const std::wstring user : {L"o'neil", L"r&d", L"a%PATH%b", L"q\"q", L"u\uFFFFx"}) {
        const std::wstring folder = L"C:\\users\\" + user + L"\\Temp\\unpackvesk\\1\\";
        m.tempPath = L"C:\\users\\" + user + L"\\Temp\\";
        std::filesystem::create_directories(m.HostPath(m.tempPath));
        ForgetRun();  // a run with that temp folder
        CWorkFolder theirs;
        theirs.Prepare();
        m.WriteFile(folder + L"AVESK.xml", testpkg::kTaskTemplate);
        commands.clear();
        ran.clear();
        app.RunAsService(theirs, run);
        log = m.LogMessages();
        if (user.find_first_of(L"%\"\uFFFF") == std::wstring::npos) {
            ASSERT_EQ(ran.size(), 1u) << user;
            EXPECT_EQ(ran[0].command, L"\"" + folder + L"Launcher.exe\"");
            continue;
        }
        EXPECT_TRUE(commands.empty()) << commands.front();
        EXPECT_EQ(log.back(),
                  kTag + L"System launch refused, the work folder " + folder +
                      (user[1] == L'\uFFFF' ? L" holds a character no task definition carries"
                                            : L" holds ' \" or %"));
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
    EXPECT_EQ(commandLines, 2u);
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
    plat::Hwnd window;
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
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].arguments, L"QVManagerVESK.exe -1");
    EXPECT_TRUE(scheduler.tasks.empty());  // "AVESK-1", made and deleted
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

// A task that could not be made is deleted and made once more; one that still cannot be made is
// deleted, never run, and no agent is awaited.
TEST_F(ServiceLaunch, ATaskThatCouldNotBeSetUpIsDeletedAndNeverRun) {
    m.SetRegDword(L"user", regtest::kProductKey1, L"IsCustomization", 1);
    m.WriteFile(work + L"QVManagerVESK.exe", "m");
    failing = L"schtasks /create";
    Run();
    ASSERT_EQ(commands.size(), 4u);  // create, delete, create, delete: no run, no standard launch
    EXPECT_EQ(Count(kTag + L"RunAsService AVESK1 create failed 1, task deleted, not run"), 1u);
    EXPECT_TRUE(ran.empty() && scheduler.tasks.empty());
    EXPECT_FALSE(regtest::Has(m, L"user", regtest::kProductKey1, L"IsSystemUser"));
    EXPECT_LT(m.Now(), 2000u);

    failures = 1;
    Run();
    EXPECT_TRUE(ran.size() == 1 && scheduler.tasks.empty());
}

// Once the task is made, it is deleted from the system folder whatever becomes of the work
// folder: here a link put above it, which refuses the task's run.
TEST_F(ServiceLaunch, TheTaskIsDeletedEvenWhereTheWorkFolderMayNoLongerBeUsed) {
    m.token = sim::TokenKind::ElevatedAdmin;
    SetUp();
    const auto handle = m.onCreateProcess;
    m.onCreateProcess = [this, handle](const std::wstring& line, const std::wstring& directory) {
        const sim::Program program = handle(line, directory);
        if (line.find(L"/create") != std::wstring::npos) {
            const std::wstring unpack = L"C:\\users\\user\\Temp\\unpackvesk";
            std::filesystem::rename(m.HostPath(unpack), m.HostPath(unpack + L"-moved"));
            m.MakeSymlink(unpack, unpack + L"-moved");
        }
        return program;
    };
    Run();
    EXPECT_TRUE(ran.empty() && scheduler.tasks.empty());
    EXPECT_EQ(directories.back(), L"C:\\windows\\system32");  // where it was deleted
}

TEST_F(ServiceLaunch, CustomizationRunsTheStandardLaunchAfterwardsAndSkipsThePause) {
    m.SetRegDword(L"user", regtest::kProductKey1, L"IsCustomization", 1);
    m.WriteFile(work + L"QVFeatureVESK.exe", "UIA");
    m.WriteFile(work + L"QVFeatureVESKNOUIA.exe", "NOUIA");
    m.WriteFile(work + L"QVManagerVESK.exe", "manager");
    plat::Hwnd window;
    onRun = [this, &window] {
        const uint32_t manager = m.AddProcess(kAgentManagerExe, 2, -1);
        window = m.AddWindow(kAgentWindowClass, manager);
        m.After(8000, [this, &window] { m.CloseWindow(window); });
    };
    Run();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[3], L"/c QVManagerVESK.exe ");
    // The standard launch exchanged the feature builds; the mini copy is made again from the
    // build that now has the plain name.
    EXPECT_EQ(m.ReadFile(work + L"QVFeatureVESK.exe"), "NOUIA");
    EXPECT_EQ(m.ReadFile(work + L"QVFeatMiniVESK.exe"), "NOUIA");
    EXPECT_TRUE(std::find(log.begin(), log.end(), kTag + L"VESK window found") != log.end());
    EXPECT_EQ(Pauses(m), 0);
}

}  // namespace
