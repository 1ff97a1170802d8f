// The benchmark's floor: the least a Windows program can do to unpack a package appended to its
// own file and remove it again. It finds the package the way the launcher does, writes every
// entry into a fresh folder below the temp folder through a 1 MiB buffer and deletes the files
// and the folder: no log, no free-space query, no checks, no window, no launch. Packed with
// veskpack like the launcher (`veskpack build --stub floor.exe ...`). Exit code: 0, or 1 when
// no package was found or a file could not be written.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "unpack/package_format.h"

namespace {

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           ::ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

bool ReadAll(HANDLE file, void* buffer, DWORD size) {
    DWORD got = 0;
    return ::ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

}  // namespace

int wmain() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    HANDLE file = ::CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    LARGE_INTEGER length;
    ::GetFileSizeEx(file, &length);
    uint8_t dos[pkg::kDosHeaderSize] = {};
    uint8_t nt[pkg::kNtHeadersMax] = {};
    uint8_t record[pkg::kRecordSize] = {};
    pkg::PeHeaders pe;
    uint64_t trailer = 0;
    if (!ReadAt(file, 0, dos, sizeof(dos)) ||
        !ReadAt(file, static_cast<uint32_t>(pkg::ReadI32(dos + pkg::kLfanewOffset)), nt,
                sizeof(nt)) ||
        !pkg::ParseNtHeaders(nt, &pe) ||
        !pkg::TrailerOffset(static_cast<uint64_t>(length.QuadPart), pe.certificateTableSize,
                            &trailer) ||
        !ReadAt(file, trailer, record, sizeof(record)))
        return 1;
    const uint64_t first = pkg::DecodeRecord(record).ullLength;

    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"floor" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    ::CreateDirectoryW(folder.c_str(), nullptr);

    std::vector<uint8_t> buffer(1 << 20);
    std::vector<std::wstring> written;
    int result = 0;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(first);
    ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    for (int taken = 0;; ++taken) {
        if (!ReadAll(file, record, sizeof(record))) break;
        const pkg::UNPACK_HEADER entry = pkg::DecodeRecord(record);
        if (taken >= entry.nFileCount) break;
        const std::string name = pkg::RecordName(entry);
        const std::wstring target = folder + std::wstring(name.begin(), name.end());
        HANDLE out = ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            result = 1;
            break;
        }
        written.push_back(target);
        for (uint64_t left = entry.ullLength; left > 0;) {
            const DWORD want =
                left < buffer.size() ? static_cast<DWORD>(left) : static_cast<DWORD>(buffer.size());
            DWORD done = 0;
            if (!ReadAll(file, buffer.data(), want) ||
                !::WriteFile(out, buffer.data(), want, &done, nullptr) || done != want) {
                result = 1;
                break;
            }
            left -= want;
        }
        ::CloseHandle(out);
        if (result) break;
    }
    ::CloseHandle(file);
    for (const std::wstring& path : written) ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(folder.c_str());
    return result;
}
