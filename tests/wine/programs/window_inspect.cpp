// Looks at a top-level window for the Wine tests.
//   window_inspect.exe CLASS SECONDS [CLICK_AFTER_MS]
// Waits up to SECONDS for a visible window of that class, prints what the system says about it
// as "key=value" lines and "found", then waits (up to SECONDS again) until it is gone or hidden
// and prints how long that took and "gone". With CLICK_AFTER_MS it posts a left-button click to
// the window that long after finding it. Exit code 0 when the window was found and went, 1
// otherwise. (The window's icons cannot be asked from another process under Wine; window_show
// reports them.)
#include "platform/win32/win32.h"
// (first: the Win32 layer's header prepares <windows.h> for what follows)
#include <cstdio>

namespace {

void Print(const wchar_t* key, long value) {
    std::wprintf(L"%ls=%ld\n", key, value);
}
void PrintRect(const wchar_t* key, const RECT& r) {
    std::wprintf(L"%ls=%ld,%ld,%ld,%ld\n", key, r.left, r.top, r.right, r.bottom);
}

bool Present(HWND window) {
    return ::IsWindow(window) && ::IsWindowVisible(window);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: window_inspect CLASS SECONDS\n");
        return 2;
    }
    const DWORD limit = static_cast<DWORD>(_wtoi(argv[2])) * 1000;
    const DWORD clickAfter = argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) : 0;

    HWND window = nullptr;
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < limit; ::Sleep(5)) {
        window = ::FindWindowW(argv[1], nullptr);
        if (window && Present(window)) break;
        window = nullptr;
    }
    if (!window) {
        std::wprintf(L"not found\n");
        return 1;
    }

    RECT r;
    ::GetWindowRect(window, &r);
    PrintRect(L"rect", r);
    ::GetClientRect(window, &r);
    PrintRect(L"client", r);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
    PrintRect(L"workarea", r);
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    const int kind = ::GetWindowRgn(window, region);
    Print(L"regionkind", kind);  // SIMPLEREGION 2
    ::GetRgnBox(region, &r);
    PrintRect(L"regionbox", r);
    ::DeleteObject(region);

    Print(L"style", static_cast<long>(::GetWindowLongW(window, GWL_STYLE)));
    Print(L"exstyle", static_cast<long>(::GetWindowLongW(window, GWL_EXSTYLE)));
    Print(L"classstyle", static_cast<long>(::GetClassLongW(window, GCL_STYLE)));
    Print(L"classcursor", ::GetClassLongPtrW(window, GCLP_HCURSOR) != 0);
    Print(L"classbrush", ::GetClassLongPtrW(window, GCLP_HBRBACKGROUND) != 0);
    Print(L"classicon", ::GetClassLongPtrW(window, GCLP_HICON) != 0);
    Print(L"parent", ::GetAncestor(window, GA_PARENT) != ::GetDesktopWindow());
    Print(L"owner", ::GetWindow(window, GW_OWNER) != nullptr);
    Print(L"id", static_cast<long>(::GetWindowLongPtrW(window, GWLP_ID)));
    wchar_t title[64] = {};
    ::GetWindowTextW(window, title, 64);
    std::wprintf(L"title=%ls\n", title);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    Print(L"pid", static_cast<long>(pid));
    std::wprintf(L"found\n");
    std::fflush(stdout);

    bool clicked = clickAfter == 0;
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < limit; ::Sleep(5)) {
        if (!clicked && ::GetTickCount() - start >= clickAfter) {
            ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
            clicked = true;
        }
        if (!Present(window)) {
            Print(L"shown_ms", static_cast<long>(::GetTickCount() - start));
            std::wprintf(L"gone\n");
            return 0;
        }
    }
    return 1;
}
