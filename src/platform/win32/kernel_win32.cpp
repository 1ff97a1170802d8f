// Win32 implementation of the kernel-side primitives.
#include "platform/win32/win32.h"

#include <ctime>

#include "platform/kernel.h"

namespace plat::win32 {
namespace {

void FillVersion(const OSVERSIONINFOEXW& v, OsVersion& out) {
    out.major = v.dwMajorVersion;
    out.minor = v.dwMinorVersion;
    out.build = v.dwBuildNumber;
    out.platformId = v.dwPlatformId;
    out.servicePack = Text(v.szCSDVersion, 128);
    out.servicePackMajor = v.wServicePackMajor;
    out.servicePackMinor = v.wServicePackMinor;
    out.suiteMask = v.wSuiteMask;
    out.productType = v.wProductType;
}

// The seam's thread procedure is a plain function; the system calls a WINAPI (stdcall on the
// 32-bit build) one. This adapter is that one and calls the plain function.
struct ThreadStart {
    ThreadProc proc;
    void* param;
    static DWORD WINAPI Run(LPVOID p) {
        ThreadStart start = *static_cast<ThreadStart*>(p);
        delete static_cast<ThreadStart*>(p);
        return start.proc(start.param);
    }
};

class Kernel final : public IKernel {
public:
    uint32_t GetLastError() override { return ::GetLastError(); }
    void SetLastError(uint32_t code) override { ::SetLastError(code); }

    uint32_t GetCurrentProcessId() override { return ::GetCurrentProcessId(); }
    uint32_t GetCurrentThreadId() override { return ::GetCurrentThreadId(); }
    bool ProcessIdToSessionId(uint32_t pid, uint32_t* session) override {
        DWORD s = 0;
        if (!::ProcessIdToSessionId(pid, &s)) return false;
        *session = s;
        return true;
    }

    bool ProcessSnapshot(std::vector<ProcessEntry>& out) override {
        out.clear();
        HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) return false;
        PROCESSENTRY32W entry;
        ZeroMemory(&entry, sizeof(entry));
        entry.dwSize = sizeof(entry);
        for (BOOL ok = ::Process32FirstW(snap, &entry); ok; ok = ::Process32NextW(snap, &entry)) {
            out.push_back({entry.th32ProcessID, Text(entry.szExeFile, MAX_PATH)});
        }
        ::CloseHandle(snap);
        return true;
    }

    Handle OpenProcess(uint32_t access, bool inherit, uint32_t pid) override {
        return FromH(::OpenProcess(access, inherit ? TRUE : FALSE, pid));
    }
    bool TerminateProcess(Handle process, uint32_t exitCode) override {
        return ::TerminateProcess(H(process), exitCode) != FALSE;
    }
    bool GetExitCodeProcess(Handle process, uint32_t* exitCode) override {
        DWORD code = 0;
        if (!::GetExitCodeProcess(H(process), &code)) return false;
        *exitCode = code;
        return true;
    }
    uint32_t WaitForSingleObject(Handle h, uint32_t ms) override {
        return ::WaitForSingleObject(H(h), ms);
    }
    bool CloseHandle(Handle h) override { return h && ::CloseHandle(H(h)) != FALSE; }

    bool CreateProcess(const ProcessStart& start, ProcessInfo& out) override {
        std::vector<wchar_t> buffer(start.commandLine.begin(), start.commandLine.end());
        buffer.push_back(L'\0');
        STARTUPINFOW si;
        ZeroMemory(&si, sizeof(si));
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(start.show);
        PROCESS_INFORMATION pi;
        ZeroMemory(&pi, sizeof(pi));
        const std::wstring& dir = start.currentDirectory;
        BOOL ok = ::CreateProcessW(start.application.empty() ? nullptr : start.application.c_str(),
                                   buffer.data(), nullptr, nullptr,
                                   start.inheritHandles ? TRUE : FALSE, start.creationFlags,
                                   nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi);
        out.hProcess = FromNative<Handle>(pi.hProcess);
        out.hThread = FromNative<Handle>(pi.hThread);
        out.pid = pi.dwProcessId;
        out.tid = pi.dwThreadId;
        return ok != FALSE;
    }

    bool ShellExecuteEx(ShellExecInfo& info) override {
        SHELLEXECUTEINFOW sei;
        ZeroMemory(&sei, sizeof(sei));
        sei.cbSize = sizeof(sei);
        sei.fMask = info.mask;
        sei.lpVerb = info.verb.empty() ? nullptr : info.verb.c_str();
        sei.lpFile = info.file.c_str();
        sei.lpParameters = info.parameters.empty() ? nullptr : info.parameters.c_str();
        sei.lpDirectory = info.directory.empty() ? nullptr : info.directory.c_str();
        sei.nShow = info.show;
        BOOL ok = ::ShellExecuteExW(&sei);
        info.hProcess = FromNative<Handle>(sei.hProcess);
        return ok != FALSE;
    }

