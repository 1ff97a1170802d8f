// The application object: the launcher does its whole job inside InitInstance, on the main
// thread, and then ends with exit code 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"
#include "unpack/own_file.h"
#include "util/log_tags.h"

class CHeldFolder;
class CLoadingWnd;
class CWorkFolder;

// What became of a command run through the interpreter: whether the interpreter started (when not,
// the error of its start), and its exit code once it has ended.
struct CommandResult {
    bool started = false;
    uint32_t startError = 0;
    uint32_t exitCode = 0;
    bool Succeeded() const { return started && exitCode == 0; }
};

// What a run carries from step to step: the launch token it hands to the agent, the instruction
// text of the command line, and the loading window while it is shown (the framework's main
// window). RunApplication holds one for the run; the steps that read or change it are given it.
struct RunState {
    std::wstring token;        // launch token (setup.ini, file name, or "/T")
    std::wstring instruction;  // instruction text collected from "/I"
    CLoadingWnd* mainWnd = nullptr;
};

// Looks out for the agent's window while the agent starts: the run's loading window closes at the
// first look that finds it, and only then.
class CAgentWatch {
public:
    explicit CAgentWatch(RunState& run) : m_run(run) {}
    void Look();

private:
    RunState& m_run;
    bool m_seen = false;
};

class CUnPackFileApp {
public:
    CUnPackFileApp() = default;
    virtual ~CUnPackFileApp() = default;
    CUnPackFileApp(const CUnPackFileApp&) = delete;
    CUnPackFileApp& operator=(const CUnPackFileApp&) = delete;

    // Runs the start-up sequence with the run's state; always returns false (no message loop
    // follows).
    virtual bool InitInstance(RunState& run);

    // The runtime's argument vector; position 0 is the program name.
    void SetArguments(std::vector<std::wstring> args) { m_args = std::move(args); }

    // The launcher's own file, held from the start of the run to its end: the package, the
    // signature check and the elevation backup read it through this one handle.
    COwnFile m_ownFile;

    // Launch token from setup.ini and the launcher's own file name (a browser's " (1)" or "[1]"
    // before ".exe" is no part of it).
    void ReadPackageSettings(const CHeldFolder& work, RunState& run);
    void GetTokenFromFileName(RunState& run);
    // The token reaches the command interpreter (and, in the system launch, a scheduled task's
    // action): a token holding what either reads (& | < > ^ % " ' !), a control character, a
    // blank of any kind, or beginning with - or / or ending in a backslash, is refused with a log
    // line, and the launch goes on without one. Any other text passes, letters of any script
    // included.
    static bool IsSafeToken(const std::wstring& token);
    void RefuseUnsafeToken(RunState& run);

    // Elevation and command line.
    [[nodiscard]] bool DecideElevation(bool& systemLaunch);  // false: an elevated copy took over
    // false: stop the run
    [[nodiscard]] bool PreScanToken(bool systemLaunch, bool& tokenSwitchMark);
    void ShowElevationPrompt();
    void RunSwitchLoop(const CWorkFolder& work, RunState& run);

    // Single-instance control; false: stop the run.
    [[nodiscard]] bool CheckSingleInstance(bool tokenSwitchMark);

    // Command execution and the two launches: each acts in the work folder it is given.
    // An elevated run starts nothing in a work folder reached through a link: such a command is
    // refused as a start that failed with access denied. Given the run's state (`agent`), the
    // command starts the agent: the elevation backup is made while it runs, and the run's loading
    // window closes once the agent's window is there.
    CommandResult ExecuteCommand(const CWorkFolder& work, const std::wstring& parameters,
                                 RunState* agent = nullptr);
    // A command that needs nothing of the work folder (the task's deletion): run with the system
    // folder as current directory, whatever the work folder's check says.
    CommandResult ExecuteSystemCommand(const std::wstring& parameters);
    void ExpandCabinets(const CWorkFolder& work);
    // Waits for the first process of `session` named `exeName` whose image is that program of
    // the work folder (programs of that name from elsewhere are passed over); false when there
    // is none.
    // The run's loading window closes once the agent's window is there.
    [[nodiscard]] bool WaitProcessExit(const CWorkFolder& work, const std::wstring& exeName,
                                       uint32_t session, RunState& run);
    // Both hand the run's token to the agent and close its loading window when the agent is up.
    void RunAsService(const CWorkFolder& work, RunState& run);
    void RunAsStandard(const CWorkFolder& work, RunState& run);
    void PrepareAgentFiles(const CWorkFolder& work, LogTag tag);

    // Every wait for a process: until it has ended, in polls of `pollMs` that keep the spinner
    // moving and end with the process. With `watch`, each poll looks for the agent's window.
    static void AwaitProcess(plat::Handle process, uint32_t pollMs, CAgentWatch* watch);

    // Instructions and code-signing settings.
    void HandleInstruction(std::wstring instruction);
    bool HasCodeSignSettings();

protected:
    std::vector<std::wstring> m_args;

private:
    void WriteStartupValues();  // "ImagePath" and "DesktopPath" in the product key
    // The copy of the launcher that the agent uses to elevate itself (with the agent's start).
    void MakeElevationBackup(CAgentWatch& watch);
    // Starts the interpreter with `parameters` in `directory` and waits for it to end.
    CommandResult RunInterpreter(const std::wstring& parameters, const std::wstring& directory,
                                 RunState* agent);
};

// The framework around the application object: runs InitInstance once with the argument
// vector and the run's state `run` (which the caller may look at afterwards), destroys a loading
// window still registered as main window, and returns the process exit code, which is always 0.
int RunApplication(CUnPackFileApp& app, int argc, wchar_t** argv, RunState& run);

// "/c <program> <arguments>": the interpreter's parameters that run a system program (such as
// "expand" or "schtasks"); an elevated run names it by its full path in the system folder.
std::wstring SystemProgramCommand(const wchar_t* program, const std::wstring& arguments);
