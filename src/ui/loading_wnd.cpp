// The loading window's rules: which picture is composed, where the spinner and the window stand,
// how the fade runs, and how waits are sliced. Drawing and the window itself are reached through
// plat::loading().
#include "ui/loading_wnd.h"

#include <new>

#include "platform/platform.h"

CLoadingWnd* g_pLoadingWnd = nullptr;

namespace {

constexpr const wchar_t* kClassName = L"VeskLoadingWnd";
constexpr const wchar_t* kWindowName = L"Loading";
constexpr const wchar_t* kText = L"Loading Now...";
constexpr const wchar_t* kPngType = L"PNG";
constexpr uint32_t kSliceMs = 120;
constexpr uint32_t kFadeIntervalMs = 35;
constexpr uint32_t kHoldIntervalMs = 1000;
constexpr uint8_t kAlphaStep = 15;
constexpr uint8_t kAlphaStart = 15;
constexpr uint8_t kAlphaFull = 240;
constexpr int kSpinnerDrop = 20;  // the spinner sits this far below the middle

constexpr uint32_t kRedrawNow = plat::kRdwInvalidate | plat::kRdwErase | plat::kRdwUpdateNow;

// GDI+ runs from ShowLoadingWnd to CloseLoadingWnd; a failed start is not shut down.
class CGdiplus {
public:
    void Start() { m_started = plat::loading().GdiplusStartup(&m_token); }
    void Shutdown() {
        if (m_started) plat::loading().GdiplusShutdown(m_token);
        m_started = false;
    }

private:
    uintptr_t m_token = 0;
    bool m_started = false;
};
CGdiplus g_gdiplus;

// The spinner is drawn at half its size, centred across and 20 pixels below the middle
// (unsigned, truncating halvings: 48 x 48 on 307 x 93 gives 24 x 24 at (141, 54)).
plat::Rect SpinnerRect(const plat::Rect& area, uint32_t frameWidth, uint32_t frameHeight) {
    const uint32_t hw = frameWidth / 2;
    const uint32_t hh = frameHeight / 2;
    const int x = static_cast<int>((static_cast<uint32_t>(area.Width()) - hw) / 2);
    const int y = static_cast<int>((static_cast<uint32_t>(area.Height()) - hh) / 2) + kSpinnerDrop;
    return {x, y, x + static_cast<int>(hw), y + static_cast<int>(hh)};
}

// Top-left corner that centres a w x h window in the work area (signed, truncating).
void CentreIn(const plat::Rect& workArea, int w, int h, int& x, int& y) {
    x = workArea.left + workArea.Width() / 2 - w / 2;
    y = workArea.top + workArea.Height() / 2 - h / 2;
}

}  // namespace

// ---- the off-screen picture ------------------------------------------------------------------

bool COffscreenPicture::Create(int width, int height) {
    Reset();
    return plat::loading().CreateMemoryBitmap(width, height, m_dc, m_bitmap);
}

void COffscreenPicture::Reset() {
    if (m_dc || m_bitmap) plat::loading().DeleteMemoryBitmap(m_dc, m_bitmap);
    m_dc = plat::Hdc();
    m_bitmap = plat::Hbitmap();
}

// ---- the window --------------------------------------------------------------------------

CLoadingWnd::CLoadingWnd() {
    plat::Image image;
    if (LoadPngResource(kBackgroundId, image)) m_background.Reset(image);
    for (int i = 0; i < kFrameCount; ++i)
        if (LoadPngResource(kFirstFrameId + i, image)) m_frames[i].Reset(image);
    g_pLoadingWnd = this;
}

CLoadingWnd::~CLoadingWnd() {
    if (g_pLoadingWnd == this) g_pLoadingWnd = nullptr;
    // The window goes first, so that no message reaches a half-released object; then the picture
    // and the images.
    m_window.Reset();
    m_picture.Reset();
    m_background.Reset();
    for (UniqueImage& frame : m_frames) frame.Reset();
}

bool CLoadingWnd::CreateWnd() {
    plat::ILoadingSurface& s = plat::loading();
    plat::WindowDesc desc;
    desc.classStyle = plat::kCsDblClks;
    desc.className = kClassName;
    desc.windowName = kWindowName;
    desc.style = plat::kWsPopup;
    desc.exStyle = plat::kWsExTopmost | plat::kWsExToolWindow;
    desc.rect = {0, 0, kWidth, kHeight};
    m_window.Reset(s.CreatePopupWindow(desc, this));
    s.SetWindowPos(m_window.Get(), plat::kHwndTopmost, 0, 0, 0, 0,
                   plat::kSwpNoSize | plat::kSwpNoMove | plat::kSwpNoRedraw);
    m_hIcon = s.LoadIconResource(kIconId);
    s.SetIcon(m_window.Get(), m_hIcon, true);
    s.SetIcon(m_window.Get(), m_hIcon, false);
    // The start-up thread blocks for long stretches without looking at its messages; the
    // system must not replace the window with a "not responding" ghost meanwhile.
    s.DisableProcessWindowsGhosting();
    return static_cast<bool>(m_window);
}

