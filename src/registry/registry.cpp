// Registry access: root selection, the logged-on user's hive, key selection and typed values.
#include "registry/registry.h"

#include "platform/platform.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/text.h"

namespace {

bool IsPredefinedRoot(plat::HKey key) {
    return key == plat::kHkeyClassesRoot || key == plat::kHkeyCurrentUser ||
           key == plat::kHkeyLocalMachine || key == plat::kHkeyUsers;
}

// A key below a root, opened for one call: the open's status, and the key, closed on every path
// (an empty path below a predefined root gives back that root, which is not ours to close).
struct OpenedKey {
    int32_t status;
    UniqueKey key;
    bool ok() const { return status == 0; }
    plat::HKey get() const { return key.Get(); }
};

// False, with the registry's status as the thread's last error.
bool Failed(int32_t status) {
    return plat::Fail(static_cast<uint32_t>(status));
}

// Whether `key`, opened as itself, is a registry link: a link holds where it leads as
// "SymbolicLinkValue" of type REG_LINK. A handle without the right to query values asks through
// a second handle to the same key. A key that lets us query nothing cannot be told; opened as
// itself, it reaches no other key anyway.
bool IsLink(plat::HKey key, uint32_t access) {
    plat::IRegistry& reg = plat::registry();
    UniqueKey query;
    if (!(access & plat::kKeyQueryValue)) {
        const uint32_t queryAccess = plat::kKeyQueryValue | (access & plat::kKeyWow6464Key);
        if (reg.RegOpenKeyEx(key, L"", plat::kRegOptionOpenLink, queryAccess, query.Receive()) != 0)
            return false;
        key = query.Get();
    }
    uint32_t type = 0;
    return reg.RegQueryValueEx(key, L"SymbolicLinkValue", &type, nullptr, 0, nullptr) == 0 &&
           type == plat::kRegLink;
}

// Opens `path` below `root` one key at a time, each by its name inside the one above and as
// itself (REG_OPTION_OPEN_LINK), so that no link in the user's hive steers where the registry
// reads or writes: a key on the way that is a link fails the whole open (access denied), and
// nothing is read, created or written through it. With `create`, a missing key is created the
// same way and then checked like the others. The keys above the last are opened only to be
// checked and gone through; the last one with `access`.
OpenedKey OpenBelow(plat::HKey root, const std::wstring& path, uint32_t access,
                    bool create = false) {
    plat::IRegistry& reg = plat::registry();
    OpenedKey opened{0, UniqueKey()};
    if (!path.empty() && path[0] == L'\\') {
        opened.status = static_cast<int32_t>(plat::kErrorBadPathname);
        return opened;
    }
    if (path.empty()) {  // the root itself
        opened.status = reg.RegOpenKeyEx(root, L"", 0, access, opened.key.Receive());
        return opened;
    }
    size_t begin = 0;
    plat::HKey parent = root;
    while (begin != std::wstring::npos) {
        const size_t end = path.find(L'\\', begin);
        const std::wstring name = path.substr(begin, end - begin);
        begin = end == std::wstring::npos ? end : path.find_first_not_of(L'\\', end);
        const uint32_t wanted = begin == std::wstring::npos
                                    ? access
                                    : plat::kKeyQueryValue | (access & plat::kKeyWow6464Key);
        UniqueKey key;
        int32_t status =
            reg.RegOpenKeyEx(parent, name, plat::kRegOptionOpenLink, wanted, key.Receive());
        if (status == static_cast<int32_t>(plat::kErrorFileNotFound) && create)
            status =
                reg.RegCreateKeyEx(parent, name, plat::kRegOptionOpenLink, wanted, key.Receive());
        if (status == 0 && IsLink(key.Get(), wanted))
            status = static_cast<int32_t>(plat::kErrorAccessDenied);
        if (status != 0) {
            opened.status = status;
            opened.key.Reset();
            return opened;
        }
        opened.key = std::move(key);
        parent = opened.key.Get();
    }
    return opened;
}

}  // namespace

