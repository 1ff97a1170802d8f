// File-system side of the simulated machine: real files below the machine's root, with the
// Windows rules the launcher meets (sharing modes, read-only files, links, free space).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/sim_impl.h"
#include "unpack/package_format.h"
#include "util/text.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

uint32_t AttributesOf(const struct stat& st, const std::string& host) {
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        bool dir = ::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        return plat::kAttrReparsePoint | (dir ? plat::kAttrDirectory : 0);
    }
    uint32_t a = S_ISDIR(st.st_mode) ? plat::kAttrDirectory : plat::kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) a |= plat::kAttrReadOnly;
    return a;
}

// File rights as the handle checks them (generic rights are mapped when the handle is made).
constexpr uint32_t kReadData = 0x1;
constexpr uint32_t kWriteData = 0x2;

class Files final : public plat::IFiles {
public:
    explicit Files(SimMachine& m) : m(m), d(m.impl()) {}

    plat::FileHandle CreateFile(const std::wstring& path, uint32_t access, uint32_t share,
                                uint32_t disposition) override {
        const std::string host = m.HostPath(path);
        struct stat st;
        const bool exists = ::lstat(host.c_str(), &st) == 0;
        const bool wantWrite = access & plat::kGenericWrite;
        if (exists && S_ISDIR(st.st_mode))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (!fs::is_directory(fs::path(host).parent_path()))
            return Fail(plat::kErrorPathNotFound), plat::FileHandle();
        if (!exists && disposition == plat::kOpenExisting)
            return Fail(plat::kErrorFileNotFound), plat::FileHandle();
        if (wantWrite && exists && !(st.st_mode & S_IWUSR))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        const std::string key = d.HostKey(host);
        if (exists ? !d.MayOpen(key, access) : !d.MayAdd(key, false))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (exists && d.ShareConflict(host, access, share))
            return Fail(plat::kErrorSharingViolation), plat::FileHandle();
        if (!exists && m.writeBudget == 0) return Fail(plat::kErrorDiskFull), plat::FileHandle();

        int flags = wantWrite ? ((access & plat::kGenericRead) ? O_RDWR : O_WRONLY) : O_RDONLY;
        if (disposition == plat::kCreateAlways) flags |= O_CREAT | O_TRUNC;
        if (disposition == plat::kOpenAlways) flags |= O_CREAT;
        int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (!exists) d.Created(key);
        // Like Windows: opening an existing file with "create/open always" reports 183.
        SetError(exists && (disposition == plat::kCreateAlways || disposition == plat::kOpenAlways)
                     ? plat::kErrorAlreadyExists
                     : 0);
        return Opened(fd, host, access, share);
    }

    bool ReadFile(plat::FileHandle file, void* buffer, uint32_t size, uint32_t* read) override {
        *read = 0;
        auto* f = d.Get<FileObj>(file);
        if (!f || !(f->access & kReadData)) return Fail(plat::kErrorAccessDenied);
        ssize_t n = ::read(f->fd, buffer, size);
        if (n < 0) return Fail(plat::kErrorAccessDenied);
        *read = static_cast<uint32_t>(n);
        return true;
    }

    bool WriteFile(plat::FileHandle file, const void* data, uint32_t size,
                   uint32_t* written) override {
        *written = 0;
        auto* f = d.Get<FileObj>(file);
        if (!f || !(f->access & kWriteData)) return Fail(plat::kErrorAccessDenied);
        uint32_t take = size;
        if (m.writeBudget >= 0 && take > m.writeBudget) take = static_cast<uint32_t>(m.writeBudget);
        ssize_t n = take ? ::write(f->fd, data, take) : 0;
        if (n < 0) return Fail(plat::kErrorAccessDenied);
        *written = static_cast<uint32_t>(n);
        if (m.writeBudget >= 0) m.writeBudget -= n;
        if (static_cast<uint32_t>(n) < size) return Fail(plat::kErrorDiskFull);
        m.Advance(static_cast<uint64_t>(n) * m.writeMsPerMiB >> 20);
        return true;
    }

    bool SetFilePointer(plat::FileHandle file, int64_t distance, uint32_t method,
                        uint64_t* position) override {
        auto* f = d.Get<FileObj>(file);
        if (!f) return Fail(plat::kErrorInvalidHandle);
        int whence = method == plat::kFileBegin ? SEEK_SET
                     : method == plat::kFileEnd ? SEEK_END
                                                : SEEK_CUR;
        off_t r = ::lseek(f->fd, static_cast<off_t>(distance), whence);
        if (r < 0) return Fail(plat::kErrorInvalidParameter);
        if (position) *position = static_cast<uint64_t>(r);
        return true;
    }

