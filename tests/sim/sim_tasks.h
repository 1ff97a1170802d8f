// The Task Scheduler as schtasks.exe shows it, for the host tests of the system launch: the tasks
// registered by name, each with the account it runs as and the action its definition file gave
// it, read as Task Scheduler reads such a file (UTF-16LE with its byte-order mark only, the
// action's text unescaped).
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/sim_machine.h"

namespace sim {

struct ScheduledTask {
    std::wstring account;  // "SYSTEM" for /ru "system"
    std::wstring command;  // the action's program as written (its quotes included)
    std::wstring arguments;
};

class TaskScheduler {
public:
    explicit TaskScheduler(SimMachine& m) : m_machine(m) {}

    // What schtasks does when the interpreter runs `parameters` ("/c [folder\]schtasks[.exe] ...")
    // in `directory`; nothing (no value) for any other program.
    //   /create /xml FILE /ru USER /tn NAME [/f]   registers; a name taken without /f makes it ask
    //                                              "(Y/N)" on its input, which nobody answers: it
    //                                              waits (an hour here), then ends with 1
    //   /run /tn NAME                              hands the task to `onRun`
    //   /delete /f /tn NAME                        removes it
    // Exit code 0, or 1 (a missing task, a definition it cannot read).
    std::optional<Program> Handle(const std::wstring& parameters, const std::wstring& directory);

    std::map<std::wstring, ScheduledTask> tasks;  // registered now, by name
    std::function<void(const ScheduledTask&)> onRun;

private:
    SimMachine& m_machine;
};

}  // namespace sim
