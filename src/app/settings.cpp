// The launch token from the package's setup.ini, or from the launcher's own file name.
#include "app/app.h"
#include "platform/platform.h"
#include "util/text.h"
#include "util/utility.h"

namespace {
// GetPrivateProfileStringW into a 260-character buffer with 256 passed as its size: a value
// keeps at most 255 characters.
constexpr uint32_t kSettingSizeLimit = 256;
}  // namespace

void CUnPackFileApp::ReadPackageSettings(const std::wstring& settingsPath) {
    auto read = [&](const wchar_t* key) {
        return plat::files().GetPrivateProfileString(L"Settings", key, kSettingSizeLimit,
                                                     settingsPath);
    };
    m_strToken = read(L"vesk_token");
    if (m_strToken.empty()) {
        const std::wstring gateway = read(L"gateway_mode");
        if (!gateway.empty() && text::EqualsNoCase(gateway, L"1")) GetTokenFromFileName();
        return;  // a token from the file name never receives the suffixes
    }
    const struct {
        const wchar_t* key;
        const wchar_t* prefix;
    } suffixes[] = {{L"token_category", L"_C"}, {L"token_mode", L"_M"}, {L"token_kind", L"_K"}};
    for (const auto& s : suffixes) {
        const std::wstring value = read(s.key);
        if (!value.empty()) m_strToken += s.prefix + value;
    }
}

void CUnPackFileApp::GetTokenFromFileName() {
    const std::wstring path = CUtility::GetModulePath();
    const size_t dash = path.rfind(L'-');
    if (path.empty() || dash == std::wstring::npos) return;
    std::wstring token = path.substr(dash + 1);
    if (token.find(L'\\') != std::wstring::npos) return;  // the dash lies in a folder name
    text::ReplaceAll(token, L".EXE", L"");
    text::ReplaceAll(token, L".exe", L"");
    const size_t underscore = token.rfind(L'_');
    if (underscore != std::wstring::npos) token.erase(underscore);
    m_strToken = token;
}

bool CUnPackFileApp::IsSafeToken(const std::wstring& token) {
    // Blanks and parentheses stay plain text in both places: after "/c" outside a block, and
    // inside the double quotes of the task's action. A second download's file name, such as
    // "Support-ab12cd (1).exe", carries them.
    for (wchar_t c : token) {
        const bool alnum =
            (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        if (!alnum && std::wstring(L"_-./:+=@~ ()").find(c) == std::wstring::npos) return false;
    }
    return true;
}

void CUnPackFileApp::RefuseUnsafeToken() {
    if (IsSafeToken(m_strToken)) return;
    CUtility::Log(tags::kInitInstance,
                  L"VESK token refused: it holds characters other than letters, digits, blanks "
                  L"and _-./:+=@~()");
    m_strToken.clear();
}
