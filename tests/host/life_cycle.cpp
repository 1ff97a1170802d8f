#include "host/life_cycle.h"

#include <filesystem>

#include "app/app.h"
#include "host/package_builder.h"
#include "host/registry_values.h"
#include "sim/sim_tasks.h"
#include "ui/loading_wnd.h"
#include "util/held_folder.h"
#include "util/text.h"

namespace lifecycle {
namespace {

constexpr uint32_t kBoth = plat::kObjectInherit | plat::kContainerInherit;
const std::wstring kBackup = L"C:\\ProgramData\\Quintrova\\Temp\\Vesk011234.exe";
struct Killed {};

struct Step {
    const wchar_t* kind;
    const wchar_t* account;  // who runs it
    const wchar_t* desk;     // who is logged on to the session
    sim::TokenKind token;
    bool standard;  // code-signing values keep an administrator on the standard launch
    bool killed;    // ended at the agent's start
    const char* token_;
};
const Step kSteps[] = {
    {L"limited", L"user", L"user", sim::TokenKind::LimitedAdmin, true, false, "one"},
    {L"elevated", L"user", L"user", sim::TokenKind::ElevatedAdmin, false, false, "two"},
    {L"killed", L"user", L"user", sim::TokenKind::ElevatedAdmin, false, true, "three"},
    {L"limited", L"user", L"user", sim::TokenKind::LimitedAdmin, true, false, "four"},
    {L"elevated", L"user", L"user", sim::TokenKind::ElevatedAdmin, false, false, "five"},
    {L"ots", L"admin2", L"user", sim::TokenKind::ElevatedAdmin, true, false, "six"},
    {L"other-user", L"user2", L"user2", sim::TokenKind::StandardUser, true, false, "seven"},
    {L"task-left", L"user", L"user", sim::TokenKind::ElevatedAdmin, false, false, "eight"},
    {L"system", L"SYSTEM", L"user", sim::TokenKind::System, false, false, "nine"},
};

// A profile as Windows makes one: the system, the administrators and its account full control.
void Profile(sim::SimMachine& m, const std::wstring& account) {
    const std::wstring home = L"C:\\users\\" + account;
    std::filesystem::create_directories(m.HostPath(home + L"\\Temp"));
    std::filesystem::create_directories(m.HostPath(home + L"\\Downloads"));
    m.SetAccess(home, {m.SidOf(account),
                       true,
                       true,
                       {{plat::kSidSystem, plat::kFileAllAccess, kBoth, true},
                        {plat::kSidAdministrators, plat::kFileAllAccess, kBoth, true},
                        {m.SidOf(account), plat::kFileAllAccess, kBoth, true}}});
}

std::wstring Listed(sim::SimMachine& m, const std::wstring& folder) {
    std::wstring out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m.HostPath(folder), ec))
        out += (out.empty() ? L"" : L",") + text::Widen(e.path().filename().string());
    return out.empty() ? L"-" : out;
}

std::wstring LastWord(const std::wstring& s) {
    return s.substr(s.find_last_of(L' ') + 1);
}

}  // namespace

