// Win32 implementation of the loading window's primitives: a plain window class and procedure,
// GDI for the off-screen picture and GDI+ (its flat interface) for decoding and drawing PNGs.
// GDI+ is no known DLL on every supported Windows: it is loaded at run time from the system
// folder, or where Windows keeps it only as a side-by-side assembly (XP, Vista, 7) from that
// assembly's folder in the system's store (SystemLibrary), never through the import table.
#include "platform/win32/win32.h"
// clang-format off
#include <objbase.h>
#include <gdiplus.h>
// clang-format on

#include <cstring>
#include <type_traits>

#include "platform/loading_surface.h"

namespace plat::win32 {
namespace {

namespace gp = Gdiplus;
namespace flat = Gdiplus::DllExports;

gp::GpImage* G(Image image) {
    return ToNative<gp::GpImage*>(image);
}

// The GDI+ functions the window uses, looked up once in the system's gdiplus.dll; all or
// none (then GDI+ does not start, and nothing is decoded or drawn).
struct GdiPlus {
    decltype(&gp::GdiplusStartup) Startup = nullptr;
    decltype(&gp::GdiplusShutdown) Shutdown = nullptr;
    decltype(&flat::GdipLoadImageFromStream) LoadImageFromStream = nullptr;
    decltype(&flat::GdipDisposeImage) DisposeImage = nullptr;
    decltype(&flat::GdipGetImageWidth) GetImageWidth = nullptr;
    decltype(&flat::GdipGetImageHeight) GetImageHeight = nullptr;
    decltype(&flat::GdipCreateFromHDC) CreateFromHDC = nullptr;
    decltype(&flat::GdipDrawImageRectI) DrawImageRectI = nullptr;
    decltype(&flat::GdipDeleteGraphics) DeleteGraphics = nullptr;

    bool Load() {
        if (DeleteGraphics) return true;
        auto get = [](auto& fn, const char* name) {
            fn = SystemFunction<std::remove_reference_t<decltype(fn)>>(L"gdiplus.dll", name);
            return fn != nullptr;
        };
        if (get(Startup, "GdiplusStartup") && get(Shutdown, "GdiplusShutdown") &&
            get(LoadImageFromStream, "GdipLoadImageFromStream") &&
            get(DisposeImage, "GdipDisposeImage") && get(GetImageWidth, "GdipGetImageWidth") &&
            get(GetImageHeight, "GdipGetImageHeight") && get(CreateFromHDC, "GdipCreateFromHDC") &&
            get(DrawImageRectI, "GdipDrawImageRectI") && get(DeleteGraphics, "GdipDeleteGraphics"))
            return true;
        *this = GdiPlus();
        return false;
    }
};
GdiPlus g_gdiplus;

// The window procedure hands the few messages the loading window cares about to its owner,
// whose address travels in the creation parameters and then in the window's user data.
LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* events = reinterpret_cast<IWindowEvents*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE: {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_NCDESTROY:
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            break;
        case WM_TIMER:
            if (events) events->OnTimer(static_cast<uint32_t>(wParam));
            break;
        case WM_SHOWWINDOW: {
            const LRESULT result = ::DefWindowProcW(hwnd, message, wParam, lParam);
            if (events) events->OnShowWindow(wParam != FALSE);
            return result;
        }
        case WM_ERASEBKGND:
            if (events && events->OnEraseBkgnd(FromD(reinterpret_cast<HDC>(wParam)))) return TRUE;
            break;
        default:
            break;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

class LoadingSurface final : public ILoadingSurface {
public:
    bool GdiplusStartup(uintptr_t* token) override {
        *token = 0;
        if (!g_gdiplus.Load()) return false;
        gp::GdiplusStartupInput input;  // version 1, no callback, nothing suppressed
        ULONG_PTR t = 0;
        const bool ok = g_gdiplus.Startup(&t, &input, nullptr) == gp::Ok;
        *token = t;
        return ok;
    }
    void GdiplusShutdown(uintptr_t token) override {
        if (g_gdiplus.Shutdown) g_gdiplus.Shutdown(token);
    }

    bool LoadResourceBytes(uint32_t id, const wchar_t* type, const void** data,
                           uint32_t* size) override {
        HMODULE self = ::GetModuleHandleW(nullptr);
        HRSRC info = ::FindResourceW(self, MAKEINTRESOURCEW(id), type);
        if (!info) return false;
        HGLOBAL loaded = ::LoadResource(self, info);
        const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
        if (!bytes) return false;
        *data = bytes;
        *size = ::SizeofResource(self, info);
        return true;
    }

    Image LoadImageFromMemory(const void* data, uint32_t size) override {
        if (!g_gdiplus.LoadImageFromStream) return Image();
        HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
        if (!block) return Image();
        void* target = ::GlobalLock(block);
        if (!target) {
            ::GlobalFree(block);
            return Image();
        }
        std::memcpy(target, data, size);
        ::GlobalUnlock(block);
        IStream* stream = nullptr;
        if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
            ::GlobalFree(block);
            return Image();
        }
        // The image holds its own reference to the stream (and so to the block) until it is
        // disposed.
        gp::GpImage* image = nullptr;
        const gp::GpStatus status = g_gdiplus.LoadImageFromStream(stream, &image);
        stream->Release();
        if (status != gp::Ok) {
            if (image) g_gdiplus.DisposeImage(image);
            return Image();
        }
        return FromNative<Image>(image);
    }
    void DisposeImage(Image image) override {
        if (g_gdiplus.DisposeImage) g_gdiplus.DisposeImage(G(image));
    }
    uint32_t ImageWidth(Image image) override {
        UINT w = 0;
        if (g_gdiplus.GetImageWidth) g_gdiplus.GetImageWidth(G(image), &w);
        return w;
    }
    uint32_t ImageHeight(Image image) override {
        UINT h = 0;
        if (g_gdiplus.GetImageHeight) g_gdiplus.GetImageHeight(G(image), &h);
        return h;
    }

    Hicon LoadIconResource(uint32_t id) override {
        return FromI(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id)));
    }

