// A simulated Windows machine behind the OS seam, for host tests. It holds sessions, accounts,
// processes, top-level windows, named mutexes, registry hives with raw typed values, tokens,
// scripted message-box answers and a virtual clock (a 15-second wait costs no real time). Files
// are real files below a private temporary directory: the Windows path "C:\a\b" lives at
// <root>/C/a/b, looked up without regard to letter case as Windows does.
//
// Constructing a SimMachine installs it as the current platform; destroying it restores the
// previous one and removes its files.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

// How a started program behaves: how long it runs (virtual ms; -1 runs until ended), its
// exit code, and what it does when it starts.
struct Program {
    bool startFails = false;  // the start itself fails with `startError`
    uint32_t startError = plat::kErrorFileNotFound;
    std::wstring exe;  // process name in snapshots; empty: the started file's name
    int64_t runMs = 0;
    uint32_t exitCode = 0;
    std::function<void(uint32_t pid)> onStart;
};

// A program that runs `runMs` and ends with `exitCode`; one whose start fails with `error`.
inline Program Runs(int64_t runMs, uint32_t exitCode = 0) {
    Program p;
    p.runMs = runMs;
    p.exitCode = exitCode;
    return p;
}
inline Program FailsToStart(uint32_t error) {
    Program p;
    p.startFails = true;
    p.startError = error;
    return p;
}

// The creator's entry of an inheritable list: whoever creates the object below gets it.
constexpr const wchar_t* kSidCreatorOwner = L"S-1-3-0";

// What an interpreter started with "/d /v:off" is asked to run ("/c ..."); else the whole line.
inline std::wstring InterpreterParameters(const std::wstring& line) {
    const size_t at = line.find(L"cmd.exe\" /d /v:off ");
    return at == std::wstring::npos ? line : line.substr(at + 19);  // 19: the text looked for
}

enum class TokenKind {
    StandardUser,   // not an administrator
    LimitedAdmin,   // administrator with the filtered token (linked full token)
    ElevatedAdmin,  // administrator, elevated
    System,         // the local system account
};

struct MessageBoxCall {
    std::wstring text, caption;
    uint32_t style = 0;
    int answer = 0;
};

class SimMachine {
public:
    SimMachine();
    ~SimMachine();
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    // ---- virtual clock ----------------------------------------------------------------------
    uint64_t Now() const { return m_now; }
    void At(uint64_t when, std::function<void()> fn);  // runs once the clock reaches `when`
    void After(uint64_t delay, std::function<void()> fn) { At(m_now + delay, std::move(fn)); }
    void Advance(uint64_t ms);     // moves the clock, running due events in order; never back
    std::vector<uint32_t> sleeps;  // every Sleep() of the program, in order

    // ---- the program itself -----------------------------------------------------------------
    uint32_t selfPid = 4242;
    uint32_t selfSession = 1;
    bool sessionQueryFails = false;  // ProcessIdToSessionId of the own process fails
    TokenKind token = TokenKind::StandardUser;
    bool elevationQueryFails = false;  // GetTokenInformation(TokenElevation) fails, as on XP
    std::wstring userName = L"user";   // account that owns the program (unless System)
    std::wstring commandLine = L"\"C:\\Downloads\\VESK.exe\"";
    std::wstring moduleFile = L"C:\\Downloads\\VESK.exe";
    plat::FixedFileInfo moduleVersion{0x00010002, 0x00030004, 0x00010002, 0x00030004};
    bool moduleVersionMissing = false;
    std::map<std::wstring, std::wstring> environment;  // the program's environment variables
    // WinVerifyTrust: a file whose certificate table is empty has no signature (0x800B0100);
    // one with a table is trusted (0), as under Wine, which checks no certificate chain, unless
    // `trustResult` says otherwise (an untrusted certificate: kCertEUntrustedRoot; bytes
    // changed after signing: kTrustEBadDigest). Each call is recorded in `calls`.
    std::optional<int32_t> trustResult;
    // The running image: the file the module path names, or from StartImage on the one it named
    // then, wherever it goes; mapped 0x10000 above its preferred base, as ImageBase then says.
    void StartImage();
    bool sameFileQueryFails = false;  // NtAreMappedFilesTheSame cannot answer

