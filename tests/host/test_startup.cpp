#include <gtest/gtest.h>

#include "app/app.h"
#include "registry_values.h"
#include "sim/sim_machine.h"

namespace {

int RunLauncher(CUnPackFileApp& app, RunState& run,
                std::vector<std::wstring> args = {L"C:\\Downloads\\VESK.exe"}) {
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    return RunApplication(app, static_cast<int>(argv.size()), argv.data(), run);
}

TEST(StartUp, ARunWithoutPackageStillCreatesAndRemovesTheWorkFolder) {
    sim::SimMachine m;
    CUnPackFileApp app;
    RunState run;
    EXPECT_EQ(RunLauncher(app, run), 0);
    const auto messages = m.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], L"[CUtility::OSInfo] OS 10.0(19045)  x64:0");
    EXPECT_EQ(
        m.CallsStartingWith(L"CreateFolderInFolder C:\\users\\user\\Temp\\unpackvesk\\1").size(),
        1u);
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
    EXPECT_EQ(run.mainWnd, nullptr);
}

TEST(StartUp, AWorkFolderThatCannotBeCreatedSkipsTheLaunch) {
    sim::SimMachine m;
    m.failCreateDirectory = 1000;
    CUnPackFileApp app;
    RunState run;
    EXPECT_EQ(RunLauncher(app, run), 0);
    const auto messages = m.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), L"[CUnPackFileApp::InitInstance] VESK skip without unpacking files");
}

TEST(StartUp, ARunWhoseOnlyTokenIsRefusedClearsEarlierInstructions) {
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;  // the system launch, where "/T" is taken
    m.SetRegString(L"user", regtest::kProductKey1, L"NoteSession", L"earlier");
    m.SetRegDword(L"user", regtest::kProductKey1, L"IdleSessionTimeout", 30);
    CUnPackFileApp app;
    RunState run;
    EXPECT_EQ(RunLauncher(app, run, {L"C:\\Downloads\\VESK.exe", L"/T", L"a&b"}), 0);
    EXPECT_EQ(run.token, L"");
    EXPECT_EQ(regtest::Text(m, L"user", regtest::kProductKey1, L"NoteSession"), L"<missing>");
    EXPECT_EQ(regtest::Text(m, L"user", regtest::kProductKey1, L"IdleSessionTimeout"),
              L"<missing>");
}

}  // namespace
