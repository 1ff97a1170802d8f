// The per-session work folder: made fresh for each run, closed to the user in an elevated run,
// and removed at the end through the folder held open.
#include "unpack/work_folder.h"

#include "platform/platform.h"
#include "util/run_context.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;

// What the run asks of the folder it holds: to list it, open what it holds, and read its list.
// Others may read and write in it (the interpreter and the agent work there), but nobody may
// delete or rename it while it is held; the run itself deletes it once it lets go.
constexpr uint32_t kHoldAccess =
    plat::kFileListDirectory | plat::kFileTraverse | plat::kFileReadAttributes | plat::kReadControl;

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

std::wstring CWorkFolder::Expected(const std::wstring& below) const {
    return below.empty() ? m_tempFinal : m_tempFinal + L"\\" + below;
}

bool CWorkFolder::Prepare() {
    if (m_state != State::Unprepared) return m_state == State::Ready;
    plat::IFiles& fs = plat::files();
    fs.GetTempPath(m_temp);
    m_parent = m_temp + L"unpackvesk";
    m_name = text::Format(L"%d", static_cast<int>(Run().session));
    m_path = m_parent + L"\\" + m_name + L"\\";
    const std::wstring folder = CUtility::WithoutTrailingSeparators(m_path);
    const bool elevated = Run().elevated;

    // Where the temp folder really is, once: a profile moved to another disk through a
    // junction, a substituted drive or a mounted volume is the user's own choice. From here on
    // the work folder must lie exactly there, below "unpackvesk": no link below the temp
    // folder, and none put anywhere on the path while the run lasts.
    {
        const UniqueFile temp = CUtility::OpenFolder(CUtility::WithoutTrailingSeparators(m_temp),
                                                     plat::kFileReadAttributes);
        if (!temp || !CUtility::GetFinalPath(temp.Get(), m_tempFinal))
            m_tempFinal = CUtility::WithoutTrailingSeparators(m_temp);
    }

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
    // Nor does an elevated run act through a link anywhere below the temp folder.
    if (!ReachedDirectly(tags::kGetWorkFolder, L"Work folder")) return Refuse();

    const std::wstring shared = m_temp + L"Quintrova\\vesk\\";
    if (!CUtility::FileExists(shared)) fs.SHCreateDirectoryEx(shared);

    // An elevated or system run starts programs from this folder: it gets a list under which
    // only administrators and the system account can add or change anything, so the user's own
    // programs cannot slip files in while the run lasts; the user may still delete what it
    // holds. Unelevated runs create it with the rights it inherits, as ever.
    const std::wstring userSid = elevated ? CUtility::GetLoggedOnUserSid() : std::wstring();
    plat::AccessList access;
    if (elevated) access = CUtility::WorkFolderAccess(userSid);
    auto create = [&]() -> int {
        // Whatever an earlier launch in this session left behind goes first.
        if (CUtility::FileExists(m_path)) DeleteTree();
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

    // The folder held is the one checked: through no link, at the path built. (An unelevated
    // run that cannot hold it goes on without, as it always did.)
    m_hold.Reset(fs.CreateFileWithFlags(
        folder, kHoldAccess, plat::kShareRead | plat::kShareWrite, plat::kOpenExisting,
        plat::kFileFlagBackupSemantics | plat::kFileFlagOpenReparsePoint));
    plat::FileInformation info;
    if (m_hold && fs.GetFileInformation(m_hold.Get(), info) &&
        !(info.attributes & plat::kAttrReparsePoint)) {
        m_holdIndex = info.fileIndex;
    } else {
        m_hold.Reset();
        if (elevated) {
            CUtility::Log(tags::kGetWorkFolder,
                          L"Work folder refused, %ls is reached through a link", m_path.c_str());
            return Refuse();
        }
    }
    if (!ReachedDirectly(tags::kGetWorkFolder, L"Work folder")) return Refuse();

    // A folder that could not be cleared holds what an earlier run left: nothing is launched
    // from it, whatever left it.
    std::vector<plat::FindData> left;
    if (result != 0 && (!m_hold || !fs.ListFolder(m_hold.Get(), left) || !left.empty())) {
        CUtility::Log(tags::kGetWorkFolder,
                      L"Work folder refused, %ls holds files it could not clear", m_path.c_str());
        return Refuse();
    }
    if (elevated && !KeepsItsList(result == 0, userSid)) return Refuse();
    m_state = State::Ready;
    return true;
}

bool CWorkFolder::KeepsItsList(bool madeNow, const std::wstring& userSid) const {
    // The list protects only on a volume that keeps lists (not a FAT stick, not some network
    // shares), and only as it reads back. A folder made just now must keep everyone but the
    // administrators, the system and the user out; one an earlier run left (it could not be made
    // afresh) carries whatever it carries, and is used only when nobody but the administrators
    // and the system can change it, or its list.
    plat::IFiles& fs = plat::files();
    uint32_t volume = 0;
    plat::AccessList access;
    const wchar_t* fault =
        !fs.GetVolumeAttributes(m_hold.Get(), &volume) || !(volume & plat::kFilePersistentAcls)
            ? L"no access lists kept"
        : !fs.GetFileAccess(m_hold.Get(), access) ||
                !(madeNow ? CUtility::KeepsOthersOut(access, userSid)
                          : CUtility::IsAdminOnly(access))
            ? L"unsafe access list"
            : nullptr;
    if (!fault) return true;
    CUtility::Log(tags::kGetWorkFolder, L"Work folder refused, %ls at %ls", fault,
                  CUtility::WithoutTrailingSeparators(m_path).c_str());
    return false;
}

bool CWorkFolder::PathLeadsHere() const {
    if (m_hold) return CUtility::FinalPathIs(m_hold.Get(), Expected(L"unpackvesk\\" + m_name));
    // Not made yet: the deepest of the folder, "unpackvesk" and the temp folder that exists.
    const struct {
        std::wstring path, below;
    } levels[] = {{CUtility::WithoutTrailingSeparators(m_path), L"unpackvesk\\" + m_name},
                  {m_parent, L"unpackvesk"},
                  {CUtility::WithoutTrailingSeparators(m_temp), L""}};
    for (const auto& level : levels) {
        if (!CUtility::FileExists(level.path)) continue;
        const UniqueFile handle = CUtility::OpenFolder(level.path, plat::kFileReadAttributes);
        return handle && CUtility::FinalPathIs(handle.Get(), Expected(level.below));
    }
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
    DeleteTree(kCreateRetries + 1);
}

void CWorkFolder::DeleteTree(int attempts) {
    plat::IFiles& fs = plat::files();
    // The current directory leaves the folders that go, and ends in the temp folder.
    fs.SetCurrentDirectory(CUtility::WithoutTrailingSeparators(m_temp));
    // Everything in it goes through the folder held: each entry is opened inside it, whatever
    // its path leads to by now, so no link put in place of a folder on the path, or inside it,
    // can steer a deletion elsewhere. The run's own folder goes whole, read-only files included.
    // The folder itself is then opened by its path as itself, and deleted only when it is the
    // one that was held (a stale one, never held, is taken as it opens).
    const std::wstring folder = CUtility::WithoutTrailingSeparators(m_path);
    const bool held = static_cast<bool>(m_hold);
    if (held) CUtility::DeleteFolderContents(m_hold.Get(), true);
    m_hold.Reset();
    ClearAndDelete(folder, L"unpackvesk\\" + m_name, held ? &m_holdIndex : nullptr, attempts);
    // "unpackvesk" goes when no other session's folder is left in it.
    ClearAndDelete(m_parent, L"unpackvesk", nullptr, 1, false);
}

void CWorkFolder::ClearAndDelete(const std::wstring& path, const std::wstring& below,
                                 const uint64_t* index, int attempts, bool clear) const {
    plat::IFiles& fs = plat::files();
    // A program that has just ended may hold the folder (its current directory) a moment longer:
    // the clean-up tries a few times.
    UniqueFile handle;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt) plat::kernel().Sleep(kCreateRetryPauseMs);
        handle = CUtility::OpenFolder(
            path, plat::kDelete | plat::kFileListDirectory | plat::kFileReadAttributes, true);
        if (handle || plat::kernel().GetLastError() != plat::kErrorSharingViolation) break;
    }
    plat::FileInformation info;
    if (!handle || !fs.GetFileInformation(handle.Get(), info) ||
        (info.attributes & plat::kAttrReparsePoint) || (index && info.fileIndex != *index) ||
        (Run().elevated && !CUtility::FinalPathIs(handle.Get(), Expected(below))))
        return;
    if (clear) CUtility::DeleteFolderContents(handle.Get(), true);
    fs.DeleteOpenFile(handle.Get());
}
