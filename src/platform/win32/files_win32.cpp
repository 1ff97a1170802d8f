// Win32 implementation of the file-system primitives.
#include "platform/win32/win32.h"
// clang-format off
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <cstring>
#include <memory>

#include "platform/files.h"

namespace plat::win32 {
namespace {

// Calls a "fill a MAX_PATH buffer" query and returns its answer and the buffer's text.
template <typename F>
uint32_t Query260(std::wstring& out, F call) {
    wchar_t buffer[MAX_PATH] = {};
    uint32_t n = call(buffer);
    out = Text(buffer, MAX_PATH);
    return n;
}

// The native file calls that have no Win32 form (opening a name inside an open folder, the
// narrow questions about an open file) and their structures, as ntdll exports them on every
// Windows; looked up at run time.
struct NtName {
    USHORT length, maximumLength;
    PWSTR buffer;
};
struct NtAttributes {
    ULONG length;
    HANDLE root;
    NtName* name;
    ULONG attributes;
    PVOID securityDescriptor, securityQualityOfService;
};
struct IoStatus {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};
using NtCreateFileFn = LONG(WINAPI*)(PHANDLE, ACCESS_MASK, NtAttributes*, IoStatus*, PLARGE_INTEGER,
                                     ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryFn = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, ULONG);
using NtErrorFn = ULONG(WINAPI*)(LONG);

// Whether a native call succeeded; on failure its status becomes the thread's last error.
bool NtSucceeded(LONG status) {
    if (status >= 0) return true;
    const NtErrorFn toError = SystemFunction<NtErrorFn>(L"ntdll.dll", "RtlNtStatusToDosError");
    ::SetLastError(toError ? toError(status) : ERROR_GEN_FAILURE);
    return false;
}

// One question of ntdll's `function` (NtQueryInformationFile or NtQueryVolumeInformationFile)
// about an open handle, answered into `out`; false with the last error set.
template <typename T>
bool NtQuery(const char* function, HANDLE handle, T& out, ULONG informationClass) {
    const NtQueryFn query = SystemFunction<NtQueryFn>(L"ntdll.dll", function);
    if (!query) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    IoStatus io = {};
    return NtSucceeded(query(handle, &io, &out, sizeof(out), informationClass));
}

// One change through ntdll's NtSetInformationFile to an open handle, of `size` bytes at `in`;
// false with the last error.
bool NtSetBuffer(HANDLE handle, void* in, ULONG size, ULONG informationClass) {
    using NtSetFn = LONG(WINAPI*)(HANDLE, IoStatus*, PVOID, ULONG, ULONG);
    const NtSetFn set = SystemFunction<NtSetFn>(L"ntdll.dll", "NtSetInformationFile");
    if (!set) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    IoStatus io = {};
    return NtSucceeded(set(handle, &io, in, size, informationClass));
}
template <typename T>
bool NtSet(HANDLE handle, T& in, ULONG informationClass) {
    return NtSetBuffer(handle, &in, sizeof(in), informationClass);
}

// A security descriptor made from an access list: its owner when one is given, a DACL of exactly
// its entries in their order, SE_DACL_PROTECTED when asked. Get() is null (last error set) when
// a SID does not convert.
class Descriptor {
public:
    explicit Descriptor(const AccessList& access) {
        bool ok = access.owner.empty() || ::ConvertStringSidToSidW(access.owner.c_str(), &m_owner);
        DWORD size = sizeof(ACL);
        for (const AccessEntry& e : access.entries) {
            PSID sid = nullptr;
            if (!ok || !::ConvertStringSidToSidW(e.sid.c_str(), &sid)) {
                ok = false;
                break;
            }
            m_sids.push_back(sid);
            size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sid);
        }
        m_acl.resize(size / sizeof(DWORD) + 1);
        ACL* acl = reinterpret_cast<ACL*>(m_acl.data());
        ok = ok &&
             ::InitializeAcl(acl, static_cast<DWORD>(m_acl.size() * sizeof(DWORD)), ACL_REVISION);
        for (size_t i = 0; ok && i < m_sids.size(); ++i)
            ok = ::AddAccessAllowedAceEx(acl, ACL_REVISION, access.entries[i].flags,
                                         access.entries[i].mask, m_sids[i]);
        m_ok = ok && ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorDacl(&m_sd, TRUE, acl, FALSE) &&
               (!m_owner || ::SetSecurityDescriptorOwner(&m_sd, m_owner, FALSE)) &&
               (access.isProtected
                    ? ::SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)
                    : ::SetSecurityDescriptorControl(&m_sd, SE_DACL_AUTO_INHERIT_REQ,
                                                     SE_DACL_AUTO_INHERIT_REQ));
        if (!m_ok) ::SetLastError(ERROR_INVALID_SID);
    }
    ~Descriptor() {
        for (PSID sid : m_sids) ::LocalFree(sid);
        if (m_owner) ::LocalFree(m_owner);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR Get() { return m_ok ? &m_sd : nullptr; }

private:
    std::vector<PSID> m_sids;
    PSID m_owner = nullptr;
    std::vector<DWORD> m_acl;
    SECURITY_DESCRIPTOR m_sd = {};
    bool m_ok = false;
};

// Handles opened inside a folder do synchronous I/O (FILE_SYNCHRONOUS_IO_NONALERT, which needs
// SYNCHRONIZE) when they read, write or list; one opened only to delete, rename or look at an
// object asks for no more than that: the folder's right to delete what it holds (or to list it)
// then suffices, where the object's own list grants nothing.
ULONG Synchronous(uint32_t access) {
    constexpr uint32_t kData = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE |
                               GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
    constexpr ULONG kSynchronousIoNonAlert = 0x20;
    return (access & kData) ? kSynchronousIoNonAlert : 0;
}
uint32_t WithSynchronize(uint32_t access) {
    return Synchronous(access) ? access | SYNCHRONIZE : access;
}

// NtCreateFile of `name` inside the open folder `folder`, as itself (a link at the name is opened
// as the link), with the descriptor made from `list` for an object made now; `options` adds
// FILE_DIRECTORY_FILE or FILE_NON_DIRECTORY_FILE. As CreateFileW reports it, the last error is
// ERROR_ALREADY_EXISTS when an existing object was opened or replaced by kOpenAlways or
// kCreateAlways.
FileHandle OpenInFolder(FileHandle folder, const std::wstring& name, uint32_t access,
                        uint32_t share, uint32_t disposition, ULONG options,
                        const AccessList* list) {
    constexpr ULONG kObjCaseInsensitive = 0x40;
    constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3, kFileOverwriteIf = 5,
                    kFileOpened = 1, kFileOverwritten = 3;
    constexpr ULONG kOpenReparsePoint = 0x00200000;
    const NtCreateFileFn create = SystemFunction<NtCreateFileFn>(L"ntdll.dll", "NtCreateFile");
    if (!create || name.size() > 0x7FFF) {
        ::SetLastError(create ? ERROR_INVALID_NAME : ERROR_PROC_NOT_FOUND);
        return FileHandle();
    }
    std::unique_ptr<Descriptor> descriptor;
    if (list) {
        descriptor.reset(new Descriptor(*list));
        if (!descriptor->Get()) return FileHandle();
    }
    NtName text = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                   static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                   const_cast<PWSTR>(name.c_str())};
    NtAttributes attributes = {sizeof(NtAttributes),
                               H(folder),
                               &text,
                               kObjCaseInsensitive,
                               descriptor ? descriptor->Get() : nullptr,
                               nullptr};
    IoStatus io = {};
    HANDLE handle = nullptr;
    const ULONG how = disposition == OPEN_ALWAYS     ? kFileOpenIf
                      : disposition == CREATE_NEW    ? kFileCreate
                      : disposition == CREATE_ALWAYS ? kFileOverwriteIf
                                                     : kFileOpen;
    const LONG status = create(&handle, WithSynchronize(access) | FILE_READ_ATTRIBUTES,
                               &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, how,
                               options | Synchronous(access) | kOpenReparsePoint, nullptr, 0);
    if (!NtSucceeded(status)) return FileHandle();
    ::SetLastError((how == kFileOpenIf && io.information == kFileOpened) ||
                           (how == kFileOverwriteIf && io.information == kFileOverwritten)
                       ? ERROR_ALREADY_EXISTS
                       : 0);
    return FromFileH(handle);
}

