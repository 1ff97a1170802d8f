// The extraction run on its worker thread, and the per-session work folder.
#include "unpack/unpack.h"

#include "platform/platform.h"
#include "res/strings.h"
#include "unpack/package_file.h"
#include "unpack/package_format.h"
#include "util/file.h"
#include "util/text.h"
#include "util/utility.h"

// 64-bit integers in log formats: the Windows C runtime's spelling, and the C library's.
#ifdef _WIN32
#define VESK_I64 L"I64d"
#else
#define VESK_I64 L"lld"
#endif

namespace {
constexpr const wchar_t* kFindTag = L"CUnPack::FindHeader";
constexpr const wchar_t* kUnPackTag = L"CUnPack::UnPackFiles";
constexpr uint32_t kCopyStep = 1024;
constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;
}  // namespace

uint64_t CUnPack::FindHeader() {
    const std::wstring path = CUtility::GetModulePath();
    CUtility::Log(L"[%ls] Name:%ls", kFindTag, path.c_str());

    CFile file;
    CFileException error;
    auto failed = [&error]() -> uint64_t {
        CUtility::Log(L"[%ls] Fail", kFindTag);
        CUtility::FileException(error);
        return 0;
    };
    if (!file.Open(path, CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary, &error))
        return failed();
    // Buffers are zeroed first, so whatever a short file does not hold reads as zero.
    uint8_t dos[pkg::kDosHeaderSize] = {};
    uint8_t nt[pkg::kNtHeadersMax] = {};
    uint8_t trailer[pkg::kRecordSize] = {};
    uint32_t got = 0;
    uint64_t length = 0;
    if (!file.Read(dos, sizeof(dos), &got, &error) || !file.GetLength(&length, &error))
        return failed();
    const int64_t lfanew = pkg::ReadI32(dos + pkg::kLfanewOffset);
    if (static_cast<uint64_t>(lfanew) > length) return 0;

    if (!file.Seek(lfanew, plat::kFileBegin, nullptr, &error) ||
        !file.Read(nt, sizeof(nt), &got, &error))
        return failed();
    // The release build is PE32, the 64-bit build PE32+; they keep the certificate-table size
    // in different places. Any other image carries no package of ours.
    pkg::PeHeaders pe;
    if (!pkg::ParseNtHeaders(nt, &pe)) {
        CUtility::Log(L"[%ls] Unknown image type:0x%x", kFindTag, static_cast<unsigned>(pe.magic));
        return 0;
    }
    CUtility::Log(L"[%ls] Sign Size:%d", kFindTag, static_cast<int>(pe.certificateTableSize));

    uint64_t at = 0;
    if (!pkg::TrailerOffset(length, pe.certificateTableSize, &at)) return 0;
    if (!file.Seek(static_cast<int64_t>(at), plat::kFileBegin, nullptr, &error) ||
        !file.Read(trailer, sizeof(trailer), &got, &error))
        return failed();
    const uint64_t offset = pkg::DecodeRecord(trailer).ullLength;
    CUtility::Log(L"[%ls] Header offset:%d", kFindTag,
                  static_cast<int>(static_cast<uint32_t>(offset)));
    return offset;
}

