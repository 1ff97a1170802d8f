// The standard launch: the agent's manager started as the user the launcher runs as, with the
// launch token, after the agent's files have been put in place.
#include "app/agent.h"
#include "app/app.h"
#include "platform/platform.h"
#include "unpack/work_folder.h"
#include "util/file.h"
#include "util/log.h"
#include "util/run_context.h"
#include "util/scoped_handle.h"
#include "util/text.h"

namespace {

// A plain move inside the work folder that does not replace an existing target. One that cannot
// be done leaves the package as it came; the launch goes on, and the log says which file is not
// where the agent expects it.
void MoveAgentFile(LogTag tag, const CWorkFolder& work, const wchar_t* from, const wchar_t* to) {
    if (!work.Held().Rename(from, to))
        logging::Log(tag, L"rename %ls to %ls failed %d", from, to,
                     static_cast<int>(plat::kernel().GetLastError()));
}

}  // namespace

void CUnPackFileApp::RunAsStandard(const CWorkFolder& work, RunState& run) {
    // The interpreter would look for a manager the package did not bring along the user's PATH:
    // without one in the work folder nothing starts, and the run cleans up. The one there is held
    // until the interpreter has started it: nobody (the user may delete what an elevated run's
    // folder holds) takes it away in between.
    const UniqueFile held = work.Held().OpenFile(kAgentManagerExe, plat::kGenericRead,
                                                 plat::kShareRead, plat::kOpenExisting);
    if (!held) {
        logging::Log(tags::kRunAsStandard, L"Standard launch refused, %ls is missing",
                     work.Join(kAgentManagerExe).c_str());
        return;
    }
    // Without the build that would take its place, the package's "QVFeatureVESK.exe" stays where
    // it is, for the mini copy and the agent; the failed second move still says so in the log.
    if (work.Held().Has(L"QVFeatureVESKNOUIA.exe"))
        MoveAgentFile(tags::kRunAsStandard, work, L"QVFeatureVESK.exe", L"QVFeatureVESKUIA.exe");
    MoveAgentFile(tags::kRunAsStandard, work, L"QVFeatureVESKNOUIA.exe", L"QVFeatureVESK.exe");
    PrepareAgentFiles(work, tags::kRunAsStandard);

    const std::wstring tokenSwitch =
        run.token.empty() ? std::wstring() : text::Format(L"-t %ls", run.token.c_str());
    ExecuteCommand(work, text::Format(L"/c %ls %ls", kAgentManagerExe, tokenSwitch.c_str()), &run);
}

void CUnPackFileApp::PrepareAgentFiles(const CWorkFolder& work, LogTag tag) {
    // The feature build's mini copy, made in the work folder as the launcher itself (an elevated
    // run's folder is closed to the user).
    CFile source, copy;
    const bool copied =
        source.Open(work.Held(), L"QVFeatureVESK.exe", CFile::modeRead | CFile::shareDenyWrite) &&
        copy.Open(work.Held(), L"QVFeatMiniVESK.exe",
                  CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive) &&
        CopyOpenFile(source, copy, nullptr);
    const int result = copied ? 0 : static_cast<int>(plat::kernel().GetLastError());
    if (!copied && copy.IsOpen()) copy.Delete();  // a copy cut short is worth nothing
    logging::Log(tag, L"copy qvf %ls to %ls %d", work.Join(L"QVFeatureVESK.exe").c_str(),
                 work.Join(L"QVFeatMiniVESK.exe").c_str(), result);

    if (!Run().IsOSAtLeast(OsWin10, 0) || !work.Held().Has(L"qvprinterx.cat")) return;
    MoveAgentFile(tag, work, L"qvprinter.cat", L"qvprinter8.cat");
    MoveAgentFile(tag, work, L"qvprinterx.cat", L"qvprinter.cat");
    logging::Log(tag, L"rename printer INF");
}