    std::wstring GetCommandLine() override { return ::GetCommandLineW(); }
    bool SetEnvironmentVariable(const std::wstring& name, const std::wstring* value) override {
        return ::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr) != FALSE;
    }

    Handle CreateThread(ThreadProc proc, void* param) override {
        auto* start = new ThreadStart{proc, param};
        HANDLE h = ::CreateThread(nullptr, 0, &ThreadStart::Run, start, 0, nullptr);
        if (!h) delete start;
        return FromNative<Handle>(h);
    }

    Handle CreateMutex(const std::wstring* name) override {
        return FromNative<Handle>(::CreateMutexW(nullptr, FALSE, name ? name->c_str() : nullptr));
    }

    void Sleep(uint32_t ms) override { ::Sleep(ms); }
    bool LocalTimeNow(CivilTime& out) override {
        std::time_t now = std::time(nullptr);
        std::tm* t = std::localtime(&now);
        if (!t) return false;
        out = {t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec};
        return true;
    }

    void OutputDebugString(const std::wstring& text) override {
        ::OutputDebugStringW(text.c_str());
    }

    bool OpenProcessToken(Handle process, uint32_t access, Handle* token) override {
        HANDLE t = nullptr;
        if (!::OpenProcessToken(process ? H(process) : ::GetCurrentProcess(), access, &t))
            return false;
        *token = FromNative<Handle>(t);
        return true;
    }
    bool GetTokenElevationType(Handle token, uint32_t* type) override {
        TOKEN_ELEVATION_TYPE t{};
        DWORD size = 0;
        if (!::GetTokenInformation(H(token), TokenElevationType, &t, sizeof(t), &size))
            return false;
        *type = static_cast<uint32_t>(t);
        return true;
    }
    bool GetTokenLinkedToken(Handle token, Handle* linked) override {
        TOKEN_LINKED_TOKEN t{};
        DWORD size = 0;
        if (!::GetTokenInformation(H(token), TokenLinkedToken, &t, sizeof(t), &size)) return false;
        *linked = FromNative<Handle>(t.LinkedToken);
        return true;
    }
    bool GetTokenElevation(Handle token, uint32_t* elevated) override {
        TOKEN_ELEVATION t{};
        DWORD size = 0;
        if (!::GetTokenInformation(H(token), TokenElevation, &t, sizeof(t), &size)) return false;
        *elevated = t.TokenIsElevated;
        return true;
    }
    bool DuplicateToken(Handle token, uint32_t level, Handle* dup) override {
        HANDLE d = nullptr;
        if (!::DuplicateToken(H(token), static_cast<SECURITY_IMPERSONATION_LEVEL>(level), &d))
            return false;
        *dup = FromNative<Handle>(d);
        return true;
    }
    bool DuplicateTokenEx(Handle token, uint32_t access, uint32_t level, uint32_t type,
                          Handle* dup) override {
        HANDLE d = nullptr;
        if (!::DuplicateTokenEx(H(token), access, nullptr,
                                static_cast<SECURITY_IMPERSONATION_LEVEL>(level),
                                static_cast<TOKEN_TYPE>(type), &d))
            return false;
        *dup = FromNative<Handle>(d);
        return true;
    }
    bool CheckAdministratorsMembership(Handle token, bool* member) override {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        ZeroMemory(sid, sizeof(sid));
        DWORD size = sizeof(sid);
        if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return false;
        BOOL is = FALSE;
        if (!::CheckTokenMembership(H(token), sid, &is)) return false;
        *member = is != FALSE;
        return true;
    }
    bool WTSQueryUserToken(uint32_t session, Handle* token) override {
        // wtsapi32 is no known DLL: loaded by its full path, once (SystemLibrary).
        using Fn = BOOL(WINAPI*)(ULONG, PHANDLE);
        auto fn = SystemFunction<Fn>(L"wtsapi32.dll", "WTSQueryUserToken");
        if (!fn) return false;
        HANDLE t = nullptr;
        if (!fn(session, &t)) return false;
        *token = FromNative<Handle>(t);
        return true;
    }
    bool WTSQuerySessionUser(uint32_t session, std::wstring& domain, std::wstring& user) override {
        using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, int, LPWSTR*, DWORD*);
        using FreeFn = void(WINAPI*)(PVOID);
        auto query = SystemFunction<QueryFn>(L"wtsapi32.dll", "WTSQuerySessionInformationW");
        auto release = SystemFunction<FreeFn>(L"wtsapi32.dll", "WTSFreeMemory");
        if (!query || !release) return false;
        constexpr int kUserName = 5, kDomainName = 7;  // WTS_INFO_CLASS
        auto ask = [&](int what, std::wstring& out) {
            LPWSTR text = nullptr;
            DWORD bytes = 0;
            if (!query(nullptr, session, what, &text, &bytes) || !text) return false;
            out = text;
            release(text);
            return true;
        };
        return ask(kUserName, user) && ask(kDomainName, domain) && !user.empty();
    }
    bool LookupAccountName(const std::wstring& account, std::wstring& sid) override {
        DWORD sidSize = 0, domainSize = 0;
        SID_NAME_USE use;
        ::LookupAccountNameW(nullptr, account.c_str(), nullptr, &sidSize, nullptr, &domainSize,
                             &use);
        if (!sidSize) return false;
        std::vector<BYTE> buffer(sidSize);
        std::vector<wchar_t> domain(domainSize + 1);
        if (!::LookupAccountNameW(nullptr, account.c_str(), buffer.data(), &sidSize, domain.data(),
                                  &domainSize, &use))
            return false;
        sid = SidText(buffer.data());
        return !sid.empty();
    }
    bool ImpersonateLoggedOnUser(Handle token) override {
        return ::ImpersonateLoggedOnUser(H(token)) != FALSE;
    }
    bool RevertToSelf() override { return ::RevertToSelf() != FALSE; }

    bool GetVersionEx(OsVersion& out) override {
        OSVERSIONINFOEXW v;
        ZeroMemory(&v, sizeof(v));
        v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        BOOL ok = ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
#pragma GCC diagnostic pop
        FillVersion(v, out);
        return ok != FALSE;
    }
    std::optional<int32_t> RtlGetVersion(OsVersion& out) override {
        using Fn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
        const Fn fn = SystemFunction<Fn>(L"ntdll.dll", "RtlGetVersion");
        if (!fn) return std::nullopt;
        OSVERSIONINFOEXW v;
        ZeroMemory(&v, sizeof(v));
        v.dwOSVersionInfoSize = sizeof(v);
        LONG status = fn(&v);
        if (status == 0) FillVersion(v, out);
        return status;
    }
    std::optional<Wow64Answer> IsWow64Process() override {
        using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
        const Fn fn = SystemFunction<Fn>(L"kernel32.dll", "IsWow64Process");
        if (!fn) return std::nullopt;
        BOOL wow = FALSE;
        Wow64Answer a;
        a.ok = fn(::GetCurrentProcess(), &wow) != FALSE;
        a.wow64 = wow != FALSE;
        return a;
    }

    int GetSystemMetrics(int index) override {
        return ::GetSystemMetrics(index);
    }

    std::wstring LoadString(uint32_t id) override {
        const wchar_t* text = nullptr;
        int n = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
        return (n > 0 && text) ? std::wstring(text, n) : std::wstring();
    }

    std::wstring FormatSystemMessage(uint32_t code) override {
        wchar_t buffer[1024] = {};
        DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, buffer, 1024, nullptr);
        std::wstring text(buffer, n);
        while (!text.empty() &&
               (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
            text.pop_back();
        return text;
    }

    std::wstring MultiByteToWideChar(const std::string& text) override {
        if (text.empty()) return std::wstring();
        const int size = static_cast<int>(text.size());
        int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0);
        if (n <= 0) return std::wstring();
        std::wstring out(static_cast<size_t>(n), L'\0');
        n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, &out[0], n);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }

    bool GetTokenUserSid(Handle token, std::wstring& sid) override {
        HANDLE t = H(token);
        if (!token && !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &t)) return false;
        DWORD size = 0;
        ::GetTokenInformation(t, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> buffer(size ? size : 1);
        const bool ok = size && ::GetTokenInformation(t, TokenUser, buffer.data(), size, &size);
        if (!token) ::CloseHandle(t);
        if (!ok) return false;
        sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
        return !sid.empty();
    }
    bool IsWine() override {
        return SystemFunction<FARPROC>(L"ntdll.dll", "wine_get_version") != nullptr;
    }
    bool QueryFullProcessImageName(Handle process, std::wstring& out) override {
        out.clear();
        wchar_t buffer[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
        if (const QueryFn query =
                SystemFunction<QueryFn>(L"kernel32.dll", "QueryFullProcessImageNameW")) {
            if (!query(H(process), 0, buffer, &size)) return false;
            out.assign(buffer, size);
            return true;
        }
        using ModuleFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
        const ModuleFn module = SystemFunction<ModuleFn>(L"psapi.dll", "GetModuleFileNameExW");
        if (!module) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        const DWORD n = module(H(process), nullptr, buffer, MAX_PATH * 2);
        if (n == 0 || n >= MAX_PATH * 2) return false;
        out.assign(buffer, n);
        return true;
    }
};

}  // namespace

IKernel* Win32Kernel() {
    static Kernel k;
    return &k;
}

}  // namespace plat::win32
