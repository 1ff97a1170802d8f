#include "unpack/package_format.h"

#include <cstring>

namespace pkg {
namespace {

// Field offsets of a record.
constexpr size_t kCountAt = 0;
constexpr size_t kReservedAt = 4;
constexpr size_t kLengthAt = 8;
constexpr size_t kReserved2At = 16;
constexpr size_t kNameAt = 24;
static_assert(kNameAt + kNameField == kRecordSize, "record layout");

// Offsets in the NT headers of the security directory entry (VirtualAddress, then Size).
constexpr size_t kSecurityDirPe32 = 152;
constexpr size_t kSecurityDirPe32Plus = 168;

wchar_t Upper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
}

bool IsDeviceName(const std::wstring& name) {
    // Windows maps these names to devices whatever follows the first dot, and ignores blanks in
    // front of that dot.
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = Upper(c);
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        const wchar_t d = base[3];
        // Digits, and the superscript digits 1 to 3 that Windows counts as well.
        return (d >= L'0' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

}  // namespace

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t ReadI32(const uint8_t* p) {
    return static_cast<int32_t>(ReadU32(p));
}
uint64_t ReadU64(const uint8_t* p) {
    return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}
void WriteU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void WriteU64(uint8_t* p, uint64_t v) {
    WriteU32(p, static_cast<uint32_t>(v));
    WriteU32(p + 4, static_cast<uint32_t>(v >> 32));
}

void EncodeRecord(const UNPACK_HEADER& record, uint8_t out[kRecordSize]) {
    WriteU32(out + kCountAt, static_cast<uint32_t>(record.nFileCount));
    WriteU32(out + kReservedAt, record.dwReserved);
    WriteU64(out + kLengthAt, record.ullLength);
    WriteU64(out + kReserved2At, record.ullReserved);
    std::memcpy(out + kNameAt, record.szFileName, kNameField);
}

UNPACK_HEADER DecodeRecord(const uint8_t in[kRecordSize]) {
    UNPACK_HEADER r;
    r.nFileCount = ReadI32(in + kCountAt);
    r.dwReserved = ReadU32(in + kReservedAt);
    r.ullLength = ReadU64(in + kLengthAt);
    r.ullReserved = ReadU64(in + kReserved2At);
    std::memcpy(r.szFileName, in + kNameAt, kNameField);
    return r;
}

std::string RecordName(const UNPACK_HEADER& record) {
    const void* nul = std::memchr(record.szFileName, 0, kNameField);
    const size_t n =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - record.szFileName) : kNameField;
    return std::string(record.szFileName, n);
}

bool SetRecordName(UNPACK_HEADER& record, const std::string& name) {
    if (name.size() > kMaxNameLength || name.find('\0') != std::string::npos) return false;
    std::memset(record.szFileName, 0, kNameField);
    std::memcpy(record.szFileName, name.data(), name.size());
    return true;
}

bool ParseNtHeaders(const uint8_t nt[kNtHeadersMax], PeHeaders* out) {
    PeHeaders h;
    h.magic = ReadU16(nt + kMagicOffset);
    size_t dir = 0;
    if (h.magic == kMagicPe32) {
        dir = kSecurityDirPe32;
        h.ntHeadersSize = kNtHeadersPe32;
    } else if (h.magic == kMagicPe32Plus) {
        dir = kSecurityDirPe32Plus;
        h.ntHeadersSize = kNtHeadersPe32Plus;
    } else {
        if (out) *out = h;
        return false;
    }
    h.certificateTableOffset = ReadU32(nt + dir);
    h.certificateTableSize = ReadI32(nt + dir + 4);
    if (out) *out = h;
    return true;
}

bool TrailerOffset(uint64_t fileLength, int32_t certificateTableSize, uint64_t* offset) {
    const uint64_t d =
        kRecordSize + (certificateTableSize > 0 ? static_cast<uint64_t>(certificateTableSize) : 0);
    if (fileLength < d) return false;
    *offset = fileLength - d;
    return true;
}

const wchar_t* UnsafeNameReason(const std::wstring& name) {
    if (name.empty()) return L"empty name";
    if (name == L"." || name == L"..") return L"names a folder, not a file";
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'/') return L"contains a path separator";
        if (c == L':') return L"contains a drive or stream separator \":\"";
        if (c < 0x20 || c == 0x7F) return L"contains a control character";
        if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*')
            return L"contains a character Windows does not allow in file names";
    }
    if (name.back() == L'.' || name.back() == L' ')
        return L"ends in a dot or blank, which Windows drops";
    if (IsDeviceName(name)) return L"is a device name";
    return nullptr;
}

bool IsAscii(const std::string& name) {
    for (unsigned char c : name)
        if (c >= 0x80) return false;
    return true;
}

std::wstring Printable(const std::wstring& name) {
    std::wstring out = name;
    for (wchar_t& c : out)
        if (c < 0x20 || c == 0x7F) c = L'?';
    return out;
}

}  // namespace pkg
