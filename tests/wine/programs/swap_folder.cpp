// Tries, as a program of the user's would, to swap a folder the moment it is made: waits for
// FOLDER to appear, then for up to SECONDS keeps trying to rename it away; once that works, it
// makes a folder of its own at the name with a copy of PROGRAM in it.
//   swap_folder.exe FOLDER PROGRAM [seconds]
// Prints "seen" when the folder appeared, then "moved" or "never moved N" (the last error of the
// last try). Exit code 0 when the folder was moved, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: swap_folder FOLDER PROGRAM [seconds]\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const DWORD seconds = argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) : 30;
    const DWORD deadline = ::GetTickCount() + seconds * 1000;
    while (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (static_cast<LONG>(::GetTickCount() - deadline) > 0) return 1;
        ::Sleep(1);
    }
    std::wprintf(L"seen\n");
    std::fflush(stdout);
    DWORD error = 0;
    while (static_cast<LONG>(::GetTickCount() - deadline) < 0) {
        if (::MoveFileW(folder.c_str(), (folder + L"-moved").c_str())) {
            ::CreateDirectoryW(folder.c_str(), nullptr);
            const std::wstring name = argv[2];
            ::CopyFileW(name.c_str(), (folder + name.substr(name.rfind(L'\\'))).c_str(), FALSE);
            std::wprintf(L"moved\n");
            return 0;
        }
        error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;  // it is gone
        ::Sleep(1);
    }
    std::wprintf(L"never moved %lu\n", error);
    return 1;
}
