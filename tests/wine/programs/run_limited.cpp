// Runs a program unelevated, as an administrator's own programs run on Windows: with the linked
// (filtered) token of this process's elevated administrator token. Waits for it to end.
//   run_limited.exe PROGRAM [ARGUMENTS...]
// Exit code: the program's, or 100 + the step that failed.
#include <string>

#include "platform/win32/win32.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 100;
    HANDLE own = nullptr, linked = nullptr, primary = nullptr;
    TOKEN_LINKED_TOKEN link = {};
    DWORD size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &own)) return 101;
    if (!::GetTokenInformation(own, TokenLinkedToken, &link, sizeof(link), &size)) return 102;
    linked = link.LinkedToken;
    if (!::DuplicateTokenEx(linked, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                            &primary))
        return 103;
    std::wstring commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessAsUserW(primary, nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &si, &pi))
        return 104;
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}
