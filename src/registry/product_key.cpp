// The product's per-session key: what "UNIVERSAL_PATH_CONVERT" stands for.
#include "platform/platform.h"
#include "registry/registry.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

constexpr const wchar_t* kBaseKey = L"Software\\Quintrova Inc.\\Quintrova Remote Server";
constexpr const wchar_t* kBusinessBaseKey =
    L"Software\\Quintrova Inc.\\Quintrova Remote Server for Business";
constexpr const wchar_t* kClientInfoBaseKey =
    L"Software\\Quintrova Inc.\\Quintrova Remote Server\\ClientInfo";

// Whether the key `probe` has open says the business edition serves ("QVServerMode" 1).
bool IsBusiness(CRegistry& probe) {
    uint32_t mode = 0;
    return probe.GetDWORDValue(L"QVServerMode", mode) && mode == 1;
}

}  // namespace

std::wstring CRegistry::MapProductKey(const std::wstring& path) {
    const int session = static_cast<int>(Run().session);  // -1 when unknown
    // Applied in this order, each to every occurrence, with regard to case. The base key begins
    // the two other left sides, so the first pair already rewrites them: the client-info key
    // still ends as the client-info product key, and the business base key ends as
    // "...Remote Server VESK_<n> for Business" (the business pair itself never matches).
    const std::wstring pairs[][2] = {
        {kBaseKey, text::Format(L"%ls VESK_%d", kBaseKey, session)},
        {kBusinessBaseKey, text::Format(L"%ls VESK_%d", kBusinessBaseKey, session)},
        {kClientInfoBaseKey, text::Format(L"%ls VESK_%d\\ClientInfo", kBaseKey, session)},
    };
    std::wstring mapped = path;
    for (const auto& pair : pairs) text::ReplaceAll(mapped, pair[0], pair[1]);
    return mapped;
}

std::wstring CRegistry::ResolveUniversalPath(const std::wstring& name, plat::HKey probeRoot) {
    if (!text::EqualsNoCase(name, kUniversalPathConvert)) return name;
    CRegistry probe;
    std::wstring candidate = kBaseKey;
    if (!probeRoot) {
        // Machine scope (served from the user's hive). A failed selection leaves the hive root
        // current, where the value is normally absent.
        probe.SetRootKey(plat::kHkeyLocalMachine, true);
        probe.OpenMappedKey(kBaseKey, false);
        uint32_t basedType = 1;
        probe.GetDWORDValue(L"QVSBasedType", basedType);
        if (basedType == 1) return ResolveUniversalPath(name, plat::kHkeyLocalMachine);
        // User scope.
        probe.Reset();
        probe.SetRootKey(plat::kHkeyCurrentUser, true);
        if (!probe.KeyExists(kBaseKey)) return ResolveUniversalPath(name, plat::kHkeyLocalMachine);
        if (probe.OpenMappedKey(kBaseKey, false)) {
            if (!probe.ValueExists(L"QVServerMode"))
                return ResolveUniversalPath(name, plat::kHkeyLocalMachine);
            if (IsBusiness(probe)) candidate = kBusinessBaseKey;
        }
    } else if (probe.SetRootKey(probeRoot, true) && probe.OpenMappedKey(kBaseKey, false) &&
               IsBusiness(probe)) {
        candidate = kBusinessBaseKey;
    }
    return MapProductKey(candidate);
}
