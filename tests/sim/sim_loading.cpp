// The loading window's side of the simulated machine: GDI+ images decoded from the program's PNG
// resources (only their size is read), one window with its visibility, position, region, icons
// and timers, and off-screen pictures that remember what was drawn on them. Only RedrawWindow
// with erase and update-now paints at once (through the window's owner); showing or moving a
// window merely asks for a paint, which needs a message loop that the launcher does not run. The
// picture copied onto the window is recorded by its spinner frame.
#include <cstring>

#include "sim/sim_impl.h"

namespace sim {

namespace {

constexpr plat::Hdc kWindowDc{0xDC0};
constexpr uint32_t kWsExLayered = 0x00080000;
constexpr uint32_t kBackgroundId = 200;

struct SimImage {
    uint32_t resource = 0;
    uint32_t width = 0, height = 0;
};

uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

class LoadingSurface final : public plat::ILoadingSurface {
public:
    explicit LoadingSurface(SimMachine& m) : m(m), s(m.loading) {}

    bool GdiplusStartup(uintptr_t* token) override {
        s.calls.push_back(L"GdiplusStartup");
        if (s.gdiplusFails) {
            *token = 0;
            return false;
        }
        ++s.gdiplusStarts;
        *token = 0x6D0 + static_cast<uintptr_t>(s.gdiplusStarts);
        return true;
    }
    void GdiplusShutdown(uintptr_t) override {
        s.calls.push_back(L"GdiplusShutdown");
        ++s.gdiplusShutdowns;
    }
    bool GdiplusRunning() const { return s.gdiplusStarts > s.gdiplusShutdowns; }

    bool LoadResourceBytes(uint32_t id, const wchar_t* type, const void** data,
                           uint32_t* size) override {
        auto it = s.pngs.find(id);
        if (std::wcscmp(type, L"PNG") != 0 || it == s.pngs.end()) return false;
        *data = it->second.data();
        *size = static_cast<uint32_t>(it->second.size());
        return true;
    }
    plat::Image LoadImageFromMemory(const void* data, uint32_t size) override {
        static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        const auto* bytes = static_cast<const unsigned char*>(data);
        if (!GdiplusRunning() || size < 24 || std::memcmp(bytes, kSignature, 8) != 0 ||
            std::memcmp(bytes + 12, "IHDR", 4) != 0)
            return plat::Image();
        SimImage image{0, BigEndian32(bytes + 16), BigEndian32(bytes + 20)};
        for (const auto& [id, png] : s.pngs)
            if (png.data() == data) image.resource = id;
        const plat::Image handle(++m_nextHandle);
        m_images[handle] = image;
        ++s.imagesAlive;
        return handle;
    }
    void DisposeImage(plat::Image image) override {
        if (m_images.erase(image)) --s.imagesAlive;
    }
    uint32_t ImageWidth(plat::Image image) override {
        auto it = m_images.find(image);
        return it == m_images.end() ? 0 : it->second.width;
    }
    uint32_t ImageHeight(plat::Image image) override {
        auto it = m_images.find(image);
        return it == m_images.end() ? 0 : it->second.height;
    }

    plat::Hicon LoadIconResource(uint32_t id) override {
        return plat::Hicon((id == 128 && !s.iconMissing) ? 0x1C0 : 0);
    }

