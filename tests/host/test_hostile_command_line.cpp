// Hostile argument vectors through the whole run (RunApplication) on the simulated machine, in
// the three ways a run goes: the system launch (elevated administrator), the standard launch
// (Windows XP, where "/T" needs no elevation) and the elevation prompt (a user on Windows 10 who
// passes a token switch). Each run is compared with a run of the same machine whose command line
// holds only what the hostile one may legitimately carry over: the token that survives the
// charset rule. Checked for every vector and kind of run:
//  - the exit code is 0;
//  - exactly the same commands are started as in the plain run, so nothing of the hostile
//    arguments but a safe token reaches the command interpreter or the scheduled task;
//  - on disk nothing changes that the plain run does not change (the log aside): marker files
//    and the work folder are gone again, nothing is written outside;
//  - in the registry nothing changes outside the product key, and there only what the plain
//    run writes plus the two instruction values, within their rules;
//  - a token the charset rule refuses is named in the log, once.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/app.h"
#include "fuzz/fuzz_support.h"
#include "host/package_builder.h"
#include "registry_values.h"
#include "sim/sim_impl.h"
#include "unpack/package_format.h"

namespace {

using Args = std::vector<std::wstring>;

constexpr const wchar_t* kRefused =
    L"[CUnPackFileApp::InitInstance] VESK token refused: it holds & | < > ^ % \" ' ! or a "
    L"control character, or ends in a backslash";

enum class Kind { SystemLaunch, StandardXp, Prompt };

const char* Name(Kind k) {
    return k == Kind::SystemLaunch ? "system launch" : k == Kind::StandardXp ? "XP" : "prompt";
}

// Registry values as "HIVE\KEY\NAME" -> type and bytes.
using Values = std::map<std::wstring, std::pair<uint32_t, std::vector<uint8_t>>>;

Values ValuesOf(sim::SimMachine& m) {
    Values out;
    for (const auto& [hive, keys] : m.impl().hives)
        for (const auto& [key, k] : keys)
            for (const auto& [name, v] : k.values)
                out[hive + L"\\" + key + L"\\" + name] = {v.second.type, v.second.data};
    return out;
}

std::set<std::wstring> ChangedValues(const Values& before, const Values& after) {
    std::set<std::wstring> changed;
    for (const auto& [name, v] : after)
        if (!before.count(name) || before.at(name) != v) changed.insert(name);
    for (const auto& [name, v] : before)
        if (!after.count(name)) changed.insert(name);
    return changed;
}

struct Outcome {
    int exitCode = -1;
    std::wstring token;                  // the token after the charset rule
    std::vector<std::wstring> commands;  // started programs, with their command lines
    std::set<std::string> disk;          // paths changed on disk, the log aside
    std::set<std::wstring> registry;     // values changed
    Values values;                       // the registry afterwards
    std::vector<std::wstring> log;
};

Outcome Run(Kind kind, Args args) {
    sim::SimMachine m;
    if (kind == Kind::SystemLaunch) m.token = sim::TokenKind::ElevatedAdmin;
    if (kind == Kind::StandardXp) m.version.major = 5, m.version.minor = 1;
    m.messageBoxAnswers = {plat::kIdCancel};
    m.WriteFile(m.moduleFile, testpkg::Pack(testpkg::Stub(), {{"QVManagerVESK.exe", "m"}}));
    // An earlier run's instruction values, which a run with instructions clears.
    m.SetRegString(L"user", regtest::kProductKey1, L"NoteSession", L"earlier,run");
    m.SetRegDword(L"user", regtest::kProductKey1, L"IdleSessionTimeout", 12345);
    const fuzz::Tree before = fuzz::ListTree(m);
    const Values valuesBefore = ValuesOf(m);
    const std::string log = fuzz::Relative(m, m.tempPath + L"unpack1.log");

    args.insert(args.begin(), L"C:\\Downloads\\VESK.exe");
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    CUnPackFileApp app;
    Outcome o;
    RunState run;
    o.exitCode = RunApplication(app, static_cast<int>(argv.size()), argv.data(), run);
    o.token = run.token;
    for (const std::wstring& call : m.calls)
        if (call.rfind(L"ShellExecuteEx ", 0) == 0 || call.rfind(L"CreateProcess ", 0) == 0)
            o.commands.push_back(call);
    for (const std::string& path : fuzz::Changes(before, fuzz::ListTree(m)))
        if (path != log) o.disk.insert(path);
    o.values = ValuesOf(m);
    o.registry = ChangedValues(valuesBefore, o.values);
    o.log = m.LogMessages();
    return o;
}

// The command line a careful user would have given for the same effect.
Args Plain(Kind kind, const Args& hostile, const std::wstring& token) {
    bool tokenLike = false;
    for (const std::wstring& a : hostile) {
        std::wstring rest;
        for (wchar_t c : a)
            if (c != L'/' && c != L'-') rest.push_back(c);
        tokenLike = tokenLike || text::EqualsNoCase(rest, L"T");
    }
    if (kind == Kind::Prompt && tokenLike) return {L"/T", L"x"};
    if (token.empty()) return {};
    return {L"/T", token};
}

// Runs `hostile` in the three kinds of run; `refused`: the token it passes through "/T" breaks
// the charset rule.
void Check(const Args& hostile, const std::string& what, bool refused = false) {
    for (Kind kind : {Kind::SystemLaunch, Kind::StandardXp, Kind::Prompt}) {
        SCOPED_TRACE(what + ", " + Name(kind));
        const Outcome o = Run(kind, hostile);
        const Outcome plain = Run(kind, Plain(kind, hostile, refused ? L"" : o.token));
        EXPECT_EQ(o.exitCode, 0);
        EXPECT_EQ(o.commands, plain.commands);
        for (const std::string& path : o.disk) EXPECT_TRUE(plain.disk.count(path)) << path;

        const std::wstring product = L"USER\\" + sim::CanonKey(regtest::kProductKey1) + L"\\";
        for (const std::wstring& value : o.registry) {
            if (plain.registry.count(value)) continue;
            EXPECT_TRUE(value == product + L"NOTESESSION" ||
                        value == product + L"IDLESESSIONTIMEOUT")
                << fuzz::Show(value);
        }
        // Instruction values this run wrote (an earlier run's stay when no instruction came).
        auto written = [&](const wchar_t* name) -> const std::vector<uint8_t>* {
            auto it = o.values.find(product + name);
            return it != o.values.end() && o.registry.count(it->first) ? &it->second.second
                                                                       : nullptr;
        };
        if (const auto* idle = written(L"IDLESESSIONTIMEOUT")) {
            ASSERT_EQ(idle->size(), 4u);
            EXPECT_LE(pkg::ReadU32(idle->data()), 9999u);
        }
        if (const auto* note = written(L"NOTESESSION")) {
            EXPECT_EQ(text::FromUtf16Le(note->data(), note->size()).find(L','), std::wstring::npos);
        }

        const bool refusedHere = refused && kind != Kind::Prompt;
        EXPECT_EQ(std::count(o.log.begin(), o.log.end(), kRefused), refusedHere ? 1 : 0);
        if (refusedHere) {
            EXPECT_EQ(o.token, L"");
        }
    }
}

TEST(HostileCommandLine, VeryLongArguments) {
    const std::wstring huge(100000, L'x');
    Check({huge}, "a long argument");
    Check({huge, huge, huge, L"/D", huge}, "long arguments and a marker");
    Check({L"/T", std::wstring(40000, L'a')}, "a long token");
    Check({L"/I", L"NOTE=" + std::wstring(50000, L'n') + L",IDLE=5"}, "a long instruction");
    Check({L"/I", L"IDLE=" + std::wstring(5000, L'9')}, "a long number");
}

TEST(HostileCommandLine, SwitchesWithoutTheirArgument) {
    Check({L"x", L"/T"}, "/T last");
    Check({L"/I"}, "/I last");
    Check({L"/T", L"/I"}, "/T taking /I", true);  // a token read as a switch
    Check({L"/I", L"/T"}, "/I followed by /T alone");
    Check({L"/I", L"NOTE=a", L"/I"}, "/I again at the end");
    Check({L"", L"/T", L""}, "empty arguments, an empty token");
    Check({L"/", L"-", L"--", L"/T/T", L"-d2", L"/I=", L"//I", L"/D1/D1"}, "switch-like junk");
}

TEST(HostileCommandLine, ThousandsOfArguments) {
    Args many;
    for (int i = 0; i < 5000; ++i) {
        many.push_back(i % 2 ? L"/D" : L"/D1");
        many.push_back(L"/I");
        many.push_back(L"NOTE=n" + std::to_wstring(i) + L",IDLE=" + std::to_wstring(i));
    }
    Check(many, "15000 arguments");
    many.push_back(L"/T");
    many.push_back(L"final_token");
    Check(many, "15000 arguments and a token");
}

TEST(HostileCommandLine, QuotesAndControlCharacters) {
    Check({L"\"", L"a\"b", L"\"/T\"", L"\"\"\""}, "embedded quotes");
    Check({L"/T", L"\"quoted\""}, "a quoted token", true);
    Check({L"/T", L"a\" & calc.exe & \""}, "a token that closes its quotes", true);
    Check({L"/I", L"NOTE=a\r\nb\x01\x1b[2J,IDLE=\t7"}, "control characters in instructions");
    Check({L"/T", L"t\tab"}, "a tab in the token", true);
    Check({L"/T", L"line\r\nnext"}, "a line break in the token", true);
    Check({L"/D\n", L"/T\x7f", L"\x1b/I"}, "switches with control characters");
}

TEST(HostileCommandLine, TokensWithShellMetacharactersAreRefused) {
    for (const wchar_t* token : {L"a&calc.exe", L"a|b", L"a>b", L"a<b", L"%COMSPEC%", L"a^b",
                                 L"!x!", L"'a'", L"(x) & calc", L"a (b\"c\")", L"x\\",
                                 L"ab12cd (1)", L"t\u00e9st \u0416", L"a\u00a0b", L"-x", L"/x"}) {
        Check({L"/T", token}, "token " + fuzz::Show(token), true);
        Check({L"/I", L"NOTE=x", L"-t", token, L"/D"}, "token after an instruction", true);
    }
    // Everything else stays plain text for the interpreter and the task's action.
    for (const wchar_t* token : {L"ab12cd(1)", L"(x)", L"`x`$(x)[y]", L"a;b,c", L"..\\..\\x",
                                 L"t\u00e9st\u0416", L"a\uff06b", L"a-b/c"})
        Check({L"/T", token}, "token " + fuzz::Show(token));
    // The last token switch decides: a safe token after an unsafe one is taken.
    Check({L"/T", L"a&b", L"/T", L"good_1"}, "unsafe, then safe");
    Check({L"/T", L"good_1", L"/T", L"a&b"}, "safe, then unsafe", true);
}

}  // namespace
