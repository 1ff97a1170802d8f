// The extraction run on its worker thread, and the per-session work folder.
#include "unpack/unpack.h"

#include "platform/platform.h"
#include "res/strings.h"
#include "unpack/package_file.h"
#include "unpack/package_format.h"
#include "util/file.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/text.h"

// 64-bit integers in log formats: the Windows C runtime's spelling, and the C library's.
#ifdef _WIN32
#define VESK_I64 L"I64d"
#else
#define VESK_I64 L"lld"
#endif

namespace {
constexpr uint32_t kCopyStep = 1024;

// The image headers at the start of the launcher's own file.
struct ImageHeaders {
    uint64_t length = 0;  // the file's length
    bool inFile = false;  // the NT headers' offset lies within the file
    bool known = false;   // PE32 or PE32+; `pe` holds them
    pkg::PeHeaders pe;
};

// Reads the DOS and NT headers from the start of the held file. False, with the last error, when
// a read fails. Buffers are zeroed first, so whatever a short file does not hold reads as zero.
bool ReadImageHeaders(CFile& file, ImageHeaders& out) {
    uint8_t dos[pkg::kDosHeaderSize] = {};
    uint8_t nt[pkg::kNtHeadersMax] = {};
    uint32_t got = 0;
    if (!file.Seek(0, plat::kFileBegin) || !file.Read(dos, sizeof(dos), &got) ||
        !file.GetLength(&out.length))
        return false;
    const int64_t lfanew = pkg::ReadI32(dos + pkg::kLfanewOffset);
    out.inFile = static_cast<uint64_t>(lfanew) <= out.length;
    if (!out.inFile) return true;
    if (!file.Seek(lfanew, plat::kFileBegin) || !file.Read(nt, sizeof(nt), &got)) return false;
    // The release build is PE32, the 64-bit build PE32+; they keep the certificate-table size
    // in different places. Any other image carries no package of ours.
    out.known = pkg::ParseNtHeaders(nt, &out.pe);
    return true;
}

// Whether a WinVerifyTrust result shows that the file is not what was signed: its digest does
// not match, or its certificate table holds no signature that can be read (none at all, one
// that does not verify over its own content, a malformed encoding or message). Results about
// the signer's certificate, its chain, time, revocation or policy, and algorithms the system
// does not know, say nothing about the file: an intact launcher meets them on machines that are
// offline, old or strict.
bool ShowsAnotherFile(int32_t result) {
    switch (static_cast<uint32_t>(result)) {
        case 0x80096010:  // TRUST_E_BAD_DIGEST
        case 0x800B0100:  // TRUST_E_NOSIGNATURE
        case 0x80090006:  // NTE_BAD_SIGNATURE
        case 0x80091007:  // CRYPT_E_HASH_VALUE
        case 0x80091001:  // CRYPT_E_MSG_ERROR
        case 0x80091004:  // CRYPT_E_INVALID_MSG_TYPE
        case 0x80091005:  // CRYPT_E_UNEXPECTED_ENCODING
        case 0x80092001:  // CRYPT_E_BAD_LEN
        case 0x80092002:  // CRYPT_E_BAD_ENCODE
        case 0x8009200A:  // CRYPT_E_UNEXPECTED_MSG_TYPE
        case 0x8009200D:  // CRYPT_E_BAD_MSG
        case 0x8009200E:  // CRYPT_E_NO_SIGNER
        case 0x800B0005:  // DIGSIG_E_ENCODE
        case 0x800B0006:  // DIGSIG_E_DECODE
            return true;
        default:  // the ASN.1 coder's errors (CRYPT_E_OSS_*, CRYPT_E_ASN1_*)
            return (static_cast<uint32_t>(result) & 0xFFFFF000u) == 0x80093000u;
    }
}

}  // namespace

bool CUnPack::CheckSignature(COwnFile& own) {
    // Only a run with an administrator's full rights proves itself: an elevated one, or one of
    // the local system account (whose token tells no elevation on Windows XP).
    if (!Run().elevated) return true;
    // A file that cannot be read holds no package either; FindHeader says why. The image's own
    // headers tell whether it is signed: no certificate table, no signature to prove.
    if (!own.Open() || !own.IsSigned()) return true;
    const int32_t result = plat::files().WinVerifyTrust(own.File().GetHandle(), own.Path());
    if (result == plat::kTrustSuccess) return true;
    if (!ShowsAnotherFile(result)) {
        logging::Log(tags::kCheckSignature, L"Signature check result 0x%08X, run goes on",
                     static_cast<unsigned>(result));
        return true;
    }
    logging::Log(tags::kCheckSignature, L"Signature check failed 0x%08X, run stopped",
                 static_cast<unsigned>(result));
    return false;
}

