#include <gtest/gtest.h>

#include "app/app.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "unpack/work_folder.h"

namespace {

using namespace regtest;

constexpr const wchar_t* kDebugMarker = L"C:\\users\\user\\Temp\\unpackvesk\\1\\log\\debug.dvm";
constexpr const wchar_t* kAvMarker = L"C:\\users\\user\\Temp\\unpackvesk\\1\\log\\debugAV.dvm";

struct Loop {
    sim::SimMachine m;
    CUnPackFileApp app;
    CWorkFolder work;
    RunState run;

    explicit Loop(std::vector<std::wstring> args, const wchar_t* token = L"from-ini") {
        work.Prepare();
        args.insert(args.begin(), L"C:\\Downloads\\VESK.exe");
        app.SetArguments(std::move(args));
        run.token = token;
        app.RunSwitchLoop(work, run);
    }
    // The texts HandleInstruction was called with, from its log lines.
    std::vector<std::wstring> Instructions() const {
        const std::wstring head = L"[CUnPackFileApp::HandleInstruction] VESK Instruction ";
        std::vector<std::wstring> out;
        for (const std::wstring& line : m.LogMessages())
            if (line.rfind(head, 0) == 0) out.push_back(line.substr(head.size()));
        return out;
    }
};

using Texts = std::vector<std::wstring>;

TEST(SwitchLoop, TokenSwitchTakesTheNextArgumentWhateverItIs) {
    {
        Loop l({L"/T", L"/D"});
        EXPECT_EQ(l.run.token, L"/D");
        EXPECT_FALSE(l.m.Exists(kDebugMarker));
    }
    {
        Loop l({L"-t", L"abc"});
        EXPECT_EQ(l.run.token, L"abc");
    }
    {
        Loop l({L"/T", L"one", L"/t", L"two"});
        EXPECT_EQ(l.run.token, L"two");
    }
    {
        Loop l({L"x", L"/T"});  // last: the token stays
        EXPECT_EQ(l.run.token, L"from-ini");
    }
    for (const wchar_t* notASwitch : {L"T", L"t", L"--t", L"//T", L"/TT", L"/ T"}) {
        Loop l({notASwitch, L"abc"});
        EXPECT_EQ(l.run.token, L"from-ini") << notASwitch;
    }
}

TEST(SwitchLoop, InstructionArgumentsAreJoinedUpToATokenOrDebugSwitch) {
    {
        Loop l({L"/I", L"a", L"b", L"/T", L"x"});
        EXPECT_EQ(l.run.instruction, L"ab");
        EXPECT_EQ(l.Instructions(), Texts{L"ab"});
        EXPECT_EQ(l.run.token, L"x");
    }
    {
        Loop l({L"/I", L"a", L"/I", L"b"});
        EXPECT_EQ(l.run.instruction, L"a/Ib");
        EXPECT_EQ(l.Instructions(), Texts{L"a/Ib"});
    }
    {
        Loop l({L"-i", L"NOTE=x", L"-D1", L"/i", L"IDLE=4", L"/d", L"y"});
        EXPECT_EQ(l.Instructions(), (Texts{L"NOTE=x", L"IDLE=4"}));
        EXPECT_EQ(l.run.instruction, L"IDLE=4");
        EXPECT_TRUE(l.m.Exists(kAvMarker));
        EXPECT_TRUE(l.m.Exists(kDebugMarker));
        // The second call cleared what the first one wrote.
        EXPECT_FALSE(Has(l.m, L"user", kProductKey1, L"NoteSession"));
        EXPECT_EQ(Dword(l.m, L"user", kProductKey1, L"IdleSessionTimeout"), 4);
    }
    {
        Loop l({L"/I", L"/T", L"x"});  // the first argument is taken whatever it is
        EXPECT_EQ(l.run.instruction, L"/Tx");
        EXPECT_EQ(l.run.token, L"from-ini");
    }
    {
        Loop l({L"/I"});  // nothing follows: no instruction, no call
        EXPECT_EQ(l.run.instruction, L"");
        EXPECT_TRUE(l.Instructions().empty());
    }
    {
        Loop l({L"/I", L""});  // an empty instruction is not handled
        EXPECT_TRUE(l.Instructions().empty());
    }
    {
        Loop l({L"/I", L"NOTE=a", L"/T", L"tok", L"/I"});  // a last "/I" repeats the instruction
        EXPECT_EQ(l.Instructions(), (Texts{L"NOTE=a", L"NOTE=a"}));
        EXPECT_EQ(Text(l.m, L"user", kProductKey1, L"NoteSession"), Sz(L"a"));
    }
}

TEST(SwitchLoop, DebugMarkersAreCreatedOrKept) {
    {
        Loop l({L"/D", L"-d1"});
        EXPECT_TRUE(l.m.Exists(kDebugMarker));
        EXPECT_TRUE(l.m.Exists(kAvMarker));
        EXPECT_EQ(l.m.ReadFile(kDebugMarker), "");
    }
    {
        sim::SimMachine m;
        CWorkFolder work;
        work.Prepare();
        m.WriteFile(kDebugMarker, "agent notes");
        CUnPackFileApp app;
        app.SetArguments({L"/D", L"-D"});  // position 0 counts too
        RunState run;
        app.RunSwitchLoop(work, run);
        EXPECT_EQ(m.ReadFile(kDebugMarker), "agent notes");
        EXPECT_FALSE(m.Exists(kAvMarker));
    }
    {
        sim::SimMachine m;
        CWorkFolder work;
        work.Prepare();
        m.failCreateDirectory = 1;
        CUnPackFileApp app;
        app.SetArguments({L"VESK.exe", L"/D", L"/T", L"x"});
        RunState run;
        app.RunSwitchLoop(work, run);  // silent, and the loop goes on
        EXPECT_FALSE(m.Exists(kDebugMarker));
        EXPECT_EQ(run.token, L"x");
    }
}

}  // namespace
