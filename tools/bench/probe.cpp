// What single steps of a run cost on this system, timed from inside (QueryPerformanceCounter), so
// that the phase timeline of bench.py can be split into its steps and the alternatives to a step
// compared side by side in one process. Every figure is printed as "name=<milliseconds>"; where
// variants are compared they run interleaved, round after round, and the best round counts.
//   probe files N SIZE [ROUNDS]  N files of SIZE bytes written into a fresh folder: created at
//                                once, after a look-up of the name, or with their size set
//                                first; the folder's removal by listing it or by known names;
//                                one look-up of a missing name in a folder of N files
//   probe big SIZE [ROUNDS]      one file of SIZE bytes written in 256 KiB or 1 MiB pieces, with
//                                and without its size set first; deleting it
//   probe queries N              N free-space queries, by path and through the open folder;
//                                N log lines: the open-append-close of
//                                each line, with an elevated run's check of the file, the
//                                folder and session queries that make its path, appending to a
//                                handle kept open; N debugger-output lines
//   probe copy FILE [ROUNDS]     copying FILE into the temp folder: the shell's copy operation,
//                                the system's whole-file copy, and the launcher's copy of the
//                                file it holds open in 64 KiB and in 1 MiB pieces
// Files go into fresh folders below the temp folder, which are removed at the end.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"

namespace plat::win32 {
IFiles* Win32Files();
}

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

void Print(const char* name, double ms) {
    std::printf("%s=%.3f\n", name, ms);
}

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

// One way of writing an entry's file: `lookUp` asks for the name's attributes first (as the
// extraction did before it created a file), `presize` sets the file's size before writing.
struct Variant {
    const char* name;
    bool lookUp;
    bool presize;
    size_t step;
};

void WriteFileAs(const std::wstring& name, const Variant& v, const std::vector<char>& buffer,
                 uint64_t size) {
    if (v.lookUp) ::GetFileAttributesW(name.c_str());
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) std::exit(1);
    if (v.presize) SetSize(h, size);
    WriteAll(h, buffer, size, v.step);
    ::CloseHandle(h);
}

// Each variant writes `count` files into a fresh folder, round after round, interleaved; the
// best round of each is printed. The folders are removed by listing them (as the work folder's
// removal does) in odd rounds and by the known names in even ones.
int Files(int count, uint64_t size, int rounds) {
    const Variant variants[] = {{"files_plain", false, false, 256 << 10},
                                {"files_lookup_first", true, false, 256 << 10},
                                {"files_presized", false, true, 256 << 10}};
    std::vector<char> buffer(static_cast<size_t>(size), 'x');
    std::vector<double> best(3, 1e18);
    double listed = 1e18, known = 1e18;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 3; ++k) {
            const int v = (r + k) % 3;  // each round starts with another variant
            const std::wstring folder = Folder();
            std::vector<std::wstring> names(count);
            const double t0 = Now();
            for (int i = 0; i < count; ++i) {
                names[i] = folder + L"f" + std::to_wstring(i) + L".bin";
                WriteFileAs(names[i], variants[v], buffer, size);
            }
            const double t1 = Now();
            if (t1 - t0 < best[v]) best[v] = t1 - t0;
            if (k % 2 == 0) {
                RemoveFolder(folder);
                if (Now() - t1 < listed) listed = Now() - t1;
            } else {
                for (const std::wstring& name : names) ::DeleteFileW(name.c_str());
                ::RemoveDirectoryW(folder.c_str());
                if (Now() - t1 < known) known = Now() - t1;
            }
        }
    }
    for (int v = 0; v < 3; ++v) Print(variants[v].name, best[v]);
    Print("files_remove_listed", listed);
    Print("files_remove_known", known);

    // What one look-up of a name that does not exist costs in a folder of `count` files.
    const std::wstring folder = Folder();
    for (int i = 0; i < count; ++i)
        WriteFileAs(folder + L"f" + std::to_wstring(i) + L".bin", variants[0], buffer, size);
    const double t0 = Now();
    for (int i = 0; i < count; ++i)
        ::GetFileAttributesW((folder + L"g" + std::to_wstring(i) + L".bin").c_str());
    Print("files_lookup_missing", Now() - t0);
    RemoveFolder(folder);
    return 0;
}

