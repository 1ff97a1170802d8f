#include "sim/sim_tasks.h"

#include <vector>

#include "util/text.h"

namespace sim {

namespace {

constexpr int64_t kUnansweredMs = 3600 * 1000;

// The words of a command line, quotes removed.
std::vector<std::wstring> Words(const std::wstring& line) {
    std::vector<std::wstring> words;
    std::wstring word;
    bool quoted = false, any = false;
    for (wchar_t c : line + L" ") {
        if (c == L'"') {
            quoted = !quoted;
            any = true;
        } else if (c == L' ' && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    return words;
}

bool EndsWithNoCase(const std::wstring& s, const std::wstring& end) {
    return s.size() >= end.size() && text::EqualsNoCase(s.substr(s.size() - end.size()), end);
}

// The text of the first <tag> element, its entities replaced.
std::wstring Element(const std::wstring& xml, const std::wstring& tag) {
    const size_t open = xml.find(L"<" + tag + L">");
    const size_t close = xml.find(L"</" + tag + L">", open);
    if (open == std::wstring::npos || close == std::wstring::npos) return L"";
    std::wstring s = xml.substr(open + tag.size() + 2, close - open - tag.size() - 2);
    for (auto [from, to] : {std::pair{L"&lt;", L"<"},
                            {L"&gt;", L">"},
                            {L"&apos;", L"'"},
                            {L"&quot;", L"\""},
                            {L"&amp;", L"&"}})
        text::ReplaceAll(s, from, to);
    return s;
}

}  // namespace

std::optional<Program> TaskScheduler::Handle(const std::wstring& parameters,
                                             const std::wstring& directory) {
    const std::vector<std::wstring> w = Words(parameters);
    if (w.size() < 2 || w[0] != L"/c" ||
        !(EndsWithNoCase(w[1], L"schtasks") || EndsWithNoCase(w[1], L"schtasks.exe")))
        return std::nullopt;
    std::wstring verb, name, xml, account;
    bool force = false;
    for (size_t i = 2; i < w.size(); ++i) {
        const bool value = i + 1 < w.size();
        if (w[i] == L"/tn" && value)
            name = w[++i];
        else if (w[i] == L"/xml" && value)
            xml = w[++i];
        else if (w[i] == L"/ru" && value)
            account = w[++i];
        else if (w[i] == L"/f")
            force = true;
        else
            verb = w[i];
    }
    const bool exists = tasks.count(name) != 0;
    if (verb == L"/create") {
        if (exists && !force) return Runs(kUnansweredMs, 1);
        const std::string bytes = m_machine.ReadFile(
            directory + (directory.empty() || directory.back() == L'\\' ? L"" : L"\\") + xml);
        if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0) return Runs(0, 1);
        const std::wstring definition =
            text::FromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
        tasks[name] = {text::EqualsNoCase(account, L"system") ? L"SYSTEM" : account,
                       Element(definition, L"Command"), Element(definition, L"Arguments")};
        return Runs(0, 0);
    }
    if (!exists || (verb != L"/run" && verb != L"/delete")) return Runs(0, 1);
    if (verb == L"/run" && onRun) onRun(tasks[name]);
    if (verb == L"/delete") tasks.erase(name);
    return Runs(0, 0);
}

}  // namespace sim
