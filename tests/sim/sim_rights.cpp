// Rights on the simulated machine, decided as Windows decides them: tokens with their groups
// (an administrator's limited token holds the Administrators as a deny-only group), security
// descriptors kept with each file and inherited at its creation, and the access check: entries in
// order, a denying one before the allowing one that follows it, the owner's implicit READ_CONTROL
// and WRITE_DAC, generic rights mapped to file rights, MAXIMUM_ALLOWED. Every check is recorded
// in the form an independent implementation can evaluate again (SimMachine::accessLog).
#include <sys/stat.h>

#include <filesystem>

#include "sim/sim_impl.h"
#include "util/text.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kInherited = 0x10;  // INHERITED_ACE
constexpr uint32_t kNoPropagate = 0x4;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr const wchar_t* kSidEveryone = L"S-1-1-0";
constexpr const wchar_t* kSidInteractive = L"S-1-5-4";
constexpr const wchar_t* kSidAuthenticated = L"S-1-5-11";

// The list with the generic rights of its effective entries mapped, as Windows stores it.
plat::AccessList Mapped(plat::AccessList list) {
    for (plat::AccessEntry& e : list.entries)
        if (!(e.flags & plat::kInheritOnly)) e.mask = MapGeneric(e.mask);
    return list;
}

struct TokenSid {
    std::wstring sid;
    bool denyOnly;
};

std::vector<TokenSid> SidsOf(const SimMachine& m, const SimToken& t) {
    if (t.kind == TokenKind::System)
        return {{plat::kSidSystem, false},
                {plat::kSidAdministrators, false},
                {kSidEveryone, false},
                {kSidAuthenticated, false}};
    std::vector<TokenSid> sids{{m.SidOf(t.account), false},
                               {kSidEveryone, false},
                               {plat::kSidUsers, false},
                               {kSidInteractive, false},
                               {kSidAuthenticated, false}};
    if (t.kind == TokenKind::ElevatedAdmin) sids.push_back({plat::kSidAdministrators, false});
    if (t.kind == TokenKind::LimitedAdmin) sids.push_back({plat::kSidAdministrators, true});
    return sids;
}

// Who owns what the token creates: since Vista, the Administrators for an elevated
// administrator and for the system account, the user otherwise.
std::wstring DefaultOwner(const SimMachine& m, const SimToken& t) {
    return t.kind == TokenKind::System || t.kind == TokenKind::ElevatedAdmin
               ? plat::kSidAdministrators
               : m.SidOf(t.account);
}

// What a new object inherits from its folder's list: a folder its container entries (and the
// object entries, inherit-only, for the files below it), a file its object entries; the
// creator's entry becomes an entry of the new owner's (a folder keeps the creator's entry,
// inherit-only, for what is made below it).
std::vector<plat::AccessEntry> Inherit(const plat::AccessList& parent, const std::wstring& owner,
                                       bool folder) {
    std::vector<plat::AccessEntry> out;
    constexpr uint32_t kBoth = plat::kObjectInherit | plat::kContainerInherit;
    for (const plat::AccessEntry& e : parent.entries) {
        if (!(e.flags & kBoth)) continue;
        const bool creator = e.sid == kSidCreatorOwner;
        if (!folder) {
            if (!(e.flags & plat::kObjectInherit)) continue;
            out.push_back({creator ? owner : e.sid, MapGeneric(e.mask), kInherited, e.allow});
            continue;
        }
        const bool applies = e.flags & plat::kContainerInherit;
        const bool passesOn = !(e.flags & kNoPropagate);
        if (creator) {
            if (applies) out.push_back({owner, MapGeneric(e.mask), kInherited, e.allow});
            if (passesOn)
                out.push_back(
                    {e.sid, e.mask, (e.flags & kBoth) | plat::kInheritOnly | kInherited, e.allow});
            continue;
        }
        if (applies)
            out.push_back({e.sid, MapGeneric(e.mask), (passesOn ? e.flags & kBoth : 0) | kInherited,
                           e.allow});
        else if (passesOn)
            out.push_back(
                {e.sid, e.mask, plat::kObjectInherit | plat::kInheritOnly | kInherited, e.allow});
    }
    return out;
}