    // ---- OS --------------------------------------------------------------------------------
    plat::OsVersion version{10, 0, 19045, 2, L"", 0, 0, 0x100, 1};
    bool rtlGetVersionMissing = false;
    bool getVersionExFails = false;
    bool wow64Missing = false;
    bool wow64 = false;
    int cleanBoot = 0;
    plat::Rect workArea{0, 0, 1920, 1040};
    std::map<uint32_t, std::wstring> strings;  // string table
    std::vector<std::wstring> debugOutput;
    std::function<void(const std::wstring& line)> onDebugOutput;  // called for every line
    std::function<void(const std::wstring& path)> onDeleteFile;   // called before each deletion
    bool localTimeFails = false;
    plat::CivilTime clockBase{2026, 12, 7, 10, 0, 0};  // local time at virtual 0

    // ---- sessions, processes, windows ----------------------------------------------------------
    std::map<uint32_t, std::wstring> sessionUsers{{1, L"user"}};  // who is logged on where
    uint32_t AddProcess(const std::wstring& exe, uint32_t session, int64_t runMs = -1,
                        uint32_t exitCode = 0, const std::wstring& account = L"");
    void EndProcess(uint32_t pid, uint32_t exitCode);
    bool IsAlive(uint32_t pid) const;
    uint32_t ExitCodeOf(uint32_t pid) const;
    std::vector<uint32_t> ProcessesNamed(const std::wstring& exe) const;  // alive ones
    bool snapshotFails = false;
    std::set<uint32_t> unopenableProcesses;      // OpenProcess fails with access denied
    std::set<uint32_t> sessionUnknownProcesses;  // ProcessIdToSessionId fails for these
    // Full image paths by pid; a process not listed runs "<Windows folder>\<its name>".
    std::map<uint32_t, std::wstring> processImages;

    // A window on the desktop of `session` (default: the program's own session at that moment);
    // as on Windows, FindWindow sees only the windows of the program's own session.
    plat::Hwnd AddWindow(const std::wstring& className, uint32_t ownerPid,
                         uint32_t session = 0xFFFFFFFF);
    void CloseWindow(plat::Hwnd window);
    bool WindowAlive(plat::Hwnd window) const;
    plat::Hwnd foreground;

    // What starting a program does; default: it ends at once with exit code 0.
    std::function<Program(const plat::ShellExecInfo&)> onShellExecute;
    std::function<Program(const std::wstring& commandLine, const std::wstring& directory)>
        onCreateProcess;

    // ---- named mutexes (session-local names) -------------------------------------------------
    void HoldMutex(const std::wstring& name, uint32_t session);  // another process holds it
    void ReleaseMutex(const std::wstring& name, uint32_t session);
    bool mutexAccessDenied = false;  // existing mutexes cannot be opened (error 5)
    int MutexHolders(const std::wstring& name, uint32_t session) const;

    // ---- message boxes -----------------------------------------------------------------------
    std::deque<int> messageBoxAnswers;  // next answers; IDOK when empty
    std::vector<MessageBoxCall> messageBoxes;

    // ---- files -----------------------------------------------------------------------------
    std::string root;  // host directory that holds drive C:
    std::string HostPath(const std::wstring& windowsPath) const;
    void WriteFile(const std::wstring& path, const std::string& bytes);  // creates folders
    std::string ReadFile(const std::wstring& path) const;
    bool Exists(const std::wstring& path) const;
    int OpenFiles() const;  // file and folder handles the program holds open now
    void SetReadOnly(const std::wstring& path, bool readOnly);
    void MakeSymlink(const std::wstring& link, const std::wstring& target);
    // Links that cannot be opened as themselves, as under Wine: a link opens as what it points
    // at, so deleting a link to a folder deletes that folder (when it is empty).
    bool linksOpenAsTargets = false;
    bool finalPathMissing = false;  // no GetFinalPathNameByHandleW, as on Windows XP
    // Folders on volumes the mount manager gives no drive letter (some RAM disks): their final
    // paths have the NT form only.
    std::set<std::wstring> volumesWithoutLetter;

