// The start-up sequence: every step of a run, in its order, in one place.
#include "app/app.h"
#include "ui/loading_wnd.h"
#include "unpack/unpack.h"
#include "util/log.h"
#include "util/run_context.h"

bool CUnPackFileApp::InitInstance(RunState& run) {
    // 1. Nothing decided yet. The launcher's own file is held from here to the end of the run:
    //    nobody may write, rename or delete it meanwhile, and every read of the package comes
    //    from this one handle. A file at the module path that is not the one this program was
    //    started from (the running file renamed away, another put in its place) is let go
    //    unread, and the run stops before anything else is done.
    const CRunScope facts;  // the facts of this run, asked once
    bool systemLaunch = false;
    bool tokenSwitchMark = false;
    if (!m_ownFile.Open() && m_ownFile.IsAnotherFile()) return false;

    // An elevated run (or the system account) of a signed launcher proves its signature first,
    // on the held file; when it does not hold, the run stops before anything else is done.
    if (!CUnPack::CheckSignature(m_ownFile)) return false;

    // 2. Elevation decision: may set the system launch, or start an elevated copy and stop.
    if (!DecideElevation(systemLaunch)) return false;

    // 3. "ImagePath" and "DesktopPath" in the product key (failures are silent).
    WriteStartupValues();

    // 4. Token pre-scan: may set the token-switch mark, or show the elevation prompt and stop.
    if (m_args.size() > 1 && !PreScanToken(systemLaunch, tokenSwitchMark)) return false;

    // 5. The loading window, registered as main window.
    ShowLoadingWnd(&run.mainWnd);

    // 6. Single-instance rules: hand over to a running agent, wait for an earlier launcher, or
    //    end stale managers.
    if (!CheckSingleInstance(tokenSwitchMark)) return false;

    // 7. The OS line of the log.
    logging::OsLine();

    // 8-9. The work folder, made and held before the extraction, which writes into it on the
    //      worker thread; the extraction's outcome is not examined here.
    CUnPack unpack(&m_ownFile);
    unpack.GetWorkFolder();
    unpack.UnPackAndWait();
    const CWorkFolder& work = unpack.WorkFolder();

    // 10. The only gate after extraction (a work folder refused as a link counts as missing).
    if (!work.IsReady()) {
        logging::Log(tags::kInitInstance, L"VESK skip without unpacking files");
    } else {
        // 11. Package settings: the launch token, from "setup.ini" when the package brought one.
        ReadPackageSettings(work.Held(), run);

        // 12. Switch loop: debug markers, "/T" (replaces the token), "/I" (instructions).
        if (m_args.size() > 1) RunSwitchLoop(work, run);

        // The token is final now; it must be safe to hand to the command interpreter. Refused
        // here, before step 13, so a launch left without a token counts as one without.
        RefuseUnsafeToken(run);

        // 13. A launch with neither token nor instruction clears earlier instructions.
        if (run.token.empty() && run.instruction.empty()) HandleInstruction(std::wstring());

        // An elevated run launches nothing from a work folder that a link was put above since
        // the extraction.
        if (work.ReachedDirectly(tags::kInitInstance, L"Launch")) {
            // 14. Cabinet archives in the work folder.
            ExpandCabinets(work);

            // 15. The agent, as the local system account or as the user; both wait for its end.
            if (systemLaunch)
                RunAsService(work, run);
            else
                RunAsStandard(work, run);
        }
    }

    // 17. Clean-up of the work folder.
    unpack.RemoveWorkFolder();

    // 18. The loading window goes (if a launch has not closed it already).
    CloseLoadingWnd(&run.mainWnd);

    // 19. No message loop follows.
    return false;
}

int RunApplication(CUnPackFileApp& app, int argc, wchar_t** argv, RunState& run) {
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : L"");
    app.SetArguments(std::move(args));
    if (!app.InitInstance(run) && run.mainWnd) CloseLoadingWnd(&run.mainWnd);
    return 0;
}