std::wstring Sddl(const plat::AccessList& sd) {
    std::wstring out = L"O:" + sd.owner + L"G:" + sd.owner + L"D:" + (sd.isProtected ? L"P" : L"");
    for (const plat::AccessEntry& e : sd.entries) {
        out += e.allow ? L"(A;" : L"(D;";
        if (e.flags & plat::kObjectInherit) out += L"OI";
        if (e.flags & plat::kContainerInherit) out += L"CI";
        if (e.flags & kNoPropagate) out += L"NP";
        if (e.flags & plat::kInheritOnly) out += L"IO";
        if (e.flags & kInherited) out += L"ID";
        out += L";" + Hex(e.mask) + L";;;" + e.sid + L")";
    }
    return out;
}

}  // namespace

uint32_t MapGeneric(uint32_t mask) {
    uint32_t out =
        mask & ~(plat::kGenericRead | plat::kGenericWrite | kGenericExecute | kGenericAll);
    if (mask & plat::kGenericRead) out |= 0x120089;
    if (mask & plat::kGenericWrite) out |= 0x120116;
    if (mask & kGenericExecute) out |= 0x1200A0;
    if (mask & kGenericAll) out |= plat::kFileAllAccess;
    return out;
}

std::string SimMachine::Impl::HostKey(const std::string& hostPath) const {
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(hostPath, ec);
    return ec ? hostPath : resolved.string();
}

std::string SimMachine::Impl::AccessKey(const std::wstring& windowsPath) const {
    return HostKey(m.HostPath(windowsPath));
}

bool SimMachine::Impl::KeepsAccessLists(const std::string& key) const {
    for (const std::wstring& volume : m.volumesWithoutAccessLists)
        if (key.compare(0, AccessKey(volume).size(), AccessKey(volume)) == 0) return false;
    return true;
}

std::optional<std::wstring> SimMachine::Impl::WindowsPathOfKey(const std::string& key) const {
    std::error_code ec;
    const std::string base = fs::canonical(m.root, ec).string() + "/";
    if (ec || key.compare(0, base.size(), base) != 0 || key.size() <= base.size())
        return std::nullopt;
    std::wstring rest = text::Widen(key.substr(base.size() + 1));  // after the drive letter
    for (wchar_t& c : rest)
        if (c == L'/') c = L'\\';
    return text::Widen(key.substr(base.size(), 1)) + L":" + (rest.empty() ? L"\\" : rest);
}

plat::AccessList SimMachine::Impl::ListOf(const std::string& key) const {
    if (!KeepsAccessLists(key)) {
        plat::AccessList none;  // no list at all: everyone may do anything
        none.present = false;
        return none;
    }
    if (const auto id = FileIdOf(key))
        if (auto it = descriptors.find(*id); it != descriptors.end()) return it->second;
    const fs::path path(key);
    const std::string drives = HostKey(m.root);
    if (path.parent_path().string().size() <= drives.size()) {
        // A drive's root: the machine's administrators and system account, and its owner, full
        // control of everything below.
        constexpr uint32_t kBoth = plat::kObjectInherit | plat::kContainerInherit;
        plat::AccessList root;
        root.owner = m.SidOf(driveOwner);
        root.isProtected = true;
        root.entries = {{plat::kSidSystem, plat::kFileAllAccess, kBoth, true},
                        {plat::kSidAdministrators, plat::kFileAllAccess, kBoth, true},
                        {m.SidOf(driveOwner), plat::kFileAllAccess, kBoth, true}};
        return root;
    }
    std::error_code ec;
    plat::AccessList list;
    list.owner = m.SidOf(driveOwner);
    list.entries = Inherit(ListOf(path.parent_path().string()), list.owner,
                           fs::is_directory(fs::symlink_status(key, ec)));
    return list;
}

void SimMachine::Impl::Created(const std::string& key, const plat::AccessList* given) {
    const auto id = FileIdOf(key);
    if (!id) return;
    descriptors.erase(*id);
    if (!KeepsAccessLists(key)) return;  // nothing set there is kept
    const SimToken token = ActingToken();
    plat::AccessList list;
    if (given) list = Mapped(*given);
    if (list.owner.empty()) list.owner = DefaultOwner(m, token);
    if (!list.isProtected) {
        std::error_code ec;
        for (const plat::AccessEntry& e :
             Inherit(ListOf(fs::path(key).parent_path().string()), list.owner,
                     fs::is_directory(fs::symlink_status(key, ec))))
            list.entries.push_back(e);
    }
    descriptors[*id] = list;
}

