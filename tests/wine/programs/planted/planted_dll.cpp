// A DLL planted beside the launcher under the name of a system DLL (built as wtsapi32.dll and
// gdiplus.dll), as a hostile program in the download folder would: when any process loads it,
// it writes "<its own path>.loaded" holding the loading program's path. It exports nothing.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 16] = {};
    const DWORD n = ::GetModuleFileNameW(self, marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    lstrcatW(marker, L".loaded");
    wchar_t program[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    HANDLE file = ::CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(file, program, length * sizeof(wchar_t), &written, nullptr);
        ::WriteFile(file, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
        ::CloseHandle(file);
    }
    return TRUE;
}
