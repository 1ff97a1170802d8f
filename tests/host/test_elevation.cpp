#include <gtest/gtest.h>

#include "app/app.h"
#include "platform/platform.h"
#include "registry_values.h"
#include "sim/sim_machine.h"

namespace {

using sim::TokenKind;

const std::wstring kPrefix = L"[CUnPackFileApp::InitInstance] ";
const std::wstring kCommandLine = L"\"C:\\Downloads\\VESK.exe\" /T x";

struct Decision {
    bool goOn;
    bool systemLaunch;
    std::vector<std::wstring> relaunches;
};

Decision Decide(sim::SimMachine& m) {
    CUnPackFileApp app;
    bool systemLaunch = true;  // cleared by the decision itself
    Decision d;
    d.goOn = app.DecideElevation(systemLaunch);
    d.systemLaunch = systemLaunch;
    d.relaunches = m.CallsStartingWith(L"ShellExecuteEx ");
    return d;
}

TEST(Elevation, AnElevatedAdministratorTakesTheSystemLaunchInANormalBootOnly) {
    sim::SimMachine m;
    m.token = TokenKind::ElevatedAdmin;
    Decision d = Decide(m);
    EXPECT_TRUE(d.goOn);
    EXPECT_TRUE(d.systemLaunch);
    EXPECT_TRUE(d.relaunches.empty());

    m.cleanBoot = 1;  // fail-safe boot: the agent stays with the user
    d = Decide(m);
    EXPECT_TRUE(d.goOn);
    EXPECT_FALSE(d.systemLaunch);
}

TEST(Elevation, ALimitedAdministratorStartsAnElevatedCopyWithTheWholeCommandLine) {
    sim::SimMachine m;
    m.token = TokenKind::LimitedAdmin;
    m.commandLine = kCommandLine;
    Decision d = Decide(m);
    EXPECT_FALSE(d.goOn);  // the copy does the job
    EXPECT_EQ(d.relaunches,
              std::vector<std::wstring>{L"ShellExecuteEx runas|C:\\Downloads\\VESK.exe|" +
                                        kCommandLine + L"||0x100|1"});
    EXPECT_TRUE(m.LogMessages().empty());

    // Consent declined: the run goes on as a standard launch, silently.
    m.onShellExecute = [](const plat::ShellExecInfo&) {
        return sim::FailsToStart(plat::kErrorCancelled);
    };
    d = Decide(m);
    EXPECT_TRUE(d.goOn);
    EXPECT_FALSE(d.systemLaunch);
    EXPECT_TRUE(m.LogMessages().empty());
}

TEST(Elevation, NoRelaunchForUsersOrOlderSystems) {
    sim::SimMachine m;
    m.token = TokenKind::StandardUser;
    Decision d = Decide(m);
    EXPECT_TRUE(d.goOn);
    EXPECT_FALSE(d.systemLaunch);
    EXPECT_TRUE(d.relaunches.empty());

    m.token = TokenKind::ElevatedAdmin;
    m.version.major = 5;
    d = Decide(m);
    EXPECT_TRUE(d.goOn);
    EXPECT_FALSE(d.systemLaunch);
    EXPECT_TRUE(d.relaunches.empty());
}

TEST(Elevation, ACodeSigningJobKeepsTheRunFromAskingForElevation) {
    sim::SimMachine m;
    m.token = TokenKind::LimitedAdmin;
    m.SetRegString(L"user", regtest::kProductKey1, L"CodeSignTheme", L"dark");
    Decision d = Decide(m);  // one value alone is no job
    EXPECT_FALSE(d.goOn);
    EXPECT_EQ(d.relaunches.size(), 1u);

    sim::SimMachine m2;
    m2.token = TokenKind::LimitedAdmin;
    m2.SetRegString(L"user", regtest::kProductKey1, L"CodeSignTheme", L"dark");
    m2.SetRegString(L"user", regtest::kProductKey1, L"CodeSignOutput", L"C:\\out");
    d = Decide(m2);
    EXPECT_TRUE(d.goOn);
    EXPECT_FALSE(d.systemLaunch);
    EXPECT_TRUE(d.relaunches.empty());

    m2.token = TokenKind::ElevatedAdmin;  // not even an elevated one takes the system launch
    d = Decide(m2);
    EXPECT_FALSE(d.systemLaunch);
}

class PreScan : public ::testing::Test {
protected:
    bool Scan(std::vector<std::wstring> args, bool systemLaunch) {
        args.insert(args.begin(), L"C:\\Downloads\\VESK.exe");
        app.SetArguments(args);
        mark = false;
        return app.PreScanToken(systemLaunch, mark);
    }
    sim::SimMachine m;
    CUnPackFileApp app;
    bool mark = false;
};

TEST_F(PreScan, EverySpellingOfTheTokenSwitchMarksTheSystemLaunch) {
    for (const wchar_t* s : {L"-t", L"/t", L"T", L"--t", L"/T", L"-/T"}) {
        EXPECT_TRUE(Scan({L"abc", s}, /*systemLaunch=*/true)) << s;
        EXPECT_TRUE(mark) << s;
    }
    for (const wchar_t* s : {L"/TT", L"/D", L"x", L"/", L"--"}) {
        EXPECT_TRUE(Scan({s}, true));
        EXPECT_FALSE(mark) << s;
    }
    EXPECT_TRUE(m.messageBoxes.empty());
}

TEST_F(PreScan, OnOlderSystemsTheSwitchIsIgnored) {
    m.version.major = 5;
    EXPECT_TRUE(Scan({L"/T", L"x"}, false));
    EXPECT_FALSE(mark);
    EXPECT_TRUE(m.messageBoxes.empty());
}

TEST_F(PreScan, WithoutTheSystemLaunchThePromptEndsTheRun) {
    m.commandLine = kCommandLine;
    m.messageBoxAnswers = {plat::kIdOk};
    EXPECT_FALSE(Scan({L"/T", L"x"}, false));
    ASSERT_EQ(m.messageBoxes.size(), 1u);
    EXPECT_EQ(m.messageBoxes[0].caption, L"Warning");
    EXPECT_EQ(m.messageBoxes[0].text,
              L"Your admin requires your permission to connect to this computer.\n"
              L"  -  Click \"OK\" and in next dialog, click \"Yes\" to allow.\n"
              L"  -  Click \"Cancel\" if you do want to reject the connection.");
    EXPECT_EQ(m.messageBoxes[0].style, 0x51031u);
    // OK: the launcher is started again, its path quoted, in its own folder.
    EXPECT_EQ(m.CallsStartingWith(L"CreateProcess"),
              std::vector<std::wstring>{L"CreateProcess \"C:\\Downloads\\VESK.exe\" " +
                                        kCommandLine + L"|C:\\Downloads|1|0x4000000|inherit"});
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK ElevationLimited reopen "});
}

TEST_F(PreScan, APathWithABlankIsQuotedForTheReopen) {
    m.moduleFile = L"C:\\Users\\Ann Lee\\Downloads\\Support-ab12.exe";
    m.commandLine = L"\"C:\\Users\\Ann Lee\\Downloads\\Support-ab12.exe\" -t x";
    EXPECT_FALSE(Scan({L"-t", L"x"}, false));
    EXPECT_EQ(m.CallsStartingWith(L"CreateProcess"),
              std::vector<std::wstring>{
                  L"CreateProcess \"C:\\Users\\Ann Lee\\Downloads\\Support-ab12.exe\" "
                  L"\"C:\\Users\\Ann Lee\\Downloads\\Support-ab12.exe\" -t x|"
                  L"C:\\Users\\Ann Lee\\Downloads|1|0x4000000|inherit"});
}

TEST_F(PreScan, AFailedReopenAndACancelAreLogged) {
    m.onCreateProcess = [](const std::wstring&, const std::wstring&) {
        return sim::FailsToStart(plat::kErrorFileNotFound);
    };
    m.messageBoxAnswers = {plat::kIdOk, plat::kIdCancel};
    EXPECT_FALSE(Scan({L"t"}, false));
    EXPECT_FALSE(Scan({L"t"}, false));
    EXPECT_EQ(m.LogMessages(),
              (std::vector<std::wstring>{kPrefix + L"VESK ElevationLimited reopen failed 2",
                                         kPrefix + L"VESK ElevationLimited cancel"}));
    EXPECT_EQ(m.messageBoxes.size(), 2u);
}

TEST(ElevationRun, ThePromptRunShowsNoWindowAndEndsWithZero) {
    sim::SimMachine m;
    m.messageBoxAnswers = {plat::kIdCancel};
    CUnPackFileApp app;
    wchar_t arg0[] = L"C:\\Downloads\\VESK.exe";
    wchar_t arg1[] = L"/T";
    wchar_t arg2[] = L"x";
    wchar_t* argv[] = {arg0, arg1, arg2};
    RunState run;
    EXPECT_EQ(RunApplication(app, 3, argv, run), 0);
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{kPrefix + L"VESK ElevationLimited cancel"});
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
}

}  // namespace
