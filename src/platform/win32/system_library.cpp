// Run-time loading of system DLLs by full path.
#include <cwchar>

#include "platform/win32/win32.h"

namespace plat::win32 {

HMODULE SystemLibrary(const wchar_t* name) {
    // DLLs that every process has loaded already are taken as they are.
    if (HMODULE loaded = (_wcsicmp(name, L"kernel32.dll") == 0 || _wcsicmp(name, L"ntdll.dll") == 0)
                             ? ::GetModuleHandleW(name)
                             : nullptr)
        return loaded;

    // A handful of names over the whole run: a small fixed table keeps each one loaded once.
    struct Loaded {
        wchar_t name[32];
        HMODULE module;
    };
    static Loaded table[8];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i)
        if (_wcsicmp(table[i].name, name) == 0) return table[i].module;

    wchar_t path[MAX_PATH + 32];
    const UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
    const size_t length = std::wcslen(name);
    if (n == 0 || n >= MAX_PATH || length >= 32) return nullptr;
    path[n] = L'\\';
    std::wmemcpy(path + n + 1, name, length + 1);
    // The DLL's own dependencies are searched from its folder first (the system folder).
    const DWORD error = ::GetLastError();
    HMODULE module = ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    // A DLL that the system folder does not hold as a file (before Windows 10, GDI+ may live
    // only among the side-by-side assemblies) is asked for by name, searched for in the system
    // folder alone: never in the program's folder or the current directory. Only where the
    // LOAD_LIBRARY_SEARCH flags exist (told by SetDefaultDllDirectories); elsewhere the DLL is
    // missing.
    if (!module &&
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"))
        module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module) ::SetLastError(error);
    if (module && used < sizeof(table) / sizeof(table[0])) {
        std::wmemcpy(table[used].name, name, length + 1);
        table[used++].module = module;
    }
    return module;
}

}  // namespace plat::win32
