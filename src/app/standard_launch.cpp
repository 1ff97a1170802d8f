// The standard launch: the agent's manager started as the user the launcher runs as, with the
// launch token, after the agent's files have been put in place.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "util/text.h"
#include "util/utility.h"

namespace {

// A plain move that does not replace an existing target. One that cannot be done leaves the
// package as it came; the launch goes on, and the log says which file is not where the agent
// expects it.
void MoveAgentFile(const wchar_t* tag, const std::wstring& from, const std::wstring& to) {
    if (!plat::files().MoveFile(from, to))
        CUtility::Log(L"[%ls] rename %ls to %ls failed %d", tag, from.c_str(), to.c_str(),
                      static_cast<int>(plat::kernel().GetLastError()));
}

}  // namespace

void CUnPackFileApp::RunAsStandard(const std::wstring& workFolder) {
    const wchar_t* const tag = L"CUnPackFileApp::RunAsStandard";
    // Bare names: the current directory is the work folder since the cabinets were expanded.
    // Without the build that would take its place, the package's "QVFeatureVESK.exe" stays where
    // it is, for the mini copy and the agent; the failed second move still says so in the log.
    if (CUtility::FileExists(L"QVFeatureVESKNOUIA.exe"))
        MoveAgentFile(tag, L"QVFeatureVESK.exe", L"QVFeatureVESKUIA.exe");
    MoveAgentFile(tag, L"QVFeatureVESKNOUIA.exe", L"QVFeatureVESK.exe");
    PrepareAgentFiles(workFolder, tag);

    const std::wstring tokenSwitch =
        m_strToken.empty() ? std::wstring() : text::Format(L"-t %ls", m_strToken.c_str());
    ExecuteCommand(workFolder, text::Format(L"/c %ls %ls", kAgentManagerExe, tokenSwitch.c_str()),
                   true);
}

void CUnPackFileApp::PrepareAgentFiles(const std::wstring& workFolder, const wchar_t* tag) {
    const std::wstring feature = text::Format(L"%ls\\QVFeatureVESK.exe", workFolder.c_str());
    const std::wstring mini = text::Format(L"%ls\\QVFeatMiniVESK.exe", workFolder.c_str());
    const int result = CUtility::CopyFileForRun(feature, mini);
    CUtility::Log(L"[%ls] copy qvf %ls to %ls %d", tag, feature.c_str(), mini.c_str(), result);

    if (!CUtility::IsOSAtLeast(OsWin10, 0)) return;
    const std::wstring plain = text::Format(L"%ls\\qvprinter.cat", workFolder.c_str());
    const std::wstring old = text::Format(L"%ls\\qvprinter8.cat", workFolder.c_str());
    const std::wstring win10 = text::Format(L"%ls\\qvprinterx.cat", workFolder.c_str());
    if (!CUtility::FileExists(win10)) return;
    MoveAgentFile(tag, plain, old);
    MoveAgentFile(tag, win10, plain);
    CUtility::Log(L"[%ls] rename printer INF", tag);
}