    bool GetFileSize(plat::FileHandle file, uint64_t* size) override {
        auto* f = d.Get<FileObj>(file);
        struct stat st;
        if (!f || ::fstat(f->fd, &st) != 0) return Fail(plat::kErrorInvalidHandle);
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }

    bool CloseFile(plat::FileHandle file) override {
        return d.kernel->CloseHandle(plat::Handle(file.value));
    }

    uint32_t GetFileAttributes(const std::wstring& path) override {
        if (path.empty()) {
            SetError(plat::kErrorPathNotFound);
            return plat::kInvalidFileAttributes;
        }
        const std::string host = m.HostPath(path);
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) {
            SetError(plat::kErrorFileNotFound);
            return plat::kInvalidFileAttributes;
        }
        return AttributesOf(st, host);
    }

    bool GetDiskFreeSpaceEx(const std::wstring& directory, uint64_t* totalFree) override {
        m.freeSpaceQueries.push_back(directory);
        *totalFree = FreeSpaceAt(directory.empty() ? m.currentDir : directory);
        return true;
    }

    bool GetVolumeFreeSpace(plat::FileHandle folder, uint64_t* totalFree) override {
        auto* f = d.Get<FileObj>(folder);
        std::wstring path;
        if (!f || f->fd < 0 || !WindowsPathOf(*f, path)) return Fail(plat::kErrorInvalidHandle);
        if (path.back() != L'\\') path += L'\\';
        m.freeSpaceQueries.push_back(path);
        *totalFree = FreeSpaceAt(path);
        return true;
    }

    // What the machine's settings give as the free space of the volume holding `path`.
    uint64_t FreeSpaceAt(const std::wstring& path) {
        const std::wstring full = Upper(d.Absolute(path));
        uint64_t free = m.defaultFreeSpace;
        size_t best = 0;
        for (const auto& [prefix, bytes] : m.freeSpace) {
            const std::wstring p = Upper(d.Absolute(prefix));
            if (full.compare(0, p.size(), p) == 0 && p.size() >= best) {
                best = p.size();
                free = bytes;
            }
        }
        return free;
    }

    bool SetCurrentDirectory(const std::wstring& path) override {
        if (!fs::is_directory(m.HostPath(path))) return Fail(plat::kErrorPathNotFound);
        std::wstring full = d.Absolute(path);
        m.currentDir = full;
        return true;
    }

    uint32_t GetTempPath(std::wstring& out) override {
        out.clear();
        if (m.tempPathFails) return Fail(plat::kErrorAccessDenied), 0;
        if (m.tempPathResult) return m.tempPathResult;
        out = m.tempPath;
        return static_cast<uint32_t>(out.size());
    }
    uint32_t GetWindowsDirectory(std::wstring& out) override {
        out = m.windowsDir;
        return static_cast<uint32_t>(out.size());
    }
    uint32_t GetSystemWindowsDirectory(std::wstring& out) override {
        return GetWindowsDirectory(out);
    }
    uint32_t GetSystemDirectory(std::wstring& out) override {
        out = m.windowsDir + L"\\system32";
        return static_cast<uint32_t>(out.size());
    }
    uint32_t GetModuleFileName(std::wstring& out) override {
        // A path that does not fit the 260-character buffer comes back cut off, with the
        // buffer's length as result.
        out = m.moduleFile.substr(0, 259);
        return m.moduleFile.size() < 260 ? static_cast<uint32_t>(out.size()) : 260;
    }
    int32_t SHGetFolderPath(int csidl, uint32_t, std::wstring& out) override {
        out.clear();
        if (m.failingFolders.count(csidl)) return static_cast<int32_t>(0x80070002);
        if (csidl == plat::kCsidlDesktop)
            out = m.desktop;
        else if (csidl == plat::kCsidlCommonAppData)
            out = m.commonAppData;
        else
            return static_cast<int32_t>(0x80070057);
        return 0;
    }

    bool GetFixedFileInfo(const std::wstring& path, plat::FixedFileInfo& out) override {
        if (m.moduleVersionMissing || !text::EqualsNoCase(path, m.moduleFile))
            return Fail(1813), false;  // ERROR_RESOURCE_TYPE_NOT_FOUND
        out = m.moduleVersion;
        return true;
    }

    int32_t WinVerifyTrust(plat::FileHandle file, const std::wstring& path) override {
        m.calls.push_back(L"WinVerifyTrust " + path);
        auto* f = d.Get<FileObj>(file);
        if (!f || !(f->access & kReadData))
            return static_cast<int32_t>(0x80070000 | plat::kErrorInvalidHandle);
        // The certificate table's size, read from the open file as a signature check does.
        uint8_t dos[pkg::kDosHeaderSize] = {};
        uint8_t nt[pkg::kNtHeadersMax] = {};
        pkg::PeHeaders pe;
        const bool signedImage =
            ::pread(f->fd, dos, sizeof(dos), 0) == static_cast<ssize_t>(sizeof(dos)) &&
            pkg::ReadI32(dos + pkg::kLfanewOffset) >= 0 &&
            ::pread(f->fd, nt, sizeof(nt), pkg::ReadI32(dos + pkg::kLfanewOffset)) > 0 &&
            pkg::ParseNtHeaders(nt, &pe) && pe.certificateTableSize != 0;
        if (!signedImage) return plat::kTrustENoSignature;
        return m.trustResult ? *m.trustResult : plat::kTrustSuccess;
    }

    bool GetFileAccess(plat::FileHandle file, plat::AccessList& out) override {
        std::string key;
        if (!KeyOf(file, key)) return Fail(plat::kErrorInvalidHandle);
        if (!(d.Get<FileObj>(file)->access & plat::kReadControl))
            return Fail(plat::kErrorAccessDenied);
        out = d.ListOf(key);
        return true;
    }

    plat::FileHandle CreateFileWithFlags(const std::wstring& path, uint32_t access, uint32_t share,
                                         uint32_t disposition, uint32_t flags) override {
        const std::string host = m.HostPath(path);
        struct stat st, target;
        if (::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
            (flags & plat::kFileFlagOpenReparsePoint) && !m.linksOpenAsTargets) {
            if (!MayOpenThere(host, true, access, share)) return plat::FileHandle();
            return OpenedThere(host, true, access, share, disposition);
        }
        if (::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            if (!(flags & plat::kFileFlagBackupSemantics))
                return Fail(plat::kErrorAccessDenied), plat::FileHandle();
            if (!d.MayOpen(d.HostKey(host), access))
                return Fail(plat::kErrorAccessDenied), plat::FileHandle();
            if (d.ShareConflict(host, access, share))
                return Fail(plat::kErrorSharingViolation), plat::FileHandle();
            const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) return Fail(plat::kErrorAccessDenied), plat::FileHandle();
            SetError(0);
            return Opened(fd, host, access, share);
        }
        return CreateFile(path, access, share, disposition);
    }

    bool GetFileInformation(plat::FileHandle file, plat::FileInformation& out) override {
        auto* f = d.Get<FileObj>(file);
        struct stat st;
        if (!f || (f->link ? ::lstat(f->hostPath.c_str(), &st) : ::fstat(f->fd, &st)) != 0)
            return Fail(plat::kErrorInvalidHandle);
        // The attributes come with FileAttributeTagInformation, which needs the right to read them.
        if (!(f->access & plat::kFileReadAttributes)) return Fail(plat::kErrorAccessDenied);
        out.attributes = AttributesOf(st, f->hostPath);
        out.numberOfLinks = S_ISDIR(st.st_mode) ? 1 : static_cast<uint32_t>(st.st_nlink);
        out.fileIndex = static_cast<uint64_t>(st.st_ino);
        return true;
    }

    plat::FileHandle CreateFileInFolder(plat::FileHandle folder, const std::wstring& name,
                                        uint32_t access, uint32_t share, uint32_t disposition,
                                        uint32_t flags, const plat::AccessList* list) override {
        access = AsWin32Asks(access);
        std::string host;
        if (!InFolder(folder, name, host)) return plat::FileHandle();
        struct stat st;
        const bool exists = ::lstat(host.c_str(), &st) == 0;
        if (exists && disposition == plat::kCreateNew)  // the native call's answer, as a code
            return Fail(plat::kErrorAlreadyExists), plat::FileHandle();
        // A link is opened as itself (where links cannot be, as Wine, as what it points at).
        const bool asLink = exists && S_ISLNK(st.st_mode) && !m.linksOpenAsTargets;
        if (exists && !MayOpenThere(host, asLink, access, share)) return plat::FileHandle();
        if (asLink) return OpenedThere(host, true, access, share, disposition);
        struct stat target;
        if (exists && ::stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            if (!(flags & plat::kFileFlagBackupSemantics))
                return Fail(plat::kErrorAccessDenied), plat::FileHandle();
            return OpenedThere(host, false, access, share, disposition);
        }
        if (!exists && disposition == plat::kOpenExisting)
            return Fail(plat::kErrorFileNotFound), plat::FileHandle();
        const std::string key = d.HostKey(host);
        if (exists && (MapGeneric(access) & kWriteData) && !(st.st_mode & S_IWUSR))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (!exists && !d.MayAdd(key, false))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (exists && disposition == plat::kCreateAlways && !(st.st_mode & S_IWUSR))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (!exists && m.writeBudget == 0) return Fail(plat::kErrorDiskFull), plat::FileHandle();
        const int fd = ::open(host.c_str(),
                              ((MapGeneric(access) & kWriteData) ? O_RDWR : O_RDONLY) | O_CREAT |
                                  (disposition == plat::kCreateAlways ? O_TRUNC : 0) |
                                  (m.linksOpenAsTargets ? 0 : O_NOFOLLOW) | O_CLOEXEC,
                              0644);
        if (fd < 0) return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (!exists) d.Created(key, list);
        SetError(exists && (disposition == plat::kOpenAlways || disposition == plat::kCreateAlways)
                     ? plat::kErrorAlreadyExists
                     : 0);
        return Opened(fd, host, access, share);
    }

    plat::FileHandle CreateFolderInFolder(plat::FileHandle folder, const std::wstring& name,
                                          uint32_t access, uint32_t share, uint32_t disposition,
                                          const plat::AccessList* list) override {
        access = AsWin32Asks(access);
        std::string host;
        if (!InFolder(folder, name, host)) return plat::FileHandle();
        struct stat st;
        const bool exists = ::lstat(host.c_str(), &st) == 0;
        if (exists && disposition == plat::kCreateNew)
            return Fail(plat::kErrorAlreadyExists), plat::FileHandle();
        if (!exists && disposition == plat::kOpenExisting)
            return Fail(plat::kErrorFileNotFound), plat::FileHandle();
        if (exists) {
            // A link is opened as itself (where links cannot be, as Wine, as what it points at).
            const bool asLink = S_ISLNK(st.st_mode) && !m.linksOpenAsTargets;
            struct stat target;
            if (!asLink && (::stat(host.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)))
                return Fail(plat::kErrorDirectory), plat::FileHandle();  // a file of that name
            if (!MayOpenThere(host, asLink, access, share)) return plat::FileHandle();
            return OpenedThere(host, asLink, access, share, disposition);
        }
        m.calls.push_back(L"CreateFolderInFolder " + Shown(d.HostKey(host)));
        if (m.failCreateDirectory > 0) {
            --m.failCreateDirectory;
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        }
        if (!d.MayAdd(d.HostKey(host), true))
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        if (::mkdir(host.c_str(), 0755) != 0)
            return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        d.Created(d.HostKey(host), list);
        const int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        SetError(0);
        return Opened(fd, host, access, share);
    }

    bool RenameOpenFile(plat::FileHandle file, plat::FileHandle folder,
                        const std::wstring& name) override {
        auto* f = d.Get<FileObj>(file);
        std::string from, to;
        if (!f || !KeyOf(file, from)) return Fail(plat::kErrorInvalidHandle);
        if (!(f->access & plat::kDelete)) return Fail(plat::kErrorAccessDenied);
        if (!InFolder(folder, name, to)) return false;
        if (fs::exists(fs::symlink_status(to))) return Fail(plat::kErrorAlreadyExists);
        m.calls.push_back(L"RenameOpenFile " + Shown(from) + L" " + Shown(d.HostKey(to)));
        const bool isFolder = !f->link && fs::is_directory(from);
        if (!d.MayAdd(d.HostKey(to), isFolder)) return Fail(plat::kErrorAccessDenied);
        // Like Windows, no folder is renamed while anything below it is open.
        for (const auto& [h, obj] : d.handles)
            if (const auto* other = std::get_if<FileObj>(&obj); other && h != file.value) {
                std::string below;
                if (KeyOf(plat::FileHandle(h), below) &&
                    below.compare(0, from.size() + 1, from + "/") == 0)
                    return Fail(plat::kErrorAccessDenied);
            }
        if (::rename(from.c_str(), to.c_str()) != 0) return Fail(plat::kErrorAccessDenied);
        if (f->link) f->hostPath = to;
        return true;
    }

    bool ListFolder(plat::FileHandle folder, std::vector<plat::FindData>& out) override {
        out.clear();
        std::string here;
        auto* f = d.Get<FileObj>(folder);
        if (!f || f->fd < 0 || !KeyOf(folder, here)) return Fail(plat::kErrorInvalidHandle);
        if (!(f->access & plat::kFileListDirectory)) return Fail(plat::kErrorAccessDenied);
        DIR* dir = ::opendir(here.c_str());
        if (!dir) return Fail(plat::kErrorAccessDenied);
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            struct stat st;
            if (name == "." || name == ".." || ::lstat((here + "/" + name).c_str(), &st) != 0)
                continue;
            out.push_back({AttributesOf(st, here + "/" + name), static_cast<uint64_t>(st.st_size),
                           text::Widen(name)});
        }
        ::closedir(dir);
        return true;
    }

    bool DeleteOpenFile(plat::FileHandle file) override {
        auto* f = d.Get<FileObj>(file);
        std::string key;
        if (!f || !KeyOf(file, key)) return Fail(plat::kErrorInvalidHandle);
        if (!(f->access & plat::kDelete)) return Fail(plat::kErrorAccessDenied);
        std::wstring path;
        if (m.onDeleteFile && WindowsPathOf(*f, path)) m.onDeleteFile(path);
        struct stat st;
        if (::lstat(key.c_str(), &st) != 0) return Fail(plat::kErrorFileNotFound);
        if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(plat::kErrorAccessDenied);
        if (S_ISDIR(st.st_mode) && !fs::is_empty(key)) return Fail(plat::kErrorDirNotEmpty);
        for (const auto& [h, obj] : d.handles) {
            const auto* other = std::get_if<FileObj>(&obj);
            std::string otherKey;
            if (other && h != file.value && KeyOf(plat::FileHandle(h), otherKey) &&
                otherKey == key && !(other->share & plat::kShareDelete))
                return Fail(plat::kErrorSharingViolation);
        }
        f->deletePending = true;
        return true;
    }

    bool SetOpenFileAttributes(plat::FileHandle file, uint32_t attributes) override {
        auto* f = d.Get<FileObj>(file);
        std::string key;
        if (!f || f->link || !KeyOf(file, key)) return Fail(plat::kErrorInvalidHandle);
        struct stat st;
        if (::fstat(f->fd, &st) != 0 || !(f->access & plat::kFileWriteAttributes))
            return Fail(plat::kErrorAccessDenied);
        const mode_t mode =
            (attributes & plat::kAttrReadOnly) ? (st.st_mode & ~0222) : (st.st_mode | S_IWUSR);
        return ::fchmod(f->fd, mode) == 0 || Fail(plat::kErrorAccessDenied);
    }

    bool SetEndOfFile(plat::FileHandle file) override {
        auto* f = d.Get<FileObj>(file);
        if (!f || f->fd < 0 || !(f->access & kWriteData)) return Fail(plat::kErrorAccessDenied);
        const off_t at = ::lseek(f->fd, 0, SEEK_CUR);
        return (at >= 0 && ::ftruncate(f->fd, at) == 0) || Fail(plat::kErrorAccessDenied);
    }

    bool GetVolumeAttributes(plat::FileHandle file, uint32_t* attributes) override {
        std::string key;
        if (!KeyOf(file, key)) return Fail(plat::kErrorInvalidHandle);
        *attributes = d.KeepsAccessLists(key) ? plat::kFilePersistentAcls : 0;
        return true;
    }

    bool GetFinalPathNameByHandle(plat::FileHandle file, std::wstring& out, bool ntForm) override {
        out.clear();
        if (m.finalPathMissing) return Fail(plat::kErrorProcNotFound);
        auto* f = d.Get<FileObj>(file);
        std::wstring path;
        if (!f || !WindowsPathOf(*f, path)) return Fail(plat::kErrorInvalidHandle);
        // A volume the mount manager gives no letter has its NT form only.
        for (const std::wstring& prefix : m.volumesWithoutLetter)
            if (!ntForm && Upper(path).compare(0, prefix.size(), Upper(prefix)) == 0)
                return Fail(plat::kErrorPathNotFound);
        out = ntForm ? L"\\Device\\HarddiskVolume" + std::to_wstring(path[0] - L'A' + 1) +
                           path.substr(2)
                     : L"\\\\?\\" + path;
        return true;
    }

    uint32_t GetLongPathName(const std::wstring& path, std::wstring& out) override {
        out.clear();
        struct stat st;
        if (::lstat(m.HostPath(path).c_str(), &st) != 0) return Fail(plat::kErrorFileNotFound), 0;
        out = path;  // the simulated machine has no short names
        return static_cast<uint32_t>(out.size());
    }

    bool ReadOwnImage(uint32_t offset, void* buffer, uint32_t size) override {
        // The file's bytes, zeros after them to the end of their page; ImageBase 0x10000 more.
        std::ifstream in(ImageFile(), std::ios::binary);
        std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        image.resize((image.size() + 4095) / 4096 * 4096);
        const uint32_t nt =
            image.empty() ? 0 : pkg::ReadU32(reinterpret_cast<uint8_t*>(&image[60]));
        if (nt && uint64_t(nt) + 64 < image.size()) ++image[nt + (image[nt + 25] == 1 ? 54 : 50)];
        if (uint64_t(offset) + size > image.size()) return Fail(299);  // ERROR_PARTIAL_COPY
        image.copy(static_cast<char*>(buffer), size, offset);
        return true;
    }
    bool AreMappedFilesTheSame(plat::FileHandle file, bool* same) override {
        const auto* f = d.Get<FileObj>(file);
        struct stat image, held;
        if (m.sameFileQueryFails || !f || ::fstat(f->fd, &held) ||
            ::stat(ImageFile().c_str(), &image))
            return Fail(plat::kErrorProcNotFound);
        *same = image.st_dev == held.st_dev && image.st_ino == held.st_ino;
        return true;
    }

