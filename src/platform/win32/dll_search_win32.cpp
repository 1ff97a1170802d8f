// The DLL search order, restricted before anything else of the program runs. A DLL asked for by
// bare name is looked for in the program's own folder first, and in the current directory later
// on: both are places a user's download shares with whatever else was put there. From here on,
// a bare name is looked for in the system folder alone (SetDefaultDllDirectories, from Windows 8
// and on Windows 7 and Vista with KB2533623). Where that call is missing (Windows XP, Vista, 7
// without the update), SetDllDirectoryW(L"") takes the current directory out of the search, but
// the program's folder stays first; so the system DLLs that are asked for by name on the
// launcher's behalf, and that are no known DLLs there, are loaded now by full path from the
// system folder (SystemLibrary): a later request by name finds them loaded and searches nothing.
// The launcher itself asks for no DLL by bare name (win32.h, SystemLibrary).
//
// This is a decision of the process's start-up, not of a run, so it stays below the seam. It runs
// as a constructor of the first priority a program may use (101): before every static
// initialiser of default priority (the application object, the single-instance lock), and after
// only what the loader and the C runtime did first, which load no DLL (the import table holds
// only DLLs that are known DLLs on every supported Windows; tests/check_imports.py).
#include "platform/win32/win32.h"

namespace plat::win32 {
namespace {

// Asked for by bare name while a run goes on, by the system's DLLs (shell32, user32, advapi32,
// crypt32) on Windows XP, Vista or 7, where they are no known DLLs (version is one on XP). The
// launcher's own run-time DLLs and GDI+ are loaded by full path when needed, and their imports come
// from their own folder and the system folder (GDI+'s: gdi32, user32, kernel32, ole32, oleaut32,
// advapi32, msvcrt, known DLLs all). Missing ones (dwmapi, propsys, cryptbase on XP) are skipped.
constexpr const wchar_t* kAskedForByName[] = {
    L"version.dll",    // file versions: the shell before it starts a program, and the launcher
    L"uxtheme.dll",    // the theme user32 applies to every window, the loading window too
    L"dwmapi.dll",     // desktop composition, for the loading window (Vista, 7)
    L"apphelp.dll",    // the compatibility check of every program started (Vista, 7)
    L"propsys.dll",    // the shell's property system, delay-loaded by ShellExecuteEx (Vista, 7)
    L"userenv.dll",    // profile folders (SHGetFolderPathW, the user's token)
    L"cryptbase.dll",  // advapi32's random numbers and cryptography (Vista, 7)
    L"cryptnet.dll",   // crypt32 fetching certificates while WinVerifyTrust builds the chain
};

void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    const auto setDefault =
        SystemFunction<SetDefaultDllDirectoriesFn>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    if (const auto setDirectory =
            SystemFunction<SetDllDirectoryFn>(L"kernel32.dll", "SetDllDirectoryW"))
        setDirectory(L"");
    for (const wchar_t* name : kAskedForByName) SystemLibrary(name);
}

__attribute__((constructor(101), used)) void RestrictDllSearchFirst() {
    const DWORD error = ::GetLastError();
    RestrictDllSearch();
    ::SetLastError(error);
}

}  // namespace
}  // namespace plat::win32
