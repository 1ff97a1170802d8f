// Watches two windows for the Wine tests and prints when each appears and goes:
//   window_timeline.exe SECONDS
// The loading window is found by its title "Loading", the agent's window by its class. Lines:
//   <ms since start> loading|agent shown|gone
// The program ends after SECONDS, or earlier once both have been seen and are gone again.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 60;
    const ULONGLONG start = ::GetTickCount64();
    bool loading = false, agent = false, seenLoading = false, seenAgent = false;
    while (::GetTickCount64() - start < seconds * 1000ull) {
        const bool l = ::FindWindowW(nullptr, L"Loading") != nullptr;
        const bool a = ::FindWindowW(L"QuintrovaRemoteAttendedSupport", nullptr) != nullptr;
        const unsigned long now = static_cast<unsigned long>(::GetTickCount64() - start);
        if (l != loading) std::wprintf(L"%lu loading %ls\n", now, l ? L"shown" : L"gone");
        if (a != agent) std::wprintf(L"%lu agent %ls\n", now, a ? L"shown" : L"gone");
        std::fflush(stdout);
        loading = l;
        agent = a;
        seenLoading |= l;
        seenAgent |= a;
        if (seenLoading && seenAgent && !loading && !agent) break;
        ::Sleep(20);
    }
    return 0;
}
