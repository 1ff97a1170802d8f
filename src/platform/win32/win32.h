// Shared helpers of the Win32 implementation of the seam.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <shellapi.h>
#include <shlobj.h>
#include <sddl.h>
#include <tlhelp32.h>
// clang-format on

// The seam's members carry the plain API names; the implementation calls the wide functions
// explicitly, so the A/W macros are not wanted here.
#undef CreateFile
#undef DeleteFile
#undef CreateDirectory
#undef RemoveDirectory
#undef MoveFile
#undef FindFirstFile
#undef FindNextFile
#undef GetDiskFreeSpaceEx
#undef SetCurrentDirectory
#undef GetCurrentDirectory
#undef GetTempPath
#undef GetWindowsDirectory
#undef GetSystemWindowsDirectory
#undef GetSystemDirectory
#undef GetModuleFileName
#undef GetFileAttributes
#undef SetFileAttributes
#undef SHGetFolderPath
#undef SHCreateDirectoryEx
#undef SHFileOperation
#undef GetPrivateProfileString
#undef CreateProcess
#undef ShellExecuteEx
#undef GetCommandLine
#undef CreateMutex
#undef OutputDebugString
#undef GetVersionEx
#undef LoadString
#undef FindWindow
#undef MessageBox
#undef RegOpenKeyEx
#undef RegCreateKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef RegDeleteValue
#undef GetLongPathName
#undef GetFinalPathNameByHandle
#undef QueryFullProcessImageName
#undef SetEnvironmentVariable

#include "platform/types.h"

namespace plat::win32 {

inline HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }
inline Handle FromH(HANDLE h) {
    return (h == INVALID_HANDLE_VALUE) ? 0 : reinterpret_cast<Handle>(h);
}
inline HWND W(Hwnd h) { return reinterpret_cast<HWND>(h); }
inline Hwnd FromW(HWND h) { return reinterpret_cast<Hwnd>(h); }

// Text from a fixed wide buffer of at most `n` characters.
inline std::wstring Text(const wchar_t* buffer, size_t n) {
    size_t len = 0;
    while (len < n && buffer[len]) ++len;
    return std::wstring(buffer, len);
}

// A DLL of the system folder, loaded once by its full path (never by a bare name searched for in
// the usual places, so nothing in the launcher's folder or the current directory can stand in
// for it) and kept for the life of the process; null when it cannot be loaded. `name` is a file
// name such as L"version.dll". Where the system folder holds no such file, the file of the
// side-by-side assembly that the launcher's second manifest names (GDI+ on Windows XP, Vista and
// 7), by its full path in the system's store. Every DLL beyond the known ones of the import table
// (kernel32, user32, gdi32, advapi32, shell32, ole32, msvcrt) comes through here: GDI+, version,
// wtsapi32, wintrust (tests/check_imports.py keeps the import table so).
HMODULE SystemLibrary(const wchar_t* name);

// A function exported by a system DLL, looked up at run time: for functions that older Windows
// lacks, and for DLLs that are not loaded through the import table. Null when missing.
template <class Fn>
Fn SystemFunction(const wchar_t* dll, const char* name) {
    HMODULE mod = SystemLibrary(dll);
    return mod ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(mod, name)))
               : nullptr;
}

// The string form of a SID ("S-1-5-18"); empty when it cannot be converted.
std::wstring SidText(PSID sid);

}  // namespace plat::win32
