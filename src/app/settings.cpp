// The launch token from the package's setup.ini, or from the launcher's own file name.
#include "app/app.h"
#include "platform/platform.h"
#include "util/file.h"
#include "util/held_folder.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

// As GetPrivateProfileStringW into a 260-character buffer with 256 passed as its size: a value
// keeps at most 255 characters.
constexpr uint32_t kSettingSizeLimit = 256;
std::wstring Trim(const std::wstring& s) {
    const size_t b = s.find_first_not_of(L" \t\r");
    const size_t e = s.find_last_not_of(L" \t\r");
    return b == std::wstring::npos ? std::wstring() : s.substr(b, e - b + 1);
}

// The value of `key` in `section` of a profile's text, as GetPrivateProfileStringW gives it: names
// compared without regard to letter case, the first match taken, blanks around it and a pair of
// matching quotes taken off, at most `sizeLimit` - 1 characters; empty when there is none. A line
// beginning with ";" is a comment.
std::wstring ProfileString(const std::wstring& text, const wchar_t* section, const wchar_t* key,
                           uint32_t sizeLimit) {
    std::wstring current;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == L';') continue;
        if (line[0] == L'[') {
            current = Trim(line.substr(1, line.find(L']') - 1));
            continue;
        }
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos || !text::EqualsNoCase(current, section) ||
            !text::EqualsNoCase(Trim(line.substr(0, eq)), key))
            continue;
        std::wstring value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
            value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        if (sizeLimit && value.size() > sizeLimit - 1) value.resize(sizeLimit - 1);
        return value;
    }
    return std::wstring();
}

}  // namespace

void CUnPackFileApp::ReadPackageSettings(const CHeldFolder& work, RunState& run) {
    std::wstring profile;
    if (!ReadTextFile(work, L"setup.ini", profile)) return;  // no settings: no token from them
    auto read = [&](const wchar_t* key) {
        return ProfileString(profile, L"Settings", key, kSettingSizeLimit);
    };
    run.token = read(L"vesk_token");
    if (run.token.empty()) {
        const std::wstring gateway = read(L"gateway_mode");
        if (!gateway.empty() && text::EqualsNoCase(gateway, L"1")) GetTokenFromFileName(run);
        return;  // a token from the file name never receives the suffixes
    }
    const struct {
        const wchar_t* key;
        const wchar_t* prefix;
    } suffixes[] = {{L"token_category", L"_C"}, {L"token_mode", L"_M"}, {L"token_kind", L"_K"}};
    for (const auto& s : suffixes) {
        const std::wstring value = read(s.key);
        if (!value.empty()) run.token += s.prefix + value;
    }
}

namespace {

// A browser's mark of a repeated download right before the extension, " (N)", "(N)" or "[N]"
// with decimal digits ("Support-ab12cd (1).exe", "Support-ab12cd(1).exe",
// "Support-ab12cd[1].exe"), taken out of the name.
void DropDuplicateMark(std::wstring& name) {
    const size_t n = name.size();
    if (n < 7 || (name.compare(n - 4, 4, L".exe") != 0 && name.compare(n - 4, 4, L".EXE") != 0))
        return;
    const size_t close = n - 5;  // ")" or "]"
    const wchar_t open = name[close] == L')' ? L'(' : name[close] == L']' ? L'[' : 0;
    size_t at = close;  // then the first digit, then the opening bracket
    while (at > 0 && name[at - 1] >= L'0' && name[at - 1] <= L'9') --at;
    if (!open || at == close || at-- == 0 || name[at] != open) return;
    if (open == L'(' && at > 0 && name[at - 1] == L' ') --at;  // "(N)" with or without blank
    name.erase(at, close + 1 - at);
}

// Unicode's white space (the controls among it are refused as controls already): the blank,
// the no-break ones, the typographic spaces, the line and paragraph separators.
bool IsBlank(wchar_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

void CUnPackFileApp::GetTokenFromFileName(RunState& run) {
    const std::wstring path = Run().modulePath;
    const size_t dash = path.rfind(L'-');
    if (path.empty() || dash == std::wstring::npos) return;
    std::wstring token = path.substr(dash + 1);
    if (token.find(L'\\') != std::wstring::npos) return;  // the dash lies in a folder name
    DropDuplicateMark(token);
    text::ReplaceAll(token, L".EXE", L"");
    text::ReplaceAll(token, L".exe", L"");
    const size_t underscore = token.rfind(L'_');
    if (underscore != std::wstring::npos) token.erase(underscore);
    run.token = token;
}

bool CUnPackFileApp::IsSafeToken(const std::wstring& token) {
    // The token stands after "/c" outside any quotes, and inside the double quotes of the task's
    // action. There the interpreter reads & | < > (commands and redirections), ^ (its escape),
    // % and ! (variables), " (quoting), and the action reads ' (the program's quotes); control
    // characters end or split the line. A backslash at the end would escape the action's closing
    // quote for the program that reads its arguments. A blank of any kind splits the token into
    // arguments of the receiving program's choosing (a gateway file name
    // "Support-ab12cd QVServerVESK.exe 9.exe" would hand the system account's program three), and
    // a leading - or / makes it read as a switch. Anything else (, ; = [ ] and the like, letters
    // of any script) is plain text in both places.
    if (!token.empty() && (token[0] == L'-' || token[0] == L'/')) return false;
    for (wchar_t c : token) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
        if (std::wstring(L"&|<>^%\"'!").find(c) != std::wstring::npos) return false;
        if (IsBlank(c)) return false;
    }
    return token.empty() || token.back() != L'\\';
}

void CUnPackFileApp::RefuseUnsafeToken(RunState& run) {
    if (IsSafeToken(run.token)) return;
    logging::Log(tags::kRefuseUnsafeToken,
                 L"VESK token refused: it holds & | < > ^ %% \" ' ! or a control character, or "
                 L"ends in a backslash");
    run.token.clear();
}
