// Process entry of the Windows builds. Static initialisation constructs the application object
// and then the single-instance lock, which creates its named mutex at once, before anything
// else of the run.
#include "app/app.h"
#include "app/instance_mutex.h"

CUnPackFileApp theApp;
CInstanceMutex g_instanceMutex(kInstanceMutexName);

int wmain(int argc, wchar_t** argv) {
    RunState run;
    return RunApplication(theApp, argc, argv, run);
}