    plat::Hwnd CreatePopupWindow(const plat::WindowDesc& desc,
                                 plat::IWindowEvents* events) override {
        s.calls.push_back(L"CreateWindow");
        if (s.createFails) {
            SetError(plat::kErrorNotEnoughMemory);
            return plat::Hwnd();
        }
        ++s.windowsCreated;
        s.window = plat::Hwnd(m.impl().nextHwnd += 0x10);
        s.alive = true;
        s.visible = false;
        s.topmost = (desc.exStyle & plat::kWsExTopmost) != 0;
        s.classStyle = desc.classStyle;
        s.className = desc.className;
        s.windowName = desc.windowName;
        s.style = desc.style;
        s.exStyle = desc.exStyle;
        s.rect = desc.rect;
        s.hasRegion = false;
        s.timers.clear();
        m_due.clear();
        m_events = events;
        return s.window;
    }
    bool DestroyWindow(plat::Hwnd window) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"DestroyWindow");
        s.alive = false;
        s.visible = false;
        s.timers.clear();
        m_due.clear();
        m_events = nullptr;
        return true;
    }
    bool ShowWindow(plat::Hwnd window, int command) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"ShowWindow " + std::to_wstring(command));
        const bool wasVisible = s.visible;
        const bool show = command != plat::kSwHide;
        if (show != wasVisible) {
            // WM_SHOWWINDOW comes before the change takes effect.
            if (m_events) m_events->OnShowWindow(show);
            s.visible = show;
        }
        return wasVisible;
    }
    bool SetWindowPos(plat::Hwnd window, plat::Hwnd insertAfter, int x, int y, int cx, int cy,
                      uint32_t flags) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"SetWindowPos " +
                          std::to_wstring(static_cast<intptr_t>(insertAfter.value)) + L" " +
                          std::to_wstring(flags));
        if (insertAfter == plat::kHwndTopmost) s.topmost = true;
        if (!(flags & plat::kSwpNoMove)) s.rect = {x, y, x + s.rect.Width(), y + s.rect.Height()};
        if (!(flags & plat::kSwpNoSize))
            s.rect.right = s.rect.left + cx, s.rect.bottom = s.rect.top + cy;
        return true;
    }
    bool MoveWindow(plat::Hwnd window, int x, int y, int width, int height, bool) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"MoveWindow " + std::to_wstring(x) + L" " + std::to_wstring(y) + L" " +
                          std::to_wstring(width) + L" " + std::to_wstring(height));
        s.rect = {x, y, x + width, y + height};
        return true;
    }
    bool GetClientRect(plat::Hwnd window, plat::Rect& out) override {
        if (!Live(window)) return false;
        out = {0, 0, s.rect.Width(), s.rect.Height()};
        return true;
    }
    bool GetWindowRect(plat::Hwnd window, plat::Rect& out) override {
        if (!Live(window)) return false;
        out = s.rect;
        return true;
    }
    bool ScreenToClient(plat::Hwnd window, plat::Rect& rect) override {
        if (!Live(window)) return false;
        rect = {rect.left - s.rect.left, rect.top - s.rect.top, rect.right - s.rect.left,
                rect.bottom - s.rect.top};
        return true;
    }
    bool SetRoundRectRegion(plat::Hwnd window, const plat::Rect& rect, int ellipseWidth,
                            int ellipseHeight, bool) override {
        if (!Live(window)) return false;
        s.hasRegion = true;
        s.region = rect;
        s.regionEllipseWidth = ellipseWidth;
        s.regionEllipseHeight = ellipseHeight;
        return true;
    }
    void SetIcon(plat::Hwnd window, plat::Hicon icon, bool big) override {
        if (!Live(window)) return;
        (big ? s.bigIcon : s.smallIcon) = icon;
    }
    bool SetTimer(plat::Hwnd window, uint32_t id, uint32_t milliseconds) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"SetTimer " + std::to_wstring(id) + L" " +
                          std::to_wstring(milliseconds));
        s.timers[id] = milliseconds;
        m_due[id] = m.Now() + milliseconds;
        return true;
    }
    bool KillTimer(plat::Hwnd window, uint32_t id) override {
        if (!Live(window)) return false;
        s.calls.push_back(L"KillTimer " + std::to_wstring(id));
        m_due.erase(id);
        return s.timers.erase(id) > 0;
    }
    bool SetLayeredWindowAttributes(plat::Hwnd window, uint8_t alpha, uint32_t) override {
        if (!Live(window)) return false;
        s.alphas.push_back(alpha);
        return (s.exStyle & kWsExLayered) != 0;  // only layered windows take an alpha
    }
    bool RedrawWindow(plat::Hwnd window, uint32_t flags) override {
        if (!Live(window)) return false;
        if (s.visible && (flags & plat::kRdwErase) && (flags & plat::kRdwUpdateNow)) Paint();
        return true;
    }
    void DisableProcessWindowsGhosting() override { s.ghostingDisabled = true; }
    bool GetCursorPos(int& x, int& y) override {
        x = s.cursorX;
        y = s.cursorY;
        return true;
    }
    void SetCursor(uint32_t systemCursor) override { s.cursor = systemCursor; }

    bool CreateMemoryBitmap(int, int, plat::Hdc& dc, plat::Hbitmap& bitmap) override {
        dc = plat::Hdc(++m_nextHandle);
        bitmap = plat::Hbitmap(++m_nextHandle);
        m_pictures[dc].clear();
        ++s.picturesAlive;
        return true;
    }
    void DeleteMemoryBitmap(plat::Hdc dc, plat::Hbitmap) override {
        if (m_pictures.erase(dc)) --s.picturesAlive;
    }
    bool DrawImage(plat::Hdc dc, plat::Image image, int x, int y, int width, int height) override {
        auto picture = m_pictures.find(dc);
        auto it = m_images.find(image);
        if (picture == m_pictures.end() || it == m_images.end()) return false;
        SimMachine::LoadingDraw draw{it->second.resource, x, y, width, height};
        picture->second.push_back(draw);
        s.draws.push_back(draw);
        return true;
    }
    bool BitBlt(plat::Hdc target, const plat::Rect&, plat::Hdc source, int, int) override {
        auto picture = m_pictures.find(source);
        if (target != kWindowDc || picture == m_pictures.end()) return false;
        uint32_t frame = 0;
        for (const SimMachine::LoadingDraw& draw : picture->second)
            if (draw.image != kBackgroundId) frame = draw.image;
        s.shownFrames.push_back(frame);
        s.shownAt.push_back(m.Now());
        return true;
    }

    void Pump(uint64_t ms) {
        const uint64_t end = m.Now() + ms;
        for (;;) {
            auto next = m_due.end();
            for (auto it = m_due.begin(); it != m_due.end(); ++it)
                if (next == m_due.end() || it->second < next->second) next = it;
            if (next == m_due.end() || next->second > end) break;
            const uint32_t id = next->first;
            m.Advance(next->second - m.Now());
            next->second += s.timers[id];
            if (m_events) m_events->OnTimer(id);
        }
        m.Advance(end - m.Now());
    }

