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
constexpr const wchar_t* kSignTag = L"CUnPack::CheckSignature";
constexpr uint32_t kCopyStep = 1024;
constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;

// The image headers at the start of the launcher's own file.
struct ImageHeaders {
    uint64_t length = 0;  // the file's length
    bool inFile = false;  // the NT headers' offset lies within the file
    bool known = false;   // PE32 or PE32+; `pe` holds them
    pkg::PeHeaders pe;
};

// Reads the DOS and NT headers from the start of the held file. False when a read fails (`error`
// says why). Buffers are zeroed first, so whatever a short file does not hold reads as zero.
bool ReadImageHeaders(CFile& file, ImageHeaders& out, CFileException* error) {
    uint8_t dos[pkg::kDosHeaderSize] = {};
    uint8_t nt[pkg::kNtHeadersMax] = {};
    uint32_t got = 0;
    if (!file.Seek(0, plat::kFileBegin, nullptr, error) ||
        !file.Read(dos, sizeof(dos), &got, error) || !file.GetLength(&out.length, error))
        return false;
    const int64_t lfanew = pkg::ReadI32(dos + pkg::kLfanewOffset);
    out.inFile = static_cast<uint64_t>(lfanew) <= out.length;
    if (!out.inFile) return true;
    if (!file.Seek(lfanew, plat::kFileBegin, nullptr, error) ||
        !file.Read(nt, sizeof(nt), &got, error))
        return false;
    // The release build is PE32, the 64-bit build PE32+; they keep the certificate-table size
    // in different places. Any other image carries no package of ours.
    out.known = pkg::ParseNtHeaders(nt, &out.pe);
    return true;
}

}  // namespace

bool CUnPack::CheckSignature(COwnFile& own) {
    // Only a run with an administrator's full rights proves itself: an elevated one, or one of
    // the local system account (whose token tells no elevation on Windows XP).
    if (!CUtility::IsElevatedRun()) return true;
    // A file that cannot be read holds no package either; FindHeader says why.
    if (!own.Open()) return true;
    // No certificate table, no signature to prove: the run goes on as it always did.
    ImageHeaders headers;
    if (!ReadImageHeaders(own.File(), headers, nullptr) || !headers.known ||
        headers.pe.certificateTableSize == 0)
        return true;
    const int32_t result = plat::files().WinVerifyTrust(own.File().GetHandle(), own.Path());
    if (result == plat::kTrustSuccess) return true;
    CUtility::Log(L"[%ls] Signature check failed 0x%08X, run stopped", kSignTag,
                  static_cast<unsigned>(result));
    return false;
}

