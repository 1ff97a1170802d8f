#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "ui/loading_wnd.h"
#include "unpack/work_folder.h"
#include "util/run_context.h"
#include "util/text.h"
#include "waits.h"

namespace {

const std::wstring kWork = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";

std::vector<std::wstring> Starts(const sim::SimMachine& m) {
    return m.CallsStartingWith(L"CreateProcess ");
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// As the application (no search or file association), without AutoRun or delayed expansion.
TEST(ExecuteCommand, TheInterpreterIsAlwaysNamedByItsFullPath) {
    struct Case {
        uint32_t major;
        bool wow64, wow64Missing;
        const wchar_t* interpreter;
    } cases[] = {
        {6, true, false, L"C:\\windows\\sysnative\\cmd.exe"},  // 32-bit launcher, 64-bit Windows
        {10, false, false, L"C:\\windows\\system32\\cmd.exe"},
        {5, true, false, L"C:\\windows\\system32\\cmd.exe"},  // before Vista: no sysnative
        {6, false, true, L"C:\\windows\\system32\\cmd.exe"},  // no IsWow64Process at all
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        m.version.major = c.major;
        m.wow64 = c.wow64;
        m.wow64Missing = c.wow64Missing;
        m.environment[L"NoDefaultCurrentDirectoryInExePath"] = L"1";  // else PATH before cwd
        CUnPackFileApp app;
        CWorkFolder work;
        work.Prepare();
        app.ExpandCabinets(work);
        EXPECT_TRUE(m.environment.empty());
        const std::wstring interpreter = c.interpreter;
        EXPECT_EQ(Starts(m), std::vector<std::wstring>{L"CreateProcess \"" + interpreter +
                                                       L"\" /d /v:off /c expand *.cab /f:* .\\|" +
                                                       kWork + L"|0|0x4000000|app:" + interpreter});
        EXPECT_EQ(m.currentDir, L"C:\\users\\user\\Temp\\unpackvesk\\1");
    }
}

// An elevated run names the system's expand.exe by its full path, in the system folder the
// interpreter sees (the 64-bit one's own "system32" when started through "sysnative"), so that
// no "expand.bat" of the work folder can stand in for it. A folder with a blank is quoted.
TEST(ExecuteCommand, AnElevatedRunNamesTheSystemsExpandByItsFullPath) {
    const struct {
        bool wow64;
        const wchar_t* windows;
        const wchar_t* parameters;
    } cases[] = {
        {true, L"C:\\windows", L"/c C:\\windows\\system32\\expand.exe *.cab /f:* .\\"},
        {false, L"C:\\windows", L"/c C:\\windows\\system32\\expand.exe *.cab /f:* .\\"},
        {false, L"D:\\My Windows",
         L"/c \"\"D:\\My Windows\\system32\\expand.exe\" *.cab /f:* .\\\""},
    };
    for (const auto& c : cases) {
        sim::SimMachine m;
        m.token = sim::TokenKind::ElevatedAdmin;
        m.wow64 = c.wow64;
        m.windowsDir = c.windows;
        CUnPackFileApp app;
        CWorkFolder work;
        work.Prepare();
        app.ExpandCabinets(work);
        const auto calls = Starts(m);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(sim::InterpreterParameters(calls[0].substr(0, calls[0].find(L'|'))),
                  c.parameters);
    }
}

TEST(ExecuteCommand, ACommandThatEndsAtOnceCostsNoWait) {
    sim::SimMachine m;
    m.onCreateProcess = [](const std::wstring&, const std::wstring&) { return sim::Runs(0, 7); };
    CUnPackFileApp app;
    CWorkFolder work;
    work.Prepare();
    EXPECT_EQ(app.ExecuteCommand(work, L"/c exit 7").exitCode, 7u);
    EXPECT_EQ(waits::SpinnerWaits(m.sleeps), std::vector<uint32_t>{0});
    const auto log = m.LogMessages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind(L"[CUnPackFileApp::ExecuteCommand] succ wait pid:", 0), 0u);
    EXPECT_EQ(log[1].substr(log[1].find(L" finish")), L" finish ecode:7");
    // Without the agent-start flag there is no backup copy.
    EXPECT_FALSE(m.Exists(L"C:\\ProgramData\\Quintrova"));
}

TEST(ExecuteCommand, AProcessExitingWith259StillEnds) {
    sim::SimMachine m;
    m.onCreateProcess = [](const std::wstring&, const std::wstring&) {
        return sim::Runs(500, plat::kStillActive);
    };
    CUnPackFileApp app;
    CWorkFolder work;
    work.Prepare();
    EXPECT_EQ(app.ExecuteCommand(work, L"/c x").exitCode, plat::kStillActive);
    // The wait ends with the process, 20 ms into its fifth slice.
    EXPECT_EQ(waits::SpinnerWaits(m.sleeps), (std::vector<uint32_t>{120, 120, 120, 120, 20}));
}

TEST(ExecuteCommand, AFailedStartIsLoggedAndNotAwaited) {
    sim::SimMachine m;
    m.onCreateProcess = [](const std::wstring&, const std::wstring&) {
        return sim::FailsToStart(plat::kErrorAccessDenied);
    };
    CUnPackFileApp app;
    CWorkFolder work;
    work.Prepare();
    RunState run;
    EXPECT_EQ(app.ExecuteCommand(work, L"/c QVManagerVESK.exe ", &run).startError,
              plat::kErrorAccessDenied);
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{L"[CUnPackFileApp::ExecuteCommand] fail 5"});
    EXPECT_TRUE(m.sleeps.empty());
    EXPECT_FALSE(m.Exists(L"C:\\ProgramData\\Quintrova"));
}