void CLoadingWnd::SetText(const std::wstring& text) {
    m_strText = text;
    Layout();
}

void CLoadingWnd::Layout() {
    plat::ILoadingSurface& s = plat::loading();
    s.MoveWindow(m_window.Get(), 0, 0, kWidth, kHeight, true);
    plat::Rect client;
    s.GetClientRect(m_window.Get(), client);
    s.SetRoundRectRegion(m_window.Get(), client, 0, 0, true);
    m_bReady = RenderFrame(client);
}

bool CLoadingWnd::RenderFrame(const plat::Rect& rect) {
    plat::ILoadingSurface& s = plat::loading();
    if (!m_picture.Create(rect.Width(), rect.Height())) return false;
    if (!m_background) return false;
    // The background keeps its own size (306 x 92); the bitmap's last column and row stay as
    // created, outside the window's region.
    const plat::Image background = m_background.Get();
    s.DrawImage(m_picture.Dc(), background, 0, 0, static_cast<int>(s.ImageWidth(background)),
                static_cast<int>(s.ImageHeight(background)));
    const plat::Image frame = NextFrameImage();
    if (frame) {
        const plat::Rect r = SpinnerRect(rect, s.ImageWidth(frame), s.ImageHeight(frame));
        s.DrawImage(m_picture.Dc(), frame, r.left, r.top, r.Width(), r.Height());
    }
    return true;
}

void CLoadingWnd::Show() {
    plat::ILoadingSurface& s = plat::loading();
    s.ShowWindow(m_window.Get(), plat::kSwShowNoActivate);
    // Showing only asks for a paint, which a message loop would deliver; the start-up thread
    // runs none and may block next (the extraction), so the picture goes on the screen now.
    s.RedrawWindow(m_window.Get(), kRedrawNow);
}

void CLoadingWnd::NextFrame() {
    m_bReady = RenderFrame({0, 0, kWidth, kHeight});
    plat::loading().RedrawWindow(m_window.Get(), kRedrawNow);
}

plat::Image CLoadingWnd::NextFrameImage() {
    const plat::Image frame = m_frames[m_nFrame % kFrameCount].Get();
    m_nFrame = (m_nFrame + 1) % kFrameCount;
    return frame;
}

bool CLoadingWnd::OnEraseBkgnd(plat::Hdc dc) {
    if (!m_bReady) return false;
    plat::ILoadingSurface& s = plat::loading();
    plat::Rect r;
    s.GetWindowRect(m_window.Get(), r);
    s.ScreenToClient(m_window.Get(), r);
    s.BitBlt(dc, r, m_picture.Dc(), 0, 0);
    return true;
}

// ---- fade-in, hold, fade-out -------------------------------------------------------------

void CLoadingWnd::OnShowWindow(bool shown) {
    if (shown) StartAnimation();
}

void CLoadingWnd::StartAnimation() {
    plat::ILoadingSurface& s = plat::loading();
    StopCountdown();
    plat::Rect client;
    s.GetClientRect(m_window.Get(), client);
    plat::Rect workArea;
    plat::user().GetWorkArea(workArea);
    s.KillTimer(m_window.Get(), kTimerFadeOut);
    int x = 0, y = 0;
    CentreIn(workArea, client.Width(), client.Height(), x, y);
    s.MoveWindow(m_window.Get(), x, y, client.Width(), client.Height(), true);
    if (!m_bFadeMode) return;
    m_byAlpha = kAlphaStart;
    SetAlpha(m_byAlpha);
    s.SetTimer(m_window.Get(), kTimerFadeIn, kFadeIntervalMs);
}

void CLoadingWnd::OnTimer(uint32_t id) {
    plat::ILoadingSurface& s = plat::loading();
    switch (id) {
        case kTimerFadeIn:
            s.KillTimer(m_window.Get(), kTimerFadeIn);
            FadeStep(true);
            break;
        case kTimerFadeOut:
            s.KillTimer(m_window.Get(), kTimerFadeOut);
            FadeStep(false);
            break;
        case kTimerHold:
            if (m_nMaxTicks == 0) {
                StopCountdown();  // stays until closed
            } else if (!IsCursorOver() && m_nTicks++ >= m_nMaxTicks) {
                StopCountdown();
                FadeStep(false);
            }
            break;
        default:
            break;
    }
}

