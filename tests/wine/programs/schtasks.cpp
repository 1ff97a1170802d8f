// A stand-in for the Task Scheduler command line in the Wine test prefixes (Wine's own refuses
// "/change ... /ru" and runs no tasks). It keeps task definitions as files in
// C:\windows\Tasks\substitute\ and understands the command lines the launcher uses:
//   schtasks /create /xml FILE /ru USER /tn NAME     (the action: <Command> and <Arguments>)
//   schtasks /change /tn NAME [/ru USER] /tr ACTION  ("'C:\path\prog.exe' arguments")
//   schtasks /run /tn NAME                           (starts the action as the calling user)
//   schtasks /delete [/f] /tn NAME
//   schtasks /query /tn NAME                         (exit code 0 when the task exists)
// Every call is appended to calls.txt in the same folder. Exit code 0 on success, 1 otherwise.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

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

// The text between <tag> and </tag> of a task definition (UTF-16 with a byte-order mark, or
// UTF-8).
std::wstring XmlValue(const std::string& raw, const wchar_t* tag) {
    std::wstring xml;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE)
        xml.assign(reinterpret_cast<const wchar_t*>(raw.data() + 2), (raw.size() - 2) / 2);
    else
        xml = Wide(raw);
    const std::wstring open = std::wstring(L"<") + tag + L">";
    const std::wstring close = std::wstring(L"</") + tag + L">";
    const size_t a = xml.find(open);
    const size_t b = a == std::wstring::npos ? a : xml.find(close, a);
    if (b == std::wstring::npos) return L"";
    return xml.substr(a + open.size(), b - a - open.size());
}

bool Is(const std::wstring& a, const wchar_t* b) { return ::lstrcmpiW(a.c_str(), b) == 0; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring store = StoreFolder();
    WriteText(store + L"\\calls.txt", Utf8(::GetCommandLineW()) + "\r\n", true);

    std::wstring verb, name, xml, action;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (Is(a, L"/create") || Is(a, L"/change") || Is(a, L"/run") || Is(a, L"/delete") ||
            Is(a, L"/query"))
            verb = a.substr(1);
        else if (Is(a, L"/tn") && hasValue)
            name = argv[++i];
        else if (Is(a, L"/xml") && hasValue)
            xml = argv[++i];
        else if (Is(a, L"/tr") && hasValue)
            action = argv[++i];
        else if (Is(a, L"/ru") && hasValue)
            ++i;  // every task runs as the calling user here
    }
    if (verb.empty() || name.empty()) {
        std::wprintf(L"ERROR: Invalid syntax.\n");
        return 1;
    }
    const std::wstring taskFile = store + L"\\" + name + L".task";
    std::string stored;
    const bool exists = ReadText(taskFile, stored);

    if (Is(verb, L"create")) {
        std::string definition;
        if (!ReadText(xml, definition)) {
            std::wprintf(L"ERROR: The system cannot find the file specified.\n");
            return 1;
        }
        std::wstring command = XmlValue(definition, L"Command");
        const std::wstring arguments = XmlValue(definition, L"Arguments");
        std::wstring line = L"'" + command + L"'" + (arguments.empty() ? L"" : L" " + arguments);
        WriteText(taskFile, Utf8(line), false);
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
    if (Is(verb, L"change")) {
        if (action.empty()) return 1;
        WriteText(taskFile, Utf8(action), false);
        std::wprintf(L"SUCCESS: The parameters of scheduled task \"%ls\" have been changed.\n",
                     name.c_str());
        return 0;
    }
    if (Is(verb, L"run")) {
        // "'C:\path\prog.exe' arguments": the program in single quotes, then its arguments.
        std::wstring line = Wide(stored);
        std::wstring program, rest;
        if (!line.empty() && line[0] == L'\'') {
            const size_t end = line.find(L'\'', 1);
            program = line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
            rest = end == std::wstring::npos ? L"" : line.substr(end + 1);
        } else {
            program = line.substr(0, line.find(L' '));
            rest = line.substr(program.size());
        }
        std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
        std::wstring commandLine = L"\"" + program + L"\"" + rest;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &si, &pi)) {
            std::wprintf(L"ERROR: cannot start %ls (%lu)\n", program.c_str(), ::GetLastError());
            return 1;
        }
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        std::wprintf(L"SUCCESS: Attempted to run the scheduled task \"%ls\".\n", name.c_str());
        return 0;
    }
    return 1;
}
