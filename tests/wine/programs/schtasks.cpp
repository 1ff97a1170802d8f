// A stand-in for the Task Scheduler command line in the Wine test prefixes (Wine's own runs no
// tasks and asks nothing). It keeps tasks as files in C:\windows\Tasks\substitute\ and
// understands the command lines the launcher uses, the way schtasks does:
//   schtasks /create /xml FILE /ru USER /tn NAME [/f]   the action of the definition's first
//       <Exec> (<Command>, <Arguments>; XML entities replaced), read as UTF-16LE with its
//       byte-order mark, the one Unicode form schtasks takes. A name already registered without
//       /f makes it ask "(Y/N)" and wait on its input for as long as no key comes; anything but
//       Y leaves the task as it is (exit code 1).
//   schtasks /run /tn NAME       starts the action as the calling user, as Task Scheduler does:
//       environment variables expanded, the program up to the closing quote of a quoted command
//       or else up to its first blank, in the system folder
//   schtasks /delete [/f] /tn NAME
//   schtasks /query /tn NAME     (exit code 0 when the task exists)
// Every call is appended to calls.txt in the same folder. Exit code 0 on success, 1 otherwise.
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace {

std::wstring StoreFolder() {
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    std::wstring tasks = std::wstring(windows) + L"\\Tasks";
    ::CreateDirectoryW(tasks.c_str(), nullptr);
    std::wstring folder = tasks + L"\\substitute";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

bool ReadText(const std::wstring& path, std::string& out) {
    HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    char buffer[4096];
    DWORD got = 0;
    out.clear();
    while (::ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got) out.append(buffer, got);
    ::CloseHandle(f);
    return true;
}

bool WriteText(const std::wstring& path, const std::string& text, bool append) {
    HANDLE f = ::CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                             append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(f);
    return ok;
}

std::string Utf8(const std::wstring& s) {
    std::string out(s.size() * 3 + 1, '\0');
    int n = ::WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], static_cast<int>(out.size()),
                                  nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::wstring Wide(const std::string& s) {
    std::wstring out(s.size() + 1, L'\0');
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

// The definition's text as schtasks reads a Unicode one: UTF-16LE after its byte-order mark
// (UTF-8 with a mark, or a file without one declared UTF-16, it refuses); false otherwise.
bool DecodeDefinition(const std::string& raw, std::wstring& xml) {
    if (raw.size() < 2 || raw.compare(0, 2, "\xFF\xFE") != 0) return false;
    xml.assign(reinterpret_cast<const wchar_t*>(raw.data() + 2), (raw.size() - 2) / 2);
    return true;
}

// The text of the first <tag> element after `from`, its entities replaced.
std::wstring XmlValue(const std::wstring& xml, const wchar_t* tag, size_t from) {
    const std::wstring open = std::wstring(L"<") + tag + L">";
    const std::wstring close = std::wstring(L"</") + tag + L">";
    const size_t a = xml.find(open, from);
    const size_t b = a == std::wstring::npos ? a : xml.find(close, a);
    if (b == std::wstring::npos) return L"";
    const std::wstring raw = xml.substr(a + open.size(), b - a - open.size());
    std::wstring out;
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t end = raw[i] == L'&' ? raw.find(L';', i) : std::wstring::npos;
        if (end == std::wstring::npos) {
            out += raw[i];
            continue;
        }
        const std::wstring name = raw.substr(i + 1, end - i - 1);
        if (name == L"amp")
            out += L'&';
        else if (name == L"lt")
            out += L'<';
        else if (name == L"gt")
            out += L'>';
        else if (name == L"apos")
            out += L'\'';
        else if (name == L"quot")
            out += L'"';
        i = end;
    }
    return out;
}

std::wstring Expanded(const std::wstring& s) {
    wchar_t buffer[32768];
    const DWORD n = ::ExpandEnvironmentStringsW(s.c_str(), buffer, 32768);
    return n > 0 && n <= 32768 ? std::wstring(buffer) : s;
}

// Whether the user answers Y on the input. Until a key comes, it waits: an input at its end is
// treated as the hidden console of a program started without one, where no key ever comes.
bool AnsweredYes(const std::wstring& name) {
    std::wprintf(
        L"WARNING: The task name \"%ls\" already exists. Do you want to replace it (Y/N)? ",
        name.c_str());
    std::fflush(stdout);
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) || got == 0)
            ::Sleep(100);
        else if (c != ' ' && c != '\r' && c != '\n')
            return c == 'y' || c == 'Y';
    }
}

bool Is(const std::wstring& a, const wchar_t* b) {
    return ::lstrcmpiW(a.c_str(), b) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring store = StoreFolder();
    WriteText(store + L"\\calls.txt", Utf8(::GetCommandLineW()) + "\r\n", true);

    std::wstring verb, name, xml;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (Is(a, L"/create") || Is(a, L"/run") || Is(a, L"/delete") || Is(a, L"/query"))
            verb = a.substr(1);
        else if (Is(a, L"/tn") && hasValue)
            name = argv[++i];
        else if (Is(a, L"/xml") && hasValue)
            xml = argv[++i];
        else if (Is(a, L"/ru") && hasValue)
            ++i;  // every task runs as the calling user here
        else if (Is(a, L"/f"))
            force = true;
        else
            verb.clear(), i = argc;  // a switch schtasks would not take here
    }
    if (verb.empty() || name.empty()) {
        std::wprintf(L"ERROR: Invalid syntax.\n");
        return 1;
    }
    const std::wstring taskFile = store + L"\\" + name + L".task";
    std::string stored;
    const bool exists = ReadText(taskFile, stored);

    if (Is(verb, L"create")) {
        std::string raw;
        std::wstring definition;
        if (!ReadText(xml, raw)) {
            std::wprintf(L"ERROR: The system cannot find the file specified.\n");
            return 1;
        }
        const size_t exec =
            DecodeDefinition(raw, definition) ? definition.find(L"<Exec>") : std::wstring::npos;
        const std::wstring command =
            exec == std::wstring::npos ? L"" : XmlValue(definition, L"Command", exec);
        if (command.empty()) {
            std::wprintf(L"ERROR: The task XML is malformed.\n");
            return 1;
        }
        if (exists && !force && !AnsweredYes(name)) return 1;
        WriteText(taskFile, Utf8(command + L"\n" + XmlValue(definition, L"Arguments", exec)),
                  false);
        std::wprintf(L"SUCCESS: The scheduled task \"%ls\" has successfully been created.\n",
                     name.c_str());
        return 0;
    }
    if (!exists) {
        std::wprintf(L"ERROR: The system cannot find the file specified.\n");
        return 1;
    }
    if (Is(verb, L"query")) return 0;
    if (Is(verb, L"delete")) return ::DeleteFileW(taskFile.c_str()) ? 0 : 1;

    // /run: "<command>\n<arguments>".
    const std::wstring task = Wide(stored);
    const std::wstring command = Expanded(task.substr(0, task.find(L'\n')));
    const std::wstring arguments =
        task.find(L'\n') == std::wstring::npos ? L"" : Expanded(task.substr(task.find(L'\n') + 1));
    const std::wstring program = command[0] == L'"' ? command.substr(1, command.find(L'"', 1) - 1)
                                                    : command.substr(0, command.find(L' '));
    std::wstring commandLine = command + (arguments.empty() ? L"" : L" " + arguments);
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          system, &si, &pi)) {
        std::wprintf(L"ERROR: cannot start %ls (%lu)\n", program.c_str(), ::GetLastError());
        return 1;
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    std::wprintf(L"SUCCESS: Attempted to run the scheduled task \"%ls\".\n", name.c_str());
    return 0;
}