private:
    static constexpr uint32_t kShareAll = plat::kShareRead | plat::kShareWrite | plat::kShareDelete;
    // What the Win32 side asks when it opens inside a folder: the attributes always, SYNCHRONIZE
    // for the synchronous I/O of a handle that reads, writes or lists.
    static uint32_t AsWin32Asks(uint32_t access) {
        constexpr uint32_t kData = 0x1 | 0x2 | 0x4 | 0x20 | plat::kGenericRead |
                                   plat::kGenericWrite | 0x20000000 | 0x10000000;
        return access | plat::kFileReadAttributes | ((access & kData) ? plat::kSynchronize : 0);
    }
    // A handle with what it was granted.
    plat::FileHandle Opened(int fd, const std::string& host, uint32_t access, uint32_t share) {
        FileObj f{fd, host, MapGeneric(access), share};
        f.link = fd < 0;
        return d.Add<plat::FileHandle>(f);
    }
    // Whether an existing object may be opened as asked (a link as itself): its rights, then the
    // handles open on it.
    bool MayOpenThere(const std::string& host, bool asLink, uint32_t access, uint32_t share) {
        if (!d.MayOpen(asLink ? LinkKey(host) : d.HostKey(host), access))
            return Fail(plat::kErrorAccessDenied);
        return !d.ShareConflict(host, access, share) || Fail(plat::kErrorSharingViolation);
    }
    // An existing link (as itself) or folder opened; OPEN_ALWAYS tells that it was there.
    plat::FileHandle OpenedThere(const std::string& host, bool asLink, uint32_t access,
                                 uint32_t share, uint32_t disposition) {
        const int fd = asLink ? -1 : ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!asLink && fd < 0) return Fail(plat::kErrorAccessDenied), plat::FileHandle();
        SetError(disposition == plat::kOpenAlways ? plat::kErrorAlreadyExists : 0);
        return Opened(fd, host, access, share);
    }
    // The host path of `name` inside the open folder `folder`, wherever that folder is now
    // (renamed, or gone: then nothing can be reached in it).
    bool InFolder(plat::FileHandle folder, const std::wstring& name, std::string& host) {
        auto* f = d.Get<FileObj>(folder);
        if (!f || f->fd < 0) return Fail(plat::kErrorInvalidHandle);
        if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos)
            return Fail(plat::kErrorInvalidName);
        std::error_code ec;
        const fs::path folderNow = fs::read_symlink("/proc/self/fd/" + std::to_string(f->fd), ec);
        if (ec || !fs::is_directory(folderNow)) return Fail(plat::kErrorPathNotFound);
        // Windows names are case-insensitive: an existing spelling is found.
        std::string found = text::Narrow(name);
        if (DIR* dir = ::opendir(folderNow.c_str())) {
            while (dirent* e = ::readdir(dir))
                if (text::EqualsNoCase(text::Widen(e->d_name), name)) found = e->d_name;
            ::closedir(dir);
        }
        host = (folderNow / found).string();
        return true;
    }
    // A link's own place: its folder resolved, its name not followed.
    std::string LinkKey(const std::string& host) const {
        return d.HostKey(fs::path(host).parent_path().string()) + "/" +
               fs::path(host).filename().string();
    }
    // The resolved host path of what a handle holds now (a link: the link itself).
    bool KeyOf(plat::FileHandle handle, std::string& key) const {
        const auto* f = d.Get<FileObj>(handle);
        if (!f) return false;
        if (f->link) return key = LinkKey(f->hostPath), true;
        std::error_code ec;
        key = fs::read_symlink("/proc/self/fd/" + std::to_string(f->fd), ec).string();
        return !ec;
    }

    // The running image's file: the one StartImage took, wherever it is now, else the module's.
    std::string ImageFile() const {
        return d.imageFd >= 0 ? "/proc/self/fd/" + std::to_string(d.imageFd)
                              : m.HostPath(m.moduleFile);
    }

    // Where an open handle really leads, as a path with a drive letter ("C:\\..."): a link's own
    // place, or the file or folder the descriptor holds wherever it has been moved.
    bool WindowsPathOf(const FileObj& f, std::wstring& out) const {
        std::error_code ec;
        const fs::path real = f.link
                                  ? fs::canonical(fs::path(f.hostPath).parent_path(), ec) /
                                        fs::path(f.hostPath).filename()
                                  : fs::read_symlink("/proc/self/fd/" + std::to_string(f.fd), ec);
        const auto path = d.WindowsPathOfKey(real.string());
        if (path) out = *path;
        return path.has_value();
    }
    // A resolved host path as the calls record it: with its drive letter where it has one.
    std::wstring Shown(const std::string& key) const {
        return d.WindowsPathOfKey(key).value_or(text::Widen(key));
    }

    bool Fail(uint32_t code) {
        SetError(code);
        return false;
    }
    SimMachine& m;
    SimMachine::Impl& d;
};

}  // namespace

