// File-system and shell-folder primitives of the OS seam. Paths are Windows paths (backslashes);
// each member mirrors one system call.
#pragma once

#include "platform/types.h"

namespace plat {

class IFiles {
public:
    virtual ~IFiles() = default;

    // CreateFileW. Returns 0 on failure (last error set).
    virtual FileHandle CreateFile(const std::wstring& path, uint32_t access, uint32_t share,
                                  uint32_t disposition) = 0;
    virtual bool ReadFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) = 0;
    virtual bool WriteFile(FileHandle file, const void* data, uint32_t size, uint32_t* written) = 0;
    virtual bool SetFilePointer(FileHandle file, int64_t distance, uint32_t method,
                                uint64_t* position) = 0;
    virtual bool GetFileSize(FileHandle file, uint64_t* size) = 0;
    virtual bool CloseFile(FileHandle file) = 0;

    virtual uint32_t GetFileAttributes(const std::wstring& path) = 0;
    // GetDiskFreeSpaceExW asking only for the total number of free bytes. An empty directory
    // means "null": the volume of the current directory.
    virtual bool GetDiskFreeSpaceEx(const std::wstring& directory, uint64_t* totalFree) = 0;
    // The same answer for the volume of an open folder (a handle from CreateFileWithFlags with
    // kFileFlagBackupSemantics): NtQueryVolumeInformationFile, looked up at run time. Asked
    // through the open handle, the query needs no look-up of a path.
    virtual bool GetVolumeFreeSpace(FileHandle folder, uint64_t* totalFree) = 0;

    virtual bool SetCurrentDirectory(const std::wstring& path) = 0;

    // Folder queries into 260-character buffers: the result is the call's return value and the
    // buffer's text (which stays empty when the answer did not fit).
    virtual uint32_t GetTempPath(std::wstring& out) = 0;
    virtual uint32_t GetWindowsDirectory(std::wstring& out) = 0;
    virtual uint32_t GetSystemWindowsDirectory(std::wstring& out) = 0;
    virtual uint32_t GetSystemDirectory(std::wstring& out) = 0;
    virtual uint32_t GetModuleFileName(std::wstring& out) = 0;  // the program's own file
    virtual int32_t SHGetFolderPath(int csidl, uint32_t flags, std::wstring& out) = 0;  // HRESULT

    // GetFileVersionInfoSizeW + GetFileVersionInfoW + VerQueryValueW("\").
    virtual bool GetFixedFileInfo(const std::wstring& path, FixedFileInfo& out) = 0;

    // WinVerifyTrust(WINTRUST_ACTION_GENERIC_VERIFY_V2) on the open file `file` (named `path`):
    // no user interface, no revocation check, no retrieval over the network (cache only).
    // Returns the call's result: 0 when the file's Authenticode signature holds, else the
    // failure (kTrustENoSignature, ...).
    virtual int32_t WinVerifyTrust(FileHandle file, const std::wstring& path) = 0;

