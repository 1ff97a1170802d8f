// Answers a message box for the Wine tests: waits for a dialog (class "#32770") with the given
// caption, prints its text, and presses OK or Cancel.
//   answer_dialog.exe CAPTION ok|cancel [seconds]
// Exit code 0 when a dialog was answered, 1 when none appeared in time.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    wchar_t cls[64] = {};
    ::GetClassNameW(child, cls, 64);
    if (std::wcscmp(cls, L"Static") == 0) {
        wchar_t text[1024] = {};
        ::GetWindowTextW(child, text, 1024);
        if (text[0]) {
            auto* out = reinterpret_cast<std::wstring*>(param);
            if (!out->empty()) *out += L"\n";
            *out += text;
        }
    }
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: answer_dialog CAPTION ok|cancel [seconds]\n");
        return 2;
    }
    const bool ok = std::wcscmp(argv[2], L"ok") == 0;
    const int seconds = argc > 3 ? _wtoi(argv[3]) : 60;
    for (int i = 0; i < seconds * 10; ++i) {
        HWND dialog = ::FindWindowW(L"#32770", argv[1]);
        std::wstring text;
        // A dialog is found as soon as it exists; its text comes a moment later.
        if (dialog) ::EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&text));
        if (!text.empty()) {
            LONG style = ::GetWindowLongW(dialog, GWL_EXSTYLE);
            std::wprintf(L"text: %ls\nexstyle: 0x%lx\n", text.c_str(), static_cast<unsigned long>(style));
            std::fflush(stdout);
            ::PostMessageW(dialog, WM_COMMAND, ok ? IDOK : IDCANCEL, 0);
            return 0;
        }
        ::Sleep(100);
    }
    return 1;
}
