// Fuzz target: arbitrary argument vectors through the token pre-scan, the switch loop and the
// instructions it hands to HandleInstruction, then the token's charset rule, on the simulated
// machine.
//
// Input: one byte of flags (bit 0: the run has the system launch; bit 1: Windows before Vista),
// then the arguments, separated by NUL bytes, each read as UTF-8 (any bytes are taken). The
// program's path comes first, as in every real argument vector.
//
// Checked on every input, beside the sanitizers:
//  - The pre-scan shows the elevation prompt exactly when a token-like argument meets a run
//    without the system launch on Vista or later, and then changes nothing.
//  - The token is exactly the argument after the last "/T" the loop sees as a switch (a model of
//    the loop below says which), or the one from setup.ini without one; after the charset rule
//    it holds none of & | < > ^ % " ' !, no control character and no backslash at its end, or it
//    is empty.
//  - HandleInstruction is called with the texts the model expects, in order.
//  - In the whole registry only "NoteSession" and "IdleSessionTimeout" of the product key change;
//    "IdleSessionTimeout" is a REG_DWORD from 0 to 9999 that the last instruction spells;
//    "NoteSession" holds no comma and is part of the last instruction. Values of an earlier run
//    that break both rules are seeded, so a value that is not cleared is caught too.
//  - On disk only the log and the marker files in the work folder's "log" folder appear, exactly
//    the markers the switches ask for, and empty.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/app.h"
#include "fuzz_support.h"
#include "sim/sim_impl.h"
#include "unpack/work_folder.h"

