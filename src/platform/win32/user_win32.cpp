// Win32 implementation of the window-manager primitives.
#include "platform/win32/win32.h"
#include "platform/user.h"

namespace plat::win32 {
namespace {

class User final : public IUser {
public:
    Hwnd FindWindow(const std::wstring& className) override {
        return FromW(::FindWindowW(className.c_str(), nullptr));
    }
    bool IsWindow(Hwnd window) override { return ::IsWindow(W(window)) != FALSE; }
    bool ShowWindow(Hwnd window, int command) override {
        return ::ShowWindow(W(window), command) != FALSE;
    }
    void SwitchToThisWindow(Hwnd window, bool altTab) override {
        ::SwitchToThisWindow(W(window), altTab ? TRUE : FALSE);
    }
    Hwnd GetForegroundWindow() override { return FromW(::GetForegroundWindow()); }
    uint32_t GetWindowThreadProcessId(Hwnd window) override {
        return ::GetWindowThreadProcessId(W(window), nullptr);
    }
    bool AttachThreadInput(uint32_t from, uint32_t to, bool attach) override {
        return ::AttachThreadInput(from, to, attach ? TRUE : FALSE) != FALSE;
    }
    bool SetForegroundWindow(Hwnd window) override {
        return ::SetForegroundWindow(W(window)) != FALSE;
    }
    int MessageBox(const std::wstring& text, const std::wstring& caption, uint32_t style) override {
        return ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), style);
    }
    bool GetWorkArea(Rect& out) override {
        RECT r = {0, 0, 0, 0};
        if (!::SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0)) return false;
        out = {r.left, r.top, r.right, r.bottom};
        return true;
    }
};

}  // namespace

IUser* Win32User() {
    static User u;
    return &u;
}

}  // namespace plat::win32