TEST(ExecuteCommand, BackupNames) {
    EXPECT_EQ(ElevationBackupName(L"C:\\T", 2, 0x00010002, 0x00030004), L"C:\\T\\Vesk021234.exe");
    EXPECT_EQ(ElevationBackupName(L"C:\\T", 12, 0x000A0000, 0x00000001), L"C:\\T\\Vesk1210001.exe");
    EXPECT_EQ(ElevationBackupName(L"C:\\T", 0xFFFFFFFF, 0, 0), L"C:\\T\\Vesk-10000.exe");
}

TEST(ExecuteCommand, TheAgentStartMakesTheBackupAndClosesTheWindowOnce) {
    sim::SimMachine m;
    m.selfSession = 2;
    m.moduleVersion = {0, 0, 0x00010002, 0x00030004};
    m.WriteFile(m.moduleFile, "MZ launcher");
    plat::Hwnd agentWindow;
    m.onCreateProcess = [&](const std::wstring&, const std::wstring&) {
        sim::Program p;
        p.runMs = 3000;
        p.onStart = [&](uint32_t pid) {
            // The agent's window comes after 500 ms and goes again after 1500 ms, while its
            // interpreter runs on until 3000 ms.
            m.After(500, [&, pid] { agentWindow = m.AddWindow(kAgentWindowClass, pid); });
            m.After(1500, [&] { m.CloseWindow(agentWindow); });
        };
        return p;
    };
    CUnPackFileApp app;
    RunState run;
    ShowLoadingWnd(&run.mainWnd);
    CWorkFolder work;
    work.Prepare();
    app.ExecuteCommand(work, L"/c QVManagerVESK.exe ", &run);
    // Closed at the first poll after the agent's window came (600 ms), and only then.
    EXPECT_EQ(run.mainWnd, nullptr);
    EXPECT_FALSE(m.loading.alive);
    EXPECT_EQ(std::count(m.loading.calls.begin(), m.loading.calls.end(), L"DestroyWindow"), 1);
    EXPECT_EQ(m.loading.gdiplusShutdowns, 1);
    ASSERT_FALSE(m.loading.shownAt.empty());
    EXPECT_EQ(m.loading.shownAt.back(), 480u);
    EXPECT_EQ(m.ReadFile(L"C:\\ProgramData\\Quintrova\\Temp\\Vesk021234.exe"), "MZ launcher");
    const auto log = m.LogMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1],
              L"[CUnPackFileApp::ExecuteCommand] backup for elevation C:\\Downloads\\VESK.exe to "
              L"C:\\ProgramData\\Quintrova\\Temp\\Vesk021234.exe 0");
    EXPECT_GE(m.Now(), 3000u);
    EXPECT_EQ(waits::SpinnerWaits(m.sleeps).size(), 25u);  // 120 ms polls until the end at 3000 ms

    // A window that comes and goes while the backup is copied (3 MiB, 20 ms a MiB) still closes
    // the loading window, between the copy's pieces: the first poll comes too late to see it.
    sim::SimMachine m2;
    m2.writeMsPerMiB = 20;
    m2.WriteFile(m2.moduleFile, std::string(3 << 20, 'x'));
    m2.onCreateProcess = [&](const std::wstring&, const std::wstring&) {
        sim::Program p = sim::Runs(500);
        p.onStart = [&](uint32_t pid) {
            m2.After(10, [&, pid] { agentWindow = m2.AddWindow(kAgentWindowClass, pid); });
            m2.After(30, [&] { m2.CloseWindow(agentWindow); });
        };
        return p;
    };
    CUnPackFileApp app2;
    RunState run2;
    ShowLoadingWnd(&run2.mainWnd);
    CWorkFolder work2;
    work2.Prepare();
    app2.ExecuteCommand(work2, L"/c QVManagerVESK.exe ", &run2);
    EXPECT_EQ(run2.mainWnd, nullptr);
}

