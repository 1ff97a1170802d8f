// The per-session work folder: made fresh for each run, closed to the user in an elevated run,
// and removed at the end.
#include "unpack/work_folder.h"

#include "platform/platform.h"
#include "util/run_context.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;

}  // namespace

std::wstring CWorkFolder::Join(const std::wstring& name) const {
    return CUtility::PathAppend(m_path, name);
}

bool CWorkFolder::IsReady() const {
    return m_state == State::Ready && CUtility::FileExists(m_path);
}

bool CWorkFolder::Refuse() {
    m_state = State::Refused;
    m_hold.Reset();
    return false;
}

bool CWorkFolder::Prepare() {
    if (m_state != State::Unprepared) return m_state == State::Ready;
    plat::IFiles& fs = plat::files();
    fs.GetTempPath(m_temp);
    m_parent = m_temp + L"unpackvesk";
    m_path = text::Format(L"%ls\\%d\\", m_parent.c_str(), static_cast<int>(Run().session));
    const std::wstring folder = CUtility::WithoutTrailingSeparators(m_path);
    const bool elevated = Run().elevated;

    // An elevated run creates nothing in a temp folder reached through a link.
    const std::wstring shared = m_temp + L"Quintrova\\vesk\\";
    if (!CUtility::FileExists(shared) && (!elevated || CUtility::FolderFinalPathMatches(m_temp)))
        fs.SHCreateDirectoryEx(shared);

    // "unpackvesk" and the session's folder are ours and never links: a link planted there
    // would steer this run's writes and deletions into the folder it points at. Such a link is
    // removed as a link; where that cannot be done, the work folder is not used at all.
    for (const std::wstring& path : {m_parent, folder}) {
        const uint32_t attributes = fs.GetFileAttributes(path);
        if (attributes == plat::kInvalidFileAttributes || !(attributes & plat::kAttrReparsePoint))
            continue;
        if (!fs.RemoveLink(path)) {
            CUtility::Log(tags::kGetWorkFolder, L"Work folder refused, link at %ls", path.c_str());
            return Refuse();
        }
    }
    // Nor does an elevated run act through a link anywhere on the path (the temp folder and the
    // folders above it may be the user's).
    if (!ReachedDirectly(tags::kGetWorkFolder, L"Work folder")) return Refuse();

    // Whatever an earlier launch in this session left behind goes first.
    if (CUtility::FileExists(m_path)) DeleteTree();

    // An elevated or system run starts programs from this folder: it gets a list under which
    // only administrators and the system account can add, replace or remove anything, so the
    // user's own programs cannot slip files in while the run lasts. Unelevated runs create it
    // with the rights it inherits, as ever.
    plat::AccessList access;
    if (elevated) access = CUtility::WorkFolderAccess(CUtility::GetLoggedOnUserSid());
    auto create = [&]() -> int {
        if (!elevated) return fs.SHCreateDirectoryEx(m_path);
        if (!CUtility::FileExists(m_parent)) fs.SHCreateDirectoryEx(m_parent);
        return CUtility::CreateDirectoryWithAccess(folder, access)
                   ? 0
                   : static_cast<int>(plat::kernel().GetLastError());
    };
    int result = create();
    for (int retry = 0; result != 0 && retry < kCreateRetries; ++retry) {
        result = create();
        plat::kernel().Sleep(kCreateRetryPauseMs);
    }
    if (!CUtility::FileExists(m_path)) {
        m_state = State::Missing;  // the start-up's matter
        return false;
    }
    if (!elevated) {
        m_state = State::Ready;
        return true;
    }

    // A folder that could not be removed and made afresh is used only when it carries such a
    // list already (one an earlier elevated run left). One made just now carries the list it was
    // made with.
    if (result != 0) {
        if (const wchar_t* fault = CUtility::AdminOnlyFault(folder)) {
            CUtility::Log(tags::kGetWorkFolder, L"Work folder refused, %ls at %ls", fault,
                          folder.c_str());
            return Refuse();
        }
    }
    // The folder held is the one checked: through no link, at the path built.
    m_hold.Reset(fs.CreateFileWithFlags(folder, plat::kFileReadAttributes,
                                        plat::kShareRead | plat::kShareWrite, plat::kOpenExisting,
                                        plat::kFileFlagBackupSemantics));
    if (!m_hold) {
        CUtility::Log(tags::kGetWorkFolder, L"Work folder refused, %ls is reached through a link",
                      m_path.c_str());
        return Refuse();
    }
    if (!ReachedDirectly(tags::kGetWorkFolder, L"Work folder")) return Refuse();
    m_state = State::Ready;
    return true;
}

bool CWorkFolder::PathLeadsHere() const {
    if (m_hold)
        return CUtility::FinalPathMatches(m_hold.Get(),
                                          CUtility::WithoutTrailingSeparators(m_path));
    // Not made yet: the deepest of the folder, "unpackvesk" and the temp folder that exists.
    for (const std::wstring& path : {CUtility::WithoutTrailingSeparators(m_path), m_parent,
                                     CUtility::WithoutTrailingSeparators(m_temp)})
        if (CUtility::FileExists(path)) return CUtility::FolderFinalPathMatches(path);
    return true;
}

bool CWorkFolder::ReachedDirectly(LogTag tag, const wchar_t* what) const {
    if (!Run().elevated || PathLeadsHere()) return true;
    CUtility::Log(tag, L"%ls refused, %ls is reached through a link", what, m_path.c_str());
    return false;
}

void CWorkFolder::Remove() {
    if (m_state == State::Unprepared || m_state == State::Refused) return;
    // Nor does an elevated run delete through a link, also one put on the path after the start:
    // checked right before deleting.
    if (!ReachedDirectly(tags::kRemoveWorkFolder, L"Clean-up")) return;
    DeleteTree();
}

void CWorkFolder::DeleteTree() {
    plat::IFiles& fs = plat::files();
    // The folder stays held while its contents go: Windows renames no folder above an open one,
    // so no link can take the place of one between the check and the deletion. The tree
    // deletion's own removal of the folder then fails on the hold; the folder itself goes just
    // below, once it is held no longer.
    CUtility::DeleteDirectoryTree(m_path);
    m_hold.Reset();
    // The current directory leaves each folder before it goes, and ends in the temp folder.
    fs.SetCurrentDirectory(m_parent);
    fs.RemoveDirectory(m_path);
    fs.SetCurrentDirectory(CUtility::WithoutTrailingSeparators(m_temp));
    fs.RemoveDirectory(m_parent);
}
