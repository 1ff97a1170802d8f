// File-system helpers: existence, tree deletion, path trimming, the program's own path and
// version, the product's shared temp folder, and copies made as the logged-on user.
#include <memory>

#include "platform/platform.h"
#include "util/file.h"
#include "util/run_context.h"
#include "util/text.h"
#include "util/utility.h"

bool CUtility::FileExists(const std::wstring& path) {
    return plat::files().GetFileAttributes(path) != plat::kInvalidFileAttributes;
}

void CUtility::DeleteDirectoryTree(const std::wstring& folder) {
    plat::IFiles& fs = plat::files();
    // The folder is opened as itself: a junction or symbolic link in its place goes as a link
    // and is never emptied (following it would let a link planted in the user's temp folder
    // steer an elevated run's deletions). What opened must be what the path names: where a link
    // opens only as what it points at, it stays.
    const std::wstring self = WithoutTrailingSeparators(folder);
    const uint32_t attributes = fs.GetFileAttributes(self);
    const UniqueFile handle = OpenFolder(
        self, plat::kDelete | plat::kFileListDirectory | plat::kFileReadAttributes, true);
    plat::FileInformation info;
    if (!handle || !fs.GetFileInformation(handle.Get(), info) ||
        ((info.attributes ^ attributes) & plat::kAttrReparsePoint))
        return;
    if (!(info.attributes & plat::kAttrReparsePoint)) DeleteFolderContents(handle.Get(), false);
    fs.DeleteOpenFile(handle.Get());
}

UniqueFile CUtility::OpenFolder(const std::wstring& path, uint32_t access, bool asItself) {
    return UniqueFile(plat::files().CreateFileWithFlags(
        path, access, plat::kShareRead | plat::kShareWrite | plat::kShareDelete,
        plat::kOpenExisting,
        plat::kFileFlagBackupSemantics | (asItself ? plat::kFileFlagOpenReparsePoint : 0)));
}

bool CUtility::DeleteFolderContents(plat::Handle folder, bool clearReadOnly) {
    plat::IFiles& fs = plat::files();
    std::vector<plat::FindData> entries;
    if (!fs.ListFolder(folder, entries)) return false;
    constexpr uint32_t kKind = plat::kAttrReparsePoint | plat::kAttrDirectory;
    bool empty = true;
    for (const plat::FindData& entry : entries) {
        // Each entry is opened inside the folder held, as itself: a link goes as a link, never
        // followed; a folder is emptied the same way first. What opened must be of the kind the
        // listing named (a link opened as what it points at, or something swapped in since,
        // stays). A read-only file stays unless asked otherwise, and so do the folders above it.
        const bool isFolder = (entry.attributes & kKind) == plat::kAttrDirectory;
        const UniqueFile child(fs.CreateFileInFolder(
            folder, entry.name,
            plat::kDelete | plat::kFileReadAttributes | plat::kFileWriteAttributes |
                (isFolder ? plat::kFileListDirectory : 0),
            plat::kShareRead | plat::kShareWrite | plat::kShareDelete, plat::kOpenExisting,
            plat::kFileFlagBackupSemantics));
        plat::FileInformation info;
        bool gone = child && fs.GetFileInformation(child.Get(), info) &&
                    !((info.attributes ^ entry.attributes) & kKind) &&
                    (!isFolder || DeleteFolderContents(child.Get(), clearReadOnly));
        if (gone && clearReadOnly && (info.attributes & plat::kAttrReadOnly))
            fs.SetOpenFileAttributes(child.Get(), info.attributes & ~plat::kAttrReadOnly);
        gone = gone && fs.DeleteOpenFile(child.Get());
        empty = empty && gone;
    }
    return empty;
}

std::wstring CUtility::WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

void CUtility::StripPathComponents(std::wstring& path, int count) {
    for (int i = 0; i < count; ++i) {
        size_t pos = path.rfind(L'\\');
        if (pos != std::wstring::npos) path.erase(pos);
    }
}

std::wstring CUtility::PathAppend(const std::wstring& path, const std::wstring& more) {
    if (path.empty()) return more;
    if (more.empty()) return path;
    std::wstring out = path;
    size_t start = 0;
    while (start < more.size() && more[start] == L'\\') ++start;
    if (out.back() != L'\\') out += L'\\';
    return out + more.substr(start);
}

std::wstring CUtility::GetModulePath() {
    // The answer fills a 260-character buffer; a path that does not fit comes back cut off with
    // the buffer's full length as result, and a cut-off path is never taken for the launcher's.
    constexpr uint32_t kBufferChars = 260;
    std::wstring path;
    const uint32_t length = plat::files().GetModuleFileName(path);
    if (length == 0 || length >= kBufferChars) return std::wstring();
    return path;
}

std::wstring CUtility::GetSharedTempFolder() {
    plat::IFiles& fs = plat::files();
    std::wstring folder;
    if (fs.SHGetFolderPath(plat::kCsidlCommonAppData, plat::kShgfpTypeCurrent, folder) < 0) {
        std::wstring windows;
        fs.GetWindowsDirectory(windows);
        return PathAppend(windows, L"Temp");
    }
    // Each level is made with the rights it inherits, in every run: every user may add a
    // backup there, and each keeps the rights to the copies it made. (A run with an
    // administrator's rights writes there only through a file it has checked: see the backup.)
    for (const wchar_t* level : {L"Quintrova", L"Temp"}) {
        folder = PathAppend(folder, level);
        if (!FileExists(folder)) fs.CreateDirectory(folder);
    }
    return folder;
}