TEST(ExecuteCommand, TheBackupIsTheUsersCopyOrOneIntoAFileTheLauncherChecked) {
    const std::wstring kShared = L"C:\\ProgramData\\Quintrova\\Temp";
    const std::wstring kBackup = kShared + L"\\Vesk011234.exe";
    const std::wstring kLine = L"[CUnPackFileApp::ExecuteCommand] backup for elevation ";
    auto run = [&](sim::SimMachine& m) {
        m.token = sim::TokenKind::System;
        m.WriteFile(m.moduleFile, "MZ launcher");
        CUnPackFileApp app;
        CWorkFolder work;
        work.Prepare();
        RunState state;
        app.ExecuteCommand(work, L"/c QVManagerVESK.exe ", &state);
        return m.LogMessages();
    };

    // The user's own copy where the user may write: into plain folders made fresh or left by
    // earlier runs, and in place of another account's backup, which goes.
    for (bool earlier : {false, true}) {
        sim::SimMachine m;
        if (earlier) {
            m.WriteFile(kBackup, "theirs");
            m.SetAccess(kBackup,
                        {m.SidOf(L"mallory"), true, true, {{m.SidOf(L"mallory"), 0x1F01FF}}});
        }
        const auto log = run(m);
        EXPECT_EQ(m.ReadFile(kBackup), "MZ launcher");
        EXPECT_TRUE(Contains(log, kLine + L"C:\\Downloads\\VESK.exe to " + kBackup + L" 0"));
        EXPECT_EQ(m.AccessOf(kBackup).owner, m.SidOf(L"user"));
        EXPECT_FALSE(m.AccessOf(kShared).isProtected);
    }

    // Where the user may not write, the launcher makes its own copy, never through a link: a
    // link in place of the folder or at the name, or a second name of another file, goes (as a
    // link, or that name alone) and the copy is made anew there. Where a link opens only as what
    // it points at (Wine), it stays, nothing is written, and one line says why.
    const auto deny = [](sim::SimMachine& m) {
        m.writeDenied[L"C:\\ProgramData"] = m.writeDenied[L"C:\\elsewhere"] = {L"user"};
    };
    struct Case {
        const wchar_t* what;
        std::function<void(sim::SimMachine&)> plant;  // in the backup's folder, made beforehand
        bool refused;
    } cases[] = {
        {L"none", nullptr, false},
        {L"link above",
         [&](sim::SimMachine& m) {
             std::filesystem::remove(m.HostPath(kShared));
             m.MakeSymlink(kShared, L"C:\\elsewhere");
         },
         false},
        {L"link at the name",
         [&](sim::SimMachine& m) { m.MakeSymlink(kBackup, L"C:\\elsewhere\\keep"); }, false},
        {L"hard link",
         [&](sim::SimMachine& m) {
             std::filesystem::create_hard_link(m.HostPath(L"C:\\elsewhere\\keep"),
                                               m.HostPath(kBackup));
         },
         false},
        {L"link that opens as its target",
         [&](sim::SimMachine& m) {
             m.MakeSymlink(kBackup, L"C:\\elsewhere\\keep");
             m.linksOpenAsTargets = true;
         },
         true},
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        m.WriteFile(L"C:\\elsewhere\\keep", "keep");
        if (c.plant) {
            CHeldFolder data, product, temp;
            ASSERT_TRUE(data.Open(L"C:\\ProgramData") &&
                        data.MakeFolder(L"Quintrova", nullptr, product) &&
                        product.MakeFolder(L"Temp", nullptr, temp));
            c.plant(m);
        }
        deny(m);
        const auto log = run(m);
        EXPECT_EQ(m.ReadFile(L"C:\\elsewhere\\keep"), "keep") << c.what;
        EXPECT_FALSE(m.Exists(L"C:\\elsewhere\\Vesk011234.exe")) << c.what;
        const std::wstring result = kLine + L"C:\\Downloads\\VESK.exe to " + kBackup;
        EXPECT_TRUE(Contains(log, result + (c.refused ? L" 1006" : L" 0"))) << c.what;
        EXPECT_EQ(Contains(log, kLine + L"refused, link at " + kBackup), c.refused) << c.what;
        if (c.refused) continue;
        EXPECT_EQ(m.ReadFile(kBackup), "MZ launcher") << c.what;
        // The system's copy: the logged-on user may refresh it.
        EXPECT_EQ(m.AccessOf(kBackup).owner, plat::kSidAdministrators) << c.what;
        EXPECT_EQ(m.AccessOf(kBackup).entries.at(0).sid, m.SidOf(L"user")) << c.what;
    }

    // A launcher of several of the copy's pieces comes out whole; a copy the disk cannot take is
    // not left behind, and its error is told. Without the common application-data folder, the
    // Windows folder's "Temp", never made.
    sim::SimMachine m;
    deny(m);
    std::string launcher(2500000, 0);
    for (size_t i = 0; i < launcher.size(); ++i) launcher[i] = static_cast<char>(i % 251);
    auto backup = [&] {
        m.token = sim::TokenKind::System;
        m.WriteFile(m.moduleFile, launcher);
        CUnPackFileApp app;
        CWorkFolder work;
        work.Prepare();
        RunState state;
        app.ExecuteCommand(work, L"/c QVManagerVESK.exe ", &state);
        for (auto line = m.debugOutput.rbegin(); line != m.debugOutput.rend(); ++line)
            if (sim::LogMessageOf(*line).rfind(kLine + L"C:", 0) == 0)
                return sim::LogMessageOf(*line);
        return std::wstring();  // the debugger has every line, also one the full disk lost
    };
    EXPECT_EQ(backup(), kLine + L"C:\\Downloads\\VESK.exe to " + kBackup + L" 0");
    EXPECT_TRUE(m.ReadFile(kBackup) == launcher);
    m.writeBudget = 70000;
    EXPECT_EQ(backup(), kLine + L"C:\\Downloads\\VESK.exe to " + kBackup + L" 112");
    EXPECT_FALSE(m.Exists(kBackup));
    m.failingFolders.insert(plat::kCsidlCommonAppData);
    EXPECT_EQ(backup(), kLine + L"C:\\Downloads\\VESK.exe to C:\\windows\\Temp\\Vesk011234.exe 2");
    EXPECT_FALSE(m.Exists(L"C:\\windows\\Temp"));
}

