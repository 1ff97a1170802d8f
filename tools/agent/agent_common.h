// Shared pieces of the substitute agent programs used by the tests and the demo. They stand in
// for the real agent: they record how they were started and show the agent's window class,
// nothing more. Never shipped.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shlobj.h>

#include <string>

namespace agent {

inline std::wstring OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L'\\'));
}

// Settings from "agent.ini" beside the program, section [Agent].
inline int Setting(const wchar_t* key, int defaultValue) {
    const std::wstring ini = OwnFolder() + L"\\agent.ini";
    return static_cast<int>(::GetPrivateProfileIntW(L"Agent", key, defaultValue, ini.c_str()));
}

inline std::string Utf8(const std::wstring& s) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0,
                                  nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &out[0], n, nullptr,
                          nullptr);
    return out;
}

// Appends one line to C:\ProgramData\VeskTestAgent\record.txt (shared by every account, so a
// program started as the system account records where the user's tests can read it).
inline void Record(const wchar_t* program, const std::wstring& what) {
    wchar_t data[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) return;
    std::wstring folder = std::wstring(data) + L"\\VeskTestAgent";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    DWORD session = 0xFFFFFFFF;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    wchar_t cwd[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring line = std::wstring(program) + L" pid=" + std::to_wstring(::GetCurrentProcessId()) +
                        L" session=" + std::to_wstring(static_cast<int>(session)) + L" cwd=" +
                        cwd + L" " + what + L"\r\n";
    const std::string bytes = Utf8(line);
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = ::CreateFileW((folder + L"\\record.txt").c_str(), FILE_APPEND_DATA, 0, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            ::CloseHandle(f);
            return;
        }
        ::Sleep(20);
    }
}

// FNV-1a (32 bits) of a file's bytes, so tests can tell which build of a file sits where.
inline unsigned Fingerprint(const std::wstring& path) {
    unsigned hash = 2166136261u;
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    unsigned char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got) {
        for (DWORD i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 16777619u;
    }
    ::CloseHandle(f);
    return hash;
}

// "name:fingerprint;" for every file in the program's folder (or a folder below it).
inline std::wstring FolderListing(const std::wstring& below = L"") {
    std::wstring out;
    const std::wstring folder = below.empty() ? OwnFolder() : OwnFolder() + L"\\" + below;
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        wchar_t hex[16];
        ::wsprintfW(hex, L"%08x", Fingerprint(folder + L"\\" + fd.cFileName));
        out += std::wstring(fd.cFileName) + L":" + hex + L";";
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
    return out;
}

inline bool Start(const std::wstring& commandLine, const std::wstring& directory) {
    std::wstring buffer = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr,
                          directory.c_str(), &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

}  // namespace agent
