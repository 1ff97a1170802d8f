// The per-session work folder: made afresh for each run and held from the same call, closed to
// the user in an elevated run, and removed at the end through the folders held.
#include "unpack/work_folder.h"

#include "platform/platform.h"
#include "util/acl.h"
#include "util/log.h"
#include "util/paths.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;
// A folder an earlier run left that could be neither cleared nor moved aside.
constexpr uint32_t kErrorStale = plat::kErrorDirNotEmpty;
// The folder may not be used; the line that says why is written.
constexpr uint32_t kErrorRefused = 0x20000001;  // a code of our own (customer bit)

// What an earlier run could not clear is moved aside in "unpackvesk" under its session's number,
// a dot and a number ("1.2"): never used again, and removed by a later run that can.
bool IsMovedAside(const std::wstring& name) {
    const size_t dot = name.find(L'.');
    if (dot == 0 || dot == std::wstring::npos || dot + 1 == name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && !(name[i] >= L'0' && name[i] <= L'9') && !(i == 0 && name[i] == L'-'))
            return false;
    return true;
}

}  // namespace

std::wstring CWorkFolder::Join(const std::wstring& name) const {
    return paths::Append(m_path, name);
}

bool CWorkFolder::Refuse() {
    m_state = State::Refused;
    m_hold.Close();
    m_parent.Close();
    return false;
}

std::wstring CWorkFolder::Expected(const std::wstring& below) const {
    return Run().tempFinal + L"\\" + below;
}

bool CWorkFolder::Prepare() {
    if (m_state != State::Unprepared) return m_state == State::Ready;
    const RunContext& run = Run();
    m_name = text::Format(L"%d", static_cast<int>(run.session));
    m_path = run.tempPath + L"unpackvesk\\" + m_name + L"\\";
    m_state = State::Missing;  // until it is made
    if (!run.temp) return false;

    // An elevated or system run starts programs from this folder: it gets a list under which
    // only administrators and the system account can add or change anything, so the user's own
    // programs cannot slip files in while the run lasts; the user may still delete what it
    // holds. Unelevated runs make it with the rights it inherits, as ever.
    const bool elevated = run.elevated;
    plat::AccessList access;
    if (elevated) access = acl::WorkFolderAccess(run.userSid);
    const plat::AccessList* list = elevated ? &access : nullptr;
    auto attempt = [&] { return MakeFresh(list) ? 0 : plat::kernel().GetLastError(); };
    uint32_t error = attempt();
    for (int retry = 0; error != 0 && error != kErrorRefused && retry < kCreateRetries; ++retry) {
        error = attempt();
        plat::kernel().Sleep(kCreateRetryPauseMs);
    }
    if (error == kErrorStale) {
        // Nothing is launched from what an earlier run left, whatever left it.
        logging::Log(tags::kWorkFolderPrepare,
                     L"Work folder refused, %ls holds files it could not clear", m_path.c_str());
        return Refuse();
    }
    if (error == kErrorRefused) return Refuse();
    if (error != 0) return false;  // the start-up's matter
    if (!ReachedDirectly(tags::kWorkFolderPrepare, L"Work folder")) return Refuse();
    if (elevated && !KeepsItsList()) return Refuse();
    m_state = State::Ready;
    return true;
}

bool CWorkFolder::MakeFresh(const plat::AccessList* list) {
    // "unpackvesk" is ours and never a link: a link planted there would steer this run's writes
    // and deletions into the folder it points at. It is removed as a link; where that cannot be
    // done, the work folder is not used at all. Nor does an elevated run act below a link
    // anywhere under the temp folder.
    if (!m_parent) {
        if (!Run().temp.MakeFolder(L"unpackvesk", nullptr, m_parent)) {
            if (plat::kernel().GetLastError() != kErrorLinkRefused) return false;
            logging::Log(tags::kWorkFolderPrepare, L"Work folder refused, link at %ls",
                         Run().temp.Join(L"unpackvesk").c_str());
            return plat::Fail(kErrorRefused);
        }
        if (!ReachedDirectly(tags::kWorkFolderPrepare, L"Work folder"))
            return plat::Fail(kErrorRefused);
        // The product's shared folder in the temp folder, made through its held parent as well.
        CHeldFolder product, shared;
        if (Run().temp.MakeFolder(L"Quintrova", nullptr, product))
            static_cast<void>(product.MakeFolder(L"vesk", nullptr, shared));
    }
    if (m_parent.MakeFolder(m_name, list, m_hold, true)) return true;
    if (plat::kernel().GetLastError() != plat::kErrorAlreadyExists) return false;
    // Whatever an earlier launch in this session left at the name goes first: deleted through a
    // handle of its own, or, where that cannot be done (a read-only file the user may not change
    // in what an elevated run left, a file another program holds), moved aside as a whole. It is
    // never launched from, and the folder is then made afresh.
    plat::FindData entry;
    if (!m_parent.Find(m_name, entry)) {
        if (plat::kernel().GetLastError() != plat::kErrorFileNotFound)
            return plat::Fail(plat::kErrorAlreadyExists);
    } else if (!m_parent.Delete(entry, true)) {
        bool moved = false;
        for (int n = 1; n < 100 && !moved; ++n) {
            moved = m_parent.Rename(entry.name, text::Format(L"%ls.%d", m_name.c_str(), n),
                                    entry.attributes);
            if (!moved && plat::kernel().GetLastError() != plat::kErrorAlreadyExists) break;
        }
        if (!moved) {
            // Something that does not open as what the listing named is a link that opens only
            // as what it points at (Wine): neither it nor what it points at is moved or used.
            if (plat::kernel().GetLastError() != kErrorOtherName) return plat::Fail(kErrorStale);
            logging::Log(tags::kWorkFolderPrepare, L"Work folder refused, link at %ls",
                         paths::WithoutTrailingSeparators(m_path).c_str());
            return plat::Fail(kErrorRefused);
        }
    }
    return m_parent.MakeFolder(m_name, list, m_hold, true);
}

