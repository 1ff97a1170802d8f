// Not built yet: the registry layer comes with the registry work; until then every operation
// fails and reads give their defaults.
#include "registry/registry.h"

bool CRegistry::SetRootKey(plat::HKey, bool) { return false; }
bool CRegistry::OpenKey(const std::wstring&, bool) { return false; }
bool CRegistry::SetStringValue(const std::wstring&, const std::wstring&, uint32_t) { return false; }
bool CRegistry::SetDWORDValue(const std::wstring&, uint32_t) { return false; }
uint32_t CRegistry::GetDWORDValue(const std::wstring&, uint32_t d, const std::wstring&) { return d; }
std::wstring CRegistry::GetStringValue(const std::wstring&, const std::wstring& d,
                                       const std::wstring&) {
    return d;
}
bool CRegistry::DeleteValue(const std::wstring&) { return false; }
