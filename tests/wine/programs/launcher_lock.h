// For test programs that act on a launcher while it waits at its single-instance check: hold the
// launcher's lock (its named mutex), so that a launcher started now waits, and find that
// launcher by its loading window.
#pragma once

#include <cstdio>

#include "platform/win32/win32.h"

// Creates the mutex (printing "locked") into `lock` and waits up to `seconds` for a loading
// window: false after printing "no launcher"; else `launcher` receives the launcher's process
// (SYNCHRONIZE access; null when it cannot be opened).
inline bool HoldLockAndFindLauncher(const wchar_t* mutex, int seconds, HANDLE* lock,
                                    HANDLE* launcher) {
    *lock = ::CreateMutexW(nullptr, FALSE, mutex);
    std::wprintf(L"locked\n");
    std::fflush(stdout);
    HWND loading = nullptr;
    for (int i = 0; i < seconds * 20 && !loading; ++i) {
        loading = ::FindWindowW(L"VeskLoadingWnd", nullptr);
        if (!loading) ::Sleep(50);
    }
    if (!loading) {
        std::wprintf(L"no launcher\n");
        return false;
    }
    DWORD pid = 0;
    ::GetWindowThreadProcessId(loading, &pid);
    *launcher = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    return true;
}