TEST(ExecuteCommand, WithoutTheAgentStartFlagTheLoadingWindowStays) {
    sim::SimMachine m;
    m.AddWindow(kAgentWindowClass, m.AddProcess(kAgentManagerExe, 1));
    CUnPackFileApp app;
    RunState run;
    ShowLoadingWnd(&run.mainWnd);
    CWorkFolder work;
    work.Prepare();
    app.ExpandCabinets(work);
    EXPECT_NE(run.mainWnd, nullptr);
    EXPECT_TRUE(m.loading.alive);
    CloseLoadingWnd(&run.mainWnd);
}

TEST(WaitProcessExit, OnlyTheFirstMatchOfTheOwnSessionIsAwaited) {
    sim::SimMachine m;
    CWorkFolder work;
    work.Prepare();
    m.AddProcess(kAgentManagerExe, 2, -1);  // another session: never awaited
    const uint32_t first = m.AddProcess(kAgentManagerExe, 1, 2500);
    m.AddProcess(kAgentManagerExe, 1, -1);  // runs on; not awaited
    for (uint32_t pid : m.ProcessesNamed(kAgentManagerExe))
        m.processImages[pid] = work.Join(kAgentManagerExe);
    CUnPackFileApp app;
    RunState run;
    EXPECT_TRUE(app.WaitProcessExit(work, kAgentManagerExe, 1, run));
    EXPECT_FALSE(m.IsAlive(first));
    // Polls of a second, the last ending with the process at 2500 ms.
    EXPECT_EQ(waits::SpinnerWaits(m.sleeps), (std::vector<uint32_t>{1000, 1000, 500}));
    EXPECT_TRUE(m.LogMessages().empty());

    m.sleeps.clear();
    EXPECT_FALSE(app.WaitProcessExit(work, L"QVServerVESK.exe", 1, run));  // none: false at once
    EXPECT_TRUE(m.sleeps.empty());
    EXPECT_TRUE(m.LogMessages().empty());
}

