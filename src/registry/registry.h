// Access to the logged-on user's registry and the product's per-session key.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

class CRegistry {
public:
    CRegistry() = default;
    virtual ~CRegistry() = default;

    bool SetRootKey(plat::HKey root, bool redirect);
    bool OpenKey(const std::wstring& name, bool create);
    bool SetStringValue(const std::wstring& name, const std::wstring& value, uint32_t type);
    bool SetDWORDValue(const std::wstring& name, uint32_t value);
    uint32_t GetDWORDValue(const std::wstring& name, uint32_t defaultValue,
                           const std::wstring& subKey = std::wstring());
    std::wstring GetStringValue(const std::wstring& name, const std::wstring& defaultValue,
                                const std::wstring& subKey = std::wstring());
    bool DeleteValue(const std::wstring& name);
};
