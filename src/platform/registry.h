// Registry primitives of the OS seam. Value data travels as raw bytes exactly as stored
// (strings are UTF-16LE with their terminator), so type and size rules are decided above.
#pragma once

#include "platform/types.h"

namespace plat {

// RegOpenKeyEx / RegCreateKeyEx option: a key that is a registry link is opened as itself (its
// "SymbolicLinkValue", of type REG_LINK, names where it leads) instead of being followed. Only
// the last name of the path is opened so; a link met before it is always followed.
constexpr uint32_t kRegOptionOpenLink = 0x8;
constexpr uint32_t kRegLink = 6;

class IRegistry {
public:
    virtual ~IRegistry() = default;

    // Each returns a Win32 status (0 = success).
    virtual int32_t RegOpenCurrentUser(uint32_t access, HKey* out) = 0;
    virtual int32_t RegOpenKeyEx(HKey root, const std::wstring& path, uint32_t options,
                                 uint32_t access, HKey* out) = 0;
    // A non-volatile key; `options` may add kRegOptionOpenLink.
    virtual int32_t RegCreateKeyEx(HKey root, const std::wstring& path, uint32_t options,
                                   uint32_t access, HKey* out) = 0;
    // RegQueryValueExW into a buffer of `capacity` bytes (0 asks for type and size only). On
    // success `data` holds the bytes; kErrorMoreData when they do not fit (size still reported).
    virtual int32_t RegQueryValueEx(HKey key, const std::wstring& name, uint32_t* type,
                                    std::vector<uint8_t>* data, uint32_t capacity,
                                    uint32_t* size) = 0;
    virtual int32_t RegSetValueEx(HKey key, const std::wstring& name, uint32_t type,
                                  const std::vector<uint8_t>& data) = 0;
    virtual int32_t RegDeleteValue(HKey key, const std::wstring& name) = 0;
    virtual int32_t RegFlushKey(HKey key) = 0;
    virtual int32_t RegCloseKey(HKey key) = 0;
};

}  // namespace plat