uint64_t CUnPack::FindHeader() {
    COwnFile& own = OwnFile();
    own.Open();
    const std::wstring& path = own.Path();
    CUtility::Log(L"[%ls] Name:%ls", kFindTag, path.c_str());

    CFileException error;
    auto failed = [&error]() -> uint64_t {
        CUtility::Log(L"[%ls] Fail", kFindTag);
        CUtility::FileException(error);
        return 0;
    };
    if (!own.IsOpen()) {
        error = own.OpenError();
        return failed();
    }
    CFile& file = own.File();
    ImageHeaders headers;
    if (!ReadImageHeaders(file, headers, &error)) return failed();
    if (!headers.inFile) return 0;
    const pkg::PeHeaders& pe = headers.pe;
    if (!headers.known) {
        CUtility::Log(L"[%ls] Unknown image type:0x%x", kFindTag, static_cast<unsigned>(pe.magic));
        return 0;
    }
    CUtility::Log(L"[%ls] Sign Size:%d", kFindTag, static_cast<int>(pe.certificateTableSize));

    uint8_t trailer[pkg::kRecordSize] = {};
    uint32_t got = 0;
    uint64_t at = 0;
    if (!pkg::TrailerOffset(headers.length, pe.certificateTableSize, &at)) return 0;
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

// The temp folder, held open for the extraction's free-space queries.
class TempFolder {
public:
    explicit TempFolder(std::wstring path)
        : m_path(std::move(path)),
          m_handle(plat::files().CreateFileWithFlags(
              m_path, plat::kFileReadAttributes,
              plat::kShareRead | plat::kShareWrite | plat::kShareDelete, plat::kOpenExisting,
              plat::kFileFlagBackupSemantics)) {}
    ~TempFolder() {
        if (m_handle) plat::files().CloseFile(m_handle);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The volume's free bytes; by the path when the folder could not be held.
    bool FreeSpace(uint64_t* bytes) {
        return m_handle ? plat::files().GetVolumeFreeSpace(m_handle, bytes)
                        : plat::files().GetDiskFreeSpaceEx(m_path, bytes);
    }

private:
    const std::wstring m_path;
    const plat::Handle m_handle;
};

}  // namespace

bool CUnPack::UnPackFiles() {
    const uint64_t packageOffset = FindHeader();
    if (packageOffset == 0) return false;

    // The entries come from the file FindHeader read, through the same handle.
    CPackageReader package;
    CFileException error;
    if (!package.Open(OwnFile().File(), &error)) {
        CUtility::FileException(error);
        return false;
    }
    if (!package.Seek(packageOffset, &error)) return Stopped(0, error);

    // Files go below the temp folder, so that is the volume whose free space counts (the
    // current directory may lie on another one). The folder is opened once and asked through its
    // handle: a query by path opens and closes it every time, which costs more than the query.
    std::wstring temp;
    plat::files().GetTempPath(temp);
    TempFolder tempFolder(temp);

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

        const bool known = tempFolder.FreeSpace(&freeSpace);
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

namespace {

// Whether the work folder's path leads where it says, judged on the deepest of the work folder,
// "unpackvesk" and the temp folder that exists (true when none does).
bool ReachedDirectly(const std::wstring& workFolder) {
    std::wstring deepest = workFolder;
    while (!deepest.empty() && deepest.back() == L'\\') deepest.pop_back();
    for (int up = 0; up < 2 && !CUtility::FileExists(deepest); ++up)
        CUtility::StripPathComponents(deepest, 1);
    return !CUtility::FileExists(deepest) || CUtility::FolderFinalPathMatches(deepest);
}

}  // namespace

std::wstring CUnPack::GetWorkFolder() {
    if (!m_strWorkFolder.empty()) return m_strWorkFolder;

    plat::IFiles& fs = plat::files();
    std::wstring temp;
    fs.GetTempPath(temp);
    const uint32_t session = CUtility::GetOwnSessionId();
    m_strWorkFolder = temp + text::Format(L"unpackvesk\\%d\\", static_cast<int>(session));

    // An elevated run creates nothing in a temp folder reached through a link.
    const bool elevated = CUtility::IsElevatedRun();
    const std::wstring shared = temp + L"Quintrova\\vesk\\";
    if (!CUtility::FileExists(shared) && (!elevated || CUtility::FolderFinalPathMatches(temp)))
        fs.SHCreateDirectoryEx(shared);

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

    // Nor does it act through a link anywhere on the work folder's path (the temp folder and
    // the folders above it may be the user's): checked before the stale folder goes, and again
    // before anything is extracted.
    auto refused = [this]() {
        CUtility::Log(L"[%ls] Work folder refused, %ls is reached through a link",
                      L"CUnPack::GetWorkFolder", m_strWorkFolder.c_str());
        m_bWorkFolderRefused = true;
        return m_strWorkFolder;
    };
    if (elevated && !ReachedDirectly(m_strWorkFolder)) return refused();

    // Whatever an earlier launch in this session left behind goes first.
    if (CUtility::FileExists(m_strWorkFolder)) RemoveWorkFolder();

    // An elevated or system run starts programs from this folder: it gets a list under which
    // only administrators and the system account can add, replace or remove anything, so the
    // user's own programs cannot slip files in while the run lasts. Unelevated runs create it
    // with the rights it inherits, as ever.
    plat::AccessList access;
    if (elevated) access = CUtility::WorkFolderAccess(CUtility::GetLoggedOnUserSid());
    auto create = [&]() -> int {
        if (!elevated) return fs.SHCreateDirectoryEx(m_strWorkFolder);
        if (!CUtility::FileExists(parent)) fs.SHCreateDirectoryEx(parent);
        return CUtility::CreateDirectoryWithAccess(folder, access)
                   ? 0
                   : static_cast<int>(plat::kernel().GetLastError());
    };
    int result = create();
    for (int retry = 0; result != 0 && retry < kCreateRetries; ++retry) {
        result = create();
        plat::kernel().Sleep(kCreateRetryPauseMs);
    }

    // A folder that could not be removed and made afresh is used only when it carries such a
    // list already (one an earlier elevated run left); one that is missing is the start-up's
    // matter. One made just now carries the list it was made with.
    if (elevated && result != 0 && CUtility::FileExists(m_strWorkFolder)) {
        if (const wchar_t* fault = CUtility::AdminOnlyFault(folder)) {
            CUtility::Log(L"[%ls] Work folder refused, %ls at %ls", L"CUnPack::GetWorkFolder",
                          fault, folder.c_str());
            m_bWorkFolderRefused = true;
        }
    }
    if (elevated && !m_bWorkFolderRefused && CUtility::FileExists(m_strWorkFolder)) {
        // The folder held is the one checked: through no link, at the path built.
        m_hWorkFolder = fs.CreateFileWithFlags(folder, plat::kFileReadAttributes,
                                               plat::kShareRead | plat::kShareWrite,
                                               plat::kOpenExisting, plat::kFileFlagBackupSemantics);
        if (!m_hWorkFolder || !CUtility::FinalPathMatches(m_hWorkFolder, folder)) return refused();
    }
    if (elevated && !ReachedDirectly(m_strWorkFolder)) return refused();
    return m_strWorkFolder;
}

CUnPack::~CUnPack() {
    if (m_hWorkFolder) plat::files().CloseFile(m_hWorkFolder);
}

void CUnPack::RemoveWorkFolder() {
    if (m_strWorkFolder.empty() || m_bWorkFolderRefused) return;
    plat::IFiles& fs = plat::files();

    // Nor does an elevated run delete through a link, also one put on the path after the start:
    // checked right before deleting.
    if (CUtility::IsElevatedRun() && !ReachedDirectly(m_strWorkFolder)) {
        CUtility::Log(L"[%ls] Clean-up refused, %ls is reached through a link",
                      L"CUnPack::RemoveWorkFolder", m_strWorkFolder.c_str());
        return;
    }
    // The folder stays held while its contents go: Windows renames no folder above an open one,
    // so no link can take the place of one between the check and the deletion. The tree
    // deletion's own removal of the folder then fails on the hold; the folder itself goes just
    // below, once it is held no longer.
    CUtility::DeleteDirectoryTree(m_strWorkFolder);
    if (m_hWorkFolder) fs.CloseFile(m_hWorkFolder);
    m_hWorkFolder = 0;

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
