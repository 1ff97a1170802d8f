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
    static void DeleteDirectoryTree(const std::wstring& folder);
    // Deletes what the open folder holds (opened with kFileListDirectory), each entry opened
    // inside it as itself. With `clearReadOnly`, read-only files go too. True when all went.
    static bool DeleteFolderContents(plat::Handle folder, bool clearReadOnly);
    // A folder opened by its path for `access`, sharing everything with others; `asItself`: a
    // junction or symbolic link in its place opens as the link, not as what it points at.
    static UniqueFile OpenFolder(const std::wstring& path, uint32_t access, bool asItself = false);
    static void StripPathComponents(std::wstring& path, int count);
    // The path without the separators at its end (a drive's root keeps its own: "C:\").
    static std::wstring WithoutTrailingSeparators(std::wstring path);
    static std::wstring PathAppend(const std::wstring& path, const std::wstring& more);
    static std::wstring GetModulePath();
    static std::wstring GetSharedTempFolder();
    static bool GetModuleVersion(std::wstring* text, uint32_t* high, uint32_t* low, int selector);
    static int ShellFileOperationAsUser(const std::wstring& source, const std::wstring& target,
                                        uint32_t operation);
    static int CopyFileAsUser(const std::wstring& source, const std::wstring& target);

    // The work folder's access list in an elevated or system run.
    static plat::AccessList WorkFolderAccess(const std::wstring& userSid);
    // Whether only administrators and the system account can add or change anything under the
    // list (others may read, run and delete).
    static bool IsAdminOnly(const plat::AccessList& access);
    // Whether a list as it reads back keeps everyone out but the system account, the
    // administrators and the logged-on user `userSid`: there is one, and it lets nobody else add
    // or change anything. (A volume that keeps no lists reads back none, or one that lets
    // everyone in; one that keeps only an owner's rights, as Wine's, reads back the owner's.)
    static bool KeepsOthersOut(const plat::AccessList& access, const std::wstring& userSid);
    // CreateDirectoryWithAccess: true when the folder was made with exactly that list. Where the
    // system will not take the given owner, the folder is made with the creator's default one
    // and the answer is false.
    static bool CreateDirectoryWithAccess(const std::wstring& path, plat::AccessList access);
    // The launch's copy in the work folder (the feature build's mini copy): as CopyFileAsUser,
    // except in an elevated or system run, whose work folder is closed to the user; there the
    // copy is made as the launcher itself at once (an impersonated attempt could only be
    // refused, and the shell shows its errors).
    static int CopyFileForRun(const std::wstring& source, const std::wstring& target);

    // Final paths. GetFinalPath: what an open handle holds, as GetFinalPathNameByHandleW spells
    // it without the "\\?\" prefix and trailing separators. FinalPathIs: whether that is
    // `expected` (letter case aside); where the system has no final paths (Windows XP), whether
    // no component of `expected` is a junction or symbolic link. FinalPathMatches: the same for
    // `path` with its short (8.3) names spelt out.
    static bool GetFinalPath(plat::Handle handle, std::wstring& out);
    static bool FinalPathIs(plat::Handle handle, const std::wstring& expected);
    static bool FinalPathMatches(plat::Handle handle, const std::wstring& path);

    // Copies the whole of an open file (from its first byte) to `target`, replacing a file of
    // that name: as the logged-on user when possible, else as the launcher itself, as
    // CopyFileAsUser does. 0, or the system error of the last attempt.
    static int CopyOpenFileAsUser(CFile& source, const std::wstring& target,
                                  CCopyProgress* progress = nullptr);
    // The same copy as the launcher itself, once. A copy that cannot be finished is removed.
    static int CopyOpenFile(CFile& source, const std::wstring& target,
                            CCopyProgress* progress = nullptr);
    // The copy into a file open for writing, written from its start and cut at the copy's end.
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
