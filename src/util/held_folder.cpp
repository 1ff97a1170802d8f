// A folder held open by its handle, and everything in it reached relative to that handle.
#include "util/held_folder.h"

#include "platform/platform.h"
#include "util/paths.h"
#include "util/text.h"

namespace {

constexpr uint32_t kKind = plat::kAttrReparsePoint | plat::kAttrDirectory;
// Rights that change what a file holds or how it is listed: a file with another name is never
// opened for them (the other name would show the change).
constexpr uint32_t kChangeRights = plat::kGenericWrite | plat::kFileAddFile |
                                   plat::kFileAddSubdirectory | plat::kFileWriteAttributes |
                                   plat::kDelete;
constexpr uint32_t kRetryPauseMs = 100;

}  // namespace

bool CHeldFolder::Open(const std::wstring& path) {
    return Hold(plat::files().CreateFileWithFlags(path, kHoldAccess, kShareAll, plat::kOpenExisting,
                                                  plat::kFileFlagBackupSemantics),
                paths::WithoutTrailingSeparators(path));
}

bool CHeldFolder::Hold(plat::FileHandle handle, std::wstring path, const CHeldFolder* parent,
                       const std::wstring& name) {
    Close();
    UniqueFile held(handle);
    plat::FileInformation info;
    if (!held || !plat::files().GetFileInformation(held.Get(), info)) return false;
    if (info.attributes & plat::kAttrReparsePoint) return plat::Fail(kErrorLinkRefused);
    if (!(info.attributes & plat::kAttrDirectory)) return plat::Fail(kErrorOtherName);
    if (parent && !parent->IsHere(held.Get(), name, 0)) return plat::Fail(kErrorLinkRefused);
    if (!FinalPathOf(held.Get(), m_final)) m_final.clear();
    m_handle = std::move(held);
    m_path = std::move(path);
    m_index = info.fileIndex;
    return true;
}

bool CHeldFolder::IsHere(plat::FileHandle handle, const std::wstring& name, uint64_t index) const {
    if (m_final.empty()) return true;  // no final paths here: links open as themselves
    for (uint64_t proved : m_proved)
        if (index && proved == index) return true;
    std::wstring final;
    if (!FinalPathOf(handle, final) || !text::EqualsNoCase(final, paths::Append(m_final, name)))
        return false;
    if (index) m_proved.push_back(index);
    return true;
}

void CHeldFolder::Close() {
    m_handle.Reset();
    m_path.clear();
    m_final.clear();
    m_proved.clear();
    m_index = 0;
}

std::wstring CHeldFolder::Join(const std::wstring& name) const {
    return paths::Append(m_path, name);
}

bool CHeldFolder::MakeFolder(const std::wstring& name, const plat::AccessList* list,
                             CHeldFolder& out, bool fresh) const {
    plat::IFiles& fs = plat::files();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (out.Hold(fs.CreateFolderInFolder(m_handle.Get(), name, kHoldAccess, kHoldShare,
                                             fresh ? plat::kCreateNew : plat::kOpenAlways, list),
                     Join(name), this, name))
            return true;
        if (fresh || plat::kernel().GetLastError() != kErrorLinkRefused) return false;
        // A link where a folder of ours belongs goes as a link; the folder is then made.
        plat::FileInformation info;
        const UniqueFile link =
            OpenAsListed(name, plat::kAttrReparsePoint | plat::kAttrDirectory, plat::kDelete, info);
        if (!link || !fs.DeleteOpenFile(link.Get())) return plat::Fail(kErrorLinkRefused);
    }
    return plat::Fail(kErrorLinkRefused);
}

UniqueFile CHeldFolder::OpenFile(const std::wstring& name, uint32_t access, uint32_t share,
                                 uint32_t disposition, const plat::AccessList* list) const {
    plat::IFiles& fs = plat::files();
    if (!m_handle) {  // a folder that could not be made holds nothing
        plat::Fail(plat::kErrorPathNotFound);
        return UniqueFile();
    }
    UniqueFile file(
        fs.CreateFileInFolder(m_handle.Get(), name, access, share, disposition, 0, list));
    if (!file) return file;
    const uint32_t opened = plat::kernel().GetLastError();  // kErrorAlreadyExists or 0
    plat::FileInformation info;
    if (!fs.GetFileInformation(file.Get(), info)) return UniqueFile();
    if (info.attributes & kKind) {
        plat::Fail(info.attributes & plat::kAttrReparsePoint ? kErrorLinkRefused : kErrorOtherName);
        return UniqueFile();
    }
    if ((access & kChangeRights) && info.numberOfLinks != 1) {
        plat::Fail(kErrorOtherName);
        return UniqueFile();
    }
    // A file made just now is no link; one that was there must be the one of that name here.
    const bool existed = disposition == plat::kOpenExisting || opened == plat::kErrorAlreadyExists;
    if (existed && !IsHere(file.Get(), name, info.fileIndex)) {
        plat::Fail(kErrorLinkRefused);
        return UniqueFile();
    }
    plat::kernel().SetLastError(opened);
    return file;
}