void SimMachine::Impl::SetDescriptor(const std::string& key, plat::AccessList list) {
    if (const auto id = FileIdOf(key)) descriptors[*id] = Mapped(std::move(list));
}

void SimMachine::Impl::Forget(const std::string& key) {
    struct stat st;
    if (::lstat(key.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || st.st_nlink <= 1))
        descriptors.erase({st.st_dev, st.st_ino});
}

uint32_t SimMachine::Impl::Check(const plat::AccessList& sd, const SimToken& token,
                                 uint32_t desired, const std::string& key) {
    desired = MapGeneric(desired);
    if (!sd.present || desired == 0) return desired;  // no list: no check at all
    const std::vector<TokenSid> sids = SidsOf(m, token);
    auto has = [&](const std::wstring& sid, bool forDeny) {
        for (const TokenSid& t : sids)
            if (t.sid == sid && (forDeny || !t.denyOnly)) return true;
        return false;
    };
    const bool maximum = desired & plat::kMaximumAllowed;
    const uint32_t ownerRights = plat::kReadControl | kWriteDac;
    uint32_t granted = 0;
    if (maximum) {
        uint32_t denied = 0;
        if (has(sd.owner, false)) granted = ownerRights;
        for (const plat::AccessEntry& e : sd.entries) {
            if ((e.flags & plat::kInheritOnly) || !has(e.sid, !e.allow)) continue;
            if (e.allow)
                granted |= e.mask & ~denied;
            else
                denied |= e.mask & ~granted;
        }
    } else {
        uint32_t remaining = desired;
        if (has(sd.owner, false)) remaining &= ~ownerRights;
        for (const plat::AccessEntry& e : sd.entries) {
            if (remaining == 0) break;
            if ((e.flags & plat::kInheritOnly) || !has(e.sid, !e.allow)) continue;
            if (!e.allow && (e.mask & remaining)) break;
            if (e.allow) remaining &= ~e.mask;
        }
        granted = remaining == 0 ? desired : 0;
    }
    if (m.accessLog) {
        std::wstring who;
        for (const TokenSid& t : sids)
            who += std::wstring(who.empty() ? L"" : L",") + (t.denyOnly ? L"-" : L"") + t.sid;
        m.accessLog->push_back(L"access\t" + Sddl(sd) + L"\t" + who + L"\t" + Hex(desired) + L"\t" +
                               (granted ? L"1" : L"0") + L"\t" +
                               WindowsPathOfKey(key).value_or(text::Widen(key)));
    }
    return granted;
}

bool SimMachine::Impl::WriteDenied(const std::string& key) const {
    const std::wstring account = ActingToken().account;
    for (const auto& [prefix, accounts] : m.writeDenied) {
        const std::string p = AccessKey(prefix);
        if (key.compare(0, p.size(), p) == 0 && accounts.count(account)) return true;
    }
    return false;
}

bool SimMachine::Impl::MayOpen(const std::string& key, uint32_t desired) {
    desired = MapGeneric(desired);
    if ((desired & (plat::kFileChangeRights | plat::kDelete)) && WriteDenied(key)) return false;
    const SimToken token = ActingToken();
    const plat::AccessList sd = ListOf(key);
    if (Check(sd, token, desired, key)) return true;
    // The file system's own rules: the folder above may grant DELETE (FILE_DELETE_CHILD) and
    // FILE_READ_ATTRIBUTES (FILE_LIST_DIRECTORY) on what it holds.
    const uint32_t viaParent = desired & (plat::kDelete | plat::kFileReadAttributes);
    if (!viaParent || (desired & plat::kMaximumAllowed)) return false;
    const std::string parent = fs::path(key).parent_path().string();
    const plat::AccessList parentSd = ListOf(parent);
    if ((viaParent & plat::kDelete) && !Check(parentSd, token, plat::kFileDeleteChild, parent))
        return false;
    if ((viaParent & plat::kFileReadAttributes) &&
        !Check(parentSd, token, plat::kFileListDirectory, parent))
        return false;
    const uint32_t rest = desired & ~viaParent;
    return rest == 0 || Check(sd, token, rest, key) != 0;
}

bool SimMachine::Impl::MayAdd(const std::string& key, bool folder) {
    if (WriteDenied(key)) return false;
    const std::string parent = fs::path(key).parent_path().string();
    return Check(ListOf(parent), ActingToken(), folder ? 0x4 : 0x2, parent) != 0;  // FILE_ADD_*
}

}  // namespace sim