// The owner and the DACL of a security descriptor.
bool ReadAccess(PSECURITY_DESCRIPTOR sd, AccessList& out) {
    out = AccessList();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (::GetSecurityDescriptorControl(sd, &control, &revision))
        out.isProtected = (control & SE_DACL_PROTECTED) != 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (::GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner) out.owner = SidText(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return false;
    out.present = present && dacl;
    for (DWORD i = 0; out.present && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) return false;
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(raw);
        AccessEntry entry;
        entry.flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Both kinds share one layout: header, mask, SID.
            const ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            entry.mask = ace->Mask;
            entry.sid = SidText(const_cast<DWORD*>(&ace->SidStart));
            entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        } else {
            // A kind the launcher does not read (object or callback entries) may grant
            // anything to anyone: reported as granting everything to nobody known.
            entry.mask = 0xFFFFFFFF;
        }
        out.entries.push_back(entry);
    }
    return true;
}

class Files final : public IFiles {
public:
    FileHandle CreateFile(const std::wstring& path, uint32_t access, uint32_t share,
                          uint32_t disposition) override {
        return FromFileH(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) override {
        DWORD n = 0;
        BOOL ok = ::ReadFile(H(file), buffer, size, &n, nullptr);
        *read = n;
        return ok != FALSE;
    }
    bool WriteFile(FileHandle file, const void* data, uint32_t size, uint32_t* written) override {
        DWORD n = 0;
        BOOL ok = ::WriteFile(H(file), data, size, &n, nullptr);
        *written = n;
        return ok != FALSE;
    }
    bool SetFilePointer(FileHandle file, int64_t distance, uint32_t method,
                        uint64_t* position) override {
        LARGE_INTEGER d, p;
        d.QuadPart = distance;
        p.QuadPart = 0;
        if (!::SetFilePointerEx(H(file), d, &p, method)) return false;
        if (position) *position = static_cast<uint64_t>(p.QuadPart);
        return true;
    }
    bool GetFileSize(FileHandle file, uint64_t* size) override {
        LARGE_INTEGER s;
        if (!::GetFileSizeEx(H(file), &s)) return false;
        *size = static_cast<uint64_t>(s.QuadPart);
        return true;
    }
    bool CloseFile(FileHandle file) override { return file && ::CloseHandle(H(file)) != FALSE; }

    uint32_t GetFileAttributes(const std::wstring& path) override {
        return ::GetFileAttributesW(path.c_str());
    }

    bool GetDiskFreeSpaceEx(const std::wstring& directory, uint64_t* totalFree) override {
        ULARGE_INTEGER free;
        free.QuadPart = 0;
        if (!::GetDiskFreeSpaceExW(directory.empty() ? nullptr : directory.c_str(), nullptr,
                                   nullptr, &free))
            return false;
        *totalFree = free.QuadPart;
        return true;
    }
    bool GetVolumeFreeSpace(FileHandle folder, uint64_t* totalFree) override {
        // What Windows' GetDiskFreeSpaceExW answers for the total free bytes once it has opened
        // the folder: the volume's free allocation units whatever the caller's quota, from
        // FileFsFullSizeInformation, else the free units of FileFsSizeInformation. (Wine's own
        // GetDiskFreeSpaceExW answers the second, which on Linux leaves out the blocks kept
        // for the superuser.)
        struct {
            LARGE_INTEGER total, callerAvailable, actualAvailable;
            ULONG sectorsPerUnit, bytesPerSector;
        } full = {};
        struct {
            LARGE_INTEGER total, available;
            ULONG sectorsPerUnit, bytesPerSector;
        } size = {};
        constexpr ULONG kSize = 3, kFullSize = 7;
        constexpr const char* kQuery = "NtQueryVolumeInformationFile";
        if (NtQuery(kQuery, H(folder), full, kFullSize)) {
            *totalFree = static_cast<uint64_t>(full.actualAvailable.QuadPart) *
                         full.sectorsPerUnit * full.bytesPerSector;
            return true;
        }
        if (!NtQuery(kQuery, H(folder), size, kSize)) return false;
        *totalFree = static_cast<uint64_t>(size.available.QuadPart) * size.sectorsPerUnit *
                     size.bytesPerSector;
        return true;
    }

    bool SetCurrentDirectory(const std::wstring& path) override {
        return ::SetCurrentDirectoryW(path.c_str()) != FALSE;
    }

    uint32_t GetTempPath(std::wstring& out) override {
        return Query260(out, [](wchar_t* b) { return ::GetTempPathW(MAX_PATH, b); });
    }
    uint32_t GetWindowsDirectory(std::wstring& out) override {
        return Query260(out, [](wchar_t* b) { return ::GetWindowsDirectoryW(b, MAX_PATH); });
    }
    uint32_t GetSystemWindowsDirectory(std::wstring& out) override {
        return Query260(out, [](wchar_t* b) { return ::GetSystemWindowsDirectoryW(b, MAX_PATH); });
    }
    uint32_t GetSystemDirectory(std::wstring& out) override {
        return Query260(out, [](wchar_t* b) { return ::GetSystemDirectoryW(b, MAX_PATH); });
    }
    uint32_t GetModuleFileName(std::wstring& out) override {
        return Query260(out, [](wchar_t* b) { return ::GetModuleFileNameW(nullptr, b, MAX_PATH); });
    }
    int32_t SHGetFolderPath(int csidl, uint32_t flags, std::wstring& out) override {
        HRESULT hr = S_OK;
        Query260(out, [&](wchar_t* b) {
            hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, flags, b);
            return 0u;
        });
        return hr;
    }

