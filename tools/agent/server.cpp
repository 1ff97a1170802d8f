// Substitute agent server: records its start and runs for as long as the manager whose process
// id it was given runs (or RunSeconds when none was given).
#include "agent_common.h"

int wmain(int argc, wchar_t** argv) {
    agent::Record(L"QVServerVESK.exe", std::wstring(L"cmdline=") + ::GetCommandLineW());
    if (argc > 1) {
        HANDLE manager = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(argv[1])));
        if (manager) {
            ::WaitForSingleObject(manager, INFINITE);
            ::CloseHandle(manager);
        }
    } else {
        ::Sleep(static_cast<DWORD>(agent::Setting(L"RunSeconds", 6)) * 1000);
    }
    agent::Record(L"QVServerVESK.exe", L"ended");
    return 0;
}
