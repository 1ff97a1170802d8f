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
#undef GetDiskFreeSpaceEx
#undef SetCurrentDirectory
#undef GetTempPath
#undef GetWindowsDirectory
#undef GetSystemWindowsDirectory
#undef GetSystemDirectory
#undef GetModuleFileName
#undef GetFileAttributes
#undef SHGetFolderPath
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
#undef LookupAccountName
#undef SetEnvironmentVariable

#include "platform/loading_surface.h"
#include "platform/types.h"

namespace plat::win32 {

// The seam's handles as the system's and back: every conversion of the Win32 side is here. Kernel
// objects and files are HANDLEs (INVALID_HANDLE_VALUE, which some calls answer, is the seam's 0);
// the registry's predefined roots are their 32-bit values at the seam and sign-extended handles on
// 64-bit Windows; windows, device contexts, bitmaps, icons and GDI+ images are the system's
// pointers.
template <class Native, class Kind>
Native ToNative(HandleOf<Kind> h) {
    return reinterpret_cast<Native>(h.value);
}
template <class SeamHandle, class Native>
SeamHandle FromNative(Native h) {
    return SeamHandle(reinterpret_cast<std::uintptr_t>(h));
}

inline HANDLE H(Handle h) {
    return ToNative<HANDLE>(h);
}
inline HANDLE H(FileHandle h) {
    return ToNative<HANDLE>(h);
}
inline Handle FromH(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? Handle() : FromNative<Handle>(h);
}
inline FileHandle FromFileH(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? FileHandle() : FromNative<FileHandle>(h);
}
inline HWND W(Hwnd h) {
    return ToNative<HWND>(h);
}
inline Hwnd FromW(HWND h) {
    return FromNative<Hwnd>(h);
}
inline HDC D(Hdc dc) {
    return ToNative<HDC>(dc);
}
inline Hdc FromD(HDC dc) {
    return FromNative<Hdc>(dc);
}
inline HBITMAP B(Hbitmap bitmap) {
    return ToNative<HBITMAP>(bitmap);
}
inline Hbitmap FromB(HBITMAP bitmap) {
    return FromNative<Hbitmap>(bitmap);
}
inline HICON I(Hicon icon) {
    return ToNative<HICON>(icon);
}
inline Hicon FromI(HICON icon) {
    return FromNative<Hicon>(icon);
}
inline HKEY K(HKey key) {
    if (key == kHkeyClassesRoot) return HKEY_CLASSES_ROOT;
    if (key == kHkeyCurrentUser) return HKEY_CURRENT_USER;
    if (key == kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
    if (key == kHkeyUsers) return HKEY_USERS;
    return ToNative<HKEY>(key);
}
inline HKey FromK(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return kHkeyClassesRoot;
    if (key == HKEY_CURRENT_USER) return kHkeyCurrentUser;
    if (key == HKEY_LOCAL_MACHINE) return kHkeyLocalMachine;
    if (key == HKEY_USERS) return kHkeyUsers;
    return FromNative<HKey>(key);
}

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
