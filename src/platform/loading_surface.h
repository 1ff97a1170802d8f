// Window and painting primitives of the loading window: GDI+, images from the program's own
// resources, one top-level window with its timers and region, and an off-screen picture that is
// copied onto it. Each member mirrors one system call or a fixed sequence of them; which frame is
// drawn where, when the window moves and how the fade runs is decided above the seam (ui/).
#pragma once

#include "platform/types.h"

namespace plat {

using Image = HandleOf<struct ImageKind>;        // a decoded GDI+ image; 0: none
using Hdc = HandleOf<struct DeviceContextKind>;  // device context
using Hbitmap = HandleOf<struct BitmapKind>;     // GDI bitmap
using Hicon = HandleOf<struct IconKind>;

// Window classes, styles and placement.
constexpr uint32_t kCsDblClks = 0x0008;
constexpr uint32_t kWsPopup = 0x80000000;
constexpr uint32_t kWsExTopmost = 0x00000008;
constexpr uint32_t kWsExToolWindow = 0x00000080;
constexpr Hwnd kHwndTopmost{static_cast<std::uintptr_t>(-1)};
constexpr uint32_t kSwpNoSize = 0x0001;
constexpr uint32_t kSwpNoMove = 0x0002;
constexpr uint32_t kSwpNoRedraw = 0x0008;
constexpr uint32_t kRdwInvalidate = 0x0001;
constexpr uint32_t kRdwErase = 0x0004;
constexpr uint32_t kRdwUpdateNow = 0x0100;
constexpr uint32_t kLwaAlpha = 0x2;

// Messages and system cursors.
constexpr uint32_t kWmMouseMove = 0x0200;
constexpr uint32_t kWmLButtonDown = 0x0201;
constexpr uint32_t kIdcArrow = 32512;
constexpr uint32_t kIdcHand = 32649;

// What the window procedure hands to the window's owner, on the thread that created the window.
class IWindowEvents {
public:
    // WM_TIMER; default processing follows.
    virtual void OnTimer(uint32_t id) = 0;
    // WM_SHOWWINDOW, after default processing.
    virtual void OnShowWindow(bool shown) = 0;
    // WM_ERASEBKGND with the window's device context; false asks for default processing.
    virtual bool OnEraseBkgnd(Hdc dc) = 0;

protected:
    ~IWindowEvents() = default;
};

// RegisterClassW (once per class name) with this class style and no cursor, brush or icon, then
// CreateWindowExW with no parent, no menu (id 0) and `events` as the window's owner.
struct WindowDesc {
    uint32_t classStyle = 0;
    const wchar_t* className = L"";
    const wchar_t* windowName = L"";
    uint32_t style = 0;
    uint32_t exStyle = 0;
    Rect rect;
};

class ILoadingSurface {
public:
    virtual ~ILoadingSurface() = default;

    // GdiplusStartup with input version 1, no debug callback, background thread and external
    // codecs not suppressed; false when it does not report success.
    virtual bool GdiplusStartup(uintptr_t* token) = 0;
    virtual void GdiplusShutdown(uintptr_t token) = 0;

    // FindResourceW, LoadResource, SizeofResource and LockResource in the program's own module.
    // False when the resource is absent or cannot be loaded; the bytes live as long as the module.
    virtual bool LoadResourceBytes(uint32_t id, const wchar_t* type, const void** data,
                                   uint32_t* size) = 0;
    // Copies the bytes into a global memory block, wraps it in a stream that frees the block when
    // released (CreateStreamOnHGlobal) and decodes a GDI+ image from it without embedded colour
    // management; the image holds the stream until it is disposed. 0 when the memory, the stream
    // or the decoding fails (nothing is left allocated then).
    virtual Image LoadImageFromMemory(const void* data, uint32_t size) = 0;
    virtual void DisposeImage(Image image) = 0;
    virtual uint32_t ImageWidth(Image image) = 0;
    virtual uint32_t ImageHeight(Image image) = 0;

    // LoadIconW of an icon resource of the program's own module (a shared icon: never destroyed).
    virtual Hicon LoadIconResource(uint32_t id) = 0;

    // The window.
    virtual Hwnd CreatePopupWindow(const WindowDesc& desc, IWindowEvents* events) = 0;
    virtual bool DestroyWindow(Hwnd window) = 0;
    virtual bool ShowWindow(Hwnd window, int command) = 0;
    virtual bool SetWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                              uint32_t flags) = 0;
    virtual bool MoveWindow(Hwnd window, int x, int y, int width, int height, bool repaint) = 0;
    virtual bool GetClientRect(Hwnd window, Rect& out) = 0;
    virtual bool GetWindowRect(Hwnd window, Rect& out) = 0;    // screen coordinates
    virtual bool ScreenToClient(Hwnd window, Rect& rect) = 0;  // both corners
    // CreateRoundRectRgn over `rect` and SetWindowRgn; the window owns the region afterwards.
    virtual bool SetRoundRectRegion(Hwnd window, const Rect& rect, int ellipseWidth,
                                    int ellipseHeight, bool redraw) = 0;
    virtual void SetIcon(Hwnd window, Hicon icon, bool big) = 0;  // WM_SETICON
    virtual bool SetTimer(Hwnd window, uint32_t id, uint32_t milliseconds) = 0;
    virtual bool KillTimer(Hwnd window, uint32_t id) = 0;
    // No colour key; `flags` as LWA_*.
    virtual bool SetLayeredWindowAttributes(Hwnd window, uint8_t alpha, uint32_t flags) = 0;
    virtual bool RedrawWindow(Hwnd window, uint32_t flags) = 0;  // the whole window
    virtual void DisableProcessWindowsGhosting() = 0;
    virtual bool GetCursorPos(int& x, int& y) = 0;
    virtual void SetCursor(uint32_t systemCursor) = 0;  // LoadCursorW(nullptr, id), SetCursor

    // The off-screen picture: a memory DC compatible with the screen with a bitmap of the given
    // size selected into it (the screen DC is released again).
    virtual bool CreateMemoryBitmap(int width, int height, Hdc& dc, Hbitmap& bitmap) = 0;
    virtual void DeleteMemoryBitmap(Hdc dc, Hbitmap bitmap) = 0;
    // Draws the image scaled into the rectangle, on a GDI+ graphics object for the DC.
    virtual bool DrawImage(Hdc dc, Image image, int x, int y, int width, int height) = 0;
    // BitBlt with SRCCOPY of `rect` of the target from (srcX, srcY) of the source.
    virtual bool BitBlt(Hdc target, const Rect& rect, Hdc source, int srcX, int srcY) = 0;
};

}  // namespace plat