PackageLocation CUnPack::FindHeader() {
    COwnFile& own = OwnFile();
    const bool opened = own.Open();
    const std::wstring& path = own.Path();
    logging::Log(tags::kFindHeader, L"Name:%ls", path.c_str());

    PackageLocation where;
    auto failed = [&]() {
        logging::Log(tags::kFindHeader, L"Fail");
        logging::FileError(path);
        return where;
    };
    if (!opened) return failed();
    CFile& file = own.File();
    ImageHeaders headers;
    if (!ReadImageHeaders(file, headers)) return failed();
    where.readable = true;
    if (!headers.inFile) return where;
    const pkg::PeHeaders& pe = headers.pe;
    if (!headers.known) {
        logging::Log(tags::kFindHeader, L"Unknown image type:0x%x",
                     static_cast<unsigned>(pe.magic));
        return where;
    }
    logging::Log(tags::kFindHeader, L"Sign Size:%d", static_cast<int>(pe.certificateTableSize));

    uint8_t trailer[pkg::kRecordSize] = {};
    uint32_t got = 0;
    uint64_t at = 0;
    if (!pkg::TrailerOffset(headers.length, pe.certificateTableSize, &at)) return where;
    if (!file.Seek(static_cast<int64_t>(at), plat::kFileBegin) ||
        !file.Read(trailer, sizeof(trailer), &got)) {
        where.readable = false;
        return failed();
    }
    where.offset = pkg::DecodeRecord(trailer).ullLength;
    logging::Log(tags::kFindHeader, L"Header offset:%d",
                 static_cast<int>(static_cast<uint32_t>(where.offset)));
    return where;
}

namespace {

// The run could not go on: says where, logs the text of the last error with the name of the file
// it concerns, and gives FALSE to return.
bool Stopped(int entry, const std::wstring& file) {
    logging::Log(tags::kUnPackFiles, L"UnPack stopped at file %d", entry);
    logging::FileError(file);
    return false;
}

// How an entry's copy ended: every byte written, or a read of the package or a write of the
// entry's file failed (the last error says why).
enum class Copied { All, ReadFailed, WriteFailed };

// Copies one entry's data in 1024-byte steps: `length` / 1024 full steps, then the rest. The
// package must hold every byte; a read that comes up short is an error, not a short file.
Copied CopyData(CPackageReader& package, CBufferedWriter& out, uint64_t length) {
    uint8_t chunk[kCopyStep];
    const uint64_t steps = length / kCopyStep;
    const uint32_t rest = static_cast<uint32_t>(length % kCopyStep);
    for (uint64_t s = 0; s <= steps; ++s) {
        const uint32_t want = s < steps ? kCopyStep : rest;
        uint32_t got = 0;
        if (!package.Read(chunk, want, &got)) return Copied::ReadFailed;
        if (got != want) {
            PackageEnds();
            return Copied::ReadFailed;
        }
        if (!out.Write(chunk, got)) return Copied::WriteFailed;
    }
    return out.Flush() ? Copied::All : Copied::WriteFailed;
}

// Takes the read-only attribute off an existing plain file in the folder; true when there was
// one to take.
bool ClearReadOnly(const CHeldFolder& folder, const std::wstring& name) {
    const UniqueFile file = folder.OpenFile(name, plat::kFileWriteAttributes,
                                            CHeldFolder::kShareAll, plat::kOpenExisting);
    plat::FileInformation info;
    return file && plat::files().GetFileInformation(file.Get(), info) &&
           (info.attributes & plat::kAttrReadOnly) &&
           plat::files().SetOpenFileAttributes(file.Get(), info.attributes & ~plat::kAttrReadOnly);
}

// Creates an entry's file anew in the work folder. An existing file of that name (a package that
// names one twice) is overwritten, also a read-only one: kept, it would stand in for the
// package's own file, and a replaced file that stayed read-only would outlive the work folder's
// removal. The attributes are looked at only when the name turns out to exist (the creation is
// refused, or reports that it replaced a file).
bool CreateTarget(CFile& out, const CHeldFolder& folder, const std::wstring& name) {
    const unsigned mode =
        CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary;
    plat::IKernel& k = plat::kernel();
    if (out.Open(folder, name, mode)) {
        // Where the system lets a read-only file be replaced (Wine run as root), it keeps the
        // attribute. The next log line still reports the creation's "already exists".
        if (k.GetLastError() == plat::kErrorAlreadyExists) {
            ClearReadOnly(folder, name);
            k.SetLastError(plat::kErrorAlreadyExists);
        }
        return true;
    }
    const uint32_t error = k.GetLastError();
    if (error == plat::kErrorAccessDenied && ClearReadOnly(folder, name))
        return out.Open(folder, name, mode);
    k.SetLastError(error);  // the next log line reports the creation's error
    return false;
}

// The free bytes of the temp folder's volume, asked through the folder the run holds (a query by
// path opens and closes the folder every time, which costs more than the query); by its path
// when it could not be held.
bool TempFreeSpace(uint64_t* bytes) {
    const RunContext& run = Run();
    return run.temp ? run.temp.FreeSpace(bytes)
                    : plat::files().GetDiskFreeSpaceEx(run.tempPath, bytes);
}

}  // namespace

