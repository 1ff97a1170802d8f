// Kernel-side primitives of the OS seam: processes, threads, synchronisation, time, sessions,
// tokens and impersonation, version queries, string resources and debugger output. Each member
// mirrors one system call (or a fixed, decision-free sequence of them); the rules that use them
// live above the seam.
#pragma once

#include <optional>

#include "platform/types.h"

namespace plat {

class IKernel {
public:
    virtual ~IKernel() = default;

    // Thread error state.
    virtual uint32_t GetLastError() = 0;
    virtual void SetLastError(uint32_t code) = 0;

    // Identity and sessions.
    virtual uint32_t GetCurrentProcessId() = 0;
    virtual uint32_t GetCurrentThreadId() = 0;
    virtual bool ProcessIdToSessionId(uint32_t pid, uint32_t* session) = 0;

    // Toolhelp snapshot of all processes, in the system's order. False when no snapshot.
    virtual bool ProcessSnapshot(std::vector<ProcessEntry>& out) = 0;

    // Processes and handles.
    virtual Handle OpenProcess(uint32_t access, bool inherit, uint32_t pid) = 0;
    virtual bool TerminateProcess(Handle process, uint32_t exitCode) = 0;
    virtual bool GetExitCodeProcess(Handle process, uint32_t* exitCode) = 0;
    virtual uint32_t WaitForSingleObject(Handle h, uint32_t milliseconds) = 0;
    virtual bool CloseHandle(Handle h) = 0;

    // CreateProcessW with the members of `start`.
    virtual bool CreateProcess(const ProcessStart& start, ProcessInfo& out) = 0;

    // ShellExecuteExW with the members of `info`; fills info.hProcess.
    virtual bool ShellExecuteEx(ShellExecInfo& info) = 0;

    // The raw command line of this process (GetCommandLineW).
    virtual std::wstring GetCommandLine() = 0;
    // SetEnvironmentVariableW on this process's environment; no value removes the variable.
    virtual bool SetEnvironmentVariable(const std::wstring& name, const std::wstring* value) = 0;

    // Threads (CreateThread with default security and stack, running at once). The Win32 layer
    // starts `proc` from a thread procedure of the system's calling convention.
    virtual Handle CreateThread(ThreadProc proc, void* param) = 0;

    // Named or unnamed mutex (not initially owned). The last error tells whether it existed.
    virtual Handle CreateMutex(const std::wstring* name) = 0;

    // Time.
    virtual void Sleep(uint32_t milliseconds) = 0;
    virtual bool LocalTimeNow(CivilTime& out) = 0;  // false when the conversion fails

    // Debugger output channel (OutputDebugStringW).
    virtual void OutputDebugString(const std::wstring& text) = 0;

    // Tokens and impersonation.
    virtual bool OpenProcessToken(Handle process, uint32_t access, Handle* token) = 0;  // 0: own
    virtual bool GetTokenElevationType(Handle token, uint32_t* type) = 0;
    virtual bool GetTokenLinkedToken(Handle token, Handle* linked) = 0;
    virtual bool GetTokenElevation(Handle token, uint32_t* elevated) = 0;
    virtual bool DuplicateToken(Handle token, uint32_t level, Handle* dup) = 0;
    virtual bool DuplicateTokenEx(Handle token, uint32_t access, uint32_t level, uint32_t type,
                                  Handle* dup) = 0;
    // CreateWellKnownSid(WinBuiltinAdministratorsSid) followed by CheckTokenMembership.
    virtual bool CheckAdministratorsMembership(Handle token, bool* member) = 0;
    virtual bool WTSQueryUserToken(uint32_t session, Handle* token) = 0;
    // Who is logged on to a session, as the terminal services tell it: WTSQuerySessionInformationW
    // with WTSUserName and WTSDomainName, looked up at run time; false when nobody is.
    virtual bool WTSQuerySessionUser(uint32_t session, std::wstring& domain,
                                     std::wstring& user) = 0;
    // LookupAccountNameW on this machine for an account name ("domain\user"), as a SID string
    // (ConvertSidToStringSidW).
    virtual bool LookupAccountName(const std::wstring& account, std::wstring& sid) = 0;
    virtual bool ImpersonateLoggedOnUser(Handle token) = 0;
    virtual bool RevertToSelf() = 0;

    // Version queries. RtlGetVersion is looked up by name: nullopt when it is missing, else its
    // NTSTATUS. IsWow64Process likewise: nullopt when missing, else {call ok, answer}.
    virtual bool GetVersionEx(OsVersion& out) = 0;
    virtual std::optional<int32_t> RtlGetVersion(OsVersion& out) = 0;
    struct Wow64Answer {
        bool ok = false;
        bool wow64 = false;
    };
    virtual std::optional<Wow64Answer> IsWow64Process() = 0;

    virtual int GetSystemMetrics(int index) = 0;

    // String-table entry of the program's own module (language 1033); empty when missing.
    virtual std::wstring LoadString(uint32_t id) = 0;

    // Text of a system error code (FormatMessageW), without trailing line breaks.
    virtual std::wstring FormatSystemMessage(uint32_t code) = 0;

    // MultiByteToWideChar with the calling thread's ANSI code page (CP_THREAD_ACP), no flags.
    virtual std::wstring MultiByteToWideChar(const std::string& text) = 0;

    // ---- Account of a token ----------------------------------------------------------------
    // GetTokenInformation(TokenUser) as a SID string (ConvertSidToStringSidW); 0: own token.
    virtual bool GetTokenUserSid(Handle token, std::wstring& sid) = 0;
    // Whether the program runs on Wine (ntdll.dll exports wine_get_version): a system that keeps
    // no security descriptor a program gives a file or folder, and reads back one it makes up
    // from the file's owner.
    virtual bool IsWine() = 0;
    // ---- who a token and a process are --------------------------------------------------------
    // The Win32 path of a process's image: QueryFullProcessImageNameW, looked up at run time;
    // where the system lacks it (Windows XP), GetModuleFileNameExW of psapi.dll.
    virtual bool QueryFullProcessImageName(Handle process, std::wstring& out) = 0;
};

}  // namespace plat