void Live(const std::function<void(const Outcome&, sim::SimMachine&)>& after,
          std::vector<std::wstring>* accessLog) {
    sim::SimMachine m;
    m.administrators = {L"user", L"admin2"};
    m.accountSids[L"admin2"] = L"S-1-5-21-1-1002";
    m.accountSids[L"user2"] = L"S-1-5-21-1-1003";
    for (const wchar_t* account : {L"user", L"admin2", L"user2"}) Profile(m, account);
    // The system account's temp folder as Windows sets it up: users may make files and folders
    // in it, and have full control only of what they made.
    std::filesystem::create_directories(m.HostPath(L"C:\\windows\\Temp"));
    m.SetAccess(L"C:\\windows\\Temp",
                {plat::kSidSystem,
                 true,
                 true,
                 {{plat::kSidSystem, plat::kFileAllAccess, kBoth, true},
                  {plat::kSidAdministrators, plat::kFileAllAccess, kBoth, true},
                  {sim::kSidCreatorOwner, plat::kFileAllAccess, kBoth | plat::kInheritOnly, true},
                  {plat::kSidUsers, 0x2 | 0x4 | 0x20, plat::kContainerInherit, true}}});
    sim::TaskScheduler scheduler(m);
    Outcome out;
    std::string token;
    bool kill = false;
    // The agent that starts, and whether its program is this run's own.
    auto started = [&](const std::wstring& program, const std::string& expected,
                       const std::wstring& as, const std::wstring& tokenText) {
        if (kill) throw Killed{};
        out.started = tokenText + L" as " + as +
                      (m.ReadFile(program) == expected ? L"" : L" (another package)");
        // Beside the program, once the launcher waits for the agent (the system launch prepares
        // them after running its task), the agent's files as the launch leaves them: the mini
        // copy of the feature build that serves (for the user, the one without UI access), the
        // newer printer catalog under the plain name, the debug marker.
        const bool system = as == L"SYSTEM";
        auto look = [&m, &out, system, folder = program.substr(0, program.rfind(L'\\') + 1)] {
            if (m.ReadFile(folder + L"QVFeatMiniVESK.exe") !=
                    (system ? "feature" : "feature-noui") ||
                m.ReadFile(folder + L"qvprinter.cat") != "catalog-x" ||
                !m.Exists(folder + L"log\\debug.dvm"))
                out.started += L" (files not in place)";
        };
        if (system)
            m.At(m.Now() + 1, look);
        else
            look();
    };
    scheduler.onRun = [&](const sim::ScheduledTask& task) {
        std::wstring program = task.command;
        text::ReplaceAll(program, L"\"", L"");
        started(program, "launcher-" + token, task.account, LastWord(task.arguments));
    };
    m.onCreateProcess = [&](const std::wstring& commandLine, const std::wstring& directory) {
        const std::wstring p = sim::InterpreterParameters(commandLine);
        if (auto program = scheduler.Handle(p, directory)) return *program;
        if (p.find(L"expand") != std::wstring::npos) {
            // The cabinet's driver, read-only, as the launcher's expansion leaves it.
            CHeldFolder work;
            UniqueFile file;
            if (work.Open(directory))
                file =
                    work.OpenFile(L"driver.inf", plat::kGenericWrite | plat::kFileWriteAttributes,
                                  0, plat::kCreateNew);
            if (file) plat::files().SetOpenFileAttributes(file.Get(), plat::kAttrReadOnly);
        } else if (p.rfind(L"/c QVManagerVESK.exe", 0) == 0) {
            started(directory + L"QVManagerVESK.exe", "manager-" + token, m.userName, LastWord(p));
        }
        return sim::Program{};
    };
    m.accessLog = accessLog;

    int n = 0;
    for (const Step& step : kSteps) {
        out = Outcome();
        out.n = ++n;
        out.kind = step.kind;
        token = step.token_;
        kill = step.killed;
        const std::wstring account = step.account, desk = step.desk;
        const bool system = !step.standard && step.token != sim::TokenKind::LimitedAdmin;
        out.expected =
            kill ? L"none" : text::Widen(token) + L" as " + (system ? L"SYSTEM" : account);

        // Who runs, who sits at the desk (its shell), where the download and the temp folder are.
        m.userName = account;
        m.token = step.token;
        m.sessionUsers[1] = desk;
        for (uint32_t pid : m.ProcessesNamed(L"explorer.exe")) m.EndProcess(pid, 0);
        m.AddProcess(L"explorer.exe", 1, -1, 0, desk);
        m.tempPath = step.token == sim::TokenKind::System ? L"C:\\windows\\Temp\\"
                                                          : L"C:\\users\\" + account + L"\\Temp\\";
        m.moduleFile = L"C:\\users\\" + desk + L"\\Downloads\\VESK.exe";
        m.commandLine = L"\"" + m.moduleFile + L"\"";
        for (const wchar_t* name : {L"CodeSignTheme", L"CodeSignOutput"})
            m.SetRegString(desk, regtest::kProductKey1, name, step.standard ? L"x" : L"");
        // A task of this session's name left by a killed run before the system launch.
        if (out.kind == L"task-left")
            scheduler.tasks[L"AVESK1"] = {L"SYSTEM",
                                          L"\"C:\\users\\user\\Temp\\unpackvesk\\1\\Launcher.exe\"",
                                          L"QVManagerVESK.exe 1 stale"};
        m.WriteFile(m.moduleFile, testpkg::Pack(testpkg::Stub(),
                                                {{"setup.ini", "[Settings]\r\nvesk_token=" + token},
                                                 {"AVESK.xml", testpkg::kTaskTemplate},
                                                 {"drivers.cab", "MSCF"},
                                                 {"QVManagerVESK.exe", "manager-" + token},
                                                 {"QVFeatureVESK.exe", "feature"},
                                                 {"QVFeatureVESKNOUIA.exe", "feature-noui"},
                                                 {"qvprinter.cat", "catalog"},
                                                 {"qvprinterx.cat", "catalog-x"},
                                                 {"Launcher.exe", "launcher-" + token}}));
        m.debugOutput.clear();
        std::wstring self = m.moduleFile;
        std::wstring marker = L"/D";  // a debug marker left in the work folder
        wchar_t* argv[] = {self.data(), marker.data()};
        CUnPackFileApp app;
        RunState run;
        try {
            RunApplication(app, 2, argv, run);
        } catch (const Killed&) {
            CloseLoadingWnd(nullptr);  // the killed process's window went with it
        }
        if (out.started.empty()) out.started = L"none";
        out.backup = L"none";
        for (const std::wstring& line : m.debugOutput) {
            const std::wstring message = sim::LogMessageOf(line);
            if (message.find(L"backup for elevation C:") != std::wstring::npos)
                out.backup = LastWord(message);
        }
        out.left = Listed(m, L"C:\\users\\" + desk + L"\\Temp\\unpackvesk");
        for (const auto& [name, task] : scheduler.tasks)
            out.tasks += (out.tasks.empty() ? L"" : L",") + name;
        if (out.tasks.empty()) out.tasks = L"-";
        out.backupOwner = m.Exists(kBackup) ? m.AccessOf(kBackup).owner : L"-";
        after(out, m);
    }
}

}  // namespace lifecycle
