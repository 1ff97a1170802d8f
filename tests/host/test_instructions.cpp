#include <gtest/gtest.h>

#include "app/app.h"
#include "registry_values.h"
#include "sim/sim_machine.h"

namespace {

using namespace regtest;

constexpr const wchar_t* kInstructionLog = L"[CUnPackFileApp::HandleInstruction] VESK Instruction ";

// The session note and idle time-out after one instruction, over values of an earlier run.
struct Outcome {
    std::wstring note;  // "<missing>" when absent
    int64_t idle;       // -1 when absent
};
Outcome Apply(const std::wstring& instruction) {
    sim::SimMachine m;
    m.SetRegString(L"user", kProductKey1, L"NoteSession", L"old");
    m.SetRegDword(L"user", kProductKey1, L"IdleSessionTimeout", 600);
    CUnPackFileApp app;
    app.HandleInstruction(instruction);
    std::wstring note = Text(m, L"user", kProductKey1, L"NoteSession");
    if (!note.empty() && note.back() == L'\0') note.pop_back();
    return {note, Dword(m, L"user", kProductKey1, L"IdleSessionTimeout")};
}

TEST(Instructions, NoteAndIdleItems) {
    struct Case {
        const wchar_t* text;
        const wchar_t* note;
        int64_t idle;
    } cases[] = {
        {L"NOTE=Hello,IDLE=30", L"Hello", 30},
        {L"note=Hello,idle=30", L"Hello", 30},
        {L"NOTE=", L"", -1},
        {L"NOTE=a=b", L"a=b", -1},
        {L"IDLE=abc", L"<missing>", 0},
        {L"IDLE=-1", L"<missing>", -1},
        {L"IDLE=10000", L"<missing>", -1},
        {L"IDLE=9999", L"<missing>", 9999},
        {L"IDLE=0", L"<missing>", 0},
        {L"IDLE= 45s", L"<missing>", 45},
        {L"IDLE=+7", L"<missing>", 7},
        {L"IDLE=--7", L"<missing>", 0},
        {L"IDLE=99999999999999999999", L"<missing>", -1},
        {L"IDLE=-99999999999999999999", L"<missing>", -1},
        {L",,IDLE=5,,", L"<missing>", 5},
        {L"NOTE =x", L"<missing>", -1},  // the blank belongs to the key
        {L"NOTE= x", L" x", -1},         // leading blanks of a value stay
        {L"  NOTE=x \t", L"x", -1},      // leading blanks of a key and trailing of a value go
        {L"\tIDLE=12 ", L"<missing>", 12},
        {L"NOTE=a,NOTE=b,IDLE=1,IDLE=2", L"b", 2},
        {L"NOTE=keep,IDLE=10000", L"keep", -1},  // an out-of-range number writes nothing
        {L"FOO=1,BAR,NOTES=x", L"<missing>", -1},
        {L"NOTE", L"<missing>", -1},
        {L",", L"<missing>", -1},
    };
    for (const Case& c : cases) {
        const Outcome o = Apply(c.text);
        EXPECT_EQ(o.note, c.note) << c.text;
        EXPECT_EQ(o.idle, c.idle) << c.text;
    }
}

TEST(Instructions, EveryCallClearsTheValuesAndLogsOnlyAText) {
    sim::SimMachine m;
    m.SetRegString(L"user", kProductKey1, L"NoteSession", L"old");
    m.SetRegDword(L"user", kProductKey1, L"IdleSessionTimeout", 600);
    m.SetRegString(L"user", kProductKey1, L"Other", L"kept");
    CUnPackFileApp app;
    app.HandleInstruction(L"");
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"NoteSession"));
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"IdleSessionTimeout"));
    EXPECT_TRUE(Has(m, L"user", kProductKey1, L"Other"));
    EXPECT_TRUE(m.LogMessages().empty());

    app.HandleInstruction(L"FOO=1");
    EXPECT_EQ(m.LogMessages(), std::vector<std::wstring>{std::wstring(kInstructionLog) + L"FOO=1"});
}

TEST(Instructions, WithoutTheProductKeyNothingIsWrittenElsewhere) {
    sim::SimMachine m;
    m.SetRegString(L"user", L"", L"NoteSession", L"not ours");
    m.regKeyRights[std::wstring(L"user\\") + kProductKey1] = 0;
    CUnPackFileApp app;
    app.HandleInstruction(L"NOTE=hi,IDLE=3");
    EXPECT_EQ(Text(m, L"user", L"", L"NoteSession"), Sz(L"not ours"));
    EXPECT_FALSE(Has(m, L"user", L"", L"IdleSessionTimeout"));
    EXPECT_FALSE(m.RegKeyExists(L"user", kProductKey1));
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(CodeSignSettings, BothValuesMustHoldText) {
    struct Case {
        const wchar_t* theme;   // null: absent
        const wchar_t* output;  // null: absent
        uint32_t type;
        bool expected;
    } cases[] = {
        {L"dark", L"C:\\out", plat::kRegSz, true}, {L"dark", L"%OUT%", plat::kRegExpandSz, true},
        {L"dark", nullptr, plat::kRegSz, false},   {nullptr, L"C:\\out", plat::kRegSz, false},
        {L"dark", L"", plat::kRegSz, false},       {L"", L"C:\\out", plat::kRegSz, false},
        {nullptr, nullptr, plat::kRegSz, false},   {L"dark", L"C:\\out", plat::kRegBinary, false},
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        if (c.theme) m.SetRegString(L"user", kProductKey1, L"CodeSignTheme", c.theme);
        if (c.output) m.SetRegString(L"user", kProductKey1, L"CodeSignOutput", c.output, c.type);
        CUnPackFileApp app;
        EXPECT_EQ(app.HasCodeSignSettings(), c.expected)
            << (c.theme ? c.theme : L"-") << " " << (c.output ? c.output : L"-");
        EXPECT_TRUE(m.RegKeyExists(L"user", kProductKey1));  // selected with creation
    }
}

TEST(CodeSignSettings, ReadFromTheLoggedOnUsersProductKeyOnly) {
    {
        // The values at the hive root are not the product key's.
        sim::SimMachine m;
        m.SetRegString(L"user", L"", L"CodeSignTheme", L"t");
        m.SetRegString(L"user", L"", L"CodeSignOutput", L"o");
        m.regKeyRights[std::wstring(L"user\\") + kProductKey1] = 0;
        CUnPackFileApp app;
        EXPECT_FALSE(app.HasCodeSignSettings());
    }
    {
        sim::SimMachine m;
        m.selfSession = 2;
        m.SetRegString(L"user", kProductKey1, L"CodeSignTheme", L"t");
        m.SetRegString(L"user", kProductKey1, L"CodeSignOutput", L"o");
        CUnPackFileApp app;
        EXPECT_FALSE(app.HasCodeSignSettings());
    }
}

}  // namespace
