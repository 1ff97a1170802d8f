// Shows the launcher's loading window for the Wine tests, with the launcher's own code and
// resources (this program links the same resource script), for as long as a test needs.
//   window_show.exe MILLISECONDS [pump|block]
// Prints the window's icons and "shown" once the window is up, then waits: by default with
// SleepWithSpinner; with "pump" in a message loop that offers each message to the window first,
// so that its timers run; with "block" in a plain sleep that neither paints nor looks at messages,
// as the launcher's main thread waits for the extraction. Then it closes the window and prints
// "closed".
#include "platform/win32/win32.h"
// (first: the Win32 layer's header prepares <windows.h> for what follows)
#include <cstdio>
#include <cwchar>

#include "ui/loading_wnd.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fwprintf(stderr, L"usage: window_show MILLISECONDS [pump|block]\n");
        return 2;
    }
    const DWORD ms = static_cast<DWORD>(_wtoi(argv[1]));
    const bool pump = argc > 2 && std::wcscmp(argv[2], L"pump") == 0;
    const bool block = argc > 2 && std::wcscmp(argv[2], L"block") == 0;

    CLoadingWnd* main = nullptr;
    ShowLoadingWnd(&main);
    const HWND window = g_pLoadingWnd ? plat::win32::W(g_pLoadingWnd->GetSafeHwnd()) : nullptr;
    // The icons as the window itself has them (another process cannot ask for them under Wine).
    std::wprintf(L"bigicon=%d\n", ::SendMessageW(window, WM_GETICON, ICON_BIG, 0) != 0);
    std::wprintf(L"smallicon=%d\n", ::SendMessageW(window, WM_GETICON, ICON_SMALL, 0) != 0);
    std::wprintf(L"shown %d\n", window ? 1 : 0);
    std::fflush(stdout);

    if (block) {
        ::Sleep(ms);  // as blocked as the launcher's main thread while it extracts
    } else if (!pump) {
        SleepWithSpinner(ms);
    } else {
        const DWORD end = ::GetTickCount() + ms;
        while (static_cast<int>(end - ::GetTickCount()) > 0) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (g_pLoadingWnd && g_pLoadingWnd->PreTranslateMessage(msg.message)) continue;
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }

    CloseLoadingWnd(&main);
    std::wprintf(L"closed %d\n", main == nullptr && g_pLoadingWnd == nullptr ? 1 : 0);
    std::fflush(stdout);
    return 0;
}
