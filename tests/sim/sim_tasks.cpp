#include "sim/sim_tasks.h"

#include "util/text.h"

namespace sim {

namespace {

// The word after `option` (quotes removed), or "".
std::wstring After(const std::wstring& line, const std::wstring& option) {
    const size_t at = line.find(L" " + option + L" ");
    if (at == std::wstring::npos) return L"";
    std::wstring word = line.substr(at + option.size() + 2);
    word = word.substr(0, word.find(L' '));
    text::ReplaceAll(word, L"\"", L"");
    return word;
}

// The text of the first <tag> element, entities replaced.
std::wstring Element(const std::wstring& xml, const std::wstring& tag) {
    const size_t open = xml.find(L"<" + tag + L">"), close = xml.find(L"</" + tag + L">");
    if (open == std::wstring::npos || close == std::wstring::npos) return L"";
    std::wstring s = xml.substr(open + tag.size() + 2, close - open - tag.size() - 2);
    for (auto [from, to] : {std::pair{L"&lt;", L"<"}, {L"&gt;", L">"}, {L"&amp;", L"&"}})
        text::ReplaceAll(s, from, to);
    return s;
}

}  // namespace

std::optional<Program> TaskScheduler::Handle(const std::wstring& parameters,
                                             const std::wstring& directory) {
    const size_t program = parameters.find(L"schtasks");
    if (parameters.rfind(L"/c ", 0) != 0 || program == std::wstring::npos ||
        parameters.find(L' ', 3) < program)
        return std::nullopt;
    const std::wstring name = After(parameters, L"/tn");
    const bool exists = tasks.count(name) != 0;
    if (parameters.find(L" /create ") != std::wstring::npos) {
        if (exists && parameters.find(L" /f") == std::wstring::npos) return Runs(3600 * 1000, 1);
        const std::string bytes = m.ReadFile(directory + After(parameters, L"/xml"));
        if (bytes.compare(0, 2, "\xFF\xFE") != 0) return Runs(0, 1);
        const std::wstring xml =
            text::FromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
        const std::wstring account = After(parameters, L"/ru");
        tasks[name] = {text::EqualsNoCase(account, L"system") ? L"SYSTEM" : account,
                       Element(xml, L"Command"), Element(xml, L"Arguments")};
        return Runs(0, 0);
    }
    if (!exists) return Runs(0, 1);
    if (parameters.find(L" /run ") != std::wstring::npos && onRun) onRun(tasks[name]);
    if (parameters.find(L" /delete ") != std::wstring::npos) tasks.erase(name);
    return Runs(0, 0);
}

}  // namespace sim