    Hwnd CreatePopupWindow(const WindowDesc& desc, IWindowEvents* events) override {
        HINSTANCE self = ::GetModuleHandleW(nullptr);
        WNDCLASSW wc = {};
        wc.style = desc.classStyle;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = self;
        wc.lpszClassName = desc.className;
        ::RegisterClassW(&wc);  // fails harmlessly when the class is registered already
        const Rect& r = desc.rect;
        return FromW(::CreateWindowExW(desc.exStyle, desc.className, desc.windowName, desc.style,
                                       r.left, r.top, r.Width(), r.Height(), nullptr, nullptr, self,
                                       events));
    }
    bool DestroyWindow(Hwnd window) override { return ::DestroyWindow(W(window)) != FALSE; }
    bool ShowWindow(Hwnd window, int command) override {
        return ::ShowWindow(W(window), command) != FALSE;
    }
    bool SetWindowPos(Hwnd window, Hwnd insertAfter, int x, int y, int cx, int cy,
                      uint32_t flags) override {
        return ::SetWindowPos(W(window), W(insertAfter), x, y, cx, cy, flags) != FALSE;
    }
    bool MoveWindow(Hwnd window, int x, int y, int width, int height, bool repaint) override {
        return ::MoveWindow(W(window), x, y, width, height, repaint ? TRUE : FALSE) != FALSE;
    }
    bool GetClientRect(Hwnd window, Rect& out) override {
        RECT r = {0, 0, 0, 0};
        if (!::GetClientRect(W(window), &r)) return false;
        out = {r.left, r.top, r.right, r.bottom};
        return true;
    }
    bool GetWindowRect(Hwnd window, Rect& out) override {
        RECT r = {0, 0, 0, 0};
        if (!::GetWindowRect(W(window), &r)) return false;
        out = {r.left, r.top, r.right, r.bottom};
        return true;
    }
    bool ScreenToClient(Hwnd window, Rect& rect) override {
        POINT corners[2] = {{rect.left, rect.top}, {rect.right, rect.bottom}};
        if (!::ScreenToClient(W(window), &corners[0]) || !::ScreenToClient(W(window), &corners[1]))
            return false;
        rect = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        return true;
    }
    bool SetRoundRectRegion(Hwnd window, const Rect& rect, int ellipseWidth, int ellipseHeight,
                            bool redraw) override {
        HRGN region = ::CreateRoundRectRgn(rect.left, rect.top, rect.right, rect.bottom,
                                           ellipseWidth, ellipseHeight);
        if (!region) return false;
        if (!::SetWindowRgn(W(window), region, redraw ? TRUE : FALSE)) {
            ::DeleteObject(region);  // still ours when the window did not take it
            return false;
        }
        return true;
    }
    void SetIcon(Hwnd window, Hicon icon, bool big) override {
        ::SendMessageW(W(window), WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                       reinterpret_cast<LPARAM>(I(icon)));
    }
    bool SetTimer(Hwnd window, uint32_t id, uint32_t milliseconds) override {
        return ::SetTimer(W(window), id, milliseconds, nullptr) != 0;
    }
    bool KillTimer(Hwnd window, uint32_t id) override {
        return ::KillTimer(W(window), id) != FALSE;
    }
    bool SetLayeredWindowAttributes(Hwnd window, uint8_t alpha, uint32_t flags) override {
        return ::SetLayeredWindowAttributes(W(window), 0, alpha, flags) != FALSE;
    }
    bool RedrawWindow(Hwnd window, uint32_t flags) override {
        return ::RedrawWindow(W(window), nullptr, nullptr, flags) != FALSE;
    }
    void DisableProcessWindowsGhosting() override { ::DisableProcessWindowsGhosting(); }
    bool GetCursorPos(int& x, int& y) override {
        POINT p = {0, 0};
        if (!::GetCursorPos(&p)) return false;
        x = p.x;
        y = p.y;
        return true;
    }
    void SetCursor(uint32_t systemCursor) override {
        ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(systemCursor)));
    }

    bool CreateMemoryBitmap(int width, int height, Hdc& dc, Hbitmap& bitmap) override {
        HDC screen = ::GetDC(nullptr);
        HDC memory = ::CreateCompatibleDC(screen);
        HBITMAP picture = ::CreateCompatibleBitmap(screen, width, height);
        ::ReleaseDC(nullptr, screen);
        if (!memory || !picture) {
            if (memory) ::DeleteDC(memory);
            if (picture) ::DeleteObject(picture);
            return false;
        }
        ::SelectObject(memory, picture);
        dc = FromD(memory);
        bitmap = FromB(picture);
        return true;
    }
    void DeleteMemoryBitmap(Hdc dc, Hbitmap bitmap) override {
        // Deleting the DC releases the bitmap selected into it; then the bitmap can go.
        if (dc) ::DeleteDC(D(dc));
        if (bitmap) ::DeleteObject(B(bitmap));
    }
    bool DrawImage(Hdc dc, Image image, int x, int y, int width, int height) override {
        gp::GpGraphics* graphics = nullptr;
        if (!g_gdiplus.CreateFromHDC || g_gdiplus.CreateFromHDC(D(dc), &graphics) != gp::Ok)
            return false;
        const bool ok = g_gdiplus.DrawImageRectI(graphics, G(image), x, y, width, height) == gp::Ok;
        g_gdiplus.DeleteGraphics(graphics);
        return ok;
    }
    bool BitBlt(Hdc target, const Rect& rect, Hdc source, int srcX, int srcY) override {
        return ::BitBlt(D(target), rect.left, rect.top, rect.Width(), rect.Height(), D(source),
                        srcX, srcY, SRCCOPY) != FALSE;
    }
};

}  // namespace

ILoadingSurface* Win32LoadingSurface() {
    static LoadingSurface s;
    return &s;
}

}  // namespace plat::win32