TEST(WaitProcessExit, AProcessThatCannotBeOpenedIsReported) {
    sim::SimMachine m;
    CWorkFolder work;
    const uint32_t pid = m.AddProcess(kAgentManagerExe, 1, -1);
    m.unopenableProcesses.insert(pid);
    CUnPackFileApp app;
    RunState run;
    EXPECT_FALSE(app.WaitProcessExit(work, kAgentManagerExe, 1, run));
    EXPECT_EQ(m.LogMessages(), std::vector<std::wstring>{
                                   L"[CUnPackFileApp::WaitProcessExit] failed to OpenProcess 5"});
}

class StandardLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        work.Prepare();
        for (const wchar_t* name : {L"QVFeatureVESK.exe", L"QVFeatureVESKNOUIA.exe",
                                    L"qvprinter.cat", L"qvprinterx.cat", L"QVManagerVESK.exe"})
            m.WriteFile(kWork + name, text::Narrow(name));
    }
    std::wstring ManagerCommand() const {
        for (const std::wstring& call : Starts(m)) {
            const std::wstring parameters = sim::InterpreterParameters(call);
            return parameters.substr(0, parameters.find(L'|'));
        }
        return L"";
    }
    sim::SimMachine m;
    CUnPackFileApp app;
    RunState run;
    CWorkFolder work;
};