CRegistry::~CRegistry() {
    Reset();
}

bool CRegistry::Reset() {
    m_strKeyPath.clear();
    m_hRootKey = plat::kHkeyCurrentUser;
    m_bLazyWrite = true;
    return true;
}

uint32_t CRegistry::Access(uint32_t mask) const {
    return m_b64BitView ? (mask | plat::kKeyWow6464Key) : mask;
}

std::wstring CRegistry::CurrentPath(const std::wstring& subKey) const {
    if (subKey.empty()) return m_strKeyPath;
    // Below the root itself the sub-key is the whole path: a leading backslash is no key name.
    if (m_strKeyPath.empty()) return subKey;
    return m_strKeyPath + L"\\" + subKey;
}

bool CRegistry::SetRootKey(plat::HKey root, bool redirect) {
    if (!IsPredefinedRoot(root)) return false;
    if (root == plat::kHkeyLocalMachine && redirect) root = plat::kHkeyCurrentUser;
    m_hRootKey = root;
    return true;
}

UniqueKey CRegistry::OpenRootKey() {
    if (m_hRootKey != plat::kHkeyCurrentUser) return UniqueKey(m_hRootKey);
    // The hive is opened as the user logged on to the launcher's session; keys below it are
    // then opened under the process's own identity (the guard reverts before returning). An
    // administrator at the desk in another account cannot act as that user: it opens the user's
    // hive by the account's SID below HKEY_USERS instead. Failing both, the process's own.
    plat::IRegistry& reg = plat::registry();
    CImpersonateUser impersonation;
    UniqueKey hive;
    if (impersonation.IsImpersonating()) {
        if (reg.RegOpenCurrentUser(Access(plat::kKeyAllAccess), hive.Receive()) == 0 && hive)
            return hive;
    } else if (!Run().userSid.empty() &&
               reg.RegOpenKeyEx(plat::kHkeyUsers, Run().userSid, 0, Access(plat::kKeyAllAccess),
                                hive.Receive()) == 0 &&
               hive) {
        return hive;
    }
    impersonation.Revert();
    if (reg.RegOpenCurrentUser(Access(plat::kKeyAllAccess), hive.Receive()) != 0 || !hive)
        hive.Reset(plat::kHkeyCurrentUser);
    return hive;
}

bool CRegistry::OpenKey(const std::wstring& name, bool create) {
    return SelectKey(name, create, false);
}

bool CRegistry::OpenMappedKey(const std::wstring& path, bool create) {
    return SelectKey(path, create, true);
}

bool CRegistry::SelectKey(const std::wstring& name, bool create, bool mapped) {
    const UniqueKey root(OpenRootKey());
    if (name.empty()) {
        m_strKeyPath.clear();
        return true;
    }
    const std::wstring path = mapped ? MapProductKey(name) : ResolveUniversalPath(name);
    const OpenedKey key =
        OpenBelow(root.Get(), path, Access(create ? plat::kKeyAllAccess : plat::kKeyRead), create);
    if (!key.ok()) return Failed(key.status);
    m_strKeyPath = path;
    if (!m_bLazyWrite) plat::registry().RegFlushKey(key.get());
    return true;
}

bool CRegistry::KeyExists(const std::wstring& path, plat::HKey root) {
    if (root) return OpenBelow(root, path, Access(plat::kKeyAllAccess)).ok();
    const UniqueKey own(OpenRootKey());
    return OpenBelow(own.Get(), path, Access(plat::kKeyAllAccess)).ok();
}

bool CRegistry::ValueExists(const std::wstring& name) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), m_strKeyPath, Access(plat::kKeyAllAccess));
    return key.ok() &&
           plat::registry().RegQueryValueEx(key.get(), name, nullptr, nullptr, 0, nullptr) == 0;
}