UniqueFile CHeldFolder::OpenAsListed(const std::wstring& name, uint32_t attributes, uint32_t access,
                                     plat::FileInformation& info) const {
    plat::IFiles& fs = plat::files();
    UniqueFile entry(fs.CreateFileInFolder(m_handle.Get(), name, access | plat::kFileReadAttributes,
                                           kShareAll, plat::kOpenExisting,
                                           plat::kFileFlagBackupSemantics));
    // What the listing named a link opens as a link; where links open as what they point at
    // (Wine), that is of another kind than listed, and left alone.
    if (entry &&
        (!fs.GetFileInformation(entry.Get(), info) || ((info.attributes ^ attributes) & kKind))) {
        entry.Reset();
        plat::Fail(kErrorOtherName);
    }
    return entry;
}

bool CHeldFolder::OwnerOf(const std::wstring& name, std::wstring& owner) const {
    const UniqueFile file = OpenFile(name, plat::kReadControl, kShareAll, plat::kOpenExisting);
    plat::FileInformation info;
    plat::AccessList access;
    if (!file || !plat::files().GetFileInformation(file.Get(), info)) return false;
    if (info.numberOfLinks != 1) return plat::Fail(kErrorOtherName);
    if (!plat::files().GetFileAccess(file.Get(), access)) return false;
    owner = access.owner;
    return true;
}

bool CHeldFolder::Has(const std::wstring& name) const {
    return static_cast<bool>(
        OpenFile(name, plat::kFileReadAttributes, kShareAll, plat::kOpenExisting));
}

bool CHeldFolder::List(std::vector<plat::FindData>& out) const {
    return plat::files().ListFolder(m_handle.Get(), out);
}

bool CHeldFolder::Find(const std::wstring& name, plat::FindData& out) const {
    std::vector<plat::FindData> entries;
    if (!List(entries)) return false;
    for (plat::FindData& entry : entries)
        if (text::EqualsNoCase(entry.name, name)) return out = std::move(entry), true;
    return plat::Fail(plat::kErrorFileNotFound);
}

bool CHeldFolder::Delete(const plat::FindData& entry, bool readOnlyToo) const {
    plat::IFiles& fs = plat::files();
    const bool folder = (entry.attributes & kKind) == plat::kAttrDirectory;
    const bool readOnly = !folder && (entry.attributes & plat::kAttrReadOnly);
    // Only the rights the deletion needs: DELETE, a folder's listing, and the attributes of a
    // file that is read-only.
    const uint32_t access = plat::kDelete | (folder ? plat::kFileListDirectory : 0) |
                            (readOnly && readOnlyToo ? plat::kFileWriteAttributes : 0);
    plat::FileInformation info;
    UniqueFile child = OpenAsListed(entry.name, entry.attributes, access, info);
    if (!child) return false;
    if (folder) {
        if (!ClearOpened(child, entry.name, readOnlyToo)) return false;
    } else if (info.attributes & plat::kAttrReadOnly) {
        if (!readOnlyToo || info.numberOfLinks != 1) return plat::Fail(plat::kErrorAccessDenied);
        if (!fs.SetOpenFileAttributes(child.Get(), info.attributes & ~plat::kAttrReadOnly))
            return false;
    }
    return fs.DeleteOpenFile(child.Get());
}

bool CHeldFolder::Clear(bool readOnlyToo) const {
    std::vector<plat::FindData> entries;
    if (!List(entries)) return false;
    bool empty = true;
    for (const plat::FindData& entry : entries) empty = Delete(entry, readOnlyToo) && empty;
    return empty;
}

