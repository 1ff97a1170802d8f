// Makes a key of the current user's hive a registry link, as any program of the user may:
//   reg_link.exe KEY TARGET
// creates HKCU\KEY with REG_OPTION_CREATE_LINK and gives it TARGET, an object name such as
// \Registry\Machine\System\CurrentControlSet\Services\X, as its "SymbolicLinkValue" (REG_LINK,
// without a terminator). Prints "linked" and exits 0, or prints the failing call and exits 1.
#include <cstdio>
#include <cwchar>

#include "platform/win32/win32.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: reg_link KEY TARGET\n");
        return 2;
    }
    HKEY key = nullptr;
    LONG status = ::RegCreateKeyExW(HKEY_CURRENT_USER, argv[1], 0, nullptr, REG_OPTION_CREATE_LINK,
                                    KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        std::wprintf(L"create failed %ld\n", status);
        return 1;
    }
    status = ::RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                              reinterpret_cast<const BYTE*>(argv[2]),
                              static_cast<DWORD>(std::wcslen(argv[2]) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    std::wprintf(status == ERROR_SUCCESS ? L"linked\n" : L"set failed %ld\n", status);
    return status == ERROR_SUCCESS ? 0 : 1;
}
