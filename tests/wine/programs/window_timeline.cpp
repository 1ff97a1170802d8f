// Watches the loading window and the agent's window for the Wine tests and prints when each
// becomes visible, hidden, and (the loading window) destroyed:
//   window_timeline.exe SECONDS
// Both windows are found by their class: looking for a title would ask the window's own thread
// for its text, and the launcher's thread pumps no messages while it waits. Lines:
//   <ms since start> loading|agent shown|hidden|gone
// The program ends after SECONDS, or once both windows have been seen and are gone again.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cwchar>

namespace {

struct Watch {
    const wchar_t* name;
    const wchar_t* windowClass;
    bool exists = false, visible = false, seen = false;

    void Poll(unsigned long now) {
        const HWND w = ::FindWindowW(windowClass, nullptr);
        const bool v = w && ::IsWindowVisible(w);
        if (v != visible) std::wprintf(L"%lu %ls %ls\n", now, name, v ? L"shown" : L"hidden");
        if (exists && !w) std::wprintf(L"%lu %ls gone\n", now, name);
        exists = w != nullptr;
        visible = v;
        seen |= exists;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 60;
    const ULONGLONG start = ::GetTickCount64();
    Watch loading{L"loading", L"VeskLoadingWnd"};
    Watch agent{L"agent", L"QuintrovaRemoteAttendedSupport"};
    while (::GetTickCount64() - start < seconds * 1000ull) {
        const unsigned long now = static_cast<unsigned long>(::GetTickCount64() - start);
        loading.Poll(now);
        agent.Poll(now);
        std::fflush(stdout);
        if (loading.seen && agent.seen && !loading.exists && !agent.exists) break;
        ::Sleep(20);
    }
    return 0;
}
