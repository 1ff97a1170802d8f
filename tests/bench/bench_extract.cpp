// Runs the launcher's extraction natively on Linux: CUnPack::UnPackFiles, the same code the
// Windows build runs, over a thin POSIX file layer (Windows path "C:\a\b" is <root>/C/a/b, taken
// as spelled). The rest of the machine (clock, session, string table, message boxes) is the
// simulated one; its own file side resolves names without regard to case by listing folders,
// which would measure the simulation rather than the extraction.
//   bench_extract PACKAGE
// Prints "seconds=<wall time of the extraction> maxrss_kib=<peak resident set> files=<n>".
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "sim/sim_impl.h"
#include "unpack/unpack.h"
#include "util/text.h"

namespace {

class NativeFiles final : public plat::IFiles {
public:
    NativeFiles(std::string root, std::wstring module)
        : m_root(std::move(root)), m_module(module) {}

    plat::FileHandle CreateFile(const std::wstring& path, uint32_t access, uint32_t,
                                uint32_t disposition) override {
        int flags = (access & plat::kGenericWrite)
                        ? ((access & plat::kGenericRead) ? O_RDWR : O_WRONLY)
                        : O_RDONLY;
        if (disposition == plat::kCreateAlways) flags |= O_CREAT | O_TRUNC;
        if (disposition == plat::kOpenAlways) flags |= O_CREAT;
        const int fd = ::open(Host(path).c_str(), flags | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(), plat::FileHandle();
        return Handle(fd);
    }
    bool ReadFile(plat::FileHandle file, void* buffer, uint32_t size, uint32_t* read) override {
        const ssize_t n = ::read(Fd(file), buffer, size);
        *read = n > 0 ? static_cast<uint32_t>(n) : 0;
        return n >= 0 || Fail();
    }
    bool WriteFile(plat::FileHandle file, const void* data, uint32_t size,
                   uint32_t* written) override {
        *written = 0;
        while (*written < size) {
            const ssize_t n =
                ::write(Fd(file), static_cast<const char*>(data) + *written, size - *written);
            if (n <= 0) return Fail();
            *written += static_cast<uint32_t>(n);
        }
        return true;
    }
    bool SetFilePointer(plat::FileHandle file, int64_t distance, uint32_t method,
                        uint64_t* position) override {
        const int whence = method == plat::kFileBegin ? SEEK_SET
                           : method == plat::kFileEnd ? SEEK_END
                                                      : SEEK_CUR;
        const off_t r = ::lseek(Fd(file), distance, whence);
        if (r < 0) return Fail();
        if (position) *position = static_cast<uint64_t>(r);
        return true;
    }
    bool GetFileSize(plat::FileHandle file, uint64_t* size) override {
        struct stat st;
        if (::fstat(Fd(file), &st) != 0) return Fail();
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool CloseFile(plat::FileHandle file) override { return ::close(Fd(file)) == 0; }

    uint32_t GetFileAttributes(const std::wstring& path) override {
        struct stat st;
        if (::lstat(Host(path).c_str(), &st) != 0) return Fail(), plat::kInvalidFileAttributes;
        return S_ISDIR(st.st_mode) ? plat::kAttrDirectory : plat::kAttrArchive;
    }

    bool GetDiskFreeSpaceEx(const std::wstring& directory, uint64_t* totalFree) override {
        struct statvfs st;
        if (::statvfs(Host(directory.empty() ? m_current : directory).c_str(), &st) != 0)
            return Fail();
        *totalFree = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
        return true;
    }
    bool GetVolumeFreeSpace(plat::FileHandle folder, uint64_t* totalFree) override {
        struct statvfs st;
        if (::fstatvfs(Fd(folder), &st) != 0) return Fail();
        *totalFree = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
        return true;
    }
    bool SetCurrentDirectory(const std::wstring& path) override {
        struct stat st;
        if (::stat(Host(path).c_str(), &st) != 0) return Fail();
        m_current = path;
        return true;
    }

    uint32_t GetTempPath(std::wstring& out) override {
        out = L"C:\\Temp\\";
        return static_cast<uint32_t>(out.size());
    }
    uint32_t GetWindowsDirectory(std::wstring& out) override {
        out = L"C:\\windows";
        return static_cast<uint32_t>(out.size());
    }
    uint32_t GetSystemDirectory(std::wstring& out) override { return GetWindowsDirectory(out); }
    uint32_t GetSystemWindowsDirectory(std::wstring& out) override {
        return GetWindowsDirectory(out);
    }
    uint32_t GetModuleFileName(std::wstring& out) override {
        out = m_module;
        return static_cast<uint32_t>(out.size());
    }
    int32_t SHGetFolderPath(int, uint32_t, std::wstring& out) override {
        out.clear();
        return static_cast<int32_t>(0x80070002);
    }
    bool GetFixedFileInfo(const std::wstring&, plat::FixedFileInfo&) override { return false; }
    int32_t WinVerifyTrust(plat::FileHandle, const std::wstring&) override {
        return plat::kTrustENoSignature;
    }
    bool GetFileAccess(plat::FileHandle, plat::AccessList&) override { return false; }
    // Folders by path and inside a held folder: the temp folder, the work folder, its files.
    plat::FileHandle CreateFileWithFlags(const std::wstring& path, uint32_t access, uint32_t share,
                                         uint32_t disposition, uint32_t) override {
        struct stat st;
        if (::stat(Host(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const int fd = ::open(Host(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            return fd < 0 ? (Fail(), plat::FileHandle()) : Handle(fd);
        }
        return CreateFile(path, access, share, disposition);
    }
    bool GetFileInformation(plat::FileHandle file, plat::FileInformation& out) override {
        struct stat st;
        if (::fstat(Fd(file), &st) != 0) return Fail();
        out.attributes = S_ISDIR(st.st_mode) ? plat::kAttrDirectory : plat::kAttrArchive;
        out.numberOfLinks = S_ISDIR(st.st_mode) ? 1 : static_cast<uint32_t>(st.st_nlink);
        out.fileIndex = st.st_ino;
        return true;
    }
    plat::FileHandle CreateFileInFolder(plat::FileHandle folder, const std::wstring& name,
                                        uint32_t access, uint32_t, uint32_t disposition, uint32_t,
                                        const plat::AccessList*) override {
        int flags = (access & (plat::kGenericWrite | plat::kDelete)) ? O_RDWR : O_RDONLY;
        if (disposition == plat::kCreateAlways) flags |= O_CREAT | O_TRUNC;
        if (disposition == plat::kOpenAlways) flags |= O_CREAT;
        if (disposition == plat::kCreateNew) flags |= O_CREAT | O_EXCL;
        const int fd = ::openat(Fd(folder), text::Narrow(name).c_str(), flags | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(), plat::FileHandle();
        plat::kernel().SetLastError(0);
        return plat::FileHandle(static_cast<std::uintptr_t>(fd) + 1);
    }
    plat::FileHandle CreateFolderInFolder(plat::FileHandle folder, const std::wstring& name,
                                          uint32_t, uint32_t, uint32_t disposition,
                                          const plat::AccessList*) override {
        const std::string n = text::Narrow(name);
        if (disposition != plat::kOpenExisting && ::mkdirat(Fd(folder), n.c_str(), 0755) != 0 &&
            (errno != EEXIST || disposition == plat::kCreateNew))
            return Fail(), plat::FileHandle();
        const int fd = ::openat(Fd(folder), n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return Fail(), plat::FileHandle();
        plat::kernel().SetLastError(0);
        return plat::FileHandle(static_cast<std::uintptr_t>(fd) + 1);
    }
    bool RenameOpenFile(plat::FileHandle, plat::FileHandle, const std::wstring&) override {
        return false;
    }
    bool ListFolder(plat::FileHandle, std::vector<plat::FindData>& out) override {
        out.clear();  // the benchmark's work folder is always made afresh
        return true;
    }
    bool DeleteOpenFile(plat::FileHandle) override { return false; }
    bool SetOpenFileAttributes(plat::FileHandle, uint32_t) override { return false; }
    bool SetEndOfFile(plat::FileHandle) override { return false; }
    bool GetVolumeAttributes(plat::FileHandle, uint32_t*) override { return false; }
    bool GetFinalPathNameByHandle(plat::FileHandle, std::wstring&, bool) override {
        plat::kernel().SetLastError(plat::kErrorProcNotFound);  // as on a system without them
        return false;
    }
    uint32_t GetLongPathName(const std::wstring&, std::wstring&) override { return 0; }
    bool ReadOwnImage(uint32_t, void*, uint32_t) override { return false; }
    bool AreMappedFilesTheSame(plat::FileHandle, bool*) override { return false; }

private:
    static int Fd(plat::FileHandle h) { return static_cast<int>(h.value) - 1; }
    static plat::FileHandle Handle(int fd) {
        return plat::FileHandle(static_cast<std::uintptr_t>(fd) + 1);
    }
    static bool Fail() {
        const int e = errno;
        plat::kernel().SetLastError(e == ENOENT   ? plat::kErrorFileNotFound
                                    : e == ENOSPC ? plat::kErrorDiskFull
                                    : e == EEXIST ? plat::kErrorFileExists
                                                  : plat::kErrorAccessDenied);
        return false;
    }
    std::string Host(std::wstring path) const {
        if (path.size() < 2 || path[1] != L':') path = m_current + L"\\" + path;
        std::string host =
            m_root + "/" + text::Narrow(path.substr(0, 1)) + text::Narrow(path.substr(2));
        for (char& c : host)
            if (c == '\\') c = '/';
        return host;
    }

    std::string m_root;
    std::wstring m_module;
    std::wstring m_current = L"C:\\";
    std::map<plat::FileHandle, std::pair<DIR*, std::string>> m_finds;
    plat::FileHandle m_nextFind;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_extract PACKAGE\n");
        return 2;
    }
    sim::SimMachine m;
    // The package is linked in as the program's own file (the same file system as the work
    // folder), so the measured time is the extraction alone.
    const std::wstring self = L"C:\\Downloads\\VESK.exe";
    std::filesystem::create_directories(m.root + "/C/Downloads");
    std::filesystem::create_directories(m.root + "/C/Temp");
    std::error_code ec;
    std::filesystem::create_hard_link(argv[1], m.root + "/C/Downloads/VESK.exe", ec);
    if (ec) {
        std::fprintf(stderr, "bench_extract: cannot link %s: %s\n", argv[1], ec.message().c_str());
        return 1;
    }
    NativeFiles files(m.root, self);
    plat::Platform native{m.impl().kernel.get(), &files, m.impl().user.get(),
                          m.impl().registry.get()};
    plat::Platform* previous = plat::Install(&native);

    CUnPack unpack;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = unpack.UnPackFiles();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t count = 0;
    for (const auto& e : std::filesystem::directory_iterator(m.root + "/C/Temp/unpackvesk/1")) {
        (void)e;
        ++count;
    }
    plat::Install(previous);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("seconds=%.4f maxrss_kib=%ld files=%zu\n", seconds, usage.ru_maxrss, count);
    return ok ? 0 : 1;
}
