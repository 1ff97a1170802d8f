// File-system helpers: existence, tree deletion, path trimming, the program's own path and
// version, the product's shared temp folder, and copies made as the logged-on user.
#include <memory>

#include "platform/platform.h"
#include "util/file.h"
#include "util/text.h"
#include "util/utility.h"

bool CUtility::FileExists(const std::wstring& path) {
    return plat::files().GetFileAttributes(path) != plat::kInvalidFileAttributes;
}

void CUtility::DeleteDirectoryTree(const std::wstring& folder) {
    plat::IFiles& fs = plat::files();

    // A folder that is itself a junction or symbolic link is unlinked, not emptied: following it
    // would let a link planted in the user's temp folder steer an elevated run's deletions.
    // A link is only ever removed as a link (never by RemoveDirectory or DeleteFile, which on
    // some systems act on what it points at); one that cannot be removed as such stays.
    std::wstring self = folder;
    while (self.size() > 1 && self.back() == L'\\') self.pop_back();
    const uint32_t selfAttributes = fs.GetFileAttributes(self);
    if (selfAttributes != plat::kInvalidFileAttributes &&
        (selfAttributes & plat::kAttrReparsePoint)) {
        fs.RemoveLink(self);
        return;
    }

    std::wstring search = folder;
    if (search.empty() || search.back() != L'\\') search += L'\\';

    plat::FindData entry;
    plat::Handle find = fs.FindFirstFile(search + L"*", entry);
    if (find) {
        do {
            const std::wstring path = search + entry.name;
            if (entry.attributes & plat::kAttrReparsePoint) {
                fs.RemoveLink(path);
            } else if (entry.attributes & plat::kAttrDirectory) {
                if (entry.name != L"." && entry.name != L"..") DeleteDirectoryTree(path);
            } else {
                fs.DeleteFile(path);  // a read-only or busy file stays, and so do its folders
            }
        } while (fs.FindNextFile(find, entry));
        fs.FindClose(find);
    }
    fs.RemoveDirectory(folder);
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
    std::wstring path;
    if (plat::files().GetModuleFileName(path) == 0) return std::wstring();
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
    if (textOut)
        *textOut = text::Format(L"%u.%u.%u.%u", h >> 16, h & 0xFFFF, l >> 16, l & 0xFFFF);
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

constexpr uint32_t kCopyBufferSize = 64 * 1024;

// Copies `source` from its first byte into `target`, created anew: 0, or the system error. A
// copy that cannot be finished goes again.
int CopyContent(CFile& source, const std::wstring& target) {
    CFileException error;
    if (!source.Seek(0, plat::kFileBegin, nullptr, &error))
        return static_cast<int>(error.m_lOsError);
    CFile out;
    if (!out.Open(target,
                  CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary,
                  &error))
        return static_cast<int>(error.m_lOsError);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCopyBufferSize]);
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(buffer.get(), kCopyBufferSize, &got, &error)) break;
        if (got == 0) return 0;
        if (!out.Write(buffer.get(), got, &error)) break;
    }
    out.Close();
    plat::files().DeleteFile(target);
    return static_cast<int>(error.m_lOsError ? error.m_lOsError : plat::kErrorInvalidHandle);
}

}  // namespace

int CUtility::CopyOpenFileAsUser(CFile& source, const std::wstring& target) {
    CImpersonateUser asUser;
    int result = CopyContent(source, target);
    if (result != 0) {
        asUser.Revert();
        result = CopyContent(source, target);
    }
    return result;
}