    bool GetFixedFileInfo(const std::wstring& path, FixedFileInfo& out) override {
        // version.dll is no known DLL: loaded by its full path, once (SystemLibrary).
        using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
        using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
        using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
        auto infoSize = SystemFunction<SizeFn>(L"version.dll", "GetFileVersionInfoSizeW");
        auto info = SystemFunction<InfoFn>(L"version.dll", "GetFileVersionInfoW");
        auto query = SystemFunction<QueryFn>(L"version.dll", "VerQueryValueW");
        if (!infoSize || !info || !query) return false;
        DWORD handle = 0;
        DWORD size = infoSize(path.c_str(), &handle);
        if (size == 0) return false;
        std::vector<BYTE> block(size);
        if (!info(path.c_str(), 0, size, block.data())) return false;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT len = 0;
        if (!query(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) || !fixed)
            return false;
        out.fileVersionMS = fixed->dwFileVersionMS;
        out.fileVersionLS = fixed->dwFileVersionLS;
        out.productVersionMS = fixed->dwProductVersionMS;
        out.productVersionLS = fixed->dwProductVersionLS;
        return true;
    }

    int32_t WinVerifyTrust(FileHandle file, const std::wstring& path) override {
        // wintrust.dll is no known DLL: loaded by its full path, once (SystemLibrary). Without
        // it there is no answer, and the failure to load stands for one.
        using Fn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
        auto verify = SystemFunction<Fn>(L"wintrust.dll", "WinVerifyTrust");
        if (!verify) {
            const DWORD error = ::GetLastError();
            return HRESULT_FROM_WIN32(error ? error : ERROR_MOD_NOT_FOUND);
        }
        WINTRUST_FILE_INFO subject;
        ZeroMemory(&subject, sizeof(subject));
        subject.cbStruct = sizeof(subject);
        subject.pcwszFilePath = path.c_str();
        subject.hFile = H(file);
        WINTRUST_DATA data;
        ZeroMemory(&data, sizeof(data));
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        // Nothing is fetched over the network: no revocation, and certificates from the local
        // cache only (Windows XP knows no such flag and ignores it).
        data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &subject;
        data.dwStateAction = WTD_STATEACTION_IGNORE;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }

    bool GetFileAccess(FileHandle file, AccessList& out) override {
        const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
        DWORD size = 0;
        ::GetKernelObjectSecurity(H(file), what, nullptr, 0, &size);
        if (size == 0) return false;
        std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
        PSECURITY_DESCRIPTOR sd = buffer.data();
        return ::GetKernelObjectSecurity(H(file), what, sd, size, &size) && ReadAccess(sd, out);
    }
    FileHandle CreateFileWithFlags(const std::wstring& path, uint32_t access, uint32_t share,
                                   uint32_t disposition, uint32_t flags) override {
        return FromFileH(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                       FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    }
    bool GetFileInformation(FileHandle file, FileInformation& out) override {
        // Three narrow questions. The whole-file query (GetFileInformationByHandle) also asks for
        // the volume's serial number, which Wine answers through its mount manager (about 0.3
        // ms a call); an elevated run asks these for every log line.
        struct {
            LARGE_INTEGER allocationSize, endOfFile;
            ULONG numberOfLinks;
            BOOLEAN deletePending, directory;
        } standard = {};
        struct {
            ULONG attributes, reparseTag;
        } tag = {};
        LARGE_INTEGER index = {};
        constexpr ULONG kStandard = 5, kInternal = 6, kAttributeTag = 35;
        constexpr const char* kQuery = "NtQueryInformationFile";
        if (!NtQuery(kQuery, H(file), standard, kStandard) ||
            !NtQuery(kQuery, H(file), tag, kAttributeTag) ||
            !NtQuery(kQuery, H(file), index, kInternal))
            return false;
        out.attributes = tag.attributes;
        out.numberOfLinks = standard.numberOfLinks;
        out.fileIndex = static_cast<uint64_t>(index.QuadPart);
        return true;
    }
    FileHandle CreateFileInFolder(FileHandle folder, const std::wstring& name, uint32_t access,
                                  uint32_t share, uint32_t disposition, uint32_t flags,
                                  const AccessList* list) override {
        constexpr ULONG kNonDirectoryFile = 0x40;
        return OpenInFolder(folder, name, access, share, disposition,
                            (flags & FILE_FLAG_BACKUP_SEMANTICS) ? 0 : kNonDirectoryFile, list);
    }
    FileHandle CreateFolderInFolder(FileHandle folder, const std::wstring& name, uint32_t access,
                                    uint32_t share, uint32_t disposition,
                                    const AccessList* list) override {
        constexpr ULONG kDirectoryFile = 0x1;
        return OpenInFolder(folder, name, access, share, disposition, kDirectoryFile, list);
    }
    bool RenameOpenFile(FileHandle file, FileHandle folder, const std::wstring& name) override {
        // FILE_RENAME_INFORMATION: replace nothing, the new name inside the folder given.
        struct Rename {
            BOOLEAN replaceIfExists;
            HANDLE root;
            ULONG nameLength;
            WCHAR name[1];
        };
        if (name.size() > 0x7FFF) {
            ::SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        std::vector<DWORD> buffer((sizeof(Rename) + name.size() * sizeof(WCHAR)) / sizeof(DWORD) +
                                  1);
        Rename* info = reinterpret_cast<Rename*>(buffer.data());
        info->replaceIfExists = FALSE;
        info->root = H(folder);
        info->nameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
        memcpy(info->name, name.data(), name.size() * sizeof(WCHAR));
        constexpr ULONG kRenameInformation = 10;
        return NtSetBuffer(H(file), info, static_cast<ULONG>(buffer.size() * sizeof(DWORD)),
                           kRenameInformation);
    }
    bool ListFolder(FileHandle folder, std::vector<FindData>& out) override {
        using Fn = LONG(WINAPI*)(HANDLE, HANDLE, PVOID, PVOID, IoStatus*, PVOID, ULONG, ULONG,
                                 BOOLEAN, NtName*, BOOLEAN);
        const Fn query = SystemFunction<Fn>(L"ntdll.dll", "NtQueryDirectoryFile");
        out.clear();
        if (!query) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        // FILE_DIRECTORY_INFORMATION entries, as many as fit, until there are no more.
        struct Entry {
            ULONG next, index;
            LARGE_INTEGER times[4], endOfFile, allocation;
            ULONG attributes, nameLength;
            WCHAR name[1];
        };
        constexpr ULONG kDirectoryInformation = 1;
        constexpr LONG kNoMoreFiles = static_cast<LONG>(0x80000006);
        std::vector<DWORD> buffer(16 * 1024);
        for (BOOLEAN restart = TRUE;; restart = FALSE) {
            IoStatus io = {};
            const LONG status = query(H(folder), nullptr, nullptr, nullptr, &io, buffer.data(),
                                      static_cast<ULONG>(buffer.size() * sizeof(DWORD)),
                                      kDirectoryInformation, FALSE, nullptr, restart);
            if (status == kNoMoreFiles) return true;
            if (!NtSucceeded(status)) return false;
            const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
            for (;;) {
                const Entry* e = reinterpret_cast<const Entry*>(at);
                FindData entry;
                entry.attributes = e->attributes;
                entry.size = static_cast<uint64_t>(e->endOfFile.QuadPart);
                entry.name.assign(e->name, e->nameLength / sizeof(WCHAR));
                if (entry.name != L"." && entry.name != L"..") out.push_back(entry);
                if (!e->next) break;
                at += e->next;
            }
        }
    }
    bool DeleteOpenFile(FileHandle file) override {
        BOOLEAN deleteFile = TRUE;
        constexpr ULONG kDisposition = 13;
        return NtSet(H(file), deleteFile, kDisposition);
    }
    bool SetOpenFileAttributes(FileHandle file, uint32_t attributes) override {
        struct {
            LARGE_INTEGER times[4];  // 0: unchanged
            ULONG attributes;
        } basic = {};
        basic.attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
        constexpr ULONG kBasic = 4;
        return NtSet(H(file), basic, kBasic);
    }
    bool SetEndOfFile(FileHandle file) override { return ::SetEndOfFile(H(file)) != FALSE; }
    bool GetVolumeAttributes(FileHandle file, uint32_t* attributes) override {
        struct {
            ULONG attributes;
            LONG maximumComponentNameLength;
            ULONG nameLength;
            WCHAR name[64];
        } info = {};
        constexpr ULONG kAttribute = 5;
        if (!NtQuery("NtQueryVolumeInformationFile", H(file), info, kAttribute)) return false;
        *attributes = info.attributes;
        return true;
    }
    bool GetFinalPathNameByHandle(FileHandle file, std::wstring& out, bool ntForm) override {
        // Windows Vista and later; flags 0: FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, or 2 for
        // VOLUME_NAME_NT.
        using Fn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
        const Fn fn = SystemFunction<Fn>(L"kernel32.dll", "GetFinalPathNameByHandleW");
        out.clear();
        if (!fn) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        const DWORD flags = ntForm ? 2 : 0;
        const DWORD need = fn(H(file), nullptr, 0, flags);
        if (need == 0) return false;
        std::vector<wchar_t> buffer(need + 1);
        const DWORD got = fn(H(file), buffer.data(), need + 1, flags);
        if (got == 0 || got > need) return false;
        out.assign(buffer.data(), got);
        return true;
    }
    uint32_t GetLongPathName(const std::wstring& path, std::wstring& out) override {
        out.clear();
        const DWORD need = ::GetLongPathNameW(path.c_str(), nullptr, 0);
        if (need == 0) return 0;
        std::vector<wchar_t> buffer(need + 1);
        const DWORD got = ::GetLongPathNameW(path.c_str(), buffer.data(), need + 1);
        if (got == 0 || got > need) return 0;
        out.assign(buffer.data(), got);
        return got;
    }
    bool ReadOwnImage(uint32_t offset, void* buffer, uint32_t size) override {
        const BYTE* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
        SIZE_T got = 0;
        if (!::ReadProcessMemory(::GetCurrentProcess(), base + offset, buffer, size, &got))
            return false;
        if (got == size) return true;
        ::SetLastError(ERROR_PARTIAL_COPY);
        return false;
    }
    bool AreMappedFilesTheSame(FileHandle file, bool* same) override {
        // A data view is enough: the call compares the files behind the two views, and the
        // first must be an image (Wine asks that too). No execute right on the file is needed.
        using Fn = LONG(WINAPI*)(PVOID, PVOID);
        constexpr LONG kNotSameDevice = static_cast<LONG>(0xC00000D4);
        const Fn compare = SystemFunction<Fn>(L"ntdll.dll", "NtAreMappedFilesTheSame");
        if (!compare) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return false;
        }
        HANDLE mapping = ::CreateFileMappingW(H(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (!mapping) return false;
        void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 1);
        const DWORD error = ::GetLastError();
        const LONG status = view ? compare(::GetModuleHandleW(nullptr), view) : 0;
        if (view) ::UnmapViewOfFile(view);
        ::CloseHandle(mapping);
        if (!view) {
            ::SetLastError(error);
            return false;
        }
        if (status != kNotSameDevice && !NtSucceeded(status)) return false;
        *same = status != kNotSameDevice;
        return true;
    }
};

}  // namespace

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !::ConvertSidToStringSidW(sid, &text)) return std::wstring();
    std::wstring out(text);
    ::LocalFree(text);
    return out;
}

IFiles* Win32Files() {
    static Files f;
    return &f;
}

}  // namespace plat::win32
