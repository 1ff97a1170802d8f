// Not built yet: the window itself comes with the loading-window work. Waiting already goes
// through SleepWithSpinner.
#include "ui/loading_wnd.h"

#include "platform/platform.h"

CLoadingWnd* g_pLoadingWnd = nullptr;

void ShowLoadingWnd(CLoadingWnd**) {}
void CloseLoadingWnd(CLoadingWnd** mainWnd) {
    if (mainWnd) *mainWnd = nullptr;
}
void SleepWithSpinner(uint32_t milliseconds) { plat::kernel().Sleep(milliseconds); }
