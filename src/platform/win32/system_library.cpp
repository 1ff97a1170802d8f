// Run-time loading of system DLLs by full path: from the system folder, or from the system's
// store of side-by-side assemblies where Windows keeps a DLL only there.
#include <cstddef>
#include <cwchar>

#include "platform/win32/win32.h"

namespace plat::win32 {
namespace {

constexpr size_t kNameLimit = 32;
constexpr size_t kPathLimit = 2 * MAX_PATH;

// Appends `text` to the path of `length` characters; false when it does not fit.
bool Append(wchar_t (&path)[kPathLimit], size_t& length, const wchar_t* text) {
    const size_t n = std::wcslen(text);
    if (length + n >= kPathLimit) return false;
    std::wmemcpy(path + length, text, n + 1);
    length += n;
    return true;
}

// Loads a DLL by its full path. Its own imports are searched for in its folder and the system
// folder alone where Windows has the LOAD_LIBRARY_SEARCH flags (as SetDefaultDllDirectories
// tells: from Windows 8, and on Vista and 7 with KB2533623). Elsewhere its folder takes the
// program's folder's place in the search, ahead of the system folder and only then the current
// directory and PATH, so an import the system has is never taken from those; what the DLL later
// asks for by name is covered by dll_search_win32.cpp.
HMODULE LoadByPath(const wchar_t* path) {
    static const DWORD flags =
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")
            ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
            : LOAD_WITH_ALTERED_SEARCH_PATH;
    return ::LoadLibraryExW(path, nullptr, flags);
}

// The file `name` of the side-by-side assembly that the launcher's second manifest
// (ISOLATIONAWARE_NOSTATICIMPORT_MANIFEST_RESOURCE_ID: GDI+, where Windows XP, Vista and 7 keep
// gdiplus.dll) binds it to, as a path in the system's own store: <Windows>\WinSxS\<assembly>\.
// The activation context is made once, at run time, so that a Windows without the assembly
// still starts the launcher; its private assemblies are looked for in the system folder, never
// beside the launcher. False when the context does not redirect `name`: nothing is then loaded
// by name, where the usual search would take over.
bool AssemblyFile(const wchar_t* name, const wchar_t* systemFolder, wchar_t (&path)[kPathLimit]) {
    const wchar_t* k32 = L"kernel32.dll";
    const auto create = SystemFunction<decltype(&::CreateActCtxW)>(k32, "CreateActCtxW");
    const auto activate = SystemFunction<decltype(&::ActivateActCtx)>(k32, "ActivateActCtx");
    const auto deactivate = SystemFunction<decltype(&::DeactivateActCtx)>(k32, "DeactivateActCtx");
    const auto release = SystemFunction<decltype(&::ReleaseActCtx)>(k32, "ReleaseActCtx");
    const auto find =
        SystemFunction<decltype(&::FindActCtxSectionStringW)>(k32, "FindActCtxSectionStringW");
    const auto query = SystemFunction<decltype(&::QueryActCtxW)>(k32, "QueryActCtxW");
    if (!create || !activate || !deactivate || !release || !find || !query) return false;

    static HANDLE context = nullptr;  // kept for the life of the process
    if (!context) {
        wchar_t self[MAX_PATH];
        const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        ACTCTXW request = {};
        request.cbSize = sizeof(request);
        request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID |
                          ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
        request.lpSource = (n && n < MAX_PATH) ? self : nullptr;
        request.hModule = ::GetModuleHandleW(nullptr);
        request.lpResourceName = ISOLATIONAWARE_NOSTATICIMPORT_MANIFEST_RESOURCE_ID;
        request.lpAssemblyDirectory = systemFolder;
        context = create(&request);
    }
    if (context == INVALID_HANDLE_VALUE) return false;

    bool found = false;
    ULONG_PTR cookie = 0;
    if (!activate(context, &cookie)) return false;
    ACTCTX_SECTION_KEYED_DATA data = {};
    data.cbSize = sizeof(ACTCTX_SECTION_KEYED_DATA_2600);  // the form Windows XP knows
    if (find(FIND_ACTCTX_SECTION_KEY_RETURN_HACTCTX, nullptr,
             ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, name, &data)) {
        union {
            ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION info;
            BYTE bytes[4096];
        } assembly;
        DWORD index = data.ulAssemblyRosterIndex;
        SIZE_T size = 0;
        const wchar_t* folder = nullptr;
        if (query(0, data.hActCtx, &index, AssemblyDetailedInformationInActivationContext,
                  &assembly, sizeof(assembly), &size))
            folder = assembly.info.lpAssemblyDirectoryName;
        // One folder name of the store: nothing that leads out of it.
        bool plain = folder && folder[0] && folder[0] != L'.';
        for (const wchar_t* c = folder; plain && *c; ++c) plain = *c != L'\\' && *c != L'/';
        size_t length = ::GetSystemWindowsDirectoryW(path, MAX_PATH);
        found = plain && length && length < MAX_PATH && Append(path, length, L"\\WinSxS\\") &&
                Append(path, length, folder) && Append(path, length, L"\\") &&
                Append(path, length, name);
        if (data.hActCtx) release(data.hActCtx);
    }
    deactivate(0, cookie);
    return found;
}

}  // namespace

HMODULE SystemLibrary(const wchar_t* name) {
    // DLLs that every process has loaded already are taken as they are.
    if (HMODULE loaded = (_wcsicmp(name, L"kernel32.dll") == 0 || _wcsicmp(name, L"ntdll.dll") == 0)
                             ? ::GetModuleHandleW(name)
                             : nullptr)
        return loaded;

    // A handful of names over the whole run: a small fixed table keeps each one loaded once.
    struct Loaded {
        wchar_t name[kNameLimit];
        HMODULE module;
    };
    static Loaded table[16];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i)
        if (_wcsicmp(table[i].name, name) == 0) return table[i].module;

    wchar_t system[MAX_PATH];
    wchar_t path[kPathLimit];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    const size_t length = std::wcslen(name);
    size_t at = 0;
    if (n == 0 || n >= MAX_PATH || length >= kNameLimit || !Append(path, at, system) ||
        !Append(path, at, L"\\") || !Append(path, at, name))
        return nullptr;
    const DWORD error = ::GetLastError();
    // The system folder's own file first; where it holds none (GDI+ before Windows 10), the file
    // of the side-by-side assembly the launcher asks for. Never a bare name.
    HMODULE module = LoadByPath(path);
    if (!module && AssemblyFile(name, system, path)) module = LoadByPath(path);
    if (module) ::SetLastError(error);
    if (module && used < sizeof(table) / sizeof(table[0])) {
        std::wmemcpy(table[used].name, name, length + 1);
        table[used++].module = module;
    }
    return module;
}

}  // namespace plat::win32