    std::wstring tempPath = L"C:\\users\\user\\Temp\\";
    uint32_t tempPathResult = 0;  // nonzero overrides GetTempPath's answer (buffer left empty)
    bool tempPathFails = false;
    std::wstring windowsDir = L"C:\\windows";
    std::wstring commonAppData = L"C:\\ProgramData";
    std::wstring desktop = L"C:\\users\\user\\Desktop";
    std::set<int> failingFolders;  // CSIDLs whose SHGetFolderPath fails
    std::wstring currentDir = L"C:\\Downloads";
    uint64_t defaultFreeSpace = uint64_t(1) << 40;
    std::map<std::wstring, uint64_t> freeSpace;  // per folder prefix (longest prefix wins)
    int64_t writeBudget = -1;                    // bytes the disk still takes (-1: unlimited)
    uint32_t writeMsPerMiB = 0;                  // virtual time a write takes
    int failCreateDirectory = 0;                 // CreateFolderInFolder fails this many more times
    std::vector<std::wstring> freeSpaceQueries;  // directory asked (empty: current directory)
    std::map<std::wstring, std::set<std::wstring>> writeDenied;  // folder prefix -> accounts

    // Rights, decided as Windows decides them. Accounts' SIDs: "SYSTEM" is S-1-5-18, others come
    // from `accountSids` or are made up from the name; an account in `administrators` runs its
    // shell (and what it starts unelevated) with an administrator's limited token, in which the
    // Administrators group is deny-only. Every open, creation, deletion, rename and attribute
    // change is granted or refused by an access check of the acting token (the thread's
    // impersonation token, else the process's) against the object's security descriptor. A file
    // or folder keeps the descriptor it got at its creation through the program (its owner the
    // creator's default: the Administrators for an elevated administrator or the system account;
    // the entries given, or those the folder above passes on) or that a test set; one the test
    // made inherits from the folders above it, down from the drive's root, where the system
    // account, the administrators and the machine's first user have full control. The common
    // application-data folder carries Windows' own list: administrators and the system full
    // control, users read, add files and folders, and the creator full control of what it adds.
    // `writeDenied` refuses, on top, every change below a folder to the accounts named.
    std::set<std::wstring> administrators;
    // When set, every access check is recorded, one line each: "access", the descriptor as SDDL,
    // the token's SIDs (the user first; a deny-only group with a leading '-'), the access asked
    // (generic rights mapped), 1 or 0, and the object's path, separated by tabs.
    std::vector<std::wstring>* accessLog = nullptr;
    std::map<std::wstring, std::wstring> accountSids{{L"user", L"S-1-5-21-1-1001"}};
    // Folders on volumes that keep no access lists (a FAT stick, some shares): nothing set there
    // is kept, and every list reads back as none at all.
    std::set<std::wstring> volumesWithoutAccessLists;
    std::wstring SidOf(const std::wstring& account) const;
    void SetAccess(const std::wstring& path, const plat::AccessList& access);
    plat::AccessList AccessOf(const std::wstring& path) const;

    // ---- registry ---------------------------------------------------------------------------
    // Raw value access for tests. `hive` is an account name ("user", "SYSTEM") or "MACHINE".
    struct RegValue {
        uint32_t type = 0;
        std::vector<uint8_t> data;
    };
    void SetRegValue(const std::wstring& hive, const std::wstring& key, const std::wstring& name,
                     uint32_t type, const std::vector<uint8_t>& data);
    void SetRegString(const std::wstring& hive, const std::wstring& key, const std::wstring& name,
                      const std::wstring& value, uint32_t type = plat::kRegSz);
    void SetRegDword(const std::wstring& hive, const std::wstring& key, const std::wstring& name,
                     uint32_t value);
    bool GetRegValue(const std::wstring& hive, const std::wstring& key, const std::wstring& name,
                     RegValue& out) const;
    bool RegKeyExists(const std::wstring& hive, const std::wstring& key) const;
    void CreateRegKey(const std::wstring& hive, const std::wstring& key);
    // Makes `key` a registry link to `targetKey` of `targetHive` (any hive), as a key created with
    // REG_OPTION_CREATE_LINK and given a "SymbolicLinkValue": opens and creates follow it at any
    // level, but for the last name of a path opened with REG_OPTION_OPEN_LINK.
    void MakeRegLink(const std::wstring& hive, const std::wstring& key,
                     const std::wstring& targetHive, const std::wstring& targetKey);
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> regLinks;  // by HIVE\KEY
    bool regOpenCurrentUserFails = false;
    int registryWriteFlushes = 0;
    // Rights granted on single keys, as "hive\\key" (default: all). Opening or creating such a
    // key with any other right than these fails with access denied.
    std::map<std::wstring, uint32_t> regKeyRights;
    int OpenRegistryKeys() const;  // key handles the program holds open now

