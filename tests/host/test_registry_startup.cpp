#include <gtest/gtest.h>

#include "app/app.h"
#include "registry_values.h"
#include "sim/sim_machine.h"

namespace {

using namespace regtest;

int RunLauncher(std::vector<std::wstring> args = {}) {
    args.insert(args.begin(), L"C:\\Downloads\\VESK.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    CUnPackFileApp app;
    RunState run;
    return RunApplication(app, static_cast<int>(argv.size()), argv.data(), run);
}

TEST(StartupValues, ImagePathAndDesktopPathInTheProductKey) {
    sim::SimMachine m;
    m.moduleFile = L"C:\\Users\\user\\Downloads\\Support-ab12.exe";
    m.desktop = L"C:\\Users\\user\\Desktop";
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"ImagePath"),
              Sz(L"C:\\Users\\user\\Downloads\\Support-ab12.exe"));
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"DesktopPath"),
              Sz(L"C:\\Users\\user\\Desktop\\VESK.exe"));
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(StartupValues, WithoutADesktopFolderOnlyTheImagePath) {
    sim::SimMachine m;
    m.failingFolders.insert(plat::kCsidlDesktop);
    m.SetRegString(L"user", kProductKey1, L"DesktopPath", L"C:\\old\\VESK.exe");
    RunLauncher();
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"ImagePath"), Sz(L"C:\\Downloads\\VESK.exe"));
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"DesktopPath"), Sz(L"C:\\old\\VESK.exe"));
}

TEST(StartupValues, AProductKeyThatCannotBeCreatedIsSilent) {
    sim::SimMachine m;
    m.regKeyRights[std::wstring(L"user\\") + kProductKey1] = 0;
    EXPECT_EQ(RunLauncher(), 0);
    EXPECT_FALSE(Has(m, L"user", L"", L"ImagePath"));
    EXPECT_FALSE(Has(m, L"user", L"", L"DesktopPath"));
    EXPECT_FALSE(m.RegKeyExists(L"user", kProductKey1));
}

// The product key, or a key above it, made a link to a service's key by the user: neither launch
// writes anything there or creates a key below it.
TEST(StartupValues, ALinkInTheProductKeysPathLeadsNoValueAway) {
    const std::wstring services = L"System\\CurrentControlSet\\Services";
    for (sim::TokenKind token : {sim::TokenKind::StandardUser, sim::TokenKind::ElevatedAdmin}) {
        for (const wchar_t* link : {kProductKey1, L"Software\\Quintrova Inc."}) {
            sim::SimMachine m;
            m.token = token;
            m.SetRegString(L"MACHINE", services + L"\\Svc", L"ImagePath", L"svc.exe");
            m.MakeRegLink(L"user", link, L"MACHINE",
                          services + (std::wstring(link) == kProductKey1 ? L"\\Svc" : L""));
            EXPECT_EQ(RunLauncher({L"/I", L"NOTE=hello"}), 0);
            EXPECT_EQ(Text(m, L"MACHINE", services + L"\\Svc", L"ImagePath"), Sz(L"svc.exe"));
            EXPECT_FALSE(Has(m, L"MACHINE", services + L"\\Svc", L"NoteSession"));
            EXPECT_FALSE(
                m.RegKeyExists(L"MACHINE", services + L"\\Quintrova Remote Server VESK_1"));
            EXPECT_EQ(m.OpenRegistryKeys(), 0);
        }
    }
}

// Step 13: a run with neither token nor instruction clears earlier instructions; a run with a
// token keeps them; a run with an instruction sets them.
TEST(StartupValues, InstructionsOfEarlierRuns) {
    sim::SimMachine m;
    RunLauncher({L"/I", L"NOTE=hello,IDLE=30"});
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"NoteSession"), Sz(L"hello"));
    EXPECT_EQ(Dword(m, L"user", kProductKey1, L"IdleSessionTimeout"), 30);

    RunLauncher({L"/T", L"tok"});
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"NoteSession"), Sz(L"hello"));
    EXPECT_EQ(Dword(m, L"user", kProductKey1, L"IdleSessionTimeout"), 30);

    RunLauncher({L"/D"});
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"NoteSession"));
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"IdleSessionTimeout"));

    RunLauncher({L"/I", L"IDLE=7"});
    RunLauncher();
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"IdleSessionTimeout"));
}

}  // namespace
