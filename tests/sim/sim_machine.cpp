// The simulated machine: clock, processes, windows, mutexes, file mapping, registry helpers,
// and the kernel and window-manager sides of the seam.
#include "sim/sim_machine.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "res/strings.h"
#include "sim/sim_impl.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/text.h"

namespace sim {

namespace {
thread_local uint32_t t_lastError = 0;

std::wstring BaseName(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    std::wstring name = pos == std::wstring::npos ? path : path.substr(pos + 1);
    return name;
}
}  // namespace

void SetError(uint32_t code) {
    t_lastError = code;
}
uint32_t GetError() {
    return t_lastError;
}

std::optional<SimMachine::Impl::FileId> FileIdOf(const std::string& hostPath) {
    struct stat st;
    if (::lstat(hostPath.c_str(), &st) != 0) return std::nullopt;
    return SimMachine::Impl::FileId{st.st_dev, st.st_ino};
}

std::wstring Hex(uint32_t v) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%x", v);
    return buf;
}

std::wstring Upper(const std::wstring& s) {
    std::wstring out = s;
    for (wchar_t& c : out) c = text::FoldAscii(c);
    return out;
}

std::wstring CanonKey(const std::wstring& path) {
    std::wstring out;
    for (wchar_t c : path) {
        if (c == L'\\' && (out.empty() || out.back() == L'\\')) continue;
        out.push_back(text::FoldAscii(c));
    }
    while (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

// ---- construction -------------------------------------------------------------------------

SimMachine::SimMachine() : m_impl(std::make_unique<Impl>(*this)) {
    // Below $TMPDIR when set (the fuzz targets put thousands of machines a second on a RAM disk).
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-sim-XXXXXX";
    char* dir = mkdtemp(pattern.data());
    if (!dir) throw std::runtime_error("mkdtemp failed");
    root = dir;
    std::filesystem::create_directories(root + "/C");
    m_impl->driveOwner = userName;
    logging::ResetState();  // a new machine is a new run
    ForgetRun();
    m_impl->kernel = MakeKernel(*this);
    m_impl->files = MakeFiles(*this);
    m_impl->user = MakeUser(*this);
    m_impl->registry = MakeRegistry(*this);
    m_impl->loading = MakeLoadingSurface(*this);
    m_platform = {m_impl->kernel.get(), m_impl->files.get(), m_impl->user.get(),
                  m_impl->registry.get(), m_impl->loading.get()};
    // A desktop session: the shell runs as the logged-on user, whose folders exist.
    AddProcess(L"explorer.exe", 1, -1, 0, L"user");
    for (const std::wstring& folder :
         {tempPath, desktop, currentDir, windowsDir + L"\\system32", commonAppData})
        std::filesystem::create_directories(HostPath(folder));
    // The common application-data folder as Windows sets it up.
    constexpr uint32_t kBoth = plat::kObjectInherit | plat::kContainerInherit;
    SetAccess(commonAppData,
              {plat::kSidSystem,
               true,
               false,
               {{plat::kSidSystem, plat::kFileAllAccess, kBoth, true},
                {plat::kSidAdministrators, plat::kFileAllAccess, kBoth, true},
                {kSidCreatorOwner, plat::kFileAllAccess, kBoth | plat::kInheritOnly, true},
                {plat::kSidUsers, plat::kFileGenericReadExecute, kBoth, true},
                {plat::kSidUsers, 0x2 | 0x4 | 0x100, plat::kContainerInherit, true}}});
    // The program's own string table.
    for (const res::StringEntry& e : res::kStrings) strings[e.id] = e.text;
    // The loading window's pictures: background 306 x 92, spinner frames 48 x 48.
    loading.pngs[200] = FakePng(306, 92);
    for (uint32_t id = 201; id <= 212; ++id) loading.pngs[id] = FakePng(48, 48);
    m_previous = plat::Install(&m_platform);
    SetError(0);
}

SimMachine::~SimMachine() {
    logging::ResetState();  // the run ends with the machine: nothing of it is held on
    ForgetRun();            // its temp folder, held, is let go here, while it is installed
    plat::Install(m_previous);
    for (auto& [h, obj] : m_impl->handles)
        if (auto* f = std::get_if<FileObj>(&obj); f && f->fd >= 0) ::close(f->fd);
    if (m_impl->imageFd >= 0) ::close(m_impl->imageFd);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

// ---- clock --------------------------------------------------------------------------------

void SimMachine::At(uint64_t when, std::function<void()> fn) {
    m_events.emplace(when < m_now ? m_now : when, std::move(fn));
}

void SimMachine::Advance(uint64_t ms) {
    const uint64_t until = m_now + ms;
    while (!m_events.empty() && m_events.begin()->first <= until) {
        auto it = m_events.begin();
        m_now = it->first;
        auto fn = std::move(it->second);
        m_events.erase(it);
        fn();
    }
    // An event may itself have moved the clock further (a program run from within it).
    if (m_now < until) m_now = until;
}

// ---- processes and windows -----------------------------------------------------------------

uint32_t SimMachine::AddProcess(const std::wstring& exe, uint32_t session, int64_t runMs,
                                uint32_t exitCode, const std::wstring& account) {
    Impl& d = *m_impl;
    SimProcess p;
    p.pid = (d.nextPid += 4);
    p.exe = exe;
    p.session = session;
    p.account = account.empty() ? d.ProcessAccount() : account;
    p.kind = account.empty() ? token : d.KindOf(account);
    d.processes[p.pid] = p;
    const uint32_t pid = p.pid;
    if (runMs >= 0)
        After(static_cast<uint64_t>(runMs), [this, pid, exitCode] { EndProcess(pid, exitCode); });
    return pid;
}

void SimMachine::EndProcess(uint32_t pid, uint32_t exitCode) {
    auto it = m_impl->processes.find(pid);
    if (it == m_impl->processes.end() || !it->second.alive) return;
    it->second.alive = false;
    it->second.exitCode = exitCode;
    // A process's windows go with it.
    for (auto& [h, w] : m_impl->windows)
        if (w.ownerPid == pid) w.alive = false;
}

bool SimMachine::IsAlive(uint32_t pid) const {
    auto it = m_impl->processes.find(pid);
    return it != m_impl->processes.end() && it->second.alive;
}

uint32_t SimMachine::ExitCodeOf(uint32_t pid) const {
    auto it = m_impl->processes.find(pid);
    return it == m_impl->processes.end() ? 0 : it->second.exitCode;
}

std::vector<uint32_t> SimMachine::ProcessesNamed(const std::wstring& exe) const {
    std::vector<uint32_t> out;
    for (const auto& [pid, p] : m_impl->processes)
        if (p.alive && text::EqualsNoCase(p.exe, exe)) out.push_back(pid);
    return out;
}

plat::Hwnd SimMachine::AddWindow(const std::wstring& className, uint32_t ownerPid,
                                 uint32_t session) {
    SimWindow w;
    w.hwnd = plat::Hwnd(m_impl->nextHwnd += 0x10);
    w.className = className;
    w.ownerPid = ownerPid;
    w.session = session == 0xFFFFFFFF ? selfSession : session;
    w.threadId = 5000 + ownerPid;
    m_impl->windows[w.hwnd] = w;
    return w.hwnd;
}

void SimMachine::CloseWindow(plat::Hwnd window) {
    auto it = m_impl->windows.find(window);
    if (it != m_impl->windows.end()) it->second.alive = false;
}

bool SimMachine::WindowAlive(plat::Hwnd window) const {
    auto it = m_impl->windows.find(window);
    return it != m_impl->windows.end() && it->second.alive;
}

// ---- mutexes --------------------------------------------------------------------------------

namespace {
std::wstring MutexKey(const std::wstring& name, uint32_t session) {
    return std::to_wstring(session) + L"|" + name;
}
}  // namespace

void SimMachine::HoldMutex(const std::wstring& name, uint32_t session) {
    ++m_impl->mutexOthers[MutexKey(name, session)];
}

void SimMachine::ReleaseMutex(const std::wstring& name, uint32_t session) {
    auto it = m_impl->mutexOthers.find(MutexKey(name, session));
    if (it != m_impl->mutexOthers.end() && --it->second <= 0) m_impl->mutexOthers.erase(it);
}

int SimMachine::MutexHolders(const std::wstring& name, uint32_t session) const {
    const std::wstring key = MutexKey(name, session);
    int n = 0;
    if (auto it = m_impl->mutexOthers.find(key); it != m_impl->mutexOthers.end()) n += it->second;
    if (auto it = m_impl->mutexOwnHandles.find(key); it != m_impl->mutexOwnHandles.end())
        n += it->second;
    return n;
}

// ---- identity -------------------------------------------------------------------------------

std::wstring SimMachine::Impl::ProcessAccount() const {
    return m.token == TokenKind::System ? L"SYSTEM" : m.userName;
}

std::wstring SimMachine::Impl::AccountOfSid(const std::wstring& sid) const {
    if (sid == plat::kSidSystem) return L"SYSTEM";
    for (const auto& [account, known] : m.accountSids)
        if (known == sid) return account;
    const std::wstring made = L"S-1-5-21-1-";  // what SidOf makes up from a name
    return sid.compare(0, made.size(), made) == 0 ? sid.substr(made.size()) : std::wstring();
}

TokenKind SimMachine::Impl::KindOf(const std::wstring& account) const {
    if (text::EqualsNoCase(account, L"SYSTEM")) return TokenKind::System;
    return m.administrators.count(account) ? TokenKind::LimitedAdmin : TokenKind::StandardUser;
}

SimToken SimMachine::Impl::ActingToken() const {
    if (m.impersonating.empty()) return OwnToken();
    if (impersonation && impersonation->account == m.impersonating) return *impersonation;
    return {KindOf(m.impersonating), m.impersonating};  // set by a test
}

SimToken SimMachine::Impl::OwnToken() const {
    return {m.token, ProcessAccount()};
}

// ---- files --------------------------------------------------------------------------------

std::wstring SimMachine::Impl::Absolute(const std::wstring& path) const {
    std::wstring p = path;
    for (wchar_t& c : p)
        if (c == L'/') c = L'\\';
    std::wstring full;
    if (p.size() >= 2 && p[1] == L':')
        full = p;
    else if (!p.empty() && p[0] == L'\\')
        full = m.currentDir.substr(0, 2) + p;
    else
        full = m.currentDir + L"\\" + p;
    // Normalise "." and ".." and repeated separators.
    std::vector<std::wstring> parts;
    std::wstring part;
    std::wstringstream ss(full.substr(2));
    while (std::getline(ss, part, L'\\')) {
        if (part.empty() || part == L".") continue;
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::wstring out = std::wstring(1, text::FoldAscii(full[0])) + L":";
    for (const std::wstring& x : parts) out += L"\\" + x;
    if (parts.empty()) out += L"\\";
    return out;
}

std::string SimMachine::HostPath(const std::wstring& windowsPath) const {
    const std::wstring full = m_impl->Absolute(windowsPath);
    std::string host = root + "/" + text::Narrow(full.substr(0, 1));
    std::wstringstream ss(full.substr(2));
    std::wstring part;
    while (std::getline(ss, part, L'\\')) {
        if (part.empty()) continue;
        std::string name = text::Narrow(part);
        struct stat st;
        if (::lstat((host + "/" + name).c_str(), &st) != 0) {
            // Windows names are case-insensitive: find an existing spelling.
            if (DIR* dir = ::opendir(host.c_str())) {
                while (dirent* e = ::readdir(dir)) {
                    if (text::EqualsNoCase(text::Widen(e->d_name), part)) {
                        name = e->d_name;
                        break;
                    }
                }
                ::closedir(dir);
            }
        }
        host += "/" + name;
    }
    return host;
}

std::wstring SimMachine::SidOf(const std::wstring& account) const {
    if (text::EqualsNoCase(account, L"SYSTEM")) return plat::kSidSystem;
    auto it = accountSids.find(account);
    return it != accountSids.end() ? it->second : L"S-1-5-21-1-" + account;
}

void SimMachine::SetAccess(const std::wstring& path, const plat::AccessList& list) {
    m_impl->SetDescriptor(m_impl->AccessKey(path), list);
}

plat::AccessList SimMachine::AccessOf(const std::wstring& path) const {
    return m_impl->ListOf(m_impl->AccessKey(path));
}

void SimMachine::WriteFile(const std::wstring& path, const std::string& bytes) {
    const std::string host = HostPath(path);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    // A file the test makes is nobody's creation through the program: it inherits.
    if (const auto id = FileIdOf(host)) m_impl->descriptors.erase(*id);
}

std::string SimMachine::ReadFile(const std::wstring& path) const {
    std::ifstream in(HostPath(path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool SimMachine::Exists(const std::wstring& path) const {
    struct stat st;
    return ::lstat(HostPath(path).c_str(), &st) == 0;
}

int SimMachine::OpenFiles() const {
    return m_impl->Count<FileObj>();
}

void SimMachine::SetReadOnly(const std::wstring& path, bool readOnly) {
    ::chmod(HostPath(path).c_str(), readOnly ? 0444 : 0644);
}

void SimMachine::MakeSymlink(const std::wstring& link, const std::wstring& target) {
    const std::string host = HostPath(link);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::filesystem::create_symlink(HostPath(target), host);
    if (const auto id = FileIdOf(host)) m_impl->descriptors.erase(*id);
}

// ---- registry helpers -------------------------------------------------------------------------

void SimMachine::CreateRegKey(const std::wstring& hive, const std::wstring& key) {
    Hive& h = m_impl->HiveOf(hive);
    std::wstring canon = CanonKey(key);
    h[L""];
    for (size_t pos = 0; pos != std::wstring::npos;) {
        pos = canon.find(L'\\', pos + 1);
        h[canon.substr(0, pos)];
    }
}

void SimMachine::SetRegValue(const std::wstring& hive, const std::wstring& key,
                             const std::wstring& name, uint32_t type,
                             const std::vector<uint8_t>& data) {
    CreateRegKey(hive, key);
    m_impl->HiveOf(hive)[CanonKey(key)].values[Upper(name)] = {name, RegValue{type, data}};
}

void SimMachine::SetRegString(const std::wstring& hive, const std::wstring& key,
                              const std::wstring& name, const std::wstring& value, uint32_t type) {
    std::string bytes = text::ToUtf16Le(value);
    bytes.push_back('\0');
    bytes.push_back('\0');
    SetRegValue(hive, key, name, type, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void SimMachine::SetRegDword(const std::wstring& hive, const std::wstring& key,
                             const std::wstring& name, uint32_t value) {
    SetRegValue(hive, key, name, plat::kRegDword,
                {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                 static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

bool SimMachine::GetRegValue(const std::wstring& hive, const std::wstring& key,
                             const std::wstring& name, RegValue& out) const {
    auto h = m_impl->hives.find(Upper(hive));
    if (h == m_impl->hives.end()) return false;
    auto k = h->second.find(CanonKey(key));
    if (k == h->second.end()) return false;
    auto v = k->second.values.find(Upper(name));
    if (v == k->second.values.end()) return false;
    out = v->second.second;
    return true;
}

bool SimMachine::RegKeyExists(const std::wstring& hive, const std::wstring& key) const {
    auto h = m_impl->hives.find(Upper(hive));
    return h != m_impl->hives.end() && h->second.count(CanonKey(key));
}

// ---- records ------------------------------------------------------------------------------

std::vector<std::wstring> SimMachine::CallsStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> out;
    for (const std::wstring& c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
    return out;
}

std::wstring SimMachine::LogPath() const {
    uint32_t session = sessionQueryFails ? 0xFFFFFFFF : selfSession;
    return tempPath + L"unpack" + std::to_wstring(static_cast<int>(session)) + L".log";
}

std::vector<std::wstring> SimMachine::LogLines() const {
    std::string bytes = ReadFile(LogPath());
    std::wstring all =
        text::FromUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t pos; (pos = all.find(L"\r\n", start)) != std::wstring::npos; start = pos + 2)
        lines.push_back(all.substr(start, pos - start));
    return lines;
}

std::wstring LogMessageOf(const std::wstring& line) {
    // "[pid]YYYY-MM-DD HH:MM:SS  message (Last=n)"
    size_t head = line.find(L"  ");
    size_t tail = line.rfind(L" (Last=");
    if (head == std::wstring::npos || tail == std::wstring::npos || tail < head + 2) return line;
    return line.substr(head + 2, tail - head - 2);
}

std::vector<std::wstring> SimMachine::LogMessages() const {
    std::vector<std::wstring> out;
    for (const std::wstring& line : LogLines()) out.push_back(LogMessageOf(line));
    return out;
}

// ---- kernel -------------------------------------------------------------------------------

namespace {

// An elevated administrator's token and the system's are elevated and hold the Administrators
// group; an administrator's limited token is linked to the elevated one.
bool Elevated(TokenKind kind) {
    return kind == TokenKind::ElevatedAdmin || kind == TokenKind::System;
}

class Kernel final : public plat::IKernel {
public:
    explicit Kernel(SimMachine& m) : m(m), d(m.impl()) {}

    uint32_t GetLastError() override { return GetError(); }
    void SetLastError(uint32_t code) override { SetError(code); }

    uint32_t GetCurrentProcessId() override { return m.selfPid; }
    uint32_t GetCurrentThreadId() override { return d.currentThreadId; }
    bool ProcessIdToSessionId(uint32_t pid, uint32_t* session) override {
        if (pid == m.selfPid) {
            if (m.sessionQueryFails) return Fail(plat::kErrorAccessDenied);
            *session = m.selfSession;
            return true;
        }
        auto it = d.processes.find(pid);
        if (it == d.processes.end() || m.sessionUnknownProcesses.count(pid))
            return Fail(plat::kErrorInvalidParameter);
        *session = it->second.session;
        return true;
    }

    bool ProcessSnapshot(std::vector<plat::ProcessEntry>& out) override {
        out.clear();
        if (m.snapshotFails) return Fail(plat::kErrorAccessDenied);
        for (const auto& [pid, p] : d.processes)
            if (p.alive) out.push_back({pid, p.exe});
        return true;
    }

    plat::Handle OpenProcess(uint32_t access, bool inherit, uint32_t pid) override {
        m.calls.push_back(L"OpenProcess " + std::to_wstring(pid) + L" " + Hex(access) +
                          (inherit ? L" inherit" : L""));
        auto it = d.processes.find(pid);
        if (it == d.processes.end()) return Fail(plat::kErrorInvalidParameter), plat::Handle();
        if (m.unopenableProcesses.count(pid)) return Fail(plat::kErrorAccessDenied), plat::Handle();
        // Another account's process grants an administrator no more than to query it, wait for
        // it and end it (its list names its own account and the system); the system account
        // may do anything.
        constexpr uint32_t kAdminRights =
            plat::kProcessQueryLimitedInformation | plat::kSynchronize | plat::kProcessTerminate;
        if ((access & ~kAdminRights) &&
            !text::EqualsNoCase(it->second.account, d.ProcessAccount()) &&
            m.token != TokenKind::System)
            return Fail(plat::kErrorAccessDenied), plat::Handle();
        return d.Add(ProcessObj{pid});
    }
    bool TerminateProcess(plat::Handle process, uint32_t exitCode) override {
        auto* p = d.Get<ProcessObj>(process);
        if (!p) return Fail(plat::kErrorInvalidHandle);
        m.calls.push_back(L"TerminateProcess " + std::to_wstring(p->pid) + L" " +
                          std::to_wstring(exitCode));
        m.EndProcess(p->pid, exitCode);
        return true;
    }
    bool GetExitCodeProcess(plat::Handle process, uint32_t* exitCode) override {
        auto* p = d.Get<ProcessObj>(process);
        if (!p) return Fail(plat::kErrorInvalidHandle);
        *exitCode = d.processes[p->pid].exitCode;
        return true;
    }
    uint32_t WaitForSingleObject(plat::Handle h, uint32_t ms) override {
        if (d.Get<ThreadObj>(h)) return plat::kWaitObject0;  // threads run to their end at once
        auto* p = d.Get<ProcessObj>(h);
        if (!p) return Fail(plat::kErrorInvalidHandle), plat::kWaitFailed;
        const uint32_t pid = p->pid;
        m.Advance(0);  // what is due now happens first
        const uint64_t start = m.Now();
        const uint64_t deadline = ms == plat::kInfinite ? UINT64_MAX : start + ms;
        // Let time pass one millisecond at a time until the process ends or time is up. A wait
        // with a time-out is a pause of the program like a sleep, and recorded as one.
        uint32_t result = plat::kWaitObject0;
        while (m.IsAlive(pid)) {
            if (m.Now() >= deadline) {
                result = plat::kWaitTimeout;
                break;
            }
            if (ms == plat::kInfinite && m.Now() > 24ull * 3600 * 1000)
                throw std::runtime_error("simulated process never ends");
            m.Advance(1);
        }
        if (ms != plat::kInfinite) m.sleeps.push_back(static_cast<uint32_t>(m.Now() - start));
        return result;
    }
    bool CloseHandle(plat::Handle h) override {
        auto it = d.handles.find(h.value);
        if (it == d.handles.end()) return Fail(plat::kErrorInvalidHandle);
        if (auto* mx = std::get_if<MutexObj>(&it->second); mx && !mx->key.empty()) {
            if (--d.mutexOwnHandles[mx->key] <= 0) d.mutexOwnHandles.erase(mx->key);
        }
        if (auto* f = std::get_if<FileObj>(&it->second)) {
            if (f->deletePending) {  // what the handle holds now goes, as itself
                std::error_code ec;
                const std::string key = f->link ? f->hostPath
                                                : std::filesystem::read_symlink(
                                                      "/proc/self/fd/" + std::to_string(f->fd), ec)
                                                      .string();
                if (!ec) {
                    d.Forget(key);
                    std::filesystem::remove(key, ec);
                }
            }
            if (f->fd >= 0) ::close(f->fd);
        }
        d.handles.erase(it);
        return true;
    }

    bool CreateProcess(const plat::ProcessStart& start, plat::ProcessInfo& out) override {
        const std::wstring& commandLine = start.commandLine;
        m.calls.push_back(L"CreateProcess " + commandLine + L"|" + start.currentDirectory + L"|" +
                          std::to_wstring(start.show) + L"|" + Hex(start.creationFlags) +
                          (start.inheritHandles ? L"|inherit" : L"") +
                          (start.application.empty() ? L"" : L"|app:" + start.application));
        Program prog =
            m.onCreateProcess ? m.onCreateProcess(commandLine, start.currentDirectory) : Program{};
        if (prog.exe.empty() && !start.application.empty()) prog.exe = BaseName(start.application);
        if (prog.exe.empty()) {
            // The program is the first token of the command line (quoted or up to a blank).
            std::wstring first = commandLine;
            if (!first.empty() && first[0] == L'"')
                first = first.substr(1, first.find(L'"', 1) - 1);
            else
                first = first.substr(0, first.find(L' '));
            prog.exe = BaseName(first);
        }
        uint32_t pid = 0;
        if (!Start(prog, &pid)) return false;
        out.hProcess = d.Add(ProcessObj{pid});
        out.hThread = d.Add(ThreadObj{});
        out.pid = pid;
        return true;
    }

    bool ShellExecuteEx(plat::ShellExecInfo& info) override {
        m.calls.push_back(L"ShellExecuteEx " + info.verb + L"|" + info.file + L"|" +
                          info.parameters + L"|" + info.directory + L"|" + Hex(info.mask) + L"|" +
                          std::to_wstring(info.show));
        info.hProcess = plat::Handle();
        Program prog = m.onShellExecute ? m.onShellExecute(info) : Program{};
        if (prog.exe.empty()) prog.exe = BaseName(info.file);
        uint32_t pid = 0;
        if (!Start(prog, &pid)) return false;
        if (info.mask & plat::kSeeMaskNoCloseProcess) info.hProcess = d.Add(ProcessObj{pid});
        return true;
    }

    std::wstring GetCommandLine() override { return m.commandLine; }
    bool SetEnvironmentVariable(const std::wstring& name, const std::wstring* value) override {
        if (value)
            m.environment[name] = *value;
        else
            m.environment.erase(name);
        return true;
    }

    plat::Handle CreateThread(plat::ThreadProc proc, void* param) override {
        // The worker runs to its end at once; the caller's wait then returns immediately.
        const uint32_t saved = d.currentThreadId;
        d.currentThreadId = (d.nextThreadId += 4);
        m.calls.push_back(L"CreateThread");
        const uint32_t mainError = GetError();
        ThreadObj t;
        t.exitCode = proc(param);
        d.currentThreadId = saved;
        SetError(mainError);
        return d.Add(t);
    }

    plat::Handle CreateMutex(const std::wstring* name) override {
        if (!name) {
            SetError(0);
            return d.Add(MutexObj{});
        }
        const std::wstring key = std::to_wstring(m.selfSession) + L"|" + *name;
        const bool exists = m.MutexHolders(*name, m.selfSession) > 0;
        m.calls.push_back(L"CreateMutex " + *name);
        if (exists && m.mutexAccessDenied) return Fail(plat::kErrorAccessDenied), plat::Handle();
        ++d.mutexOwnHandles[key];
        plat::Handle h = d.Add(MutexObj{key});
        SetError(exists ? plat::kErrorAlreadyExists : 0);
        return h;
    }

    void Sleep(uint32_t ms) override {
        m.sleeps.push_back(ms);
        m.Advance(ms);
    }
    bool LocalTimeNow(plat::CivilTime& out) override {
        if (m.localTimeFails) return false;
        out = m.clockBase;
        uint64_t s = m.Now() / 1000 + out.second + 60ull * out.minute + 3600ull * out.hour;
        out.second = static_cast<int>(s % 60);
        out.minute = static_cast<int>((s / 60) % 60);
        out.hour = static_cast<int>((s / 3600) % 24);
        out.day += static_cast<int>(s / 86400);
        return true;
    }

    void OutputDebugString(const std::wstring& text) override {
        m.debugOutput.push_back(text);
        if (m.onDebugOutput) m.onDebugOutput(text);
    }

    bool OpenProcessToken(plat::Handle process, uint32_t access, plat::Handle* token) override {
        (void)access;
        if (!process) return *token = d.Add(TokenObj{d.OwnToken()}), true;
        auto* p = d.Get<ProcessObj>(process);
        if (!p) return Fail(plat::kErrorInvalidHandle);
        const SimProcess& sp = d.processes[p->pid];
        *token = d.Add(TokenObj{{sp.kind, sp.account}});
        return true;
    }
    bool GetTokenElevationType(plat::Handle token, uint32_t* type) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        *type = t->token.kind == TokenKind::LimitedAdmin    ? plat::kTokenElevationTypeLimited
                : t->token.kind == TokenKind::ElevatedAdmin ? plat::kTokenElevationTypeFull
                                                            : plat::kTokenElevationTypeDefault;
        return true;
    }
    bool GetTokenLinkedToken(plat::Handle token, plat::Handle* linked) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        if (t->token.kind != TokenKind::LimitedAdmin) return Fail(plat::kErrorNoToken);
        *linked = d.Add(TokenObj{{TokenKind::ElevatedAdmin, t->token.account}});
        return true;
    }
    bool GetTokenElevation(plat::Handle token, uint32_t* elevated) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        if (m.elevationQueryFails) return Fail(plat::kErrorInvalidParameter);
        *elevated = Elevated(t->token.kind) ? 1 : 0;
        return true;
    }
    bool DuplicateToken(plat::Handle token, uint32_t, plat::Handle* dup) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        SimToken copy = t->token;
        *dup = d.Add(TokenObj{copy});
        return true;
    }
    bool DuplicateTokenEx(plat::Handle token, uint32_t, uint32_t, uint32_t,
                          plat::Handle* dup) override {
        return DuplicateToken(token, 0, dup);
    }
    bool CheckAdministratorsMembership(plat::Handle token, bool* member) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        *member = Elevated(t->token.kind);
        return true;
    }
    bool WTSQueryUserToken(uint32_t session, plat::Handle* token) override {
        if (m.token != TokenKind::System) return Fail(plat::kErrorPrivilegeNotHeld);
        auto it = m.sessionUsers.find(session);
        if (it == m.sessionUsers.end()) return Fail(plat::kErrorNoToken);
        *token = d.Add(TokenObj{{d.KindOf(it->second), it->second}});
        return true;
    }
    bool WTSQuerySessionUser(uint32_t session, std::wstring& domain, std::wstring& user) override {
        auto it = m.sessionUsers.find(session);
        if (it == m.sessionUsers.end() || it->second.empty()) return Fail(plat::kErrorNotFound);
        domain = L"SIM";
        user = it->second;
        return true;
    }
    bool LookupAccountName(const std::wstring& account, std::wstring& sid) override {
        const size_t slash = account.find(L'\\');
        sid = m.SidOf(slash == std::wstring::npos ? account : account.substr(slash + 1));
        return true;
    }
    bool ImpersonateLoggedOnUser(plat::Handle token) override {
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        m.impersonating = t->token.account;
        d.impersonation = t->token;
        ++m.impersonations;
        return true;
    }
    bool RevertToSelf() override {
        m.impersonating.clear();
        d.impersonation.reset();
        return true;
    }

    bool GetVersionEx(plat::OsVersion& out) override {
        if (m.getVersionExFails) return Fail(plat::kErrorInvalidParameter);
        out = m.version;
        // Without RtlGetVersion's honesty, this call tops out where the manifest allows; the
        // simulated program declares every version, so it reports the truth.
        return true;
    }
    std::optional<int32_t> RtlGetVersion(plat::OsVersion& out) override {
        if (m.rtlGetVersionMissing) return std::nullopt;
        out = m.version;
        return 0;
    }
    std::optional<Wow64Answer> IsWow64Process() override {
        if (m.wow64Missing) return std::nullopt;
        return Wow64Answer{true, m.wow64};
    }

    int GetSystemMetrics(int index) override {
        return index == plat::kSmCleanBoot ? m.cleanBoot : 0;
    }

    std::wstring LoadString(uint32_t id) override {
        auto it = m.strings.find(id);
        return it == m.strings.end() ? std::wstring() : it->second;
    }

    std::wstring FormatSystemMessage(uint32_t code) override {
        switch (code) {
            case plat::kErrorFileNotFound:
                return L"The system cannot find the file specified.";
            case plat::kErrorPathNotFound:
                return L"The system cannot find the path specified.";
            case plat::kErrorAccessDenied:
                return L"Access is denied.";
            case plat::kErrorSharingViolation:
                return L"The process cannot access the file because it is being used by another "
                       L"process.";
            case plat::kErrorHandleEof:
                return L"Reached the end of the file.";
            case plat::kErrorDiskFull:
                return L"There is not enough space on the disk.";
            default:
                return L"";
        }
    }

    // The simulated machine's ANSI code page is Latin-1: every byte is the code point of the
    // same value.
    std::wstring MultiByteToWideChar(const std::string& text) override {
        std::wstring out;
        out.reserve(text.size());
        for (unsigned char c : text) out.push_back(static_cast<wchar_t>(c));
        return out;
    }

    bool GetTokenUserSid(plat::Handle token, std::wstring& sid) override {
        if (!token) return sid = m.SidOf(d.ProcessAccount()), true;
        auto* t = d.Get<TokenObj>(token);
        if (!t) return Fail(plat::kErrorInvalidHandle);
        sid = m.SidOf(t->token.account);
        return true;
    }
    bool IsWine() override { return false; }
    bool QueryFullProcessImageName(plat::Handle process, std::wstring& out) override {
        auto* p = d.Get<ProcessObj>(process);
        if (!p) return Fail(plat::kErrorInvalidHandle);
        auto image = m.processImages.find(p->pid);
        out = image != m.processImages.end() ? image->second
                                             : m.windowsDir + L"\\" + d.processes[p->pid].exe;
        return true;
    }

private:
    bool Fail(uint32_t code) {
        SetError(code);
        return false;
    }
    bool Start(const Program& prog, uint32_t* pid) {
        if (prog.startFails) return Fail(prog.startError);
        *pid = m.AddProcess(prog.exe, m.selfSession, prog.runMs, prog.exitCode);
        if (prog.onStart) prog.onStart(*pid);
        return true;
    }

    SimMachine& m;
    SimMachine::Impl& d;
};

class User final : public plat::IUser {
public:
    explicit User(SimMachine& m) : m(m), d(m.impl()) {}

    plat::Hwnd FindWindow(const std::wstring& className) override {
        for (const auto& [h, w] : d.windows)
            if (w.alive && w.session == m.selfSession && text::EqualsNoCase(w.className, className))
                return h;
        SetError(plat::kErrorFileNotFound);  // what FindWindowW leaves when nothing matches
        return plat::Hwnd();
    }
    bool IsWindow(plat::Hwnd window) override { return m.WindowAlive(window); }
    bool ShowWindow(plat::Hwnd window, int command) override {
        m.calls.push_back(L"ShowWindow " + std::to_wstring(window.value) + L" " +
                          std::to_wstring(command));
        return m.WindowAlive(window);
    }
    void SwitchToThisWindow(plat::Hwnd window, bool altTab) override {
        m.calls.push_back(L"SwitchToThisWindow " + std::to_wstring(window.value) +
                          (altTab ? L" 1" : L" 0"));
    }
    plat::Hwnd GetForegroundWindow() override { return m.foreground; }
    uint32_t GetWindowThreadProcessId(plat::Hwnd window) override {
        auto it = d.windows.find(window);
        return it == d.windows.end() ? 0 : it->second.threadId;
    }
    bool AttachThreadInput(uint32_t from, uint32_t to, bool attach) override {
        m.calls.push_back(L"AttachThreadInput " + std::to_wstring(from) + L" " +
                          std::to_wstring(to) + (attach ? L" 1" : L" 0"));
        return true;
    }
    bool SetForegroundWindow(plat::Hwnd window) override {
        m.calls.push_back(L"SetForegroundWindow " + std::to_wstring(window.value));
        if (!m.WindowAlive(window)) return false;
        m.foreground = window;
        return true;
    }
    int MessageBox(const std::wstring& textIn, const std::wstring& caption,
                   uint32_t style) override {
        int answer = plat::kIdOk;
        if (!m.messageBoxAnswers.empty()) {
            answer = m.messageBoxAnswers.front();
            m.messageBoxAnswers.pop_front();
        }
        m.messageBoxes.push_back({textIn, caption, style, answer});
        m.calls.push_back(L"MessageBox " + caption);
        return answer;
    }
    bool GetWorkArea(plat::Rect& out) override {
        out = m.workArea;
        return true;
    }

private:
    SimMachine& m;
    SimMachine::Impl& d;
};

}  // namespace

std::unique_ptr<plat::IKernel> MakeKernel(SimMachine& m) {
    return std::make_unique<Kernel>(m);
}
std::unique_ptr<plat::IUser> MakeUser(SimMachine& m) {
    return std::make_unique<User>(m);
}

}  // namespace sim
