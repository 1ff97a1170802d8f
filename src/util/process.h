// Processes: finding them by name and session, and starting one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace proc {

// The processes of that program name (the whole name, letter case aside), in the snapshot's
// order, of `session` (kAnySession: of any). False when no snapshot could be taken.
bool FindProcesses(const std::wstring& exeName, std::vector<uint32_t>& pids, uint32_t session);
// CreateProcessW of the command line, inheriting handles, in `currentDirectory`.
bool StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                  const std::wstring& currentDirectory, int showCommand);

}  // namespace proc