int Big(uint64_t size, int rounds) {
    const std::wstring folder = Folder();
    const std::wstring name = folder + L"big.bin";
    std::vector<char> buffer(1 << 20, 'x');
    const Variant variants[] = {{"big_256k", false, false, 256 << 10},
                                {"big_1m", false, false, 1 << 20},
                                {"big_256k_presized", false, true, 256 << 10},
                                {"big_1m_presized", false, true, 1 << 20}};
    std::vector<double> best(4, 1e18);
    double removal = 1e18;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 4; ++k) {
            const int v = (r + k) % 4;
            const double gone = Now();
            if (::DeleteFileW(name.c_str()) && Now() - gone < removal) removal = Now() - gone;
            const double t0 = Now();
            WriteFileAs(name, variants[v], buffer, size);
            if (Now() - t0 < best[v]) best[v] = Now() - t0;
        }
    }
    for (int v = 0; v < 4; ++v) Print(variants[v].name, best[v]);
    Print("big_delete", removal);
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
    // The same question asked the launcher's way (its own file layer): through the temp folder,
    // opened once.
    plat::IFiles& files = *plat::win32::Win32Files();
    const plat::FileHandle tempFolder = files.CreateFileWithFlags(
        temp, plat::kFileReadAttributes, plat::kShareRead | plat::kShareWrite | plat::kShareDelete,
        plat::kOpenExisting, plat::kFileFlagBackupSemantics);
    t0 = Now();
    for (int i = 0; i < count; ++i) {
        uint64_t free = 0;
        files.GetVolumeFreeSpace(tempFolder, &free);
    }
    Print("freespace_held", Now() - t0);
    files.CloseFile(tempFolder);

    // A line as long as a typical extraction line, in UTF-16.
    const std::wstring line =
        L"[1234]2026-01-01 12:00:00  [CUnPack::UnPackFiles] (17/2001)UnPack file name:"
        L"C:\\users\\someone\\Temp\\unpackvesk\\1\\f0017.bin (4096) (Last=0)\r\n";
    const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
    const std::wstring folder = Folder();
    const std::wstring log = folder + L"probe.log";
    // Each line's open-append-close; then what an elevated run adds to it, the launcher's way
    // (its own file layer): the log opened as itself by its name inside its folder, which is
    // held open, and asked for its attributes, names and index; against the earlier way, the
    // log opened as itself by its path and asked the whole-file question, and the identity
    // question (volume and file) alone.
    const plat::FileHandle held = files.CreateFileWithFlags(
        folder.substr(0, folder.size() - 1), plat::kFileReadAttributes | plat::kFileTraverse,
        plat::kShareRead | plat::kShareWrite | plat::kShareDelete, plat::kOpenExisting,
        plat::kFileFlagBackupSemantics);
    typedef BOOL(WINAPI * InfoEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    const InfoEx infoEx = reinterpret_cast<InfoEx>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
    const char* const ways[] = {"log_open_append_close", "log_checked_in_folder",
                                "log_checked_whole_query", "log_checked_identity"};
    for (int way = 0; way < (infoEx ? 4 : 3); ++way) {
        t0 = Now();
        for (int i = 0; i < count; ++i) {
            HANDLE h =
                way == 1
                    ? reinterpret_cast<HANDLE>(files
                                                   .CreateFileInFolder(held, L"probe.log",
                                                                       GENERIC_READ | GENERIC_WRITE,
                                                                       0, OPEN_ALWAYS)
                                                   .value)
                    : ::CreateFileW(
                          log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          way == 0 ? FILE_ATTRIBUTE_NORMAL : FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (way == 1) {
                plat::FileInformation info;
                files.GetFileInformation(plat::FileHandle(reinterpret_cast<std::uintptr_t>(h)),
                                         info);
            } else if (way == 2) {
                BY_HANDLE_FILE_INFORMATION info;
                ::GetFileInformationByHandle(h, &info);
            } else if (way == 3) {
                FILE_ID_INFO id;
                infoEx(h, FileIdInfo, &id, sizeof(id));
            }
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            ::SetFilePointerEx(h, zero, nullptr, FILE_END);
            DWORD done = 0;
            ::WriteFile(h, line.data(), bytes, &done, nullptr);
            ::CloseHandle(h);
        }
        Print(ways[way], Now() - t0);
    }
    files.CloseFile(held);
    t0 = Now();
    for (int i = 0; i < count; ++i) {
        wchar_t path[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, path);
        DWORD session = 0;
        ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    }
    Print("log_path_queries", Now() - t0);
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

// The launcher's way: the bytes of a file it holds open, read and written in pieces of `piece`.
bool CopyHeld(HANDLE source, const std::wstring& target, DWORD piece) {
    LARGE_INTEGER start = {};
    HANDLE out = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE || !::SetFilePointerEx(source, start, nullptr, FILE_BEGIN))
        return false;
    std::vector<char> buffer(piece);
    bool ok = true;
    for (DWORD got = 0, put = 0;;) {
        ok = ::ReadFile(source, buffer.data(), piece, &got, nullptr) != FALSE;
        if (!ok || got == 0) break;
        ok = ::WriteFile(out, buffer.data(), got, &put, nullptr) && put == got;
        if (!ok) break;
    }
    ::CloseHandle(out);
    return ok;
}

int Copy(const wchar_t* source, int rounds) {
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
    double shell = 1e18, whole = 1e18, held64k = 1e18, held1m = 1e18;
    bool ok = true;
    const HANDLE held = ::CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    for (int r = 0; r < rounds; ++r) {
        for (const auto& [piece, best] :
             {std::make_pair(DWORD(64 << 10), &held64k), std::make_pair(DWORD(1 << 20), &held1m)}) {
            const double t0 = Now();
            ok = CopyHeld(held, target, piece) && ok;
            if (Now() - t0 < *best) *best = Now() - t0;
            ::DeleteFileW(target.c_str());
        }
        double t0 = Now();
        ok = ::SHFileOperationW(&op) == 0 && ok;
        if (Now() - t0 < shell) shell = Now() - t0;
        ::DeleteFileW(target.c_str());
        t0 = Now();
        ok = ::CopyFileW(source, target.c_str(), FALSE) && ok;
        if (Now() - t0 < whole) whole = Now() - t0;
        ::DeleteFileW(target.c_str());
    }
    Print("copy_shell", shell);
    Print("copy_system", whole);
    Print("copy_held_64k", held64k);
    Print("copy_held_1m", held1m);
    ::CloseHandle(held);
    RemoveFolder(folder);
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring what = argc > 1 ? argv[1] : L"";
    const int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
    if (what == L"files" && argc > 3)
        return Files(_wtoi(argv[2]), static_cast<uint64_t>(_wtoi64(argv[3])), rounds);
    if (what == L"big" && argc > 2)
        return Big(static_cast<uint64_t>(_wtoi64(argv[2])), argc > 3 ? _wtoi(argv[3]) : 3);
    if (what == L"queries" && argc > 2) return Queries(_wtoi(argv[2]));
    if (what == L"copy" && argc > 2) return Copy(argv[2], argc > 3 ? _wtoi(argv[3]) : 3);
    std::fprintf(
        stderr, "usage: probe files N SIZE [ROUNDS] | big SIZE [ROUNDS] | queries N | copy FILE\n");
    return 2;
}
