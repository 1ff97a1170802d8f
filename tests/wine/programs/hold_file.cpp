// Tries to make a running launcher's own file unreadable to it, as a scanner that opens files
// without sharing would (the launcher holds its file from the start of its run, so the open
// fails): holds the launcher's lock (a named mutex) so that a launcher started now waits
// at its single-instance check, and once that launcher's loading window is up, opens the file
// with no sharing, lets go of the lock and keeps the file open until the launcher has ended.
//   hold_file.exe FILE MUTEX [seconds]
// Prints "locked", then "held" (or "open failed N"); exit code 0 when the file was held for the
// launcher's whole run, 1 otherwise.
//   hold_file.exe FILE - [seconds]
// Only holds FILE open, sharing reading alone, as a viewer or scanner in use would: prints
// "held", then keeps it for the given seconds.
#include <cstdio>
#include <string>

#include "launcher_lock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: hold_file FILE MUTEX [seconds]\n");
        return 2;
    }
    const int seconds = argc > 3 ? _wtoi(argv[3]) : 60;
    if (std::wstring(argv[2]) == L"-") {
        const HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::wprintf(file == INVALID_HANDLE_VALUE ? L"open failed\n" : L"held\n");
        std::fflush(stdout);
        ::Sleep(seconds * 1000u);
        return file == INVALID_HANDLE_VALUE ? 1 : 0;
    }
    HANDLE lock = nullptr, launcher = nullptr;
    if (!HoldLockAndFindLauncher(argv[2], seconds, &lock, &launcher)) return 1;

    HANDLE file = ::CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::wprintf(L"open failed %lu\n", ::GetLastError());
        ::CloseHandle(lock);
        return 1;
    }
    std::wprintf(L"held\n");
    std::fflush(stdout);
    ::CloseHandle(lock);

    const DWORD waited = launcher ? ::WaitForSingleObject(launcher, seconds * 1000u) : WAIT_FAILED;
    ::CloseHandle(file);
    std::wprintf(waited == WAIT_OBJECT_0 ? L"released\n" : L"launcher still running\n");
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}
