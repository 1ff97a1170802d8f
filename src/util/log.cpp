// The per-session diagnostic log: one line per call, to the debugger output and appended to
// "unpack<session>.log" in the temp folder as UTF-16LE with CR LF, one exclusive
// open-write-close per line.
#include "util/log.h"

#include <atomic>
#include <cstdarg>

#include "platform/platform.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/text.h"

namespace {

constexpr size_t kMaxMessageChars = 1022;
constexpr size_t kMaxFileErrorChars = 1023;
// A writer that finds the file held by another writer retries a few times before its line is
// dropped from the file: up to 10 retries 5 ms apart. On Windows a pause lasts at least a
// scheduler tick (about 15.6 ms), and a file held for good (a viewer, a scanner) would make every
// line retry, so the retries are also bounded for the whole run: 30 in all, and none once a line
// has been dropped (later lines then try once). A held log costs a run at most about half a
// second.
constexpr int kOpenRetries = 10;
constexpr int kRunRetries = 30;
constexpr uint32_t kOpenRetryPauseMs = 5;

// Retries left to this run; both the main thread and the extraction thread write lines.
std::atomic<int> g_nRunRetriesLeft{kRunRetries};

// Whether a line whose open has failed `attempt` + 1 times may pause and try again.
bool TakeRetry(int attempt) {
    if (attempt >= kOpenRetries) {
        g_nRunRetriesLeft.store(0);  // this line is dropped: later lines try once
        return false;
    }
    int left = g_nRunRetriesLeft.load();
    while (left > 0 && !g_nRunRetriesLeft.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
}

bool IsCollision(uint32_t error) {
    return error == plat::kErrorSharingViolation || error == plat::kErrorLockViolation;
}

// The Windows folder's "Temp", held for the log of a run that has no temp folder.
CHeldFolder& FallbackFolder() {
    static CHeldFolder folder;
    return folder;
}

// Opens the log for one line, exclusively, by its name inside the temp folder the run holds (see
// RunContext): never through a link at the name, never a file with further names (hard links that
// could make it some other file), and only the file of that name in the folder that was opened,
// whatever is done to the temp folder's path later (CHeldFolder). An elevated run writes no line
// into a temp folder reached through a link where the system cannot tell where a folder really
// lies (Windows XP). Without a temp folder, the Windows folder's "Temp", held once. A refused file
// is dropped like a failed open, with access denied.
// The log's name: one per session.
std::wstring LogName() {
    return text::Format(L"unpack%d.log", static_cast<int>(Run().session));
}

// Where the log goes when there is no temp path: the Windows folder's Temp.
std::wstring FallbackPath() {
    std::wstring windows;
    plat::files().GetWindowsDirectory(windows);
    return windows + L"\\Temp";
}

UniqueFile OpenLogFile(const std::wstring& name) {
    const RunContext& run = Run();
    const uint32_t access = plat::kGenericRead | plat::kGenericWrite;
    if (run.elevated && !run.tempDirect) {
        plat::kernel().SetLastError(plat::kErrorAccessDenied);
        return UniqueFile();
    }
    if (run.temp) return run.temp.OpenFile(name, access, plat::kShareNone, plat::kOpenAlways);
    if (!run.tempPath.empty()) return UniqueFile();  // the temp folder could not be held
    CHeldFolder& fallback = FallbackFolder();
    if (!fallback && !fallback.Open(FallbackPath())) return UniqueFile();
    return fallback.OpenFile(name, access, plat::kShareNone, plat::kOpenAlways);
}

void AppendLine(const std::wstring& line) {
    const std::wstring name = LogName();
    plat::IFiles& fs = plat::files();
    UniqueFile file;
    for (int attempt = 0;; ++attempt) {
        file = OpenLogFile(name);
        if (file) break;
        if (!IsCollision(plat::kernel().GetLastError()) || !TakeRetry(attempt)) return;
        plat::kernel().Sleep(kOpenRetryPauseMs);
    }
    std::string bytes = text::ToUtf16Le(line + L"\r\n");
    uint32_t written = 0;
    if (fs.SetFilePointer(file.Get(), 0, plat::kFileEnd, nullptr))
        fs.WriteFile(file.Get(), bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

void WriteLine(const std::wstring& message, uint32_t lastError) {
    plat::IKernel& k = plat::kernel();
    std::wstring stamp;
    plat::CivilTime t;
    if (k.LocalTimeNow(t))
        stamp = text::Format(L"%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                             t.minute, t.second);
    std::wstring line =
        text::Format(L"[%d]%ls  %ls (Last=%d)", static_cast<int>(k.GetCurrentProcessId()),
                     stamp.c_str(), message.c_str(), static_cast<int>(lastError));
    k.OutputDebugString(line);
    AppendLine(line);
    // The log's own file calls must not disturb the caller's error state.
    k.SetLastError(lastError);
}

}  // namespace

namespace logging {

void Log(const wchar_t* format, ...) {
    // Taken first: formatting and the time conversion go through the C runtime, which may touch
    // the thread's error value; the line reports the caller's.
    const uint32_t lastError = plat::kernel().GetLastError();
    va_list args;
    va_start(args, format);
    std::wstring message = text::FormatV(format, args, kMaxMessageChars);
    va_end(args);
    WriteLine(message, lastError);
}

void Log(LogTag tag, const wchar_t* format, ...) {
    const uint32_t lastError = plat::kernel().GetLastError();
    va_list args;
    va_start(args, format);
    std::wstring message =
        L"[" + std::wstring(tag.name) + L"] " + text::FormatV(format, args, kMaxMessageChars);
    va_end(args);
    if (message.size() > kMaxMessageChars) message.resize(kMaxMessageChars);
    WriteLine(message, lastError);
}

std::wstring FilePath() {
    const std::wstring& temp = Run().tempPath;
    return temp.empty() ? FallbackPath() + L"\\" + LogName() : temp + LogName();
}

void ResetState() {
    g_nRunRetriesLeft.store(kRunRetries);
    FallbackFolder().Close();  // it belonged to the run that ends
}

void FileError(const std::wstring& path) {
    const uint32_t error = plat::kernel().GetLastError();
    if (error == 0) return;
    std::wstring message = plat::kernel().FormatSystemMessage(error);
    if (message.empty()) message = text::Format(L"system error %u.", error);
    if (!path.empty()) message = path + L": " + message;
    if (message.size() > kMaxFileErrorChars) message.resize(kMaxFileErrorChars);
    Log(tags::kFileError, L"%ls", message.c_str());
}

void OsLine() {
    const plat::OsVersion& version = Run().version;
    Log(tags::kOsLine, L"OS %d.%d(%d) %ls x64:%d", static_cast<int>(version.major),
        static_cast<int>(version.minor), static_cast<int>(version.build),
        version.servicePack.c_str(), Run().wow64 ? 1 : 0);
}

}  // namespace logging
