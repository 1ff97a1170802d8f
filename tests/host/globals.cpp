// The process-wide objects that the launcher's entry defines on Windows. Here a default
// simulated machine is installed first (same translation unit, so it is constructed first);
// every test then installs its own machine on top.
#include "app/instance_mutex.h"
#include "sim/sim_machine.h"

namespace {
sim::SimMachine g_defaultMachine;
}

CInstanceMutex g_instanceMutex(kInstanceMutexName);
