// Processes: finding them by name and session, and starting one.
#include "util/process.h"

#include "platform/platform.h"
#include "util/text.h"

namespace proc {

bool FindProcesses(const std::wstring& exeName, std::vector<uint32_t>& pids, uint32_t session) {
    plat::IKernel& k = plat::kernel();
    std::vector<plat::ProcessEntry> snapshot;
    pids.clear();
    if (!k.ProcessSnapshot(snapshot)) return false;
    for (const plat::ProcessEntry& entry : snapshot) {
        if (!text::EqualsNoCase(entry.exeFile, exeName)) continue;
        uint32_t s = 0;
        if (session == plat::kAnySession || (k.ProcessIdToSessionId(entry.pid, &s) && s == session))
            pids.push_back(entry.pid);
    }
    return true;
}

bool StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                  const std::wstring& currentDirectory, int showCommand) {
    plat::ProcessStart start;
    start.commandLine = commandLine;
    start.inheritHandles = true;
    start.creationFlags = plat::kCreateDefaultErrorMode;
    start.currentDirectory = currentDirectory;
    start.show = showCommand;
    return plat::kernel().CreateProcess(start, pi);
}

}  // namespace proc
