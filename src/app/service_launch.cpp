// The system launch: the agent started as the local system account through a one-shot scheduled
// task, then awaited through its manager process or, failing that, its window.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "ui/loading_wnd.h"
#include "unpack/work_folder.h"
#include "util/file.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

constexpr int kManagerAttempts = 10;
constexpr uint32_t kManagerRetryPauseMs = 500;
constexpr int kWindowAttempts = 15;
constexpr uint32_t kWindowPollMs = 1000;
constexpr uint32_t kWindowClosedPollMs = 2000;
constexpr uint32_t kFinalPauseMs = 5000;
// The package's task definition: its principal, settings and triggers are the task's; its action
// is replaced by this run's before the task is made from it.
constexpr const wchar_t* kTaskDefinition = L"AVESK.xml";

// What a failed command's line shows: the error that kept the interpreter from starting, or the
// exit code it ended with.
int Shown(const CommandResult& result) {
    return static_cast<int>(result.started ? result.exitCode : result.startError);
}

// A template without actions: false, with ERROR_INVALID_DATA.
bool NoActions() {
    return plat::Fail(plat::kErrorInvalidData);
}

// Whether an XML document can carry `s` as it is: no control character, no unpaired surrogate,
// no U+FFFE or U+FFFF.
bool XmlCarries(const std::wstring& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const uint32_t c = static_cast<uint32_t>(s[i]);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF)
            return false;
    }
    return true;
}

// `s` as the text of an XML element.
std::wstring XmlText(const std::wstring& s) {
    std::wstring out;
    for (wchar_t c : s) {
        if (c == L'&')
            out += L"&amp;";
        else if (c == L'<')
            out += L"&lt;";
        else if (c == L'>')
            out += L"&gt;";
        else
            out += c;
    }
    return out;
}

// The task definition in the work folder rewritten with the action `command arguments`, as Task
// Scheduler reads a definition file: UTF-16LE with its byte-order mark, declared so (schtasks
// takes no other Unicode form). The template is read as the system reads a text file: UTF-16LE
// or UTF-8 after its byte-order mark, else in the ANSI code page. False, with the last error, when
// it could not be written.
bool WriteTaskDefinition(const CWorkFolder& work, const std::wstring& command,
                         const std::wstring& arguments) {
    std::wstring xml;
    if (!ReadTextFile(work.Held(), kTaskDefinition, xml)) return false;

    // The declaration says what the file now is; the actions' own tag (its context, which names
    // the principal) stays, what it held goes.
    if (xml.compare(0, 5, L"<?xml") == 0) {
        const size_t declared = xml.find(L"?>");
        if (declared == std::wstring::npos) return NoActions();
        xml.erase(0, declared + 2);
    }
    size_t open = xml.find(L"<Actions");
    while (open != std::wstring::npos &&
           std::wstring(L" \t\r\n>").find(xml[open + 8]) == std::wstring::npos)
        open = xml.find(L"<Actions", open + 8);
    const size_t opened = open == std::wstring::npos ? open : xml.find(L'>', open);
    const size_t close = opened == std::wstring::npos ? opened : xml.find(L"</Actions>", opened);
    if (close == std::wstring::npos) return NoActions();
    xml.replace(opened + 1, close - opened - 1,
                L"<Exec><Command>" + XmlText(command) + L"</Command><Arguments>" +
                    XmlText(arguments) + L"</Arguments></Exec>");
    xml.insert(0, L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>");

    const std::string out = "\xFF\xFE" + text::ToUtf16Le(xml);
    CFile file;
    return file.Open(work.Held(), kTaskDefinition,
                     CFile::modeWrite | CFile::modeCreate | CFile::shareDenyWrite) &&
           file.Write(out.data(), static_cast<uint32_t>(out.size()));
}

}  // namespace