bool CUtility::GetModuleVersion(std::wstring* textOut, uint32_t* high, uint32_t* low,
                                int selector) {
    plat::FixedFileInfo info;
    if (!plat::files().GetFixedFileInfo(GetModulePath(), info)) return false;
    const uint32_t h = selector == 1 ? info.productVersionMS : info.fileVersionMS;
    const uint32_t l = selector == 1 ? info.productVersionLS : info.fileVersionLS;
    if (high) *high = h;
    if (low) *low = l;
    if (textOut) *textOut = text::Format(L"%u.%u.%u.%u", h >> 16, h & 0xFFFF, l >> 16, l & 0xFFFF);
    return true;
}

int CUtility::ShellFileOperationAsUser(const std::wstring& source, const std::wstring& target,
                                       uint32_t operation) {
    CImpersonateUser asUser;
    const uint32_t flags = plat::kFofSilent | plat::kFofNoConfirmation;
    int result = plat::files().SHFileOperation(operation, source, target, flags);
    if (result != 0) {
        asUser.Revert();
        result = plat::files().SHFileOperation(operation, source, target, flags);
    }
    return result;
}

int CUtility::CopyFileAsUser(const std::wstring& source, const std::wstring& target) {
    return ShellFileOperationAsUser(source, target, plat::kFoCopy);
}

namespace {

// A path as the final-path query spells it and as the launcher builds it, made comparable:
// without the "\\?\" prefix ("\\?\UNC\" becomes "\\") and without trailing separators.
std::wstring Comparable(std::wstring path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path = L"\\" + path.substr(7);
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path = path.substr(4);
    return CUtility::WithoutTrailingSeparators(path);
}

// Every component of the path exists and none is a junction or symbolic link.
bool NoLinkOnPath(const std::wstring& path) {
    const std::wstring full = Comparable(path);
    for (size_t end = full.find(L'\\', 3);; end = full.find(L'\\', end + 1)) {
        const uint32_t attributes = plat::files().GetFileAttributes(full.substr(0, end));
        if (attributes == plat::kInvalidFileAttributes || (attributes & plat::kAttrReparsePoint))
            return false;
        if (end == std::wstring::npos) return true;
    }
}

// The copy's piece: the whole launcher goes through it (a whole package, often many MB), and
// fewer, larger calls copy it faster (a 264 MiB launcher under Wine, side by side: 88-164 ms in
// 1 MiB pieces against 107-199 ms in 64 KiB pieces). The buffer lives only while the copy runs.
constexpr uint32_t kCopyBufferSize = 1024 * 1024;

}  // namespace

int CUtility::CopyOpenFile(CFile& source, const std::wstring& target, CCopyProgress* progress) {
    CFileException error;
    CFile out;
    if (!out.Open(target,
                  CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary,
                  &error))
        return static_cast<int>(error.m_lOsError);
    const int result = CopyOpenFileTo(source, out, progress);
    if (result != 0) {
        out.Close();
        plat::files().DeleteFile(target);
    }
    return result;
}

int CUtility::CopyOpenFileTo(CFile& source, CFile& out, CCopyProgress* progress) {
    CFileException error;
    if (!source.Seek(0, plat::kFileBegin, nullptr, &error) ||
        !out.Seek(0, plat::kFileBegin, nullptr, &error))
        return static_cast<int>(error.m_lOsError);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCopyBufferSize]);
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(buffer.get(), kCopyBufferSize, &got, &error)) break;
        if (got == 0) {
            // Whatever a file written over held beyond the copy goes.
            if (plat::files().SetEndOfFile(out.GetHandle())) return 0;
            return static_cast<int>(plat::kernel().GetLastError());
        }
        if (!out.Write(buffer.get(), got, &error)) break;
        if (progress) progress->OnPiece();
    }
    return static_cast<int>(error.m_lOsError ? error.m_lOsError : plat::kErrorInvalidHandle);
}

bool CUtility::GetFinalPath(plat::Handle handle, std::wstring& out) {
    if (!plat::files().GetFinalPathNameByHandle(handle, out)) return false;
    out = Comparable(out);
    return true;
}

bool CUtility::FinalPathIs(plat::Handle handle, const std::wstring& expected) {
    std::wstring final;
    if (!GetFinalPath(handle, final))
        return plat::kernel().GetLastError() == plat::kErrorProcNotFound && NoLinkOnPath(expected);
    return text::EqualsNoCase(final, Comparable(expected));
}

bool CUtility::FinalPathMatches(plat::Handle handle, const std::wstring& path) {
    std::wstring expected;
    if (plat::files().GetLongPathName(path, expected) == 0) expected = path;
    return FinalPathIs(handle, expected);
}

int CUtility::CopyOpenFileAsUser(CFile& source, const std::wstring& target,
                                 CCopyProgress* progress) {
    CImpersonateUser asUser;
    int result = CopyOpenFile(source, target, progress);
    if (result != 0) {
        asUser.Revert();
        result = CopyOpenFile(source, target, progress);
    }
    return result;
}
