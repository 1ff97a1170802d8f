// The layout of the package appended to the launcher's image, and the rule for the names of its
// entries. Plain byte-level code with no system calls: the launcher reads packages with it and
// veskpack writes, lists, checks and extracts them with it, so both follow one set of rules.
//
//   stub image | entry 1 ... entry N | trailer | certificate table (optional)
//
// Each entry is one 284-byte record followed at once by its data bytes. The trailer is one more
// record whose length field holds the file offset of entry 1's record; it ends exactly where the
// certificate table begins (or at the end of the file). The certificate table's size comes from
// the PE headers' security directory entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pkg {

constexpr size_t kRecordSize = 284;
constexpr size_t kNameField = 260;      // bytes of the name field
constexpr size_t kMaxNameLength = 259;  // what a writer may put in front of the NUL

// PE headers: the DOS header holds the NT headers' offset; the optional header's magic tells
// PE32 from PE32+, which keep the certificate-table size at different offsets.
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewOffset = 60;
constexpr size_t kMagicOffset = 24;  // in the NT headers: signature (4) + file header (20)
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr size_t kNtHeadersPe32 = 248;
constexpr size_t kNtHeadersPe32Plus = 264;
constexpr size_t kNtHeadersMax = kNtHeadersPe32Plus;  // read this many; zero-fill what is missing

// A signing tool puts the certificate table on this boundary, so a writer keeps the unsigned
// file length a multiple of it.
constexpr uint32_t kCertificateAlignment = 8;

// One record, as stored (little-endian, packed).
struct UNPACK_HEADER {
    int32_t nFileCount = 0;  // entry: N, the same in every entry record; trailer: zero
    uint32_t dwReserved = 0;
    uint64_t ullLength = 0;  // entry: data bytes that follow; trailer: offset of entry 1
    uint64_t ullReserved = 0;
    char szFileName[kNameField] = {};  // entry: bare file name, NUL-terminated
};

void EncodeRecord(const UNPACK_HEADER& record, uint8_t out[kRecordSize]);
UNPACK_HEADER DecodeRecord(const uint8_t in[kRecordSize]);

// The name bytes of a record: up to the first NUL, all 260 when there is none.
std::string RecordName(const UNPACK_HEADER& record);
// Fills the name field (zero-padded). False when the name does not fit in front of the NUL.
bool SetRecordName(UNPACK_HEADER& record, const std::string& name);

uint16_t ReadU16(const uint8_t* p);
uint32_t ReadU32(const uint8_t* p);
int32_t ReadI32(const uint8_t* p);
uint64_t ReadU64(const uint8_t* p);
void WriteU32(uint8_t* p, uint32_t v);
void WriteU64(uint8_t* p, uint64_t v);

// The PE facts the package depends on, from the first kNtHeadersMax bytes at e_lfanew.
struct PeHeaders {
    uint16_t magic = 0;
    int32_t certificateTableSize = 0;     // Size of the security directory entry, as stored
    uint32_t certificateTableOffset = 0;  // its "VirtualAddress", a file offset
    size_t ntHeadersSize = 0;             // 248 or 264
};
// False when the magic is neither PE32 nor PE32+ (no package can be found in such a file).
bool ParseNtHeaders(const uint8_t nt[kNtHeadersMax], PeHeaders* out);

// Where the trailer starts in a file of `fileLength` bytes whose certificate table is
// `certificateTableSize` bytes long (a negative size counts as none). False when the file is too
// short to hold the trailer and the certificate table.
bool TrailerOffset(uint64_t fileLength, int32_t certificateTableSize, uint64_t* offset);

// Why an entry name may not be written into the work folder, or null when it is a plain file
// name that lands in the folder itself under exactly this name. Refused: the empty name, "."
// and "..", path separators, drive letters and stream names (":"), characters Windows does not
// allow in names (control characters, < > " | ? *), a trailing dot or blank (Windows strips
// them, so the file would land under another name), and device names (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, CONIN$, CONOUT$, also with an extension such as "nul.txt").
const wchar_t* UnsafeNameReason(const std::wstring& name);

// True when every byte is 7-bit ASCII (the only names that convert alike on every machine).
bool IsAscii(const std::string& name);

// The name with control characters shown as "?", for a log line or a message.
std::wstring Printable(const std::wstring& name);

}  // namespace pkg