bool CHeldFolder::Rename(const std::wstring& name, const std::wstring& newName,
                         uint32_t attributes) const {
    plat::FileInformation info;
    const UniqueFile entry = OpenAsListed(name, attributes, plat::kDelete, info);
    return entry && plat::files().RenameOpenFile(entry.Get(), m_handle.Get(), newName);
}

bool CHeldFolder::RemoveFolder(const std::wstring& name, uint64_t index, int attempts,
                               bool clear) const {
    plat::IFiles& fs = plat::files();
    // A program that has just ended may hold the folder (its current directory) a moment longer.
    UniqueFile folder;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt) plat::kernel().Sleep(kRetryPauseMs);
        folder.Reset(fs.CreateFolderInFolder(m_handle.Get(), name,
                                             plat::kDelete | plat::kFileListDirectory, kShareAll,
                                             plat::kOpenExisting, nullptr));
        if (folder || plat::kernel().GetLastError() != plat::kErrorSharingViolation) break;
    }
    plat::FileInformation info;
    if (!folder || !fs.GetFileInformation(folder.Get(), info)) return false;
    if ((info.attributes & plat::kAttrReparsePoint) || (index && info.fileIndex != index))
        return plat::Fail(kErrorOtherName);
    if (clear) ClearOpened(folder, name, true);
    return fs.DeleteOpenFile(folder.Get());
}

bool CHeldFolder::ClearOpened(UniqueFile& folder, const std::wstring& name,
                              bool readOnlyToo) const {
    CHeldFolder inside;
    inside.m_handle = std::move(folder);
    inside.m_path = Join(name);
    const bool cleared = inside.Clear(readOnlyToo);
    folder = std::move(inside.m_handle);
    return cleared;
}

bool CHeldFolder::FinalPath(std::wstring& out) const {
    return FinalPathOf(m_handle.Get(), out);
}

bool CHeldFolder::LiesAt(const std::wstring& expected) const {
    const std::wstring full = paths::WithoutTrailingSeparators(expected);
    std::wstring final;
    if (FinalPathOf(m_handle.Get(), final))
        return text::EqualsNoCase(final, full) || plat::Fail(kErrorLinkRefused);
    if (plat::kernel().GetLastError() != plat::kErrorProcNotFound) return false;
    // Every level of the path exists and none is a junction or symbolic link.
    for (size_t end = full.find(L'\\', 3);; end = full.find(L'\\', end + 1)) {
        const uint32_t attributes = plat::files().GetFileAttributes(full.substr(0, end));
        if (attributes == plat::kInvalidFileAttributes) return false;
        if (attributes & plat::kAttrReparsePoint) return plat::Fail(kErrorLinkRefused);
        if (end == std::wstring::npos) return true;
    }
}

bool CHeldFolder::IsReachedBy(const std::wstring& path) const {
    const UniqueFile there(
        plat::files().CreateFileWithFlags(paths::WithoutTrailingSeparators(path), plat::kFileReadAttributes, kShareAll,
                                          plat::kOpenExisting, plat::kFileFlagBackupSemantics));
    plat::FileInformation info;
    if (!there || !plat::files().GetFileInformation(there.Get(), info)) return false;
    return info.fileIndex == m_index || plat::Fail(kErrorLinkRefused);
}

bool CHeldFolder::FinalPathOf(plat::FileHandle handle, std::wstring& out) {
    // Where a volume has no drive letter (some RAM disks), its NT form: compared with one of the
    // same form, it tells as well where a folder lies.
    plat::IFiles& fs = plat::files();
    if (!fs.GetFinalPathNameByHandle(handle, out) &&
        (plat::kernel().GetLastError() == plat::kErrorProcNotFound ||
         !fs.GetFinalPathNameByHandle(handle, out, true)))
        return false;
    if (out.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        out = L"\\" + out.substr(7);
    else if (out.compare(0, 4, L"\\\\?\\") == 0)
        out = out.substr(4);
    out = paths::WithoutTrailingSeparators(out);
    return true;
}

bool CHeldFolder::FreeSpace(uint64_t* bytes) const {
    return plat::files().GetVolumeFreeSpace(m_handle.Get(), bytes);
}

bool CHeldFolder::KeepsAccessLists() const {
    uint32_t attributes = 0;
    return plat::files().GetVolumeAttributes(m_handle.Get(), &attributes) &&
           (attributes & plat::kFilePersistentAcls);
}

bool CHeldFolder::Access(plat::AccessList& out) const {
    return plat::files().GetFileAccess(m_handle.Get(), out);
}
