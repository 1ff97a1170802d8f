// What single steps of a run cost on this system, timed from inside (QueryPerformanceCounter), so
// that the phase timeline of bench.py can be split into its steps and the alternatives to a step
// compared side by side in one process. Every figure is printed as "name=<milliseconds>".
//   probe files N SIZE          N files of SIZE bytes: create, write, close; then the removal
//                               (listing and deleting, as the work folder's removal does it, and
//                               deleting by known names)
//   probe big SIZE              one file of SIZE bytes written with 256 KiB and 1 MiB writes, with
//                               and without setting its size first
//   probe queries N             N free-space queries; N log lines: the open-append-close of each
//                               line, against appending to a handle kept open; N debugger lines
//   probe copy FILE             copying FILE into the temp folder: the shell's copy operation,
//                               the system's whole-file copy
// Files go into a fresh folder below the temp folder, which is removed at the end.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void Print(const char* name, double ms) { std::printf("%s=%.3f\n", name, ms); }

std::wstring Folder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder =
        std::wstring(temp) + L"probe" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((folder + fd.cFileName).c_str());
        } while (::FindNextFileW(find, &fd));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(folder.c_str());
}

bool WriteAll(HANDLE file, const std::vector<char>& buffer, uint64_t size, size_t step) {
    while (size > 0) {
        const DWORD n = static_cast<DWORD>(size < step ? size : step);
        DWORD done = 0;
        if (!::WriteFile(file, buffer.data(), n, &done, nullptr) || done != n) return false;
        size -= n;
    }
    return true;
}

void SetSize(HANDLE file, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file);
    at.QuadPart = 0;
    ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
}

int Files(int count, uint64_t size) {
    const std::wstring folder = Folder();
    std::vector<char> buffer(static_cast<size_t>(size), 'x');
    std::vector<HANDLE> handles(count);
    std::vector<std::wstring> names(count);
    double create = 0, write = 0, close = 0;
    for (int i = 0; i < count; ++i) {
        names[i] = folder + L"f" + std::to_wstring(i) + L".bin";
        const double t0 = Now();
        HANDLE h = ::CreateFileW(names[i].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        const double t1 = Now();
        if (h == INVALID_HANDLE_VALUE) return 1;
        WriteAll(h, buffer, size, buffer.size());
        const double t2 = Now();
        ::CloseHandle(h);
        const double t3 = Now();
        create += t1 - t0;
        write += t2 - t1;
        close += t3 - t2;
    }
    Print("files_create", create);
    Print("files_write", write);
    Print("files_close", close);

    // The same files again, created over the existing ones with their size set first.
    double sized = 0;
    for (int i = 0; i < count; ++i) {
        const double t0 = Now();
        HANDLE h = ::CreateFileW(names[i].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        SetSize(h, size);
        WriteAll(h, buffer, size, buffer.size());
        ::CloseHandle(h);
        sized += Now() - t0;
    }
    Print("files_overwrite_presized", sized);

    // Removal as the work folder's: list the folder and delete what the listing names.
    double t0 = Now();
    RemoveFolder(folder);
    Print("files_remove_listed", Now() - t0);

    // The same files once more, removed by the names the writer knows, without a listing.
    ::CreateDirectoryW(folder.c_str(), nullptr);
    for (int i = 0; i < count; ++i) {
        HANDLE h = ::CreateFileW(names[i].c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        WriteAll(h, buffer, size, buffer.size());
        ::CloseHandle(h);
    }
    t0 = Now();
    for (const std::wstring& name : names) ::DeleteFileW(name.c_str());
    ::RemoveDirectoryW(folder.c_str());
    Print("files_remove_known", Now() - t0);
    return 0;
}

int Big(uint64_t size) {
    const std::wstring folder = Folder();
    const std::wstring name = folder + L"big.bin";
    std::vector<char> buffer(1 << 20, 'x');
    struct Variant {
        const char* name;
        size_t step;
        bool presize;
    };
    const Variant variants[] = {{"big_256k", 256 << 10, false},
                                {"big_1m", 1 << 20, false},
                                {"big_256k_presized", 256 << 10, true},
                                {"big_1m_presized", 1 << 20, true}};
    for (const Variant& v : variants) {
        ::DeleteFileW(name.c_str());
        const double t0 = Now();
        HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (v.presize) SetSize(h, size);
        WriteAll(h, buffer, size, v.step);
        ::CloseHandle(h);
        Print(v.name, Now() - t0);
    }
    RemoveFolder(folder);
    return 0;
}

int Queries(int count) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    double t0 = Now();
    for (int i = 0; i < count; ++i) {
        ULARGE_INTEGER free;
        ::GetDiskFreeSpaceExW(temp, nullptr, nullptr, &free);
    }
    Print("freespace", Now() - t0);

    // A line as long as a typical extraction line, in UTF-16.
    const std::wstring line =
        L"[1234]2026-01-01 12:00:00  [CUnPack::UnPackFiles] (17/2001)UnPack file name:"
        L"C:\\users\\someone\\Temp\\unpackvesk\\1\\f0017.bin (4096) (Last=0)\r\n";
    const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    const std::wstring folder = Folder();
    const std::wstring log = folder + L"probe.log";
    t0 = Now();
    for (int i = 0; i < count; ++i) {
        HANDLE h = ::CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        ::SetFilePointerEx(h, zero, nullptr, FILE_END);
        DWORD done = 0;
        ::WriteFile(h, line.data(), bytes, &done, nullptr);
        ::CloseHandle(h);
    }
    Print("log_open_append_close", Now() - t0);
    t0 = Now();
    HANDLE h = ::CreateFileW(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    for (int i = 0; i < count; ++i) {
        DWORD done = 0;
        ::WriteFile(h, line.data(), bytes, &done, nullptr);
    }
    ::CloseHandle(h);
    Print("log_handle_kept", Now() - t0);
    t0 = Now();
    for (int i = 0; i < count; ++i) ::OutputDebugStringW(line.c_str());
    Print("debugger_output", Now() - t0);
    RemoveFolder(folder);
    return 0;
}

int Copy(const wchar_t* source) {
    const std::wstring folder = Folder();
    const std::wstring target = folder + L"copy.exe";
    // Double-terminated lists of one path each, as the shell wants them.
    const std::wstring from = std::wstring(source) + L'\0';
    const std::wstring to = target + L'\0';
    SHFILEOPSTRUCTW op;
    ZeroMemory(&op, sizeof(op));
    op.wFunc = FO_COPY;
    op.pFrom = from.c_str();
    op.pTo = to.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    double t0 = Now();
    const int shell = ::SHFileOperationW(&op);
    Print("copy_shell", Now() - t0);
    ::DeleteFileW(target.c_str());
    t0 = Now();
    const BOOL whole = ::CopyFileW(source, target.c_str(), FALSE);
    Print("copy_system", Now() - t0);
    RemoveFolder(folder);
    return shell == 0 && whole ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring what = argc > 1 ? argv[1] : L"";
    if (what == L"files" && argc > 3)
        return Files(_wtoi(argv[2]), static_cast<uint64_t>(_wtoi64(argv[3])));
    if (what == L"big" && argc > 2) return Big(static_cast<uint64_t>(_wtoi64(argv[2])));
    if (what == L"queries" && argc > 2) return Queries(_wtoi(argv[2]));
    if (what == L"copy" && argc > 2) return Copy(argv[2]);
    std::fprintf(stderr, "usage: probe files N SIZE | big SIZE | queries N | copy FILE\n");
    return 2;
}