namespace {

constexpr const wchar_t* kProgram = L"C:\\Downloads\\VESK.exe";
constexpr const wchar_t* kWorkFolder = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";
constexpr const wchar_t* kIniToken = L"ini-token";
constexpr const wchar_t* kProductKey = L"Software\\Quintrova Inc.\\Quintrova Remote Server VESK_1";
constexpr const wchar_t* kInstructionHead =
    L"[CUnPackFileApp::HandleInstruction] VESK Instruction ";

std::wstring Fold(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    return s;
}

// ---- a model of the command line ---------------------------------------------------------------

enum class Switch { None, Debug, DebugAv, Token, Instruction };

Switch Classify(const std::wstring& arg) {
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return Switch::None;
    const std::wstring name = Fold(arg.substr(1));
    if (name == L"D") return Switch::Debug;
    if (name == L"D1") return Switch::DebugAv;
    if (name == L"T") return Switch::Token;
    if (name == L"I") return Switch::Instruction;
    return Switch::None;
}

bool TokenLike(const std::wstring& arg) {
    std::wstring rest;
    for (wchar_t c : arg)
        if (c != L'/' && c != L'-') rest.push_back(c);
    return Fold(rest) == L"T";
}

struct Model {
    std::wstring token = kIniToken;
    std::wstring instruction;
    std::vector<std::wstring> calls;  // texts handed to HandleInstruction
    bool debug = false, debugAv = false;
};

Model Expect(const std::vector<std::wstring>& args) {
    Model mo;
    const size_t n = args.size();
    size_t i = 0;
    while (i < n) {
        const Switch s = Classify(args[i++]);
        if (s == Switch::Debug) mo.debug = true;
        if (s == Switch::DebugAv) mo.debugAv = true;
        if (s == Switch::Token && i < n) mo.token = args[i++];
        if (s == Switch::Instruction) {
            if (i < n) mo.instruction = args[i++];
            for (; i < n; ++i) {
                const Switch next = Classify(args[i]);
                if (next == Switch::Token || next == Switch::Debug || next == Switch::DebugAv)
                    break;
                mo.instruction += args[i];
            }
            if (!mo.instruction.empty()) mo.calls.push_back(mo.instruction);
        }
    }
    return mo;
}

// ---- the registry, as a whole ----------------------------------------------------------------

struct Value {
    std::wstring key;   // hive and key, as stored
    std::wstring name;  // upper case
    sim::SimMachine::RegValue value;
};

std::vector<Value> ValuesOf(sim::SimMachine& m) {
    std::vector<Value> out;
    for (const auto& [hive, keys] : m.impl().hives)
        for (const auto& [key, k] : keys)
            for (const auto& [name, v] : k.values)
                out.push_back({hive + L"\\" + key, name, v.second});
    return out;
}

bool SameValue(const Value& a, const Value& b) {
    return a.key == b.key && a.name == b.name && a.value.type == b.value.type &&
           a.value.data == b.value.data;
}

// Values of `after` that are new or changed, and values of `before` that are gone.
std::vector<Value> RegistryChanges(const std::vector<Value>& before,
                                   const std::vector<Value>& after) {
    std::vector<Value> changed;
    auto contains = [](const std::vector<Value>& in, const Value& v, bool exact) {
        for (const Value& x : in)
            if (exact ? SameValue(x, v) : (x.key == v.key && x.name == v.name)) return true;
        return false;
    };
    for (const Value& v : after)
        if (!contains(before, v, true)) changed.push_back(v);
    for (const Value& v : before)
        if (!contains(after, v, false)) changed.push_back(v);
    return changed;
}

bool GetValue(const sim::SimMachine& m, const wchar_t* name, sim::SimMachine::RegValue& v) {
    return m.GetRegValue(L"user", kProductKey, name, v);
}

std::vector<std::wstring> InstructionLogTexts(const sim::SimMachine& m) {
    std::vector<std::wstring> texts;
    const std::wstring head = kInstructionHead;
    for (const std::wstring& line : m.debugOutput) {
        const std::wstring message = sim::LogMessageOf(line);
        if (message.compare(0, head.size(), head) == 0)
            texts.push_back(message.substr(head.size()));
    }
    return texts;
}

// An argument as Windows hands it over: UTF-16 text without NUL. Code points that UTF-16 cannot
// carry, surrogate halves (which this build's 32-bit characters would keep apart where UTF-16
// joins them) and NUL (which overlong UTF-8 can spell) become U+FFFD.
std::wstring Argument(const std::string& bytes) {
    std::wstring arg = text::Widen(bytes);
    for (wchar_t& c : arg) {
        const uint32_t u = static_cast<uint32_t>(c);
        if (u == 0 || u > 0x10FFFF || (u >= 0xD800 && u < 0xE000)) c = 0xFFFD;
    }
    return arg;
}

bool SafeTokenChar(wchar_t c) {
    return c >= 0x20 && (c < 0x7F || c > 0x9F) &&
           std::wstring(L"&|<>^%\"'! \u00a0\u1680\u2028\u2029\u202f\u205f\u3000").find(c) ==
               std::wstring::npos &&
           (c < 0x2000 || c > 0x200A);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool systemLaunch = data[0] & 1;
    const bool preVista = data[0] & 2;
    std::vector<std::wstring> args{kProgram};
    {
        const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
        size_t from = 0;
        for (size_t nul; !rest.empty() && (nul = rest.find('\0', from)) != std::string::npos;
             from = nul + 1)
            args.push_back(Argument(rest.substr(from, nul - from)));
        if (!rest.empty()) args.push_back(Argument(rest.substr(from)));
    }

    sim::SimMachine m;
    if (preVista) m.version.major = 5, m.version.minor = 1;
    CWorkFolder work;
    work.Prepare();
    // An earlier run's values, each breaking the rules a run must keep, and values elsewhere.
    m.SetRegString(L"user", kProductKey, L"NoteSession", L"earlier,run");
    m.SetRegDword(L"user", kProductKey, L"IdleSessionTimeout", 12345);
    m.SetRegString(L"user", kProductKey, L"ImagePath", L"C:\\Downloads\\VESK.exe");
    m.SetRegString(L"user", L"Software\\Other", L"NoteSession", L"keep");
    m.SetRegDword(L"MACHINE", L"Software\\Quintrova Inc.\\Quintrova Remote Server", L"QVSBasedType",
                  1);
    const std::vector<Value> registryBefore = ValuesOf(m);
    const fuzz::Tree before = fuzz::ListTree(m);
    const std::string logFile = fuzz::Relative(m, m.tempPath + L"unpack1.log");
    const std::string markers = fuzz::Relative(m, std::wstring(kWorkFolder) + L"log");

    CUnPackFileApp app;
    app.SetArguments(args);
    RunState run;
    run.token = kIniToken;

    // Token pre-scan.
    bool tokenLike = false;
    for (const std::wstring& a : args) tokenLike = tokenLike || TokenLike(a);
    bool mark = false;
    const bool goesOn = app.PreScanToken(systemLaunch, mark);
    const bool prompt = tokenLike && !systemLaunch && !preVista;
    FUZZ_CHECK(goesOn == !prompt, "pre-scan %s", goesOn ? "went on" : "stopped");
    FUZZ_CHECK(m.messageBoxes.size() == (prompt ? 1u : 0u), "%zu message boxes",
               m.messageBoxes.size());
    FUZZ_CHECK(mark == (tokenLike && systemLaunch), "token-switch mark %d", mark);
    if (!goesOn) {
        FUZZ_CHECK(RegistryChanges(registryBefore, ValuesOf(m)).empty(),
                   "the prompt's run wrote registry values");
        for (const std::string& path : fuzz::Changes(before, fuzz::ListTree(m)))
            FUZZ_CHECK(path == logFile, "the prompt's run changed %s", path.c_str());
        return 0;
    }

    // Switch loop.
    app.RunSwitchLoop(work, run);
    const Model mo = Expect(args);
    FUZZ_CHECK(run.token == mo.token, "token \"%s\", expected \"%s\"",
               fuzz::Show(run.token).c_str(), fuzz::Show(mo.token).c_str());
    FUZZ_CHECK(run.instruction == mo.instruction, "instruction \"%s\", expected \"%s\"",
               fuzz::Show(run.instruction).c_str(), fuzz::Show(mo.instruction).c_str());

    // HandleInstruction: called with the model's texts (log lines are cut at their limit).
    const std::vector<std::wstring> logged = InstructionLogTexts(m);
    FUZZ_CHECK(logged.size() == mo.calls.size(), "%zu instructions handled, %zu expected",
               logged.size(), mo.calls.size());
    for (size_t i = 0; i < logged.size(); ++i)
        FUZZ_CHECK(mo.calls[i].compare(0, logged[i].size(), logged[i]) == 0 &&
                       (logged[i].size() > 900 || logged[i] == mo.calls[i]),
                   "instruction %zu logged as \"%s\"", i, fuzz::Show(logged[i]).c_str());

    // The registry: only the two instruction values of the product key, within their rules, and
    // nothing at all without an instruction.
    const std::wstring productKey = L"USER\\" + sim::CanonKey(kProductKey);
    const std::vector<Value> changes = RegistryChanges(registryBefore, ValuesOf(m));
    FUZZ_CHECK(changes.empty() || !mo.calls.empty(), "registry values changed without instruction");
    for (const Value& v : changes)
        FUZZ_CHECK(
            v.key == productKey && (v.name == L"NOTESESSION" || v.name == L"IDLESESSIONTIMEOUT"),
            "registry value %s\\%s changed", fuzz::Show(v.key).c_str(), fuzz::Show(v.name).c_str());
    if (!mo.calls.empty()) {
        const std::wstring& last = mo.calls.back();
        sim::SimMachine::RegValue v;
        if (GetValue(m, L"IdleSessionTimeout", v)) {
            FUZZ_CHECK(v.type == plat::kRegDword && v.data.size() == 4,
                       "IdleSessionTimeout type %u", v.type);
            const uint32_t seconds = v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                                     static_cast<uint32_t>(v.data[3]) << 24;
            FUZZ_CHECK(seconds <= 9999, "IdleSessionTimeout %u", seconds);
            // A value without digits reads as 0.
            FUZZ_CHECK(seconds == 0 ||
                           last.find(text::Widen(std::to_string(seconds))) != std::wstring::npos,
                       "IdleSessionTimeout %u is not in \"%s\"", seconds, fuzz::Show(last).c_str());
        }
        if (GetValue(m, L"NoteSession", v)) {
            FUZZ_CHECK(v.type == plat::kRegSz, "NoteSession type %u", v.type);
            std::wstring note = text::FromUtf16Le(v.data.data(), v.data.size());
            FUZZ_CHECK(!note.empty() && note.back() == L'\0', "NoteSession without terminator");
            note.pop_back();
            FUZZ_CHECK(note.find(L',') == std::wstring::npos, "NoteSession \"%s\" holds a comma",
                       fuzz::Show(note).c_str());
            FUZZ_CHECK(last.find(note) != std::wstring::npos, "NoteSession \"%s\" is not in \"%s\"",
                       fuzz::Show(note).c_str(), fuzz::Show(last).c_str());
        }
    }

    // The disk: the log, and the markers the switches asked for, empty.
    const fuzz::Tree after = fuzz::ListTree(m);
    for (const std::string& path : fuzz::Changes(before, after))
        FUZZ_CHECK(path == logFile || path == markers || path == markers + "/debug.dvm" ||
                       path == markers + "/debugAV.dvm",
                   "changed on disk: %s", path.c_str());
    auto marker = [&](const char* name) {
        auto it = after.find(markers + "/" + name);
        FUZZ_CHECK(it == after.end() || (it->second.kind == 'f' && it->second.content.empty()),
                   "marker %s is not an empty file", name);
        return it != after.end();
    };
    FUZZ_CHECK(marker("debug.dvm") == mo.debug, "debug.dvm %s", mo.debug ? "missing" : "created");
    FUZZ_CHECK(marker("debugAV.dvm") == mo.debugAv, "debugAV.dvm %s",
               mo.debugAv ? "missing" : "created");

    // The token's charset rule: what is left may reach the command interpreter.
    const std::wstring token = run.token;
    app.RefuseUnsafeToken(run);
    bool safe = true;
    for (wchar_t c : token) safe = safe && SafeTokenChar(c);
    safe =
        safe && (token.empty() || (token.back() != L'\\' && token[0] != L'-' && token[0] != L'/'));
    FUZZ_CHECK(run.token == (safe ? token : std::wstring()), "token after the rule \"%s\"",
               fuzz::Show(run.token).c_str());
    FUZZ_CHECK(m.Now() == 0, "the loop waited %llu ms", static_cast<unsigned long long>(m.Now()));
    return 0;
}
