// Access to the logged-on user's registry and the product's per-session key.
//
// A caller selects a root and a current key once, then reads, writes and deletes values by name.
// Three things are decided here and nowhere else: requests for the machine hive are served from
// the current-user hive; the current-user hive is the hive of the user logged on to the
// launcher's session, even when the launcher runs as SYSTEM or elevated under another account;
// and the pseudo key name "UNIVERSAL_PATH_CONVERT" stands for the product key of the launcher's
// session. No key handle outlives a single call, and every key below a root is opened one name at
// a time as itself: a registry link on the way fails the operation, so no link planted in the
// user's hive leads a read or write elsewhere.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "util/scoped_handle.h"

// The name callers use for the product key of their session.
constexpr const wchar_t* kUniversalPathConvert = L"UNIVERSAL_PATH_CONVERT";

class CRegistry {
public:
    CRegistry() = default;
    virtual ~CRegistry();
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Back to the current-user root, the root itself as current key, lazy writes.
    bool Reset();

    // Accepts only the four predefined roots; with `redirect`, the machine hive becomes the
    // current-user hive. False, and the root unchanged, for anything else.
    bool SetRootKey(plat::HKey root, bool redirect);

    // The key to use as root for one call: the logged-on user's hive for the current-user root
    // (the process's own when that hive cannot be opened), else the predefined root (which its
    // owner does not close).
    UniqueKey OpenRootKey();

    // Every operation below that fails returns false with the registry's status as the thread's
    // last error.

    // Selects the current key, creating it when asked. An empty name selects the root itself;
    // "UNIVERSAL_PATH_CONVERT" (any letter case) is resolved to the product key. A failed
    // selection keeps the previous current key.
    bool OpenKey(const std::wstring& name, bool create);
    // As OpenKey, with the product-key mapping applied to `path` instead of the resolution.
    bool OpenMappedKey(const std::wstring& path, bool create);

    // Whether `path` opens below `root` (0: below OpenRootKey()).
    bool KeyExists(const std::wstring& path, plat::HKey root = plat::HKey());
    bool ValueExists(const std::wstring& name);
    // Reads of a value in the current key (plus `subKey`); what they read goes to the output,
    // which a failed read leaves as it was (a caller keeps its default there). The REG_* type;
    // a DWORD, which ignores the stored type but takes no more than 4 bytes; a string, which
    // takes only REG_SZ and REG_EXPAND_SZ (unexpanded; another type fails with
    // kErrorUnsupportedType).
    bool GetValueType(const std::wstring& name, uint32_t& type,
                      const std::wstring& subKey = std::wstring());
    bool GetDWORDValue(const std::wstring& name, uint32_t& value,
                       const std::wstring& subKey = std::wstring());
    bool GetStringValue(const std::wstring& name, std::wstring& value,
                        const std::wstring& subKey = std::wstring());
    bool SetDWORDValue(const std::wstring& name, uint32_t value);
    // Stores the text with its terminator: an empty text is a 2-byte value.
    bool SetStringValue(const std::wstring& name, const std::wstring& value, uint32_t type);
    bool DeleteValue(const std::wstring& name);

    // The key path that `name` stands for: the product key (or the business form of it) for
    // "UNIVERSAL_PATH_CONVERT", `name` itself otherwise. `probeRoot` is 0 on the outer call.
    std::wstring ResolveUniversalPath(const std::wstring& name,
                                      plat::HKey probeRoot = plat::HKey());
    // `path` with the base keys replaced by the product keys of the launcher's session.
    static std::wstring MapProductKey(const std::wstring& path);

    // When lazy writes are off, every write and key selection is flushed; with the 64-bit view
    // every access asks for the 64-bit registry. The launcher keeps the defaults (lazy, native).
    void SetLazyWrite(bool lazy) { m_bLazyWrite = lazy; }
    void Set64BitView(bool view) { m_b64BitView = view; }

    plat::HKey GetRootKey() const { return m_hRootKey; }
    const std::wstring& GetKeyPath() const { return m_strKeyPath; }

private:
    bool SelectKey(const std::wstring& name, bool create, bool mapped);
    std::wstring CurrentPath(const std::wstring& subKey) const;
    uint32_t Access(uint32_t mask) const;

    plat::HKey m_hRootKey = plat::kHkeyCurrentUser;
    std::wstring m_strKeyPath;
    bool m_bLazyWrite = true;
    bool m_b64BitView = false;
};
