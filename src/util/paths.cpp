// Windows paths as text, and what the system says of the file a path names.
#include "util/paths.h"

#include "platform/platform.h"
#include "util/text.h"

namespace paths {

bool Exists(const std::wstring& path) {
    return plat::files().GetFileAttributes(path) != plat::kInvalidFileAttributes;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

void StripComponents(std::wstring& path, int count) {
    for (int i = 0; i < count; ++i) {
        size_t pos = path.rfind(L'\\');
        if (pos != std::wstring::npos) path.erase(pos);
    }
}

std::wstring Append(const std::wstring& path, const std::wstring& more) {
    if (path.empty()) return more;
    if (more.empty()) return path;
    std::wstring out = path;
    size_t start = 0;
    while (start < more.size() && more[start] == L'\\') ++start;
    if (out.back() != L'\\') out += L'\\';
    return out + more.substr(start);
}

bool VersionOf(const std::wstring& path, std::wstring* textOut, uint32_t* high, uint32_t* low,
               int selector) {
    plat::FixedFileInfo info;
    if (!plat::files().GetFixedFileInfo(path, info)) return false;
    const uint32_t h = selector == 1 ? info.productVersionMS : info.fileVersionMS;
    const uint32_t l = selector == 1 ? info.productVersionLS : info.fileVersionLS;
    if (high) *high = h;
    if (low) *low = l;
    if (textOut) *textOut = text::Format(L"%u.%u.%u.%u", h >> 16, h & 0xFFFF, l >> 16, l & 0xFFFF);
    return true;
}

}  // namespace paths
