// Running the launch's commands through the command interpreter, hidden, with the work folder (or,
// for a command that needs nothing of it, the system folder) as current directory; waiting for them
// (and for the agent) while the loading window keeps moving.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "ui/loading_wnd.h"
#include "unpack/work_folder.h"
#include "util/file.h"
#include "util/held_folder.h"
#include "util/log.h"
#include "util/process.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

constexpr uint32_t kCommandPollMs = 120;
constexpr uint32_t kProcessPollMs = 1000;

// The system folder of the interpreter, as this launcher reaches it (`fromLauncher`) or as the
// interpreter itself sees it. They differ for a 32-bit launcher on 64-bit Windows Vista or later,
// which takes the 64-bit interpreter through "sysnative" (a name only 32-bit programs have); that
// interpreter finds its programs in the real "system32".
std::wstring InterpreterFolder(bool fromLauncher) {
    std::wstring folder;
    if (!Run().IsPreVista() && Run().wow64) {
        plat::files().GetSystemWindowsDirectory(folder);
        return folder + (fromLauncher ? L"\\sysnative" : L"\\system32");
    }
    plat::files().GetSystemDirectory(folder);
    return folder;
}

// What tells which file a path names: its final path where the system gives one (links resolved,
// short names spelt out), else the path with its short (8.3) names spelt out. A process's image
// path and the work folder's path may spell one file differently: short names in the temp
// folder's path, a link above it (a relocated profile).
std::wstring PathToCompare(const std::wstring& path) {
    const UniqueFile file(plat::files().CreateFile(
        path, plat::kFileReadAttributes, plat::kShareRead | plat::kShareWrite | plat::kShareDelete,
        plat::kOpenExisting));
    std::wstring out;
    if (file && CHeldFolder::FinalPathOf(file.Get(), out)) return out;
    if (plat::files().GetLongPathName(path, out) == 0) out = path;
    return out;
}

}  // namespace

void CAgentWatch::Look() {
    if (m_seen || !AgentWindowExists()) return;
    m_seen = true;
    CloseLoadingWnd(&m_run.mainWnd);
}

void CUnPackFileApp::AwaitProcess(plat::Handle process, uint32_t pollMs, CAgentWatch* watch) {
    do {
        if (watch) watch->Look();
    } while (!SleepWithSpinner(pollMs, process));
}

CommandResult CUnPackFileApp::ExecuteCommand(const CWorkFolder& work,
                                             const std::wstring& parameters, RunState* agent) {
    // An elevated run starts nothing in a folder reached through a link.
    if (!work.ReachedDirectly(tags::kExecuteCommand, L"Command"))
        return {false, plat::kErrorAccessDenied, 0};
    plat::files().SetCurrentDirectory(work.Path());
    return RunInterpreter(parameters, work.Path(), agent);
}

CommandResult CUnPackFileApp::ExecuteSystemCommand(const std::wstring& parameters) {
    return RunInterpreter(parameters, InterpreterFolder(false), nullptr);
}

CommandResult CUnPackFileApp::RunInterpreter(const std::wstring& parameters,
                                             const std::wstring& directory, RunState* agent) {
    plat::IKernel& k = plat::kernel();
    // The interpreter looks for a bare name ("QVManagerVESK.exe") in the work folder before the
    // PATH, unless the environment it inherits says otherwise: the user's may not.
    k.SetEnvironmentVariable(L"NoDefaultCurrentDirectoryInExePath", nullptr);

    // The interpreter by its full path as the application, so that neither a search nor a file
    // association of the user's can stand in for it; "/d" keeps it from running the user's
    // AutoRun command first, "/v:off" from expanding "!name!" in what it is given. Hidden, in
    // `directory`, inheriting none of the launcher's handles.
    plat::ProcessStart start;
    start.application = InterpreterFolder(true) + L"\\cmd.exe";
    start.commandLine = L"\"" + start.application + L"\" /d /v:off " + parameters;
    start.creationFlags = plat::kCreateDefaultErrorMode;
    start.currentDirectory = directory;
    start.show = plat::kSwHide;
    plat::ProcessInfo started;
    CommandResult result;
    if (!k.CreateProcess(start, started)) {
        result.startError = k.GetLastError();
        logging::Log(tags::kExecuteCommand, L"fail %d", static_cast<int>(result.startError));
        return result;
    }
    result.started = true;
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    const uint32_t pid = started.pid;
    logging::Log(tags::kExecuteCommand, L"succ wait pid:%d", static_cast<int>(pid));

    if (agent) {
        CAgentWatch watch(*agent);
        MakeElevationBackup(watch);
        AwaitProcess(process.Get(), kCommandPollMs, &watch);
    } else {
        AwaitProcess(process.Get(), kCommandPollMs, nullptr);
    }

    k.GetExitCodeProcess(process.Get(), &result.exitCode);
    logging::Log(tags::kExecuteCommand, L"pid:%d finish ecode:%d", static_cast<int>(pid),
                 static_cast<int>(result.exitCode));
    return result;
}

std::wstring SystemProgramCommand(const wchar_t* program, const std::wstring& arguments) {
    if (!Run().elevated) return text::Format(L"/c %ls %ls", program, arguments.c_str());
    // The interpreter looks for a bare name in its current directory, the work folder, first:
    // an elevated run names the system's own program by its full path. A path with a blank is
    // quoted, and the whole command once more, as the interpreter strips the outer pair.
    const std::wstring path = InterpreterFolder(false) + L"\\" + program + L".exe";
    if (path.find(L' ') == std::wstring::npos)
        return text::Format(L"/c %ls %ls", path.c_str(), arguments.c_str());
    return text::Format(L"/c \"\"%ls\" %ls\"", path.c_str(), arguments.c_str());
}

void CUnPackFileApp::ExpandCabinets(const CWorkFolder& work) {
    // Every file of every cabinet in the work folder, into the work folder itself.
    ExecuteCommand(work, SystemProgramCommand(L"expand", L"*.cab /f:* .\\"));
}

bool CUnPackFileApp::WaitProcessExit(const CWorkFolder& work, const std::wstring& exeName,
                                     uint32_t session, RunState& run) {
    plat::IKernel& k = plat::kernel();
    std::vector<uint32_t> pids;
    proc::FindProcesses(exeName, pids, session);
    if (pids.empty()) return false;

    // Only the work folder's own program is awaited: one of that name from elsewhere (a user's
    // program started first) may end at any moment, and the run would then remove the folder
    // that the agent still runs from.
    const std::wstring expected = PathToCompare(work.Join(exeName));
    for (uint32_t pid : pids) {
        // Waiting on the handle needs SYNCHRONIZE; where that is not granted, the query right
        // alone still lets the exit code tell.
        UniqueHandle process(
            k.OpenProcess(plat::kProcessQueryLimitedInformation | plat::kSynchronize, false, pid));
        if (!process)
            process.Reset(k.OpenProcess(plat::kProcessQueryLimitedInformation, false, pid));
        if (!process) {
            logging::Log(tags::kWaitProcessExit, L"failed to OpenProcess %d",
                         static_cast<int>(k.GetLastError()));
            continue;
        }
        std::wstring image;
        if (!k.QueryFullProcessImageName(process.Get(), image) ||
            !text::EqualsNoCase(PathToCompare(image), expected)) {
            logging::Log(tags::kWaitProcessExit, L"skip pid:%d, its image is %ls",
                         static_cast<int>(pid), image.empty() ? L"unknown" : image.c_str());
            continue;
        }
        CAgentWatch watch(run);
        AwaitProcess(process.Get(), kProcessPollMs, &watch);
        return true;
    }
    return false;
}
