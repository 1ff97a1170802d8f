// The DLL search order, restricted before anything else of the program runs. A DLL asked for by
// bare name is looked for in the program's own folder first, and in the current directory later
// on: both are places a user's download shares with whatever else was put there. From here on,
// a bare name is looked for in the system folder alone (SetDefaultDllDirectories, from Windows 8
// and on Windows 7 and Vista with KB2533623); where that call is missing (Windows XP, Vista, 7
// without the update), SetDllDirectoryW(L"") at least takes the current directory out of the
// search. The launcher itself asks for no DLL by bare name (win32.h, SystemLibrary); this covers
// what the system loads on its behalf (shell, COM, GDI+'s own DLLs).
//
// This is a decision of the process's start-up, not of a run, so it stays below the seam. It runs
// as a constructor of the first priority a program may use (101): before every static
// initialiser of default priority (the application object, the single-instance lock), and after
// only what the loader and the C runtime did first, which load no DLL (the import table holds
// only DLLs that are known DLLs on every supported Windows; tests/check_imports.py).
#include "platform/win32/win32.h"

namespace plat::win32 {
namespace {

void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    const auto setDefault =
        SystemFunction<SetDefaultDllDirectoriesFn>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    if (const auto setDirectory =
            SystemFunction<SetDllDirectoryFn>(L"kernel32.dll", "SetDllDirectoryW"))
        setDirectory(L"");
}

__attribute__((constructor(101), used)) void RestrictDllSearchFirst() {
    const DWORD error = ::GetLastError();
    RestrictDllSearch();
    ::SetLastError(error);
}

}  // namespace
}  // namespace plat::win32