namespace {

// The run could not go on: says where, logs the error's text, and gives FALSE to return.
bool Stopped(int entry, const CFileException& error) {
    CUtility::Log(L"[%ls] UnPack stopped at file %d", kUnPackTag, entry);
    CUtility::FileException(error);
    return false;
}

// Copies one entry's data in 1024-byte steps: `length` / 1024 full steps, then the rest. The
// package must hold every byte; a read that comes up short is an error, not a short file.
bool CopyData(CPackageReader& package, CBufferedWriter& out, uint64_t length,
              CFileException* error) {
    uint8_t chunk[kCopyStep];
    const uint64_t steps = length / kCopyStep;
    const uint32_t rest = static_cast<uint32_t>(length % kCopyStep);
    for (uint64_t s = 0; s <= steps; ++s) {
        const uint32_t want = s < steps ? kCopyStep : rest;
        uint32_t got = 0;
        if (!package.Read(chunk, want, &got, error)) return false;
        if (got != want) {
            error->Set(plat::kErrorHandleEof, package.GetFilePath());
            return false;
        }
        if (!out.Write(chunk, got, error)) return false;
    }
    return out.Flush(error);
}

// Takes the read-only attribute off an existing plain file; true when there was one to take.
bool ClearReadOnly(const std::wstring& path) {
    const uint32_t attributes = plat::files().GetFileAttributes(path);
    if (attributes == plat::kInvalidFileAttributes || !(attributes & plat::kAttrReadOnly) ||
        (attributes & (plat::kAttrDirectory | plat::kAttrReparsePoint)))
        return false;
    return plat::files().SetFileAttributes(path, attributes & ~plat::kAttrReadOnly);
}

// Creates an entry's file anew. An existing file of that name is overwritten, also one an earlier
// run left read-only: kept, it would stand in for the package's own file, and a replaced file
// that stayed read-only would outlive the work folder's removal. The attributes are looked at
// only when the name turns out to exist (the creation is refused, or reports that it replaced a
// file): looking up a name that does not exist yet, the usual case, is not free (Wine searches
// the folder for it in every letter case).
bool CreateTarget(CFile& out, const std::wstring& target, CFileException* error) {
    const unsigned mode =
        CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary;
    plat::IKernel& k = plat::kernel();
    if (out.Open(target, mode, error)) {
        // Where the system lets a read-only file be replaced (Wine run as root), it keeps the
        // attribute. The next log line still reports the creation's "already exists".
        if (k.GetLastError() == plat::kErrorAlreadyExists) {
            ClearReadOnly(target);
            k.SetLastError(plat::kErrorAlreadyExists);
        }
        return true;
    }
    if (error->m_lOsError == plat::kErrorAccessDenied && ClearReadOnly(target))
        return out.Open(target, mode, error);
    k.SetLastError(error->m_lOsError);  // the next log line reports the creation's error
    return false;
}

}  // namespace

bool CUnPack::UnPackFiles() {
    const uint64_t packageOffset = FindHeader();
    if (packageOffset == 0) return false;

    CPackageReader package;
    CFileException error;
    if (!package.Open(CUtility::GetModulePath(), &error)) {
        CUtility::FileException(error);
        return false;
    }
    if (!package.Seek(packageOffset, &error)) return Stopped(0, error);

    // Files go below the temp folder, so that is the volume whose free space counts (the
    // current directory may lie on another one).
    std::wstring temp;
    plat::files().GetTempPath(temp);

    CBufferedWriter writer;
    uint8_t bytes[pkg::kRecordSize] = {};
    int taken = 0;
    uint64_t freeSpace = 0;
    for (;;) {
        uint32_t got = 0;
        if (!package.Read(bytes, pkg::kRecordSize, &got, &error)) return Stopped(taken + 1, error);
        if (got == 0) break;  // the end of the file
        if (got != pkg::kRecordSize) {
            error.Set(plat::kErrorHandleEof, package.GetFilePath());
            return Stopped(taken + 1, error);
        }
        const pkg::UNPACK_HEADER record = pkg::DecodeRecord(bytes);
        const int count = record.nFileCount;
        if (taken >= count) break;
        const uint64_t length = record.ullLength;
        // A length the package cannot hold means a damaged package, not a full disk.
        if (length > package.Remaining()) {
            error.Set(plat::kErrorHandleEof, package.GetFilePath());
            return Stopped(taken + 1, error);
        }

        const std::wstring name = plat::kernel().MultiByteToWideChar(pkg::RecordName(record));
        if (const wchar_t* reason = pkg::UnsafeNameReason(name)) {
            ++taken;
            CUtility::Log(L"[%ls] (%d/%d)Skip unsafe file name:%ls (%ls)", kUnPackTag, taken, count,
                          pkg::Printable(name).c_str(), reason);
            if (!package.Skip(length, &error)) return Stopped(taken, error);
            if (taken == count) break;
            continue;
        }

        const bool known = plat::files().GetDiskFreeSpaceEx(temp, &freeSpace);
        CUtility::Log(L"[%ls]  FreeSpace:%" VESK_I64 L" FileSize:%" VESK_I64, kUnPackTag,
                      known ? static_cast<long long>(freeSpace) : -1LL,
                      static_cast<long long>(length));
        // Without an answer there is nothing to compare; a disk that fills up is still caught
        // when a write fails.
        if (known && freeSpace < length) {
            const std::wstring text = plat::kernel().LoadString(IDS_DISK_TEXT);
            const std::wstring caption = plat::kernel().LoadString(IDS_DISK_CAPTION);
            CUtility::Log(L"[%ls] %ls", kUnPackTag, text.c_str());
            plat::user().MessageBox(text, caption, plat::kMbOk);
            return false;
        }

        const std::wstring folder = GetWorkFolder();
        if (m_bWorkFolderRefused) return false;  // nothing is written through a link
        const std::wstring target = folder + name;
        ++taken;
        CUtility::Log(L"[%ls] (%d/%d)UnPack file name:%ls (%d)", kUnPackTag, taken, count,
                      target.c_str(), static_cast<int>(static_cast<uint32_t>(length)));

        CFile out;
        if (!CreateTarget(out, target, &error)) {
            CUtility::FileException(error);
            if (!package.Skip(length, &error)) return Stopped(taken, error);
            if (taken == count) break;
            continue;
        }
        writer.Attach(&out);
        uint64_t written = 0;
        if (!CopyData(package, writer, length, &error) || !out.GetLength(&written, &error)) {
            // A half-written file is worth nothing to the agent: it goes.
            out.Close();
            plat::files().DeleteFile(target);
            return Stopped(taken, error);
        }
        CUtility::Log(L"[%ls] UnPack count:%d len:%d File:%ls", kUnPackTag, taken,
                      static_cast<int>(static_cast<uint32_t>(written)), target.c_str());
        out.Close();
        if (taken == count) break;
    }
    CUtility::Log(L"[%ls] UnPack total %d files.", kUnPackTag, taken);
    m_bUnPacked = true;
    return true;
}