bool CRegistry::GetValueType(const std::wstring& name, uint32_t& type, const std::wstring& subKey) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), CurrentPath(subKey), Access(plat::kKeyQueryValue));
    if (!key.ok()) return Failed(key.status);
    uint32_t stored = 0;
    const int32_t status =
        plat::registry().RegQueryValueEx(key.get(), name, &stored, nullptr, 0, nullptr);
    if (status != 0) return Failed(status);
    type = stored;
    return true;
}

bool CRegistry::GetDWORDValue(const std::wstring& name, uint32_t& value,
                              const std::wstring& subKey) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), CurrentPath(subKey), Access(plat::kKeyRead));
    if (!key.ok()) return Failed(key.status);
    std::vector<uint8_t> data;
    uint32_t type = 0;
    uint32_t size = 0;
    const int32_t status =
        plat::registry().RegQueryValueEx(key.get(), name, &type, &data, 4, &size);
    if (status != 0) return Failed(status);
    // Fewer than 4 bytes read as a zero-extended number.
    value = 0;
    for (size_t i = 0; i < data.size() && i < 4; ++i) value |= uint32_t(data[i]) << (8 * i);
    return true;
}

bool CRegistry::GetStringValue(const std::wstring& name, std::wstring& value,
                               const std::wstring& subKey) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), CurrentPath(subKey), Access(plat::kKeyRead));
    if (!key.ok()) return Failed(key.status);
    plat::IRegistry& reg = plat::registry();
    uint32_t type = plat::kRegNone;
    uint32_t size = 0;
    int32_t status = reg.RegQueryValueEx(key.get(), name, &type, nullptr, 0, &size);
    if (status != 0) return Failed(status);
    if (type != plat::kRegSz && type != plat::kRegExpandSz)
        return plat::Fail(plat::kErrorUnsupportedType);
    // Room for size / 2 characters and a terminator; stored data need not be terminated.
    const uint32_t chars = size / 2;
    std::vector<uint8_t> data;
    status = reg.RegQueryValueEx(key.get(), name, nullptr, &data, (chars + 1) * 2, &size);
    if (status != 0) return Failed(status);
    value = text::FromUtf16Le(data.data(), data.size());
    const size_t end = value.find(L'\0');
    if (end != std::wstring::npos) value.resize(end);
    return true;
}

bool CRegistry::SetDWORDValue(const std::wstring& name, uint32_t value) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), m_strKeyPath, Access(plat::kKeyWrite));
    if (!key.ok()) return Failed(key.status);
    const std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value >> 16),
                                    static_cast<uint8_t>(value >> 24)};
    plat::IRegistry& reg = plat::registry();
    const int32_t status = reg.RegSetValueEx(key.get(), name, plat::kRegDword, data);
    if (status != 0) return Failed(status);
    if (!m_bLazyWrite) reg.RegFlushKey(key.get());
    return true;
}

bool CRegistry::SetStringValue(const std::wstring& name, const std::wstring& value, uint32_t type) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), m_strKeyPath, Access(plat::kKeyWrite));
    if (!key.ok()) return Failed(key.status);
    std::string bytes = text::ToUtf16Le(value);
    bytes.append(2, '\0');  // the terminator is part of the stored data
    plat::IRegistry& reg = plat::registry();
    const int32_t status =
        reg.RegSetValueEx(key.get(), name, type, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    if (status != 0) return Failed(status);
    if (!m_bLazyWrite) reg.RegFlushKey(key.get());
    return true;
}

bool CRegistry::DeleteValue(const std::wstring& name) {
    const UniqueKey root(OpenRootKey());
    const OpenedKey key = OpenBelow(root.Get(), m_strKeyPath, Access(plat::kKeySetValue));
    if (!key.ok()) return Failed(key.status);
    const int32_t status = plat::registry().RegDeleteValue(key.get(), name);
    return status == 0 || Failed(status);
}
