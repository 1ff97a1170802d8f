// Plain types and constants shared by the OS seam and its callers. Values are the Win32 ones, so
// the portable code and its tests speak the same numbers the real system does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Opaque handles, a type of their own for each kind, so that the compiler refuses one kind where
// another belongs (a registry key handed to a file's closer). 0 is "no handle" for every kind (the
// Win32 layer maps INVALID_HANDLE_VALUE to 0). `value` is the raw number: only the Win32 side
// (win32.h) and the simulated machine look at it.
template <class Kind>
struct HandleOf {
    std::uintptr_t value = 0;

    constexpr HandleOf() = default;
    constexpr explicit HandleOf(std::uintptr_t raw) : value(raw) {}
    constexpr explicit operator bool() const { return value != 0; }
    friend constexpr bool operator==(const HandleOf&, const HandleOf&) = default;
    friend constexpr auto operator<=>(const HandleOf&, const HandleOf&) = default;
};

using Handle = HandleOf<struct KernelObjectKind>;  // processes, threads, tokens, mutexes
using FileHandle = HandleOf<struct FileKind>;      // files and folders
using HKey = HandleOf<struct RegistryKeyKind>;     // registry keys
using Hwnd = HandleOf<struct WindowKind>;          // windows

// System error codes.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorLockViolation = 33;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorDirectory = 267;  // ERROR_DIRECTORY: not a folder
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoToken = 1008;
constexpr uint32_t kErrorCancelled = 1223;
constexpr uint32_t kErrorNotFound = 1168;
constexpr uint32_t kErrorPrivilegeNotHeld = 1314;
constexpr uint32_t kErrorUnsupportedType = 1630;  // a value of another type than asked for
constexpr uint32_t kErrorBadPathname = 161;
constexpr uint32_t kErrorInvalidData = 13;

constexpr uint32_t kStillActive = 259;
constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// Session id meaning "any session" / "own session" to the callers that accept it.
constexpr uint32_t kAnySession = 0xFFFFFFFF;

// File access, sharing, creation and attributes.
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kShareNone = 0;
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kShareWrite = 2;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kFileBegin = 0;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrReparsePoint = 0x400;

// WinVerifyTrust results (HRESULTs).
constexpr int32_t kTrustSuccess = 0;
constexpr int32_t kTrustENoSignature = static_cast<int32_t>(0x800B0100);   // TRUST_E_NOSIGNATURE
constexpr int32_t kTrustEBadDigest = static_cast<int32_t>(0x80096010);     // TRUST_E_BAD_DIGEST
constexpr int32_t kCertEUntrustedRoot = static_cast<int32_t>(0x800B0109);  // CERT_E_UNTRUSTEDROOT

// Shell folders.
constexpr int kCsidlDesktop = 0x0000;
constexpr int kCsidlCommonAppData = 0x0023;
constexpr uint32_t kShgfpTypeCurrent = 0;
constexpr uint32_t kShgfpTypeDefault = 1;

// Process and token access.
constexpr uint32_t kProcessTerminate = 0x0001;
constexpr uint32_t kProcessQueryLimitedInformation = 0x1000;
constexpr uint32_t kProcessAllAccess = 0x1FFFFF;
constexpr uint32_t kSynchronize = 0x100000;
constexpr uint32_t kTokenDuplicate = 0x0002;
constexpr uint32_t kTokenQuery = 0x0008;
constexpr uint32_t kTokenAllAccess = 0xF01FF;
constexpr uint32_t kMaximumAllowed = 0x2000000;
constexpr uint32_t kSecurityIdentification = 1;
constexpr uint32_t kTokenPrimary = 1;
constexpr uint32_t kTokenElevationTypeDefault = 1;
constexpr uint32_t kTokenElevationTypeFull = 2;
constexpr uint32_t kTokenElevationTypeLimited = 3;
constexpr uint32_t kCreateDefaultErrorMode = 0x4000000;

// Show commands.
constexpr int kSwHide = 0;
constexpr int kSwShowNormal = 1;
constexpr int kSwShowNoActivate = 4;

// ShellExecuteEx masks.
constexpr uint32_t kSeeMaskNoCloseProcess = 0x40;
constexpr uint32_t kSeeMaskNoAsync = 0x100;
constexpr uint32_t kSeeMaskFlagNoUi = 0x400;

// Message boxes.
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbIconExclamation = 0x30;
constexpr uint32_t kMbSystemModal = 0x1000;
constexpr uint32_t kMbSetForeground = 0x10000;
constexpr uint32_t kMbTopmost = 0x40000;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// System metrics.
constexpr int kSmCleanBoot = 67;

// Registry.
constexpr HKey kHkeyClassesRoot{0x80000000};
constexpr HKey kHkeyCurrentUser{0x80000001};
constexpr HKey kHkeyLocalMachine{0x80000002};
constexpr HKey kHkeyUsers{0x80000003};
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyWow6464Key = 0x0100;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// Version record (OSVERSIONINFOEXW without its size field).
struct OsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t platformId = 0;
    std::wstring servicePack;
    uint16_t servicePackMajor = 0;
    uint16_t servicePackMinor = 0;
    uint16_t suiteMask = 0;
    uint8_t productType = 0;
};

