// The per-session diagnostic log: one line per call, to the debugger output and appended to
// "unpack<session>.log" in the temp folder as UTF-16LE with CR LF, one exclusive
// open-write-close per line.
#include <atomic>
#include <cstdarg>

#include "platform/platform.h"
#include "util/file.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

constexpr size_t kMaxMessageChars = 1022;
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

// The log as an elevated run holds it (see OpenLogFile): its folder, open for the run, where
// that folder really lies, and the index of the file proved to be the one inside it. The two
// threads never write at the same time: the main thread waits while the extraction thread works.
struct LogFolder {
    std::wstring path;
    UniqueFile handle;
    std::wstring finalPath;
    bool fileKnown = false;
    uint64_t fileIndex = 0;
};

// Made on first use: lines may be written from other objects' static initialisation.
LogFolder& HeldFolder() {
    static LogFolder folder;
    return folder;
}

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

// Opens the log for one line, exclusively. An elevated run writes no line through a link. It
// opens the log's folder (the temp folder, wherever it really lies: a profile may have been
// moved elsewhere through a junction) at its first line and keeps it open for the run; every
// line opens the log by its name inside that folder, never through a link at the name. A file
// that is a link, has further names (hard links) that could make it some other file, or is not
// the one of that name in the folder (where a link opens only as what it points at) is refused
// like a failed open, with access denied. The first line proves the file by its final path; a
// later line that finds the very same file (its index) needs no second resolution, which costs
// milliseconds a line on some systems. No line leaves the folder that was opened.
plat::Handle OpenLogFile(const std::wstring& path) {
    plat::IFiles& fs = plat::files();
    const uint32_t access = plat::kGenericRead | plat::kGenericWrite;
    if (!Run().elevated) return fs.CreateFile(path, access, plat::kShareNone, plat::kOpenAlways);
    LogFolder& held = HeldFolder();
    const size_t slash = path.rfind(L'\\');
    const std::wstring folder = path.substr(0, slash == std::wstring::npos ? 0 : slash);
    const std::wstring name = path.substr(slash + 1);
    if (!held.handle || held.path != folder) {
        held = LogFolder();
        held.path = folder;
        held.handle = CUtility::OpenFolder(folder, plat::kFileReadAttributes | plat::kFileTraverse);
        if (!held.handle || !CUtility::GetFinalPath(held.handle.Get(), held.finalPath))
            held.finalPath = folder;
    }
    UniqueFile file(fs.CreateFileInFolder(held.handle.Get(), name, access, plat::kShareNone,
                                          plat::kOpenAlways));
    if (!file) return 0;
    plat::FileInformation info;
    if (fs.GetFileInformation(file.Get(), info) && !(info.attributes & plat::kAttrReparsePoint) &&
        info.numberOfLinks == 1) {
        if (held.fileKnown && info.fileIndex == held.fileIndex) return file.Release();
        if (CUtility::FinalPathIs(file.Get(), held.finalPath + L"\\" + name)) {
            held.fileKnown = true;
            held.fileIndex = info.fileIndex;
            return file.Release();
        }
    }
    file.Reset();
    plat::kernel().SetLastError(plat::kErrorAccessDenied);
    return 0;
}

}  // namespace

void CUtility::Log(const wchar_t* format, ...) {
    // Taken first: formatting and the time conversion go through the C runtime, which may touch
    // the thread's error value; the line reports the caller's.
    const uint32_t lastError = plat::kernel().GetLastError();
    va_list args;
    va_start(args, format);
    std::wstring message = text::FormatV(format, args, kMaxMessageChars);
    va_end(args);
    WriteLine(message, lastError);
}

void CUtility::Log(LogTag tag, const wchar_t* format, ...) {
    const uint32_t lastError = plat::kernel().GetLastError();
    va_list args;
    va_start(args, format);
    std::wstring message =
        L"[" + std::wstring(tag.name) + L"] " + text::FormatV(format, args, kMaxMessageChars);
    va_end(args);
    if (message.size() > kMaxMessageChars) message.resize(kMaxMessageChars);
    WriteLine(message, lastError);
}

void CUtility::WriteLine(const std::wstring& message, uint32_t lastError) {
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
    AppendLogLine(line);
    // The log's own file calls must not disturb the caller's error state.
    k.SetLastError(lastError);
}

std::wstring CUtility::GetLogFilePath() {
    const uint32_t session = Run().session;
    std::wstring temp;
    if (plat::files().GetTempPath(temp) != 0)
        return temp + text::Format(L"unpack%d.log", static_cast<int>(session));
    std::wstring windows;
    plat::files().GetWindowsDirectory(windows);
    return windows + text::Format(L"\\Temp\\unpack%d.log", static_cast<int>(session));
}

void CUtility::AppendLogLine(const std::wstring& line) {
    const std::wstring path = GetLogFilePath();
    plat::IFiles& fs = plat::files();
    UniqueFile file;
    for (int attempt = 0;; ++attempt) {
        file.Reset(OpenLogFile(path));
        if (file) break;
        if (!IsCollision(plat::kernel().GetLastError()) || !TakeRetry(attempt)) return;
        plat::kernel().Sleep(kOpenRetryPauseMs);
    }
    std::string bytes = text::ToUtf16Le(line + L"\r\n");
    uint32_t written = 0;
    if (fs.SetFilePointer(file.Get(), 0, plat::kFileEnd, nullptr))
        fs.WriteFile(file.Get(), bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

void CUtility::ResetLogState() {
    g_nRunRetriesLeft.store(kRunRetries);
    // The folder held belonged to the run that ends (a simulated machine that is gone).
    HeldFolder().handle.Release();
    HeldFolder() = LogFolder();
}

void CUtility::FileException(const CFileException& error) {
    std::wstring message;
    if (error.GetErrorMessage(message) && !message.empty()) {
        if (message.size() > 1023) message.resize(1023);
        Log(tags::kFileException, L"%ls", message.c_str());
    }
}
