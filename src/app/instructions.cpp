// Values the launcher leaves in the product key for the agent: its own paths at start-up, the
// session note and idle time-out from command-line instructions, and the code-signing check.
#include <climits>

#include "app/app.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/text.h"

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// A signed decimal number: leading blanks and one sign accepted, stops at the first character
// that is not a digit, no digits give 0, out-of-range numbers clamp to the 32-bit limits.
int32_t ToNumber(const std::wstring& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = s[i++] == L'-';
    int64_t n = 0;
    for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
        n = n * 10 + (s[i] - L'0');
        if (n > int64_t(INT32_MAX) + 1) break;  // clamped below either way
    }
    if (negative) n = -n;
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(n);
}

// The product key of the logged-on user, created when missing.
bool SelectProductKey(CRegistry& registry) {
    return registry.SetRootKey(plat::kHkeyCurrentUser, true) &&
           registry.OpenKey(kUniversalPathConvert, true);
}

}  // namespace

void CUnPackFileApp::WriteStartupValues() {
    CRegistry registry;
    if (!SelectProductKey(registry)) return;
    registry.SetStringValue(L"ImagePath", Run().modulePath, plat::kRegSz);
    std::wstring desktop;
    if (plat::files().SHGetFolderPath(plat::kCsidlDesktop, plat::kShgfpTypeDefault, desktop) >= 0)
        registry.SetStringValue(L"DesktopPath", text::Format(L"%ls\\VESK.exe", desktop.c_str()),
                                plat::kRegSz);
}

void CUnPackFileApp::HandleInstruction(std::wstring instruction) {
    CRegistry registry;
    // Without the product key there is nowhere to put the values: writing them into whatever
    // key the accessor names instead would only leave litter in the user's hive.
    if (!SelectProductKey(registry)) return;
    // Values of an earlier run never survive a run that handles instructions.
    registry.DeleteValue(L"NoteSession");
    registry.DeleteValue(L"IdleSessionTimeout");
    if (instruction.empty()) return;
    logging::Log(tags::kHandleInstruction, L"VESK Instruction %ls", instruction.c_str());

    // Items are the runs of characters between commas; each is KEY=VALUE.
    for (size_t pos = 0; pos < instruction.size();) {
        size_t end = instruction.find(L',', pos);
        if (end == std::wstring::npos) end = instruction.size();
        const std::wstring item = instruction.substr(pos, end - pos);
        pos = end + 1;
        const size_t equals = item.find(L'=');
        if (equals == std::wstring::npos) continue;
        size_t keyStart = 0;
        while (keyStart < equals && IsBlank(item[keyStart])) ++keyStart;
        const std::wstring key = item.substr(keyStart, equals - keyStart);
        size_t valueEnd = item.size();
        while (valueEnd > equals + 1 && IsBlank(item[valueEnd - 1])) --valueEnd;
        const std::wstring value = item.substr(equals + 1, valueEnd - equals - 1);

        if (text::EqualsNoCase(key, L"NOTE")) {
            registry.SetStringValue(L"NoteSession", value, plat::kRegSz);
        } else if (text::EqualsNoCase(key, L"IDLE")) {
            const int32_t seconds = ToNumber(value);
            if (seconds >= 0 && seconds <= 9999)
                registry.SetDWORDValue(L"IdleSessionTimeout", static_cast<uint32_t>(seconds));
        }
    }
}

bool CUnPackFileApp::HasCodeSignSettings() {
    CRegistry registry;
    if (!SelectProductKey(registry)) return false;
    std::wstring theme, output;
    return registry.GetStringValue(L"CodeSignTheme", theme) && !theme.empty() &&
           registry.GetStringValue(L"CodeSignOutput", output) && !output.empty();
}