    // ---- Access lists ----------------------------------------------------------------------
    // GetKernelObjectSecurity asking for the owner and the DACL of an open file or folder
    // (opened with kReadControl).
    virtual bool GetFileAccess(FileHandle file, AccessList& out) = 0;
    // ---- files as themselves and their final paths ----------------------------------------
    // CreateFileW with FILE_ATTRIBUTE_NORMAL and the given FILE_FLAG_* flags:
    // kFileFlagBackupSemantics opens folders, kFileFlagOpenReparsePoint opens a link itself
    // instead of what it points at. Returns 0 on failure (last error set).
    virtual FileHandle CreateFileWithFlags(const std::wstring& path, uint32_t access,
                                           uint32_t share, uint32_t disposition,
                                           uint32_t flags) = 0;
    // The attributes, the number of names and the file index of an open file, asked one by one
    // (NtQueryInformationFile, looked up at run time): without the volume's serial number,
    // which some systems answer slowly.
    virtual bool GetFileInformation(FileHandle file, FileInformation& out) = 0;
    // Opens (kOpenExisting), creates (kCreateNew) or either (kOpenAlways) the file `name` inside
    // the open folder `folder` (a handle from CreateFileWithFlags with kFileFlagBackupSemantics
    // and kFileTraverse), never through a link at the name, which is opened as itself:
    // NtCreateFile with the folder as its root, looked up at run time. Wherever the folder's
    // path leads by now, the file is the one in the folder that was opened. With
    // kFileFlagBackupSemantics in `flags`, a folder of that name opens too. Returns 0 on failure
    // (last error set); an existing file opened with kOpenAlways sets kErrorAlreadyExists, as
    // CreateFile does.
    // A file made now gets the security descriptor made from `list` when one is given (as
    // CreateFolderInFolder makes it), else the one it inherits.
    virtual FileHandle CreateFileInFolder(FileHandle folder, const std::wstring& name,
                                          uint32_t access, uint32_t share, uint32_t disposition,
                                          uint32_t flags = 0, const AccessList* list = nullptr) = 0;
    // Makes (kCreateNew) the folder `name` inside the open folder `folder` with the security
    // descriptor made from `list` (null: the one it inherits): its owner when one is given, a DACL
    // of its entries in their order, and SE_DACL_PROTECTED when asked, else
    // SE_DACL_AUTO_INHERIT_REQ (the folder's inheritable entries follow the given ones), or opens
    // (kOpenExisting) or either (kOpenAlways) the folder of that name, never through a link at the
    // name, which is opened as itself; in the same call, so the folder returned is the one made:
    // NtCreateFile with the folder as its root and FILE_DIRECTORY_FILE, looked up at run time.
    // Returns its handle with `access` (plus SYNCHRONIZE and FILE_READ_ATTRIBUTES), shared as
    // `share`; 0 on failure (last error set). An existing folder opened with kOpenAlways sets
    // kErrorAlreadyExists.
    virtual FileHandle CreateFolderInFolder(FileHandle folder, const std::wstring& name,
                                            uint32_t access, uint32_t share, uint32_t disposition,
                                            const AccessList* list) = 0;
    // Gives the open file or folder `file` (opened with kDelete) the name `name` inside the open
    // folder `folder`, replacing nothing there: NtSetInformationFile, FileRenameInformation with
    // the folder as root.
    virtual bool RenameOpenFile(FileHandle file, FileHandle folder, const std::wstring& name) = 0;
    // The entries of an open folder (opened with kFileListDirectory), "." and ".." left out:
    // NtQueryDirectoryFile, looked up at run time.
    virtual bool ListFolder(FileHandle folder, std::vector<FindData>& out) = 0;
    // Marks an open file or folder (opened with kDelete) for deletion when its last handle
    // closes (NtSetInformationFile, FileDispositionInformation); a link opened as itself goes as
    // a link. A folder must be empty.
    virtual bool DeleteOpenFile(FileHandle file) = 0;
    // The attributes of an open file (opened with kFileWriteAttributes): FileBasicInformation.
    virtual bool SetOpenFileAttributes(FileHandle file, uint32_t attributes) = 0;
    // SetEndOfFile: the file ends at its current position.
    virtual bool SetEndOfFile(FileHandle file) = 0;
    // The file-system attributes of the volume of an open file (FILE_PERSISTENT_ACLS, ...):
    // NtQueryVolumeInformationFile, FileFsAttributeInformation.
    virtual bool GetVolumeAttributes(FileHandle file, uint32_t* attributes) = 0;
    // GetFinalPathNameByHandleW (normalized, with the drive letter), looked up at run time: false
    // with kErrorProcNotFound where the system lacks it (Windows XP).
    // With `ntForm`, the volume's NT device name instead of the drive letter (VOLUME_NAME_NT):
    // the form every volume has, also one the mount manager gives no letter (some RAM disks).
    virtual bool GetFinalPathNameByHandle(FileHandle file, std::wstring& out,
                                          bool ntForm = false) = 0;
    // GetLongPathNameW: the path with its short (8.3) names spelt out; 0 on failure.
    virtual uint32_t GetLongPathName(const std::wstring& path, std::wstring& out) = 0;
    // ---- the program's running image ---------------------------------------------------------
    // ReadProcessMemory of the own process at the program's image (GetModuleHandleW(nullptr))
    // plus `offset`: the image as the loader mapped it, its headers first. False (last error
    // set) unless all `size` bytes were read.
    virtual bool ReadOwnImage(uint32_t offset, void* buffer, uint32_t size) = 0;
    // Whether the open file `file` is the file the program's image was mapped from: a read-only
    // mapping of the file and a view of its first bytes (CreateFileMappingW, MapViewOfFile),
    // NtAreMappedFilesTheSame (looked up at run time) on the image's base and that view, both
    // closed again. True with `*same` when the call answered (STATUS_SUCCESS: the same file,
    // STATUS_NOT_SAME_DEVICE: another one); false with the last error when it did not
    // (kErrorProcNotFound where the call is missing, the mapping's error, the call's status).
    virtual bool AreMappedFilesTheSame(FileHandle file, bool* same) = 0;
};

}  // namespace plat
