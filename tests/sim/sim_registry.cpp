// Registry side of the simulated machine: one hive per account plus the machine hive, keys
// with raw typed values, access masks checked as Windows checks them.
#include <cwchar>

#include "sim/sim_impl.h"
#include "util/text.h"

namespace sim {
namespace {

class Registry final : public plat::IRegistry {
public:
    explicit Registry(SimMachine& m) : m(m), d(m.impl()) {}

    int32_t RegOpenCurrentUser(uint32_t access, plat::HKey* out) override {
        const std::wstring account = d.ActingToken().account;
        m.calls.push_back(L"RegOpenCurrentUser as " + account);
        if (m.regOpenCurrentUserFails) return static_cast<int32_t>(plat::kErrorAccessDenied);
        m.CreateRegKey(account, L"");
        *out = d.Add<plat::HKey>(KeyObj{account, L"", access});
        return 0;
    }

    int32_t RegOpenKeyEx(plat::HKey root, const std::wstring& path, uint32_t options,
                         uint32_t access, plat::HKey* out) override {
        return OpenOrCreate(false, root, path, options, access, out);
    }

    int32_t RegCreateKeyEx(plat::HKey root, const std::wstring& path, uint32_t options,
                           uint32_t access, plat::HKey* out) override {
        return OpenOrCreate(true, root, path, options, access, out);
    }