int CUnPack::UnPackAndWait() {
    StartThread();
    if (plat::kernel().WaitForSingleObject(m_hThread, plat::kInfinite) == plat::kWaitObject0) {
        plat::kernel().CloseHandle(m_hThread);
        m_hThread = 0;
    }
    return 0;
}

void CUnPack::StartThread() {
    if (m_hThread) return;
    m_hThread = plat::kernel().CreateThread(&CUnPack::UnPackThreadProc, this);
}

uint32_t CUnPack::UnPackThreadProc(void* param) {
    if (!param) return 0;
    return static_cast<CUnPack*>(param)->UnPackFiles() ? 1 : 0;
}

std::wstring CUnPack::GetWorkFolder() {
    if (!m_strWorkFolder.empty()) return m_strWorkFolder;

    plat::IFiles& fs = plat::files();
    std::wstring temp;
    fs.GetTempPath(temp);
    const uint32_t session = CUtility::GetOwnSessionId();
    m_strWorkFolder = temp + text::Format(L"unpackvesk\\%d\\", static_cast<int>(session));

    const std::wstring shared = temp + L"Quintrova\\vesk\\";
    if (!CUtility::FileExists(shared)) fs.SHCreateDirectoryEx(shared);

    // "unpackvesk" and the session's folder are ours and never links: a link planted there
    // would steer this run's writes and deletions into the folder it points at. Such a link is
    // removed as a link; where that cannot be done, the work folder is not used at all.
    const std::wstring parent = temp + L"unpackvesk";
    const std::wstring folder = m_strWorkFolder.substr(0, m_strWorkFolder.size() - 1);
    for (const std::wstring& path : {parent, folder}) {
        const uint32_t attributes = fs.GetFileAttributes(path);
        if (attributes == plat::kInvalidFileAttributes || !(attributes & plat::kAttrReparsePoint))
            continue;
        if (!fs.RemoveLink(path)) {
            CUtility::Log(L"[%ls] Work folder refused, link at %ls", L"CUnPack::GetWorkFolder",
                          path.c_str());
            m_bWorkFolderRefused = true;
            return m_strWorkFolder;
        }
    }

    // Whatever an earlier launch in this session left behind goes first.
    if (CUtility::FileExists(m_strWorkFolder)) RemoveWorkFolder();

    int result = fs.SHCreateDirectoryEx(m_strWorkFolder);
    for (int retry = 0; result != 0 && retry < kCreateRetries; ++retry) {
        result = fs.SHCreateDirectoryEx(m_strWorkFolder);
        plat::kernel().Sleep(kCreateRetryPauseMs);
    }
    return m_strWorkFolder;
}

void CUnPack::RemoveWorkFolder() {
    if (m_strWorkFolder.empty() || m_bWorkFolderRefused) return;
    plat::IFiles& fs = plat::files();
    CUtility::DeleteDirectoryTree(m_strWorkFolder);

    std::wstring parent = m_strWorkFolder;
    while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
    CUtility::StripPathComponents(parent, 1);  // ...\unpackvesk
    fs.SetCurrentDirectory(parent);
    fs.RemoveDirectory(m_strWorkFolder);

    std::wstring grandparent = parent;
    CUtility::StripPathComponents(grandparent, 1);  // the temp folder, no trailing backslash
    fs.SetCurrentDirectory(grandparent);
    fs.RemoveDirectory(parent);
}