TEST_F(StandardLaunch, FeatureBuildsExchangedAndTheManagerGetsTheToken) {
    run.token = L"ab12cd_Cx";
    app.RunAsStandard(work, run);
    EXPECT_EQ(m.ReadFile(kWork + L"QVFeatureVESK.exe"), "QVFeatureVESKNOUIA.exe");
    EXPECT_EQ(m.ReadFile(kWork + L"QVFeatureVESKUIA.exe"), "QVFeatureVESK.exe");
    EXPECT_EQ(m.ReadFile(kWork + L"QVFeatMiniVESK.exe"), "QVFeatureVESKNOUIA.exe");
    EXPECT_FALSE(m.Exists(kWork + L"QVFeatureVESKNOUIA.exe"));
    EXPECT_EQ(ManagerCommand(), L"/c QVManagerVESK.exe -t ab12cd_Cx");
    const auto log = m.LogMessages();
    EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::RunAsStandard] copy qvf " + kWork +
                                  L"QVFeatureVESK.exe to " + kWork + L"QVFeatMiniVESK.exe 0"));
    // Windows 10: the catalog that came as qvprinterx.cat takes the plain name.
    EXPECT_EQ(m.ReadFile(kWork + L"qvprinter.cat"), "qvprinterx.cat");
    EXPECT_EQ(m.ReadFile(kWork + L"qvprinter8.cat"), "qvprinter.cat");
    EXPECT_TRUE(Contains(log, L"[CUnPackFileApp::RunAsStandard] rename printer INF"));
}

TEST_F(StandardLaunch, WithoutATokenTheParametersEndInABlank) {
    app.RunAsStandard(work, run);
    EXPECT_EQ(ManagerCommand(), L"/c QVManagerVESK.exe ");
}

TEST_F(StandardLaunch, CatalogsStayBeforeWindows10OrWithoutTheWindows10Catalog) {
    m.version = {6, 3, 9600, 2, L"", 0, 0, 0, 1};
    ForgetRun();  // a run on Windows 8.1
    app.RunAsStandard(work, run);
    EXPECT_EQ(m.ReadFile(kWork + L"qvprinter.cat"), "qvprinter.cat");
    EXPECT_TRUE(m.Exists(kWork + L"qvprinterx.cat"));

    sim::SimMachine m2;
    CWorkFolder work2;
    work2.Prepare();
    m2.WriteFile(kWork + L"qvprinter.cat", "plain");
    CUnPackFileApp app2;
    app2.PrepareAgentFiles(work2, LogTag{L"T"});
    EXPECT_EQ(m2.ReadFile(kWork + L"qvprinter.cat"), "plain");
    for (const std::wstring& line : m2.LogMessages())
        EXPECT_EQ(line.find(L"rename printer INF"), std::wstring::npos);
}

TEST_F(StandardLaunch, ARenameThatCannotBeDoneIsLoggedAndTheLaunchGoesOn) {
    for (const auto& entry : std::filesystem::directory_iterator(m.HostPath(kWork)))
        std::filesystem::remove_all(entry);
    m.WriteFile(kWork + L"QVManagerVESK.exe", "m");
    app.RunAsStandard(work, run);
    const auto log = m.LogMessages();
    // Without "QVFeatureVESKNOUIA.exe" the first move is not even tried.
    EXPECT_TRUE(m.CallsStartingWith(L"RenameOpenFile " + kWork + L"QVFeatureVESK.exe").empty());
    EXPECT_TRUE(Contains(log,
                         L"[CUnPackFileApp::RunAsStandard] rename QVFeatureVESKNOUIA.exe to "
                         L"QVFeatureVESK.exe failed 2"));
    // The copy fails too and says so with the shell's code; the manager still starts.
    EXPECT_EQ(Starts(m).size(), 1u);
}