bool CWorkFolder::KeepsItsList() const {
    // The list protects only on a volume that keeps lists (not a FAT stick, not some network
    // shares), and only as it reads back: the administrators own the folder, and nobody else,
    // the logged-on user included, may add or change anything in it, or its list. (Wine keeps
    // no list at all and reads back one it makes up: there the list given is all there is.)
    plat::AccessList access;
    const wchar_t* fault =
        !m_hold.KeepsAccessLists() ? L"no access lists kept"
        : !plat::kernel().IsWine() && (!m_hold.Access(access) || !acl::IsAdminOnly(access))
            ? L"unsafe access list"
            : nullptr;
    if (!fault) return true;
    logging::Log(tags::kWorkFolderPrepare, L"Work folder refused, %ls at %ls", fault,
                 paths::WithoutTrailingSeparators(m_path).c_str());
    return false;
}

bool CWorkFolder::ReachedDirectly(LogTag tag, const wchar_t* what) const {
    if (!Run().elevated) return true;
    // The deepest level held must lie exactly where it should: no link below the temp folder,
    // and none put anywhere on the path while the run lasts.
    // And the path must lead to the folder held: what the interpreter and the task reach.
    const bool here =
        m_hold     ? m_hold.LiesAt(Expected(L"unpackvesk\\" + m_name)) && m_hold.IsReachedBy(m_path)
        : m_parent ? m_parent.LiesAt(Expected(L"unpackvesk"))
                   : true;
    if (here) return true;
    if (plat::kernel().GetLastError() == kErrorLinkRefused)
        logging::Log(tag, L"%ls refused, %ls is reached through a link", what, m_path.c_str());
    else
        logging::Log(tag, L"%ls refused, where %ls lies cannot be told", what, m_path.c_str());
    return false;
}

void CWorkFolder::Remove() {
    if (m_state == State::Unprepared || m_state == State::Refused) return;
    // Nor does an elevated run delete below a link, also one put on the path after the start:
    // checked right before deleting.
    if (!ReachedDirectly(tags::kWorkFolderRemove, L"Clean-up")) return;
    // The current directory leaves the folders that go, and ends in the temp folder.
    plat::files().SetCurrentDirectory(paths::WithoutTrailingSeparators(Run().tempPath));
    // Everything goes through the folders held, whatever their paths lead to by now: what the
    // work folder holds (read-only files included), then the folder itself, opened in
    // "unpackvesk" and deleted only when it is the one that was held. The contents go through the
    // hold first, so they go even while a program's current directory keeps the folder itself
    // from being opened for deletion; what the reopened folder still has goes before it.
    if (m_hold) {
        m_hold.Clear(true);
        const uint64_t index = m_hold.Index();
        m_hold.Close();
        m_parent.RemoveFolder(m_name, index, kCreateRetries + 1, true);
    }
    if (!m_parent) return;
    // What earlier runs had to move aside goes where this run may delete it.
    std::vector<plat::FindData> entries;
    if (m_parent.List(entries))
        for (const plat::FindData& entry : entries)
            if (IsMovedAside(entry.name)) m_parent.Delete(entry, true);
    // "unpackvesk" goes when no other session's folder is left in it.
    const uint64_t index = m_parent.Index();
    m_parent.Close();
    Run().temp.RemoveFolder(L"unpackvesk", index);
}
