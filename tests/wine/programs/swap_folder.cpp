// Tries, as a program of the user's would, to swap a folder the moment it is made: waits for
// FOLDER to appear, then for up to SECONDS keeps trying to rename it away; once that works, it
// makes a folder of its own at the name with a copy of PROGRAM in it. With RECORD and NAME, it
// stops trying once the file RECORD has a line of NAME's that ends in "ended": the folder's
// owner may then remove it as it likes, so moving it proves nothing.
//   swap_folder.exe FOLDER PROGRAM [seconds [RECORD NAME]]
// Prints "seen" when the folder appeared, then "moved" or "never moved N" (the last error of the
// last try). Exit code 0 when the folder was moved, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool HasEnded(const wchar_t* record, const std::string& name) {
    HANDLE file = ::CreateFileW(record, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    ::CloseHandle(file);
    // Lines are "NAME pid=... ended\r\n".
    for (size_t at = text.find(" ended\r\n"); at != std::string::npos;
         at = text.find(" ended\r\n", at + 1)) {
        const size_t begin = text.rfind('\n', at);
        if (text.compare(begin == std::string::npos ? 0 : begin + 1, name.size(), name) == 0)
            return true;
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: swap_folder FOLDER PROGRAM [seconds [RECORD NAME]]\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const DWORD seconds = argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) : 30;
    const DWORD deadline = ::GetTickCount() + seconds * 1000;
    std::string name;
    if (argc > 5)
        for (const wchar_t* c = argv[5]; *c; ++c) name += static_cast<char>(*c);
    while (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (static_cast<LONG>(::GetTickCount() - deadline) > 0) return 1;
        ::Sleep(1);
    }
    std::wprintf(L"seen\n");
    std::fflush(stdout);
    DWORD error = 0;
    while (static_cast<LONG>(::GetTickCount() - deadline) < 0) {
        if (argc > 5 && HasEnded(argv[4], name)) break;
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
