// Win32 implementation of the registry primitives.
#include "platform/win32/win32.h"
#include "platform/registry.h"

namespace plat::win32 {
namespace {

class Registry final : public IRegistry {
public:
    int32_t RegOpenCurrentUser(uint32_t access, HKey* out) override {
        HKEY k = nullptr;
        LONG status = ::RegOpenCurrentUser(access, &k);
        if (status == ERROR_SUCCESS) *out = FromK(k);
        return status;
    }
    int32_t RegOpenKeyEx(HKey root, const std::wstring& path, uint32_t options, uint32_t access,
                         HKey* out) override {
        HKEY k = nullptr;
        LONG status = ::RegOpenKeyExW(K(root), path.c_str(), options, access, &k);
        if (status == ERROR_SUCCESS) *out = FromK(k);
        return status;
    }
    int32_t RegCreateKeyEx(HKey root, const std::wstring& path, uint32_t options, uint32_t access,
                           HKey* out) override {
        HKEY k = nullptr;
        LONG status =
            ::RegCreateKeyExW(K(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE | options,
                              access, nullptr, &k, nullptr);
        if (status == ERROR_SUCCESS) *out = FromK(k);
        return status;
    }
    int32_t RegQueryValueEx(HKey key, const std::wstring& name, uint32_t* type,
                            std::vector<uint8_t>* data, uint32_t capacity,
                            uint32_t* size) override {
        DWORD t = 0;
        DWORD n = capacity;
        std::vector<uint8_t> buffer(capacity ? capacity : 1);
        LONG status = ::RegQueryValueExW(K(key), name.c_str(), nullptr, &t,
                                         (data && capacity) ? buffer.data() : nullptr, &n);
        if (type) *type = t;
        if (size) *size = n;
        if (data && capacity && status == ERROR_SUCCESS)
            data->assign(buffer.begin(), buffer.begin() + n);
        return status;
    }
    int32_t RegSetValueEx(HKey key, const std::wstring& name, uint32_t type,
                          const std::vector<uint8_t>& data) override {
        return ::RegSetValueExW(K(key), name.c_str(), 0, type, data.data(),
                                static_cast<DWORD>(data.size()));
    }
    int32_t RegDeleteValue(HKey key, const std::wstring& name) override {
        return ::RegDeleteValueW(K(key), name.c_str());
    }
    int32_t RegFlushKey(HKey key) override { return ::RegFlushKey(K(key)); }
    int32_t RegCloseKey(HKey key) override { return ::RegCloseKey(K(key)); }
};

}  // namespace

IRegistry* Win32Registry() {
    static Registry r;
    return &r;
}

}  // namespace plat::win32