bool CUnPack::UnPackFiles() {
    const PackageLocation where = FindHeader();
    if (!where.readable || where.offset == 0) return false;

    // The entries come from the file FindHeader read, through the same handle.
    CPackageReader package;
    if (!package.Open(OwnFile().File())) {
        logging::FileError(OwnFile().File().GetFilePath());
        return false;
    }
    if (!package.Seek(where.offset)) return Stopped(0, package.GetFilePath());

    // Files go below the temp folder, so that is the volume whose free space counts (the
    // current directory may lie on another one).
    CBufferedWriter writer;
    uint8_t bytes[pkg::kRecordSize] = {};
    int taken = 0;
    uint64_t freeSpace = 0;
    for (;;) {
        uint32_t got = 0;
        if (!package.Read(bytes, pkg::kRecordSize, &got))
            return Stopped(taken + 1, package.GetFilePath());
        if (got == 0) break;  // the end of the file
        if (got != pkg::kRecordSize) {
            PackageEnds();
            return Stopped(taken + 1, package.GetFilePath());
        }
        const pkg::UNPACK_HEADER record = pkg::DecodeRecord(bytes);
        const int count = record.nFileCount;
        if (taken >= count) break;
        const uint64_t length = record.ullLength;
        // A length the package cannot hold means a damaged package, not a full disk.
        if (length > package.Remaining()) {
            PackageEnds();
            return Stopped(taken + 1, package.GetFilePath());
        }

        const std::wstring name = plat::kernel().MultiByteToWideChar(pkg::RecordName(record));
        if (const wchar_t* reason = pkg::UnsafeNameReason(name)) {
            ++taken;
            logging::Log(tags::kUnPackFiles, L"(%d/%d)Skip unsafe file name:%ls (%ls)", taken,
                         count, pkg::Printable(name).c_str(), reason);
            if (!package.Skip(length)) return Stopped(taken, package.GetFilePath());
            if (taken == count) break;
            continue;
        }

        const bool known = TempFreeSpace(&freeSpace);
        logging::Log(tags::kUnPackFiles, L" FreeSpace:%" VESK_I64 L" FileSize:%" VESK_I64,
                     known ? static_cast<long long>(freeSpace) : -1LL,
                     static_cast<long long>(length));
        // Without an answer there is nothing to compare; a disk that fills up is still caught
        // when a write fails.
        if (known && freeSpace < length) {
            const std::wstring text = plat::kernel().LoadString(IDS_DISK_TEXT);
            const std::wstring caption = plat::kernel().LoadString(IDS_DISK_CAPTION);
            logging::Log(tags::kUnPackFiles, L"%ls", text.c_str());
            plat::user().MessageBox(text, caption, plat::kMbOk);
            return false;
        }

        GetWorkFolder();
        if (m_workFolder.IsRefused()) return false;  // nothing is written through a link
        const std::wstring target = m_workFolder.Join(name);
        ++taken;
        logging::Log(tags::kUnPackFiles, L"(%d/%d)UnPack file name:%ls (%d)", taken, count,
                     target.c_str(), static_cast<int>(static_cast<uint32_t>(length)));

        CFile out;
        if (!CreateTarget(out, m_workFolder.Held(), name)) {
            logging::FileError(out.GetFilePath());
            if (!package.Skip(length)) return Stopped(taken, package.GetFilePath());
            if (taken == count) break;
            continue;
        }
        writer.Attach(&out);
        uint64_t written = 0;
        const Copied copied = CopyData(package, writer, length);
        if (copied != Copied::All || !out.GetLength(&written)) {
            const std::wstring& failed =
                copied == Copied::ReadFailed ? package.GetFilePath() : out.GetFilePath();
            // A half-written file is worth nothing to the agent: it goes.
            const uint32_t error = plat::kernel().GetLastError();
            out.Delete();
            plat::kernel().SetLastError(error);
            return Stopped(taken, failed);
        }
        logging::Log(tags::kUnPackFiles, L"UnPack count:%d len:%d File:%ls", taken,
                     static_cast<int>(static_cast<uint32_t>(written)), target.c_str());
        out.Close();
        if (taken == count) break;
    }
    logging::Log(tags::kUnPackFiles, L"UnPack total %d files.", taken);
    m_bUnPacked = true;
    return true;
}

int CUnPack::UnPackAndWait() {
    StartThread();
    if (plat::kernel().WaitForSingleObject(m_hThread.Get(), plat::kInfinite) == plat::kWaitObject0)
        m_hThread.Reset();
    return 0;
}

void CUnPack::StartThread() {
    if (!m_hThread) m_hThread.Reset(plat::kernel().CreateThread(&CUnPack::UnPackThreadProc, this));
}

uint32_t CUnPack::UnPackThreadProc(void* param) {
    if (!param) return 0;
    return static_cast<CUnPack*>(param)->UnPackFiles() ? 1 : 0;
}

std::wstring CUnPack::GetWorkFolder() {
    m_workFolder.Prepare();
    return m_workFolder.Path();
}