bool SimMachine::Impl::ShareConflict(const std::string& hostPath, uint32_t access,
                                     uint32_t share) const {
    // Reading and running share as read, writing and appending as write, deleting and renaming
    // as delete: the new opener must allow what each existing one does, and each existing one
    // what the new one asks for. A file is the same whatever name reached it.
    struct stat want;
    if (::lstat(hostPath.c_str(), &want) != 0) return false;
    const uint32_t asked = MapGeneric(access);
    auto conflicts = [](uint32_t rights, uint32_t shared) {
        return ((rights & 0x21) && !(shared & plat::kShareRead)) ||
               ((rights & 0x6) && !(shared & plat::kShareWrite)) ||
               ((rights & plat::kDelete) && !(shared & plat::kShareDelete));
    };
    for (const auto& [h, obj] : handles) {
        const auto* f = std::get_if<FileObj>(&obj);
        struct stat held;
        if (!f || (f->link ? ::lstat(f->hostPath.c_str(), &held) : ::fstat(f->fd, &held)) != 0 ||
            held.st_dev != want.st_dev || held.st_ino != want.st_ino)
            continue;
        if (conflicts(f->access, share) || conflicts(asked, f->share)) return true;
    }
    return false;
}

std::unique_ptr<plat::IFiles> MakeFiles(SimMachine& m) {
    return std::make_unique<Files>(m);
}

void SimMachine::StartImage() {
    if (m_impl->imageFd >= 0) ::close(m_impl->imageFd);
    m_impl->imageFd = ::open(HostPath(moduleFile).c_str(), O_RDONLY | O_CLOEXEC);
}

}  // namespace sim
