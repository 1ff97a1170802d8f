// Window-manager primitives of the OS seam: top-level windows, foreground hand-over, message
// boxes and the work area.
#pragma once

#include "platform/types.h"

namespace plat {

class IUser {
public:
    virtual ~IUser() = default;

    virtual Hwnd FindWindow(const std::wstring& className) = 0;  // any title
    virtual bool IsWindow(Hwnd window) = 0;
    virtual bool ShowWindow(Hwnd window, int command) = 0;
    virtual void SwitchToThisWindow(Hwnd window, bool altTab) = 0;
    virtual Hwnd GetForegroundWindow() = 0;
    virtual uint32_t GetWindowThreadProcessId(Hwnd window) = 0;  // owning thread
    virtual bool AttachThreadInput(uint32_t from, uint32_t to, bool attach) = 0;
    virtual bool SetForegroundWindow(Hwnd window) = 0;

    // MessageBoxW with no owner window; returns the button id.
    virtual int MessageBox(const std::wstring& text, const std::wstring& caption,
                           uint32_t style) = 0;

    // SystemParametersInfoW(SPI_GETWORKAREA).
    virtual bool GetWorkArea(Rect& out) = 0;
};

}  // namespace plat
