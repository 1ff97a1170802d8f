// Stateless utility operations shared by every part of the launcher: the diagnostic log, OS and
// account queries, processes and user tokens, and file-system helpers. They reach the system
// only through the OS seam and report failures by result, never by exception; apart from the
// log itself, none of them logs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"
#include "util/log_tags.h"
#include "util/scoped_handle.h"

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

// What a long copy does between its pieces (the launcher looks out for the agent's window).
class CCopyProgress {
public:
    virtual void OnPiece() = 0;

protected:
    ~CCopyProgress() = default;
};

class CUtility {
public:
    // Diagnostic log: one line per call. The launcher's own lines begin with the tag of the
    // reporting operation (log_tags.h), which the second form writes as "[tag] " before the
    // formatted text.
    static void Log(const wchar_t* format, ...);
    static void Log(LogTag tag, const wchar_t* format, ...);
    static std::wstring GetLogFilePath();
    static void AppendLogLine(const std::wstring& line);
    static void WriteLine(const std::wstring& message, uint32_t lastError);
    // The run's retry allowance and the proved log file afresh (a new run: each simulated machine).
    static void ResetLogState();
    static void FileException(const CFileException& error);

    // OS and account queries.
    static bool IsUserInAdminGroup2(plat::Handle token = 0);
    static bool IsProcessElevated();
    static OsVersionClass ClassifyVersion(uint32_t major, uint32_t minor);
    static OsVersionClass GetOSVersionClass(plat::OsVersion* out = nullptr);
    static OsVersionClass GetOSVersionClassLegacy(plat::OsVersion* out = nullptr);
    static bool IsWow64();
    static void OSInfo();

    // Processes, sessions and user tokens.
    static uint32_t GetOwnSessionId();  // ProcessIdToSessionId of the own process, -1 on failure
    static bool FindProcesses(const std::wstring& exeName, std::vector<uint32_t>& pids,
                              uint32_t session);
    // A primary token of the shell's user (an elevated run: the system's shell in `session`
    // first), and of the user logged on to `session` (the terminal services' answer to the
    // system account, else the shell's).
    static bool GetShellUserToken(plat::Handle* token, bool elevated, uint32_t session);
    static bool GetSessionUserToken(plat::Handle* token, uint32_t session, bool elevated);
    // The account logged on to `session`, known without its token: the terminal services name it.
    static bool GetSessionUserSid(uint32_t session, std::wstring& sid);
    static bool StartProcess(const std::wstring& commandLine, plat::ProcessInfo& pi,
                             const std::wstring& currentDirectory, int showCommand);

    // File-system helpers.
    static bool FileExists(const std::wstring& path);
    static void StripPathComponents(std::wstring& path, int count);
    // The path without the separators at its end (a drive's root keeps its own: "C:\").
    static std::wstring WithoutTrailingSeparators(std::wstring path);
    static std::wstring PathAppend(const std::wstring& path, const std::wstring& more);
    static std::wstring GetModulePath();
    static bool GetModuleVersion(std::wstring* text, uint32_t* high, uint32_t* low, int selector);

    // The work folder's access list in an elevated or system run.
    static plat::AccessList WorkFolderAccess(const std::wstring& userSid);
    // Whether only administrators and the system account can add or change anything under the
    // list (others may read, run and delete).
    static bool IsAdminOnly(const plat::AccessList& access);
    // Copies the whole of an open file (from its first byte) into a file open for writing, from
    // its start, cut at the copy's end. 0, or the system error.
    static int CopyOpenFileTo(CFile& source, CFile& out, CCopyProgress* progress);
};

// Makes the calling thread act as the user logged on to the launcher's session (with the token
// the run took once, see RunContext) for the lifetime of the object; does nothing when no such
// token could be had.
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
};
