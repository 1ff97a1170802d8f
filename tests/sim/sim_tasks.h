// The Task Scheduler as schtasks.exe shows it, for the host tests of the system launch: tasks by
// name, each with its account and the action its definition gave it, the definition read as
// schtasks reads it (UTF-16LE with its byte-order mark only, entities replaced).
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "sim/sim_machine.h"

namespace sim {

struct ScheduledTask {
    std::wstring account, command, arguments;  // "SYSTEM" for /ru "system"; command as written
};

struct TaskScheduler {
    explicit TaskScheduler(SimMachine& machine) : m(machine) {}
    // What "schtasks /create /xml FILE /ru USER /tn NAME [/f]", "/run /tn NAME" (the task handed
    // to `onRun`) or "/delete /f /tn NAME" does when the interpreter runs `parameters` in
    // `directory`: exit code 0, or 1 for a missing task or an unreadable definition. A name taken
    // without /f makes schtasks ask "(Y/N)" on an input nobody answers: it waits (an hour here)
    // and ends with 1. No value for any other program.
    std::optional<Program> Handle(const std::wstring& parameters, const std::wstring& directory);

    SimMachine& m;
    std::map<std::wstring, ScheduledTask> tasks;  // registered now
    std::function<void(const ScheduledTask&)> onRun;
};

}  // namespace sim