void CUnPackFileApp::RunAsService(const CWorkFolder& work, RunState& run) {
    // The session the agent must come up in; -1 when it cannot be told.
    const int session = static_cast<int>(Run().session);
    const std::wstring token = run.token;

    // The work folder goes into the task's action in double quotes, and Task Scheduler expands
    // "%" there: a path holding either would change the program the system account runs. No
    // system launch then; the run cleans up. (An apostrophe is plain text in a task definition.)
    if (work.Path().find_first_of(L"\"%") != std::wstring::npos) {
        logging::Log(tags::kRunAsService,
                     L"System launch refused, the work folder %ls holds ' \" or %%",
                     work.Path().c_str());
        return;
    }
    if (!XmlCarries(work.Path())) {
        logging::Log(tags::kRunAsService,
                     L"System launch refused, the work folder %ls holds a character no task "
                     L"definition carries",
                     work.Path().c_str());
        return;
    }
    // The action goes into the definition file, never through the interpreter's or schtasks'
    // quoting: the program in double quotes (Task Scheduler does not quote it, and a path with a
    // blank would otherwise start a program named by its first part), then its arguments.
    const std::wstring arguments =
        text::Format(L"QVManagerVESK.exe %d", session) + (token.empty() ? L"" : L" " + token);
    if (!WriteTaskDefinition(work, L"\"" + work.Join(L"Launcher.exe") + L"\"", arguments)) {
        logging::Log(tags::kRunAsService, L"RunAsService AVESK%d definition failed %d, not run",
                     session, static_cast<int>(plat::kernel().GetLastError()));
        return;
    }

    // "IsSystemUser" tells the agent that it runs as the system account, for exactly as long as
    // this launch lasts.
    CRegistry registry;
    if (registry.SetRootKey(plat::kHkeyCurrentUser, true) &&
        registry.OpenKey(L"UNIVERSAL_PATH_CONVERT", true))
        registry.SetDWORDValue(L"IsSystemUser", 1);

    auto schtasks = [&](const std::wstring& arguments) {
        return ExecuteCommand(work, SystemProgramCommand(L"schtasks", arguments));
    };
    // The deletion needs nothing of the work folder: it runs in the system folder, whatever the
    // folder's check says, so that no task this run made stays registered.
    auto deleteTask = [&] {
        ExecuteSystemCommand(
            SystemProgramCommand(L"schtasks", text::Format(L"/delete /f /tn AVESK%d", session)));
    };
    // "/f" replaces a task of that name (another user's, or one a killed run left) instead of
    // asking "(Y/N)" on the hidden interpreter's input, which no one would ever answer. A failed
    // creation is tried once more after the name is cleared.
    const std::wstring create =
        text::Format(L"/create /xml %ls /ru \"system\" /tn AVESK%d /f", kTaskDefinition, session);
    CommandResult created = schtasks(create);
    if (!created.Succeeded()) {
        logging::Log(tags::kRunAsService,
                     L"RunAsService AVESK%d create failed %d, task deleted, made once more",
                     session, Shown(created));
        deleteTask();
        created = schtasks(create);
    }
    // A task that was not made from this run's definition would run, as the system account,
    // whatever action it carries: it is deleted unrun, and no agent is waited for.
    if (!created.Succeeded()) {
        logging::Log(tags::kRunAsService,
                     L"RunAsService AVESK%d create failed %d, task deleted, not run", session,
                     Shown(created));
        deleteTask();
        registry.DeleteValue(L"IsSystemUser");
        return;
    }
    schtasks(text::Format(L"/run /tn AVESK%d", session));
    logging::Log(tags::kRunAsService, L"RunAsService AVESK%d begin", session);
    // The task goes at once; the agent it started keeps running.
    deleteTask();

    PrepareAgentFiles(work, tags::kRunAsService);

    // The work folder's manager in this session, awaited until it ends: the folder stays until
    // then.
    int attemptsLeft = kManagerAttempts;
    for (; attemptsLeft > 0; --attemptsLeft) {
        if (WaitProcessExit(work, kAgentManagerExe, static_cast<uint32_t>(session), run)) break;
        logging::Log(tags::kRunAsService, L"fail to wait QVM try to wait again");
        SleepWithSpinner(kManagerRetryPauseMs);
        if (AgentWindowExists()) CloseLoadingWnd(&run.mainWnd);
    }

    // No manager seen: the agent may still be up, visible only through its window.
    bool windowFound = false;
    if (attemptsLeft == 0) {
        logging::Log(tags::kRunAsService, L"fail to wait QVM try to find VESK window");
        for (int i = 0; i < kWindowAttempts; ++i) {
            SleepWithSpinner(kWindowPollMs);
            if (AgentWindowExists()) {
                windowFound = true;
                CloseLoadingWnd(&run.mainWnd);
                logging::Log(tags::kRunAsService, L"VESK window found");
                break;
            }
            logging::Log(tags::kRunAsService, L"fail to find VESK window try to find again");
        }
        if (windowFound) {
            while (AgentWindowExists()) SleepWithSpinner(kWindowClosedPollMs);
            logging::Log(tags::kRunAsService, L"VESK window is closed");
        } else {
            logging::Log(tags::kRunAsService, L"fail to find VESK window");
        }
    }
    logging::Log(tags::kRunAsService, L"RunAsService AVESK%d end", session);

    registry.DeleteValue(L"IsSystemUser");
    uint32_t customization = 0;
    registry.GetDWORDValue(L"IsCustomization", customization);
    if (customization != 0) {
        RunAsStandard(work, run);
        windowFound = false;
    }
    if (windowFound) SleepWithSpinner(kFinalPauseMs);
}