// The fixed part of a version resource (VS_FIXEDFILEINFO), the four 32-bit halves that matter.
struct FixedFileInfo {
    uint32_t fileVersionMS = 0;
    uint32_t fileVersionLS = 0;
    uint32_t productVersionMS = 0;
    uint32_t productVersionLS = 0;
};

// One entry of a directory listing (WIN32_FIND_DATAW, the parts used).
struct FindData {
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::wstring name;
};

// One entry of a process snapshot (PROCESSENTRY32W, the parts used).
struct ProcessEntry {
    uint32_t pid = 0;
    std::wstring exeFile;
};

// Local wall-clock time, second resolution.
struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The members of SHELLEXECUTEINFOW that the launcher sets; all others are zero.
struct ShellExecInfo {
    uint32_t mask = 0;
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;  // empty: none given
    int show = 0;
    Handle hProcess;  // out, with kSeeMaskNoCloseProcess
};

// The arguments of CreateProcessW that the launcher sets. STARTUPINFOW carries
// STARTF_USESHOWWINDOW with `show`; no security attributes, no environment block (the caller's).
struct ProcessStart {
    std::wstring application;  // lpApplicationName; empty: none (the command line's first token)
    std::wstring commandLine;  // copied into a writable buffer
    bool inheritHandles = false;
    uint32_t creationFlags = 0;
    std::wstring currentDirectory;  // empty: the caller's
    int show = kSwShowNormal;
};

// PROCESS_INFORMATION.
struct ProcessInfo {
    Handle hProcess;
    Handle hThread;
    uint32_t pid = 0;
    uint32_t tid = 0;
};

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

using ThreadProc = uint32_t (*)(void* param);

// Access lists of files and folders. SIDs travel as their string form ("S-1-5-18"); masks and
// inheritance flags are the Win32 values.
constexpr const wchar_t* kSidSystem = L"S-1-5-18";
constexpr const wchar_t* kSidAdministrators = L"S-1-5-32-544";
constexpr const wchar_t* kSidUsers = L"S-1-5-32-545";
constexpr uint32_t kFileAllAccess = 0x1F01FF;
constexpr uint32_t kFileGenericReadExecute = 0x1200A9;  // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
// Every right that adds, replaces or re-labels something: FILE_WRITE_DATA (add file),
// FILE_APPEND_DATA (add subfolder), FILE_WRITE_EA, FILE_WRITE_ATTRIBUTES, WRITE_DAC, WRITE_OWNER,
// GENERIC_ALL, GENERIC_WRITE. (Deleting takes something away and puts nothing in its place: a
// name freed in a folder where one may not add stays free.)
constexpr uint32_t kFileChangeRights =
    0x2 | 0x4 | 0x10 | 0x100 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000;
constexpr uint32_t kObjectInherit = 0x1;
constexpr uint32_t kContainerInherit = 0x2;
constexpr uint32_t kInheritOnly = 0x8;

// One entry of an access list. Lists written by the launcher hold allowing entries only; a
// list read back may also hold denying ones (allow false).
struct AccessEntry {
    std::wstring sid;
    uint32_t mask = 0;
    uint32_t flags = 0;  // inheritance flags of the entry
    bool allow = true;
};

// A security descriptor as far as the launcher sets and checks it: its owner (empty when
// writing: the creator's default), whether there is a DACL at all (none: everyone may do
// anything), whether it is protected from inheritance, and its entries in order.
struct AccessList {
    std::wstring owner;
    bool present = true;
    bool isProtected = false;
    std::vector<AccessEntry> entries;
};

// Opening files and folders as themselves, and what a handle says about the file it holds.
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kFileReadAttributes = 0x80;
constexpr uint32_t kFileTraverse = 0x20;
constexpr uint32_t kShareDelete = 4;
constexpr uint32_t kFileFlagBackupSemantics = 0x02000000;
constexpr uint32_t kFileFlagOpenReparsePoint = 0x00200000;
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kReadControl = 0x20000;
constexpr uint32_t kFileListDirectory = 0x1;
constexpr uint32_t kFileAddFile = 0x2;
constexpr uint32_t kFileAddSubdirectory = 0x4;
constexpr uint32_t kFileWriteAttributes = 0x100;
constexpr uint32_t kFileDeleteChild = 0x40;
constexpr uint32_t kFilePersistentAcls = 0x8;  // a volume that keeps access lists
// The file opened is not the one expected (ERROR_FILE_INVALID).
constexpr uint32_t kErrorFileInvalid = 1006;

// What a handle says about the file it holds: its attributes, how many names it has, and its
// index on its volume.
struct FileInformation {
    uint32_t attributes = 0;
    uint32_t numberOfLinks = 0;
    uint64_t fileIndex = 0;
};

}  // namespace plat