private:
    bool Live(plat::Hwnd window) const { return window && window == s.window && s.alive; }

    // The background erase of a visible window.
    void Paint() {
        if (!m_events || !m_events->OnEraseBkgnd(kWindowDc)) ++s.defaultPaints;
    }

    SimMachine& m;
    SimMachine::LoadingSurface& s;
    plat::IWindowEvents* m_events = nullptr;
    std::map<uint32_t, uint64_t> m_due;  // armed timers: id -> next due time
    std::map<plat::Image, SimImage> m_images;
    std::map<plat::Hdc, std::vector<SimMachine::LoadingDraw>> m_pictures;
    uintptr_t m_nextHandle = 0x70000;
};

}  // namespace

std::string SimMachine::FakePng(uint32_t width, uint32_t height) {
    std::string png("\x89PNG\r\n\x1a\n", 8);
    const char ihdr[] = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    png.append(ihdr, sizeof ihdr);
    for (uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<char>(v >> shift));
    return png;
}

void SimMachine::PumpMessages(uint64_t ms) {
    PumpLoadingTimers(*this, ms);
}

std::unique_ptr<plat::ILoadingSurface> MakeLoadingSurface(SimMachine& m) {
    return std::make_unique<LoadingSurface>(m);
}

void PumpLoadingTimers(SimMachine& m, uint64_t ms) {
    static_cast<LoadingSurface*>(m.impl().loading.get())->Pump(ms);
}

}  // namespace sim
