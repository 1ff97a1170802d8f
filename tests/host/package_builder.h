// Building launcher files with packages for the tests: a small stand-in PE image (DOS header,
// NT headers with the chosen optional-header magic), entries, trailer, and an optional
// certificate table, byte for byte in the package layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "unpack/package_format.h"

namespace testpkg {

struct Entry {
    std::string name;
    std::string data;
    int32_t count = -1;  // nFileCount of this record; -1: the number of entries
};

inline void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A stub of `size` bytes with its NT headers at `lfanew`.
inline std::string Stub(uint16_t magic = pkg::kMagicPe32Plus, size_t size = 1536,
                        int32_t lfanew = 128) {
    std::string s(size, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    Put32(s, pkg::kLfanewOffset, static_cast<uint32_t>(lfanew));
    if (lfanew >= 0 && static_cast<size_t>(lfanew) + pkg::kNtHeadersMax <= size) {
        s.replace(lfanew, 4, std::string("PE\0\0", 4));
        s[lfanew + pkg::kMagicOffset] = static_cast<char>(magic & 0xFF);
        s[lfanew + pkg::kMagicOffset + 1] = static_cast<char>(magic >> 8);
    }
    return s;
}

inline std::string Record(int32_t count, uint64_t length, const std::string& name) {
    pkg::UNPACK_HEADER r;
    r.nFileCount = count;
    r.ullLength = length;
    std::memcpy(r.szFileName, name.data(),
                name.size() < pkg::kNameField ? name.size() : pkg::kNameField);
    uint8_t bytes[pkg::kRecordSize];
    pkg::EncodeRecord(r, bytes);
    return std::string(reinterpret_cast<char*>(bytes), pkg::kRecordSize);
}

// stub + entries + trailer (holding `trailerOffset`, or the stub's length when it is ~0).
inline std::string Pack(const std::string& stub, const std::vector<Entry>& entries,
                        uint64_t trailerOffset = ~uint64_t(0)) {
    std::string file = stub;
    for (const Entry& e : entries) {
        file += Record(e.count >= 0 ? e.count : static_cast<int32_t>(entries.size()), e.data.size(),
                       e.name);
        file += e.data;
    }
    file += Record(0, trailerOffset == ~uint64_t(0) ? stub.size() : trailerOffset, "");
    return file;
}

// Sets the certificate-table size in the NT headers (the place depends on the magic).
inline void SetCertificateSize(std::string& file, int32_t size) {
    const uint32_t lfanew = pkg::ReadU32(reinterpret_cast<const uint8_t*>(file.data()) + 60);
    const uint16_t magic =
        pkg::ReadU16(reinterpret_cast<const uint8_t*>(file.data()) + lfanew + pkg::kMagicOffset);
    Put32(file, lfanew + (magic == pkg::kMagicPe32 ? 156 : 172), static_cast<uint32_t>(size));
}

// The package's task definition, the template of the system launch's task (its action is
// replaced), in ASCII as the test packages carry it.
inline const std::string kTaskTemplate =
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Task><Principals><Principal id=\"Author\">"
    "<UserId>S-1-5-18</UserId></Principal></Principals><Settings><Hidden>true</Hidden></Settings>"
    "<Actions Context=\"Author\"><Exec><Command>Launcher.exe</Command></Exec></Actions></Task>";

// What a signing tool does to the layout: the table's size in the headers, the table at the end.
inline std::string Sign(std::string file, int32_t size) {
    SetCertificateSize(file, size);
    file += std::string(static_cast<size_t>(size), '\x5A');
    return file;
}

}  // namespace testpkg
