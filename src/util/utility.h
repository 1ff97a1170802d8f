// Stateless utility operations shared by every part of the launcher: the diagnostic log, OS and
// account queries, processes and user tokens, and file-system helpers. They reach the system
// only through the OS seam and report failures by result, never by exception; apart from the
// log itself, none of them logs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

class CFile;
class CFileException;

// Windows generation, from the combined version major * 256 + minor.
enum OsVersionClass {
    OsOlder = 0,  // anything not listed below (older than 6.0, and also 6.4 to 9.255)
    OsVista = 1,  // 0x0600
    OsWin7 = 2,   // 0x0601
    OsWin8 = 3,   // 0x0602
    OsWin81 = 4,  // 0x0603
    OsWin10 = 5,  // 0x0A00 or higher
};

class CUtility {
public:
    // Diagnostic log. Callers pass a format beginning "[%ls] " and the tag as first argument.
    static void Log(const wchar_t* format, ...);
    static std::wstring GetLogFilePath();
    static void AppendLogLine(const std::wstring& line);
    static void FileException(const CFileException& error);

    // OS and account queries.
    static bool IsUserInAdminGroup2(plat::Handle token = 0);
    static bool IsProcessElevated();
    static bool IsLocalSystem();  // the program runs as the local system account
    static OsVersionClass ClassifyVersion(uint32_t major, uint32_t minor);
    static OsVersionClass GetOSVersionClass(plat::OsVersion* out = nullptr);
    static OsVersionClass GetOSVersionClassLegacy(plat::OsVersion* out = nullptr);
    static bool IsOSAtLeast(OsVersionClass minimumClass, uint32_t minimumBuild);
    static bool IsPreVista();
    static bool IsWow64();
    static void OSInfo();

    // Processes, sessions and user tokens.
    static uint32_t GetOwnSessionId();  // ProcessIdToSessionId of the own process, -1 on failure
    static bool FindProcesses(const std::wstring& exeName, std::vector<uint32_t>& pids,
                              uint32_t session);
    static bool GetShellUserToken(plat::Handle* token);
    static bool GetSessionUserToken(plat::Handle* token, uint32_t session);
    static bool StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                             const std::wstring& currentDirectory, int showCommand);

    // File-system helpers.
    static bool FileExists(const std::wstring& path);
    static void DeleteDirectoryTree(const std::wstring& folder);
    static void StripPathComponents(std::wstring& path, int count);
    static std::wstring PathAppend(const std::wstring& path, const std::wstring& more);
    static std::wstring GetModulePath();
    static std::wstring GetSharedTempFolder();
    static bool GetModuleVersion(std::wstring* text, uint32_t* high, uint32_t* low, int selector);
    static int ShellFileOperationAsUser(const std::wstring& source, const std::wstring& target,
                                        uint32_t operation);
    static int CopyFileAsUser(const std::wstring& source, const std::wstring& target);
    // Copies the whole of an open file (from its first byte) to `target`, replacing a file of
    // that name: as the logged-on user when possible, else as the launcher itself, as
    // CopyFileAsUser does. 0, or the system error of the last attempt.
    static int CopyOpenFileAsUser(CFile& source, const std::wstring& target);
};

// Makes the calling thread act as the user logged on to the launcher's session for the lifetime
// of the object; does nothing when no such token can be had.
class CImpersonateUser {
public:
    CImpersonateUser();
    virtual ~CImpersonateUser();
    CImpersonateUser(const CImpersonateUser&) = delete;
    CImpersonateUser& operator=(const CImpersonateUser&) = delete;

    void Revert();
    bool IsImpersonating() const { return m_bImpersonating; }

private:
    bool m_bImpersonating = false;
    plat::Handle m_hToken = 0;
};