void CLoadingWnd::FadeStep(bool fadeIn) {
    plat::ILoadingSurface& s = plat::loading();
    if (fadeIn) {
        m_byAlpha = static_cast<uint8_t>(m_byAlpha + kAlphaStep);
        SetAlpha(m_byAlpha);
        if (m_byAlpha >= kAlphaFull)
            s.SetTimer(m_window.Get(), kTimerHold, kHoldIntervalMs);
        else
            s.SetTimer(m_window.Get(), kTimerFadeIn, kFadeIntervalMs);
    } else {
        m_byAlpha = static_cast<uint8_t>(m_byAlpha - kAlphaStep);
        SetAlpha(m_byAlpha);
        if (m_byAlpha <= kAlphaStart)
            s.ShowWindow(m_window.Get(), plat::kSwHide);
        else
            s.SetTimer(m_window.Get(), kTimerFadeOut, kFadeIntervalMs);
    }
}

void CLoadingWnd::SetAlpha(uint8_t alpha) {
    plat::ILoadingSurface& s = plat::loading();
    // The window is not layered, so this fails and the window stays opaque; the result does
    // not matter.
    s.SetLayeredWindowAttributes(m_window.Get(), alpha, plat::kLwaAlpha);
    s.RedrawWindow(m_window.Get(), kRedrawNow);
}

void CLoadingWnd::StopCountdown() {
    m_nTicks = 0;
    plat::loading().KillTimer(m_window.Get(), kTimerHold);
}

bool CLoadingWnd::IsCursorOver() {
    plat::ILoadingSurface& s = plat::loading();
    int x = 0, y = 0;
    plat::Rect r;
    if (!s.GetCursorPos(x, y) || !s.GetWindowRect(m_window.Get(), r)) return false;
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

bool CLoadingWnd::PreTranslateMessage(uint32_t message) {
    plat::ILoadingSurface& s = plat::loading();
    if (message == plat::kWmLButtonDown) {
        StopCountdown();
        s.KillTimer(m_window.Get(), kTimerFadeIn);
        s.SetTimer(m_window.Get(), kTimerFadeOut, kFadeIntervalMs);
        return true;
    }
    if (message == plat::kWmMouseMove) {
        s.SetCursor(IsCursorOver() ? plat::kIdcHand : plat::kIdcArrow);
        return true;
    }
    return false;
}

// ---- the free functions the start-up code uses ---------------------------------------------

void ShowLoadingWnd(CLoadingWnd** mainWnd) {
    if (g_pLoadingWnd) {
        g_pLoadingWnd->Show();
        return;
    }
    g_gdiplus.Start();
    CLoadingWnd* wnd = new (std::nothrow) CLoadingWnd;
    if (!wnd) {
        g_gdiplus.Shutdown();  // nothing will ever close it, so GDI+ goes again at once
        return;
    }
    if (mainWnd) *mainWnd = wnd;
    wnd->CreateWnd();
    wnd->SetFadeMode(true);
    wnd->SetText(kText);
    wnd->Show();
}

void CloseLoadingWnd(CLoadingWnd** mainWnd) {
    CLoadingWnd* wnd = g_pLoadingWnd;
    if (!wnd) return;
    plat::ILoadingSurface& s = plat::loading();
    s.ShowWindow(wnd->GetSafeHwnd(), plat::kSwHide);
    delete wnd;
    if (mainWnd) *mainWnd = nullptr;
    g_gdiplus.Shutdown();
}

bool SleepWithSpinner(uint32_t milliseconds, plat::Handle process) {
    plat::IKernel& k = plat::kernel();
    // One slice: a wait on the process, which ends as soon as the process has. A handle that
    // cannot be waited on (no right to) makes it a plain sleep, after which the exit code tells;
    // a process that may itself exit with 259 is told by its handle, where that can be had.
    auto slice = [&](uint32_t ms) {
        if (process) {
            const uint32_t wait = k.WaitForSingleObject(process, ms);
            if (wait == plat::kWaitObject0) return true;
            if (wait == plat::kWaitTimeout) return false;
        }
        k.Sleep(ms);
        uint32_t code = 0;
        return process && (!k.GetExitCodeProcess(process, &code) || code != plat::kStillActive);
    };
    for (; milliseconds >= kSliceMs; milliseconds -= kSliceMs) {
        if (g_pLoadingWnd) g_pLoadingWnd->NextFrame();
        if (slice(kSliceMs)) return true;
    }
    return slice(milliseconds);
}

bool LoadPngResource(uint32_t id, plat::Image& image) {
    plat::ILoadingSurface& s = plat::loading();
    const void* data = nullptr;
    uint32_t size = 0;
    if (!s.LoadResourceBytes(id, kPngType, &data, &size)) return false;
    const plat::Image loaded = s.LoadImageFromMemory(data, size);
    if (!loaded) return false;
    image = loaded;
    return true;
}
