// The "Loading Now..." window with its spinner, and the waiting primitive that keeps it moving.
//
// The start-up thread never runs a message loop, so the window is driven from outside:
// ShowLoadingWnd creates and shows it, SleepWithSpinner paints the next spinner frame before each
// 120 ms slice of a wait, and CloseLoadingWnd removes it. The timer-driven fade-in / hold /
// fade-out runs only where something on that thread dispatches messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/loading_surface.h"
#include "util/scoped_handle.h"

// The off-screen picture of the loading window: a memory device context with a bitmap selected
// into it, made and deleted together.
class COffscreenPicture {
public:
    COffscreenPicture() = default;
    ~COffscreenPicture() { Reset(); }
    COffscreenPicture(const COffscreenPicture&) = delete;
    COffscreenPicture& operator=(const COffscreenPicture&) = delete;

    // A picture of that size, compatible with the screen, instead of the one held.
    bool Create(int width, int height);
    void Reset();
    plat::Hdc Dc() const { return m_dc; }

private:
    plat::Hdc m_dc;
    plat::Hbitmap m_bitmap;
};

class CLoadingWnd : public plat::IWindowEvents {
public:
    static constexpr int kWidth = 307;
    static constexpr int kHeight = 93;
    static constexpr int kFrameCount = 12;
    static constexpr uint32_t kBackgroundId = 200;  // PNG resources 200 (background) ...
    static constexpr uint32_t kFirstFrameId = 201;  // ... and 201 to 212 (spinner frames)
    static constexpr uint32_t kIconId = 128;
    static constexpr uint32_t kTimerHold = 100;
    static constexpr uint32_t kTimerFadeIn = 102;
    static constexpr uint32_t kTimerFadeOut = 103;

    // Loads the images and becomes g_pLoadingWnd.
    CLoadingWnd();
    // Destroys the window and releases the picture and the images; clears g_pLoadingWnd.
    virtual ~CLoadingWnd();
    CLoadingWnd(const CLoadingWnd&) = delete;
    CLoadingWnd& operator=(const CLoadingWnd&) = delete;

    // The hidden topmost popup at (0, 0), with the application icon. True when it exists.
    bool CreateWnd();
    void SetFadeMode(bool fade) { m_bFadeMode = fade; }
    // Stores the text (never drawn) and lays the window out.
    void SetText(const std::wstring& text);
    // Size, rectangular region, and the first picture.
    void Layout();
    // Composes background and the next spinner frame off-screen; false without a background.
    bool RenderFrame(const plat::Rect& rect);
    // Shows the window without activating it and paints the current picture at once.
    void Show();
    // The next frame, painted at once (no message loop needed).
    void NextFrame();
    // The spinner image to draw next (may be 0 when it failed to load); advances the counter.
    plat::Image NextFrameImage();

    // Centres the window in the work area and starts the fade-in.
    void StartAnimation();
    void FadeStep(bool fadeIn);
    void SetAlpha(uint8_t alpha);
    void StopCountdown();
    bool IsCursorOver();

    // For a message loop that offers messages before dispatching them: a click starts the
    // fade-out, moving the pointer picks the cursor. True when the message was handled.
    bool PreTranslateMessage(uint32_t message);

    plat::Hwnd GetSafeHwnd() const { return m_window.Get(); }

    // The window procedure's part.
    void OnTimer(uint32_t id) override;
    void OnShowWindow(bool shown) override;
    bool OnEraseBkgnd(plat::Hdc dc) override;

private:
    UniqueWindow m_window;
    COffscreenPicture m_picture;  // of the whole window
    bool m_bReady = false;        // the last RenderFrame succeeded: paint from m_picture
    bool m_bFadeMode = false;
    uint8_t m_byAlpha = 15;
    UniqueImage m_background;
    UniqueImage m_frames[kFrameCount];
    plat::Hicon m_hIcon;      // a shared icon of the module: never destroyed
    int32_t m_nTicks = 0;     // hold-phase ticks counted so far
    int32_t m_nMaxTicks = 3;  // hold-phase limit (0: no fade-out by itself)
    int32_t m_nFrame = 0;     // spinner frame counter
    std::wstring m_strText;
};

// The one instance (null when there is none).
extern CLoadingWnd* g_pLoadingWnd;

// Shows the window, creating it (and starting GDI+) when there is none; `mainWnd` receives it.
void ShowLoadingWnd(CLoadingWnd** mainWnd);
// Hides and deletes the window, clears `*mainWnd` and shuts GDI+ down; nothing when none exists.
void CloseLoadingWnd(CLoadingWnd** mainWnd);
// Every wait of the start-up thread: 120 ms slices with the next spinner frame painted before
// each, then the remainder (a zero-length one when nothing remains). Given a process, each slice
// waits on it instead of sleeping and the wait ends as soon as the process has ended: then the
// answer is true (a process whose exit code cannot be read counts as ended, rather than holding
// the launcher forever).
bool SleepWithSpinner(uint32_t milliseconds, plat::Handle process = plat::Handle());
// A PNG resource of the program's own module as a GDI+ image; false when it is missing or does
// not decode (the image is left untouched then).
bool LoadPngResource(uint32_t id, plat::Image& image);
