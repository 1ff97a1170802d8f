// Substitute for the scheduled task's program: "Launcher.exe <manager> <session> <token>" starts
// the manager beside it, handing over the token.
#include "agent_common.h"

int wmain(int argc, wchar_t** argv) {
    agent::Record(L"Launcher.exe", std::wstring(L"cmdline=") + ::GetCommandLineW());
    if (argc < 2) return 2;
    std::wstring command = L"\"" + agent::OwnFolder() + L"\\" + argv[1] + L"\"";
    if (argc > 3 && argv[3][0]) command += std::wstring(L" -t ") + argv[3];
    return agent::Start(command, agent::OwnFolder()) ? 0 : 1;
}
