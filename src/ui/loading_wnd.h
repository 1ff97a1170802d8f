// The "Loading Now..." window with its spinner, and the waiting primitive that keeps it moving.
#pragma once

#include <cstdint>

class CLoadingWnd;
extern CLoadingWnd* g_pLoadingWnd;

void ShowLoadingWnd(CLoadingWnd** mainWnd);
void CloseLoadingWnd(CLoadingWnd** mainWnd);
// Every wait of the start-up thread: 120 ms slices, the next spinner frame before each.
void SleepWithSpinner(uint32_t milliseconds);