TEST_F(StandardLaunch, WithoutTheNoUiaBuildThePackagesBuildStaysForTheMiniCopy) {
    std::filesystem::remove(m.HostPath(kWork + L"QVFeatureVESKNOUIA.exe"));
    app.RunAsStandard(work, run);
    EXPECT_EQ(m.ReadFile(kWork + L"QVFeatureVESK.exe"), "QVFeatureVESK.exe");
    EXPECT_EQ(m.ReadFile(kWork + L"QVFeatMiniVESK.exe"), "QVFeatureVESK.exe");
    EXPECT_FALSE(m.Exists(kWork + L"QVFeatureVESKUIA.exe"));
    EXPECT_EQ(m.LogMessages()[0],
              L"[CUnPackFileApp::RunAsStandard] rename QVFeatureVESKNOUIA.exe to "
              L"QVFeatureVESK.exe failed 2");
}

TEST_F(StandardLaunch, WithoutTheManagerInTheWorkFolderNothingStarts) {
    std::filesystem::remove(m.HostPath(kWork + L"QVManagerVESK.exe"));  // else found along PATH
    app.RunAsStandard(work, run);
    EXPECT_TRUE(Starts(m).empty());
    EXPECT_EQ(m.LogMessages().back(), L"[CUnPackFileApp::RunAsStandard] Standard launch refused, " +
                                          kWork + L"QVManagerVESK.exe is missing");
}

TEST_F(StandardLaunch, ASecondDownloadsTokenReachesTheManagerWithoutTheBrowsersMark) {
    m.moduleFile = L"C:\\Downloads\\Support-\u00f1and\u00fa;x,y (1).exe";
    ForgetRun();  // the run's facts name the launcher's file
    app.GetTokenFromFileName(run);
    app.RefuseUnsafeToken(run);
    app.RunAsStandard(work, run);
    EXPECT_EQ(ManagerCommand(), L"/c QVManagerVESK.exe -t \u00f1and\u00fa;x,y");
}

TEST(LaunchToken, OnlyPlainCharactersReachTheInterpreter) {
    EXPECT_TRUE(CUnPackFileApp::IsSafeToken(L""));
    EXPECT_TRUE(CUnPackFileApp::IsSafeToken(L"ab12CD_Cx-y.z/1:2+3=4@5~6"));
    EXPECT_TRUE(CUnPackFileApp::IsSafeToken(L"ab12cd(1)"));
    EXPECT_TRUE(CUnPackFileApp::IsSafeToken(L"ab(c)[d],e;f#g$h{i}*j?\\k`l"));
    EXPECT_TRUE(CUnPackFileApp::IsSafeToken(L"\u00f1and\u00fa\u041a\u0438\u0440\u6771\uff06"));
    for (const wchar_t* bad : {L"abc&calc", L"a|b", L"a\"b", L"a'b", L"a^b", L"a%PATH%", L"a>b",
                               L"a<b", L"a!b", L"a\nb", L"a\tb", L"a\x7f", L"a\x85", L"a\\"})
        EXPECT_FALSE(CUnPackFileApp::IsSafeToken(bad)) << text::Narrow(bad);
    // Blanks of any kind split it into arguments; a leading - or / reads as a switch.
    for (const wchar_t* bad : {L"ab12cd (1)", L"ab12cd QVServerVESK 9", L"a\u00a0b", L"a\u2009b",
                               L"a\u3000b", L" ", L"-x", L"/x", L"--help", L"/"})
        EXPECT_FALSE(CUnPackFileApp::IsSafeToken(bad)) << text::Narrow(bad);
}

TEST(LaunchToken, AnUnsafeTokenIsRefusedWithALogLine) {
    sim::SimMachine m;
    CUnPackFileApp app;
    RunState run;
    run.token = L"ab12";
    app.RefuseUnsafeToken(run);
    EXPECT_EQ(run.token, L"ab12");
    EXPECT_TRUE(m.LogMessages().empty());
    run.token = L"abc&calc";
    app.RefuseUnsafeToken(run);
    EXPECT_EQ(run.token, L"");
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{
                  L"[CUnPackFileApp::InitInstance] VESK token refused: it holds & | < > ^ % \" ' ! "
                  L"or a control character, or ends in a backslash"});
}

}  // namespace