    int32_t RegQueryValueEx(plat::HKey key, const std::wstring& name, uint32_t* type,
                            std::vector<uint8_t>* data, uint32_t capacity,
                            uint32_t* size) override {
        KeyObj k;
        if (!Resolve(key, k)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        if (!(k.access & plat::kKeyQueryValue))
            return static_cast<int32_t>(plat::kErrorAccessDenied);
        SimMachine::RegValue v;
        if (!m.GetRegValue(k.hive, k.path, name, v))
            return static_cast<int32_t>(plat::kErrorFileNotFound);
        if (type) *type = v.type;
        if (size) *size = static_cast<uint32_t>(v.data.size());
        if (data && capacity) {
            if (v.data.size() > capacity) return static_cast<int32_t>(plat::kErrorMoreData);
            *data = v.data;
        }
        return 0;
    }

    int32_t RegSetValueEx(plat::HKey key, const std::wstring& name, uint32_t type,
                          const std::vector<uint8_t>& data) override {
        KeyObj k;
        if (!Resolve(key, k)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        if (!(k.access & plat::kKeySetValue)) return static_cast<int32_t>(plat::kErrorAccessDenied);
        m.calls.push_back(L"RegSetValueEx " + k.hive + L"\\" + k.path + L"\\" + name);
        m.SetRegValue(k.hive, k.path, name, type, data);
        return 0;
    }

    int32_t RegDeleteValue(plat::HKey key, const std::wstring& name) override {
        KeyObj k;
        if (!Resolve(key, k)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        if (!(k.access & plat::kKeySetValue)) return static_cast<int32_t>(plat::kErrorAccessDenied);
        auto& values = d.HiveOf(k.hive)[k.path].values;
        if (!values.erase(Upper(name))) return static_cast<int32_t>(plat::kErrorFileNotFound);
        return 0;
    }

    int32_t RegFlushKey(plat::HKey key) override {
        KeyObj k;
        if (!Resolve(key, k)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        ++m.registryWriteFlushes;
        return 0;
    }

    int32_t RegCloseKey(plat::HKey key) override {
        if (IsPredefined(key)) {
            m.calls.push_back(L"RegCloseKey of a predefined root");
            return 0;
        }
        if (!d.Get<KeyObj>(key)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        d.handles.erase(key.value);
        return 0;
    }

private:
    // Links followed in one open at most (Windows stops a chain too).
    static constexpr int kMaxLinkHops = 16;

    int32_t OpenOrCreate(bool create, plat::HKey root, const std::wstring& path, uint32_t options,
                         uint32_t access, plat::HKey* out) {
        KeyObj key;
        if (!Resolve(root, key)) return static_cast<int32_t>(plat::kErrorInvalidHandle);
        // A relative key name cannot begin with a backslash.
        if (!path.empty() && path[0] == L'\\') return static_cast<int32_t>(plat::kErrorBadPathname);
        m.calls.push_back((create ? L"RegCreateKeyEx " : L"RegOpenKeyEx ") + key.hive + L"\\" +
                          Join(key.path, path) + L" " + Hex(access));
        std::wstring below = path;
        if (Upper(key.hive) == L"USERS" && key.path.empty()) {
            // HKEY_USERS\<SID>: that account's hive, which only its account, the administrators
            // and the system may open.
            const size_t slash = path.find(L'\\');
            const std::wstring account = d.AccountOfSid(path.substr(0, slash));
            const SimToken acting = d.ActingToken();
            if (account.empty()) return static_cast<int32_t>(plat::kErrorFileNotFound);
            if (!text::EqualsNoCase(account, acting.account) &&
                acting.kind != TokenKind::ElevatedAdmin && acting.kind != TokenKind::System)
                return static_cast<int32_t>(plat::kErrorAccessDenied);
            key.hive = account;
            below = slash == std::wstring::npos ? L"" : path.substr(slash + 1);
            m.CreateRegKey(account, L"");
        }
        if (!Walk(key, below, options & plat::kRegOptionOpenLink, create))
            return static_cast<int32_t>(plat::kErrorFileNotFound);
        if (!Granted(key.hive, key.path, access))
            return static_cast<int32_t>(plat::kErrorAccessDenied);
        if (create) m.CreateRegKey(key.hive, key.path);
        key.access = access;
        // Like Windows: no sub-key below a predefined root hands back that root.
        *out = path.empty() && IsPredefined(root) ? root : d.Add<plat::HKey>(key);
        return 0;
    }

    // Goes down `path` from `at` one name at a time. A link met on the way leads to its target,
    // and so does one at the last name unless `openLink`; a missing key ends the walk, or with
    // `create` is there from then on (created by the caller once its rights are checked).
    bool Walk(KeyObj& at, const std::wstring& path, bool openLink, bool create) {
        const std::wstring names = CanonKey(path);
        int hops = 0;
        for (size_t begin = 0; begin < names.size();) {
            size_t end = names.find(L'\\', begin);
            if (end == std::wstring::npos) end = names.size();
            at.path = Join(at.path, names.substr(begin, end - begin));
            begin = end + 1;
            const bool last = begin >= names.size();
            for (auto link = m.regLinks.find(Upper(at.hive) + L"\\" + at.path);
                 link != m.regLinks.end() && !(last && openLink);
                 link = m.regLinks.find(Upper(at.hive) + L"\\" + at.path)) {
                if (++hops > kMaxLinkHops) return false;
                at.hive = link->second.first;
                at.path = link->second.second;
            }
            if (!m.RegKeyExists(at.hive, at.path) && !(create && last)) {
                if (!create) return false;
                m.CreateRegKey(at.hive, at.path);  // keys above the new one, as Windows makes them
            }
        }
        return true;
    }

    static std::wstring Hex(uint32_t value) {
        wchar_t buffer[16];
        swprintf(buffer, 16, L"0x%X", value);
        return buffer;
    }
    // The rights asked for, apart from the choice of registry view, must all be granted.
    bool Granted(const std::wstring& hive, const std::wstring& path, uint32_t access) const {
        const std::wstring wanted = Upper(hive) + L"\\" + path;
        for (const auto& [key, rights] : m.regKeyRights) {
            const size_t slash = key.find(L'\\');
            const std::wstring canon =
                Upper(key.substr(0, slash)) + L"\\" +
                (slash == std::wstring::npos ? std::wstring() : CanonKey(key.substr(slash + 1)));
            if (canon == wanted) return (access & ~plat::kKeyWow6464Key & ~rights) == 0;
        }
        return true;
    }
    static bool IsPredefined(plat::HKey key) {
        return key >= plat::kHkeyClassesRoot && key <= plat::kHkeyUsers;
    }
    static std::wstring Join(const std::wstring& base, const std::wstring& path) {
        const std::wstring p = CanonKey(path);
        if (base.empty()) return p;
        return p.empty() ? base : base + L"\\" + p;
    }
    // A predefined root or an open key, as hive and path. The predefined current-user root is
    // the hive of the process's own account, whoever the thread impersonates.
    bool Resolve(plat::HKey key, KeyObj& out) {
        switch (key.value) {
            case plat::kHkeyCurrentUser.value:
                out = {d.ProcessAccount(), L"", plat::kKeyAllAccess};
                return true;
            case plat::kHkeyLocalMachine.value:
                out = {L"MACHINE", L"", plat::kKeyAllAccess};
                return true;
            case plat::kHkeyClassesRoot.value:
                out = {L"CLASSES", L"", plat::kKeyAllAccess};
                return true;
            case plat::kHkeyUsers.value:
                out = {L"USERS", L"", plat::kKeyAllAccess};
                return true;
            default:
                break;
        }
        auto* k = d.Get<KeyObj>(key);
        if (!k) return false;
        out = *k;
        return true;
    }

    SimMachine& m;
    SimMachine::Impl& d;
};

}  // namespace

int SimMachine::OpenRegistryKeys() const {
    return m_impl->Count<KeyObj>();
}

std::unique_ptr<plat::IRegistry> MakeRegistry(SimMachine& m) {
    return std::make_unique<Registry>(m);
}

void SimMachine::MakeRegLink(const std::wstring& hive, const std::wstring& key,
                             const std::wstring& targetHive, const std::wstring& targetKey) {
    // The target as Windows stores it: an object name, without a terminator.
    const std::wstring root = Upper(targetHive) == L"MACHINE"
                                  ? L"\\REGISTRY\\MACHINE"
                                  : L"\\REGISTRY\\USER\\" + SidOf(targetHive);
    const std::string name = text::ToUtf16Le(root + L"\\" + targetKey);
    SetRegValue(hive, key, L"SymbolicLinkValue", plat::kRegLink,
                std::vector<uint8_t>(name.begin(), name.end()));
    regLinks[Upper(hive) + L"\\" + CanonKey(key)] = {Upper(targetHive), CanonKey(targetKey)};
}

}  // namespace sim
