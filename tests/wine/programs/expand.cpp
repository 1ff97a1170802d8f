// A stand-in for the system's cabinet expander in the Wine test prefixes, whose own expand.exe
// takes no wildcard. It does what the real one does for the command lines the launcher uses:
//   expand <cabinet pattern> /f:<file pattern> <destination folder>
// expands every matching file of every matching cabinet into the destination. Stored
// (uncompressed) folders only, which is what the tests' cabinets hold; anything else is
// reported and counted as a failure. Exit code 0 when everything was expanded.
#include "platform/win32/win32.h"

#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

bool ReadAll(const std::wstring& path, std::vector<uint8_t>& out) {
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = ::GetFileSizeEx(f, &size) && size.QuadPart < (1LL << 31);
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = out.empty() ||
             (::ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) &&
              got == out.size());
    }
    ::CloseHandle(f);
    return ok;
}

bool WriteAll(const std::wstring& path, const uint8_t* data, size_t size) {
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = size == 0 || (::WriteFile(f, data, static_cast<DWORD>(size), &written, nullptr) &&
                            written == size);
    ::CloseHandle(f);
    return ok;
}

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | (b[at + 1] << 8)) : 0;
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return at + 4 <= b.size() ? (static_cast<uint32_t>(U16(b, at)) | (U16(b, at + 2) << 16)) : 0;
}

// Case-insensitive wildcard match ("*" and "?").
bool Match(const wchar_t* pattern, const wchar_t* name) {
    if (!*pattern) return !*name;
    if (*pattern == L'*') return Match(pattern + 1, name) || (*name && Match(pattern, name + 1));
    if (!*name) return false;
    if (*pattern != L'?' && std::towupper(*pattern) != std::towupper(*name)) return false;
    return Match(pattern + 1, name + 1);
}

int ExpandCabinet(const std::wstring& cabinet, const std::wstring& filter,
                  const std::wstring& destination) {
    std::vector<uint8_t> b;
    if (!ReadAll(cabinet, b) || b.size() < 36 || b[0] != 'M' || b[1] != 'S' || b[2] != 'C' ||
        b[3] != 'F') {
        std::wprintf(L"%ls: not a cabinet\n", cabinet.c_str());
        return 1;
    }
    const uint32_t filesAt = U32(b, 16);
    const uint16_t folderCount = U16(b, 26);
    const uint16_t fileCount = U16(b, 28);
    const uint16_t flags = U16(b, 30);
    size_t at = 36;
    uint8_t folderReserve = 0, dataReserve = 0;
    if (flags & 4) {
        const uint16_t headerReserve = U16(b, at);
        folderReserve = at + 2 < b.size() ? b[at + 2] : 0;
        dataReserve = at + 3 < b.size() ? b[at + 3] : 0;
        at += 4 + headerReserve;
    }
    for (int skip = (flags & 1 ? 2 : 0) + (flags & 2 ? 2 : 0); skip > 0; --skip) {
        while (at < b.size() && b[at]) ++at;
        ++at;
    }
    // Each folder's stored data, joined from its data blocks.
    std::vector<std::vector<uint8_t>> folders(folderCount);
    std::vector<bool> stored(folderCount, false);
    for (uint16_t i = 0; i < folderCount; ++i, at += 8 + folderReserve) {
        uint32_t data = U32(b, at);
        const uint16_t blocks = U16(b, at + 4);
        stored[i] = (U16(b, at + 6) & 0x000F) == 0;
        if (!stored[i]) continue;
        for (uint16_t k = 0; k < blocks && data + 8 + dataReserve <= b.size(); ++k) {
            const uint16_t size = U16(b, data + 4);
            const size_t payload = data + 8 + dataReserve;
            if (payload + size > b.size()) break;
            folders[i].insert(folders[i].end(), b.begin() + payload, b.begin() + payload + size);
            data = static_cast<uint32_t>(payload + size);
        }
    }
    int failures = 0;
    at = filesAt;
    for (uint16_t i = 0; i < fileCount && at + 16 < b.size(); ++i) {
        const uint32_t size = U32(b, at);
        const uint32_t offset = U32(b, at + 4);
        const uint16_t folder = U16(b, at + 8);
        const uint16_t attributes = U16(b, at + 14);
        size_t nameEnd = at + 16;
        while (nameEnd < b.size() && b[nameEnd]) ++nameEnd;
        std::string narrow(b.begin() + at + 16, b.begin() + nameEnd);
        at = nameEnd + 1;
        std::wstring name(narrow.size() + 1, L'\0');
        const UINT codePage = (attributes & 0x80) ? CP_UTF8 : CP_ACP;
        name.resize(::MultiByteToWideChar(codePage, 0, narrow.c_str(), -1, &name[0],
                                          static_cast<int>(name.size())) -
                    1);
        if (!Match(filter.c_str(), name.c_str())) continue;
        const std::wstring target = destination + L"\\" + name;
        if (folder >= folderCount || !stored[folder] ||
            static_cast<uint64_t>(offset) + size > folders[folder].size()) {
            std::wprintf(L"%ls: %ls: unsupported compression or damaged data\n", cabinet.c_str(),
                         name.c_str());
            ++failures;
            continue;
        }
        if (!WriteAll(target, folders[folder].data() + offset, size)) {
            std::wprintf(L"%ls: cannot write %ls\n", cabinet.c_str(), target.c_str());
            ++failures;
            continue;
        }
        std::wprintf(L"Adding %ls to Extraction Queue\n", target.c_str());
    }
    return failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring source, filter = L"*", destination;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if ((a.size() > 3 && (a[0] == L'/' || a[0] == L'-') && (a[1] == L'f' || a[1] == L'F') &&
             a[2] == L':'))
            filter = a.substr(3);
        else if (source.empty())
            source = a;
        else
            destination = a;
    }
    if (source.empty() || destination.empty()) {
        std::wprintf(L"usage: expand <cabinets> /f:<files> <destination>\n");
        return 1;
    }
    while (destination.size() > 1 && (destination.back() == L'\\' || destination.back() == L'/'))
        destination.pop_back();
    const size_t slash = source.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : source.substr(0, slash + 1);

    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW(source.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) {
        std::wprintf(L"Can't open input file: %ls\n", source.c_str());
        return 1;
    }
    int failures = 0;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            failures += ExpandCabinet(folder + fd.cFileName, filter, destination);
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
    return failures ? 1 : 0;
}
