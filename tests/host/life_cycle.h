// The life of one machine with rights enforced: runs of every kind follow one another on one
// simulated machine (an administrator's limited and elevated runs, one killed at the agent's
// start, an administrator at the desk in another account, a second user, the system launch after
// a task left registered, the local system account). The LifeCycle test asserts each run's end
// state; vesk_rights prints every access decision of it for an independent access check.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/sim_machine.h"

namespace lifecycle {

struct Outcome {
    int n = 0;
    std::wstring kind;      // limited, elevated, killed, ots, other-user, task-left, system
    std::wstring expected;  // the agent that should have started: "<token> as <account>", or "none"
    std::wstring started;   // what did start, from this run's own package; "none": nothing
    std::wstring backup;    // the backup line's result, or "none" (the system launch makes none)
    std::wstring left;      // what is left in the desk user's "unpackvesk" ("-": nothing)
    std::wstring tasks;     // the tasks registered afterwards ("-": none)
    std::wstring backupOwner;  // who owns the elevation backup afterwards
};

// Runs the life; `after` sees the machine after each run. With `accessLog`, every access check
// of the simulated machine is recorded there.
void Live(const std::function<void(const Outcome&, sim::SimMachine&)>& after,
          std::vector<std::wstring>* accessLog = nullptr);

}  // namespace lifecycle