    // ---- the loading window's surface ----------------------------------------------------------
    // One picture drawn with DrawImage: the resource the image was decoded from and where.
    struct LoadingDraw {
        uint32_t image = 0;
        int x = 0, y = 0, width = 0, height = 0;
    };
    struct LoadingSurface {
        // The program's "PNG" resources, as bytes; 200 to 212 are preloaded with pictures of the
        // launcher's sizes. The simulated decoder reads the size from the PNG header and rejects
        // anything that is not a PNG; nothing decodes while GDI+ is not running.
        std::map<uint32_t, std::string> pngs;
        bool iconMissing = false;      // icon resource 128
        bool gdiplusFails = false;     // GdiplusStartup fails
        bool createFails = false;      // CreateWindowExW fails
        int cursorX = 0, cursorY = 0;  // the mouse pointer, screen coordinates

        int gdiplusStarts = 0, gdiplusShutdowns = 0;  // successful starts; all shutdowns
        int windowsCreated = 0;
        int imagesAlive = 0;    // decoded and not yet disposed
        int picturesAlive = 0;  // off-screen DC and bitmap pairs not yet deleted

        // The last window created.
        plat::Hwnd window;
        bool alive = false, visible = false, topmost = false;
        uint32_t classStyle = 0, style = 0, exStyle = 0;
        std::wstring className, windowName;
        plat::Rect rect;  // screen position
        bool hasRegion = false;
        plat::Rect region;
        int regionEllipseWidth = -1, regionEllipseHeight = -1;
        plat::Hicon bigIcon, smallIcon;
        bool ghostingDisabled = false;
        std::map<uint32_t, uint32_t> timers;  // armed timers: id -> interval (ms)
        uint32_t cursor = 0;                  // last system cursor set

        std::vector<uint8_t> alphas;        // every alpha handed to SetLayeredWindowAttributes
        std::vector<LoadingDraw> draws;     // every DrawImage, off-screen
        std::vector<uint32_t> shownFrames;  // per picture copied onto the window: its spinner
                                            // frame's resource id (0: none drawn)
        std::vector<uint64_t> shownAt;      // ... and the virtual time of the copy
        int defaultPaints = 0;              // erases left to the default processing
        std::vector<std::wstring> calls;    // "ShowWindow 4", "SetTimer 102 35", "KillTimer 100",
                                            // "MoveWindow 807 474 307 93", "DestroyWindow", ...
    };
    LoadingSurface loading;
    // A minimal PNG (signature and header) of the given size, for `loading.pngs`.
    static std::string FakePng(uint32_t width, uint32_t height);
    // Runs the loading window's timers for `ms` of virtual time, as a message loop on the
    // window's thread would: each due timer is delivered in time order.
    void PumpMessages(uint64_t ms);

    // ---- records ---------------------------------------------------------------------------
    std::vector<std::wstring> calls;  // notable calls, e.g. L"ShellExecuteEx ..."
    std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix) const;
    std::wstring impersonating;  // account the main thread impersonates now (empty: none; a
                                 // test may set one: its shell's kind of token then acts)
    int impersonations = 0;      // successful ImpersonateLoggedOnUser calls

    // The diagnostic log as written to disk: whole lines, and the messages alone (without the
    // "[pid]time  " head and the " (Last=n)" tail).
    std::vector<std::wstring> LogLines() const;
    std::vector<std::wstring> LogMessages() const;
    std::wstring LogPath() const;

    // Internals shared by the seam implementations.
    struct Impl;
    Impl& impl() { return *m_impl; }

private:
    uint64_t m_now = 0;
    std::multimap<uint64_t, std::function<void()>> m_events;
    std::unique_ptr<Impl> m_impl;
    plat::Platform m_platform;
    plat::Platform* m_previous = nullptr;
    friend struct Impl;
};

// Extracts the message part of a log line.
std::wstring LogMessageOf(const std::wstring& line);

}  // namespace sim
