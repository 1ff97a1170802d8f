// The extraction run on its worker thread, and the per-session work folder.
#include "unpack/unpack.h"

#include "platform/platform.h"
#include "util/text.h"
#include "util/utility.h"

namespace {
constexpr int kCreateRetries = 20;
constexpr uint32_t kCreateRetryPauseMs = 100;
}  // namespace

// Not built yet: reading the package. Until then no package is ever found.
uint64_t CUnPack::FindHeader() { return 0; }
bool CUnPack::UnPackFiles() {
    if (FindHeader() == 0) return false;
    return false;
}

int CUnPack::UnPackAndWait() {
    StartThread();
    if (plat::kernel().WaitForSingleObject(m_hThread, plat::kInfinite) == plat::kWaitObject0) {
        plat::kernel().CloseHandle(m_hThread);
        m_hThread = 0;
    }
    return 0;
}

void CUnPack::StartThread() {
    if (m_hThread) return;
    m_hThread = plat::kernel().CreateThread(&CUnPack::UnPackThreadProc, this);
}

uint32_t CUnPack::UnPackThreadProc(void* param) {
    if (!param) return 0;
    return static_cast<CUnPack*>(param)->UnPackFiles() ? 1 : 0;
}

std::wstring CUnPack::GetWorkFolder() {
    if (!m_strWorkFolder.empty()) return m_strWorkFolder;

    plat::IFiles& fs = plat::files();
    std::wstring temp;
    fs.GetTempPath(temp);
    const uint32_t session = CUtility::GetOwnSessionId();
    m_strWorkFolder = temp + text::Format(L"unpackvesk\\%d\\", static_cast<int>(session));

    const std::wstring shared = temp + L"Quintrova\\vesk\\";
    if (!CUtility::FileExists(shared)) fs.SHCreateDirectoryEx(shared);

    // Whatever an earlier launch in this session left behind goes first.
    if (CUtility::FileExists(m_strWorkFolder)) RemoveWorkFolder();

    int result = fs.SHCreateDirectoryEx(m_strWorkFolder);
    for (int retry = 0; result != 0 && retry < kCreateRetries; ++retry) {
        result = fs.SHCreateDirectoryEx(m_strWorkFolder);
        plat::kernel().Sleep(kCreateRetryPauseMs);
    }
    return m_strWorkFolder;
}

void CUnPack::RemoveWorkFolder() {
    if (m_strWorkFolder.empty()) return;
    plat::IFiles& fs = plat::files();
    CUtility::DeleteDirectoryTree(m_strWorkFolder);

    std::wstring parent = m_strWorkFolder;
    while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
    CUtility::StripPathComponents(parent, 1);  // ...\unpackvesk
    fs.SetCurrentDirectory(parent);
    fs.RemoveDirectory(m_strWorkFolder);

    std::wstring grandparent = parent;
    CUtility::StripPathComponents(grandparent, 1);  // the temp folder, no trailing backslash
    fs.SetCurrentDirectory(grandparent);
    fs.RemoveDirectory(parent);
}
