// Tries to swap a running launcher's own file for another package, as a hostile program in the
// download folder would: holds the launcher's lock (a named mutex) so that a launcher started
// now waits at its single-instance check; once that launcher's loading window is up, renames the
// launcher's file away and copies REPLACEMENT to its path (or, when the rename fails, copies it
// over the file in place); then lets go of the lock and waits for the launcher to end.
//   swap_running.exe FILE REPLACEMENT MUTEX [seconds]
// Prints "locked", then "rename ok" or "rename failed N", then "replace ok" or "replace failed N",
// then "released". Exit code 0 when the launcher ended in time, 1 otherwise.
#include <cstdio>
#include <string>

#include "launcher_lock.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: swap_running FILE REPLACEMENT MUTEX [seconds]\n");
        return 2;
    }
    const int seconds = argc > 4 ? _wtoi(argv[4]) : 60;
    HANDLE lock = nullptr, launcher = nullptr;
    if (!HoldLockAndFindLauncher(argv[3], seconds, &lock, &launcher)) return 1;

    const std::wstring file = argv[1];
    const std::wstring aside = file + L".old";
    if (::MoveFileW(file.c_str(), aside.c_str())) {
        std::wprintf(L"rename ok\n");
    } else {
        std::wprintf(L"rename failed %lu\n", ::GetLastError());
    }
    if (::CopyFileW(argv[2], file.c_str(), FALSE)) {
        std::wprintf(L"replace ok\n");
    } else {
        std::wprintf(L"replace failed %lu\n", ::GetLastError());
    }
    std::fflush(stdout);

    ::CloseHandle(lock);
    std::wprintf(L"released\n");
    std::fflush(stdout);
    const DWORD waited = launcher ? ::WaitForSingleObject(launcher, seconds * 1000u) : WAIT_FAILED;
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}
