#include <gtest/gtest.h>

#include <algorithm>

#include "app/app.h"
#include "sim/sim_machine.h"
#include "ui/loading_wnd.h"

namespace {

using Surface = sim::SimMachine::LoadingSurface;

// A machine with the loading window shown; closes it again at the end.
struct Shown {
    sim::SimMachine m;
    CLoadingWnd* main = nullptr;
    Surface& s = m.loading;
    Shown() { ShowLoadingWnd(&main); }
    ~Shown() { CloseLoadingWnd(&main); }
};

std::vector<uint32_t> Repeat(uint32_t value, size_t n) {
    return std::vector<uint32_t>(n, value);
}

// ---- waiting -------------------------------------------------------------------------------

TEST(SleepWithSpinner, SlicesWaitsInto120MsStepsWithAFramePaintedBeforeEach) {
    Shown w;
    const size_t before = w.s.shownFrames.size();
    const uint64_t start = w.m.Now();
    w.m.sleeps.clear();
    SleepWithSpinner(500);
    std::vector<uint32_t> expected = Repeat(120, 4);
    expected.push_back(20);
    EXPECT_EQ(w.m.sleeps, expected);
    ASSERT_EQ(w.s.shownAt.size(), before + 4);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(w.s.shownAt[before + i], start + 120 * i);

    w.m.sleeps.clear();
    SleepWithSpinner(100);
    EXPECT_EQ(w.m.sleeps, std::vector<uint32_t>{100});
    EXPECT_EQ(w.s.shownFrames.size(), before + 4);

    w.m.sleeps.clear();
    SleepWithSpinner(3000);
    expected = Repeat(120, 25);
    expected.push_back(0);  // nothing remains, and the zero-length sleep is still made
    EXPECT_EQ(w.m.sleeps, expected);
    EXPECT_EQ(w.s.shownFrames.size(), before + 4 + 25);
}

TEST(SleepWithSpinner, WithoutAWindowSleepsTheSameTimeAndDrawsNothing) {
    sim::SimMachine m;
    ASSERT_EQ(g_pLoadingWnd, nullptr);
    SleepWithSpinner(500);
    SleepWithSpinner(3000);
    std::vector<uint32_t> expected = Repeat(120, 4);
    expected.push_back(20);
    const std::vector<uint32_t> rest = Repeat(120, 25);
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected.push_back(0);
    EXPECT_EQ(m.sleeps, expected);
    EXPECT_EQ(m.Now(), 3500u);
    EXPECT_TRUE(m.loading.draws.empty());
}

// ---- pictures ------------------------------------------------------------------------------

TEST(LoadingWindow, ShowsFrame201FirstAndThenCyclesThroughAllTwelve) {
    Shown w;
    // On the screen as soon as it is shown, before any wait: no message loop would paint it.
    EXPECT_EQ(w.s.shownFrames, std::vector<uint32_t>{201});
    SleepWithSpinner(13 * 120);
    std::vector<uint32_t> expected = {201};  // painted when the window appears
    for (uint32_t id = 202; id <= 212; ++id) expected.push_back(id);
    expected.push_back(201);
    expected.push_back(202);
    // Every repaint of one picture shows the same frame; only new pictures advance it.
    std::vector<uint32_t> distinct;
    for (uint32_t f : w.s.shownFrames)
        if (distinct.empty() || distinct.back() != f) distinct.push_back(f);
    EXPECT_EQ(distinct, expected);
}

TEST(LoadingWindow, ComposesTheBackgroundInItsOwnSizeAndAHalfSizeSpinnerBelowTheMiddle) {
    Shown w;
    ASSERT_GE(w.s.draws.size(), 2u);
    const auto& bg = w.s.draws[0];
    EXPECT_EQ(bg.image, 200u);
    EXPECT_EQ(std::vector<int>({bg.x, bg.y, bg.width, bg.height}),
              std::vector<int>({0, 0, 306, 92}));
    const auto& spinner = w.s.draws[1];
    EXPECT_EQ(spinner.image, 201u);
    EXPECT_EQ(std::vector<int>({spinner.x, spinner.y, spinner.width, spinner.height}),
              std::vector<int>({141, 54, 24, 24}));
}

TEST(LoadingWindow, FramesOfAnotherSizeAreCentredTheSameWay) {
    sim::SimMachine m;
    for (uint32_t id = 201; id <= 212; ++id) m.loading.pngs[id] = sim::SimMachine::FakePng(33, 17);
    CLoadingWnd* main = nullptr;
    ShowLoadingWnd(&main);
    ASSERT_GE(m.loading.draws.size(), 2u);
    const auto& spinner = m.loading.draws[1];
    // half size 16 x 8; x = (307 - 16) / 2, y = (93 - 8) / 2 + 20
    EXPECT_EQ(std::vector<int>({spinner.x, spinner.y, spinner.width, spinner.height}),
              std::vector<int>({145, 62, 16, 8}));
    CloseLoadingWnd(&main);
}

TEST(LoadingWindow, AMissingBackgroundLeavesPaintingToTheDefaultAndTheSpinnerStill) {
    sim::SimMachine m;
    m.loading.pngs.erase(200);
    CLoadingWnd* main = nullptr;
    ShowLoadingWnd(&main);
    SleepWithSpinner(600);
    EXPECT_TRUE(m.loading.draws.empty());
    EXPECT_TRUE(m.loading.shownFrames.empty());
    EXPECT_GT(m.loading.defaultPaints, 0);
    CloseLoadingWnd(&main);
}

TEST(LoadingWindow, AMissingOrUndecodableFrameIsSkippedInItsTurn) {
    sim::SimMachine m;
    m.loading.pngs.erase(202);
    m.loading.pngs[203] = "not a picture";
    CLoadingWnd* main = nullptr;
    ShowLoadingWnd(&main);
    SleepWithSpinner(3 * 120);
    std::vector<uint32_t> distinct;
    for (uint32_t f : m.loading.shownFrames)
        if (distinct.empty() || distinct.back() != f) distinct.push_back(f);
    EXPECT_EQ(distinct, std::vector<uint32_t>({201, 0, 204}));
    CloseLoadingWnd(&main);
}

TEST(LoadPngResource, ReportsMissingAndUndecodablePicturesAndLeavesTheImageAlone) {
    sim::SimMachine m;
    uintptr_t token = 0;
    ASSERT_TRUE(plat::loading().GdiplusStartup(&token));
    m.loading.pngs[205] = "\x89PNG garbage";
    plat::Image image;
    EXPECT_TRUE(LoadPngResource(200, image));
    EXPECT_NE(image, plat::Image());
    plat::Image untouched(7);
    EXPECT_FALSE(LoadPngResource(199, untouched));
    EXPECT_FALSE(LoadPngResource(205, untouched));
    EXPECT_EQ(untouched, plat::Image(7));
    EXPECT_EQ(m.loading.imagesAlive, 1);
    plat::loading().DisposeImage(image);
    plat::loading().GdiplusShutdown(token);
}

// ---- the window ----------------------------------------------------------------------------

TEST(LoadingWindow, IsAHiddenTopmostToolPopupThatIsShownWithoutActivation) {
    Shown w;
    EXPECT_EQ(w.s.className, L"VeskLoadingWnd");
    EXPECT_EQ(w.s.classStyle, 0x0008u);  // CS_DBLCLKS
    EXPECT_EQ(w.s.windowName, L"Loading");
    EXPECT_EQ(w.s.style, 0x80000000u);  // WS_POPUP only: created hidden
    EXPECT_EQ(w.s.exStyle, 0x88u);      // WS_EX_TOPMOST | WS_EX_TOOLWINDOW, not layered
    EXPECT_TRUE(w.s.topmost);
    EXPECT_TRUE(w.s.visible);
    EXPECT_TRUE(w.s.hasRegion);
    EXPECT_EQ(
        std::vector<int>({w.s.region.left, w.s.region.top, w.s.region.right, w.s.region.bottom,
                          w.s.regionEllipseWidth, w.s.regionEllipseHeight}),
        std::vector<int>({0, 0, 307, 93, 0, 0}));
    EXPECT_EQ(w.s.bigIcon, plat::Hicon(0x1C0));
    EXPECT_EQ(w.s.smallIcon, plat::Hicon(0x1C0));
    EXPECT_TRUE(w.s.ghostingDisabled);
    EXPECT_EQ(w.main, g_pLoadingWnd);
    const std::vector<std::wstring> head(w.s.calls.begin(), w.s.calls.begin() + 3);
    EXPECT_EQ(head, std::vector<std::wstring>({L"GdiplusStartup", L"CreateWindow",
                                               L"SetWindowPos -1 11"}));  // NOSIZE|NOMOVE|NOREDRAW
    EXPECT_EQ(std::count(w.s.calls.begin(), w.s.calls.end(), L"ShowWindow 4"), 1);
}

TEST(LoadingWindow, IsCentredInTheWorkArea) {
    Shown w;  // 1920 x 1040
    EXPECT_EQ(std::vector<int>({w.s.rect.left, w.s.rect.top, w.s.rect.right, w.s.rect.bottom}),
              std::vector<int>({807, 474, 1114, 567}));
    CloseLoadingWnd(&w.main);

    // A taskbar on the left or at the top moves the work area's origin; the window stays in
    // the middle of what is left.
    w.m.workArea = {62, 0, 1920, 1040};
    ShowLoadingWnd(&w.main);
    EXPECT_EQ(w.s.rect.left, 62 + 929 - 153);
    EXPECT_EQ(w.s.rect.top, 474);
    CloseLoadingWnd(&w.main);

    w.m.workArea = {0, 40, 1366, 768};
    ShowLoadingWnd(&w.main);
    EXPECT_EQ(w.s.rect.left, 683 - 153);
    EXPECT_EQ(w.s.rect.top, 40 + 364 - 46);
}

TEST(LoadingWindow, ShowingTwiceKeepsOneWindowAndOneGdiplus) {
    Shown w;
    CLoadingWnd* first = w.main;
    ShowLoadingWnd(&w.main);
    EXPECT_EQ(w.s.windowsCreated, 1);
    EXPECT_EQ(w.s.gdiplusStarts, 1);
    EXPECT_EQ(w.main, first);
    EXPECT_EQ(std::count(w.s.calls.begin(), w.s.calls.end(), L"ShowWindow 4"), 2);
}

TEST(LoadingWindow, ClosingTwiceShutsGdiplusDownOnceAndReleasesEverything) {
    sim::SimMachine m;
    CLoadingWnd* main = nullptr;
    ShowLoadingWnd(&main);
    SleepWithSpinner(240);
    EXPECT_GT(m.loading.imagesAlive, 0);
    CloseLoadingWnd(&main);
    CloseLoadingWnd(&main);
    EXPECT_EQ(main, nullptr);
    EXPECT_EQ(g_pLoadingWnd, nullptr);
    EXPECT_EQ(m.loading.gdiplusStarts, 1);
    EXPECT_EQ(m.loading.gdiplusShutdowns, 1);
    EXPECT_FALSE(m.loading.alive);
    EXPECT_EQ(m.loading.imagesAlive, 0);
    EXPECT_EQ(m.loading.picturesAlive, 0);
    // Hidden before it goes, and GDI+ last, after the images are gone.
    const auto& calls = m.loading.calls;
    const auto hide = std::find(calls.begin(), calls.end(), L"ShowWindow 0");
    const auto destroy = std::find(calls.begin(), calls.end(), L"DestroyWindow");
    ASSERT_NE(hide, calls.end());
    EXPECT_LT(hide, destroy);
    EXPECT_EQ(calls.back(), L"GdiplusShutdown");
}

TEST(LoadingWindow, FailuresOfGdiplusAndOfTheWindowDoNotStopTheRun) {
    {
        sim::SimMachine m;
        m.loading.gdiplusFails = true;
        CLoadingWnd* main = nullptr;
        ShowLoadingWnd(&main);
        EXPECT_EQ(m.loading.imagesAlive, 0);  // nothing decodes without GDI+
        SleepWithSpinner(360);
        CloseLoadingWnd(&main);
        EXPECT_EQ(m.loading.gdiplusShutdowns, 0);  // only what was started is shut down
        EXPECT_EQ(g_pLoadingWnd, nullptr);
    }
    {
        sim::SimMachine m;
        m.loading.createFails = true;
        CLoadingWnd* main = nullptr;
        ShowLoadingWnd(&main);
        EXPECT_NE(main, nullptr);  // the object exists; the calls on its window do nothing
        SleepWithSpinner(360);
        EXPECT_EQ(m.sleeps, std::vector<uint32_t>({120, 120, 120, 0}));
        CloseLoadingWnd(&main);
        EXPECT_EQ(main, nullptr);
        EXPECT_EQ(m.loading.gdiplusShutdowns, 1);
        EXPECT_EQ(m.loading.imagesAlive, 0);
    }
}

// ---- fade sequence (only where messages are dispatched) -------------------------------------

TEST(LoadingWindowFade, FadesInHoldsFourCountedSecondsAndFadesOutToHidden) {
    Shown w;
    EXPECT_EQ(w.s.timers, (std::map<uint32_t, uint32_t>{{102, 35}}));
    w.m.PumpMessages(15 * 35);
    std::vector<uint8_t> expected;
    for (int a = 15; a <= 240; a += 15) expected.push_back(static_cast<uint8_t>(a));
    EXPECT_EQ(w.s.alphas, expected);
    EXPECT_EQ(w.s.timers, (std::map<uint32_t, uint32_t>{{100, 1000}}));

    // The fourth counted hold tick starts the fade-out; 15 steps later the window hides.
    w.m.PumpMessages(4000 + 13 * 35);
    EXPECT_TRUE(w.s.visible);
    EXPECT_EQ(w.s.alphas.back(), 30);
    w.m.PumpMessages(35);
    EXPECT_FALSE(w.s.visible);
    EXPECT_EQ(w.s.alphas.back(), 15);
    EXPECT_TRUE(w.s.timers.empty());
    EXPECT_NE(g_pLoadingWnd, nullptr);  // hidden, not closed
}

TEST(LoadingWindowFade, APointerOverTheWindowHoldsItAndAClickStartsTheFadeOut) {
    Shown w;
    w.s.cursorX = w.s.rect.left + 10;
    w.s.cursorY = w.s.rect.top + 10;
    w.m.PumpMessages(15 * 35 + 20000);
    EXPECT_TRUE(w.s.visible);
    EXPECT_EQ(w.s.timers.count(100), 1u);

    EXPECT_TRUE(w.main->PreTranslateMessage(plat::kWmMouseMove));
    EXPECT_EQ(w.s.cursor, plat::kIdcHand);
    EXPECT_TRUE(w.main->PreTranslateMessage(plat::kWmLButtonDown));
    EXPECT_EQ(w.s.timers, (std::map<uint32_t, uint32_t>{{103, 35}}));
    w.m.PumpMessages(15 * 35);
    EXPECT_FALSE(w.s.visible);

    w.s.cursorX = w.s.rect.right;  // the right edge is outside
    EXPECT_TRUE(w.main->PreTranslateMessage(plat::kWmMouseMove));
    EXPECT_EQ(w.s.cursor, plat::kIdcArrow);
    EXPECT_FALSE(w.main->PreTranslateMessage(0x0100));  // other messages pass on
}

TEST(LoadingWindowFade, ShowingAgainRecentresAndRestartsTheFade) {
    Shown w;
    w.m.PumpMessages(15 * 35 + 4000 + 15 * 35);
    ASSERT_FALSE(w.s.visible);
    w.m.workArea = {0, 0, 1024, 768};
    ShowLoadingWnd(&w.main);
    EXPECT_TRUE(w.s.visible);
    EXPECT_EQ(w.s.rect.left, 512 - 153);
    EXPECT_EQ(w.s.alphas.back(), 15);
    EXPECT_EQ(w.s.timers, (std::map<uint32_t, uint32_t>{{102, 35}}));
}

// ---- in the start-up sequence -----------------------------------------------------------------

TEST(LoadingWindow, ALauncherRunShowsTheWindowAndClosesItBeforeItEnds) {
    sim::SimMachine m;
    CUnPackFileApp app;
    std::wstring arg0 = L"C:\\Downloads\\VESK.exe";
    wchar_t* argv[] = {arg0.data()};
    RunState run;
    EXPECT_EQ(RunApplication(app, 1, argv, run), 0);
    EXPECT_EQ(m.loading.windowsCreated, 1);
    EXPECT_FALSE(m.loading.alive);
    EXPECT_EQ(m.loading.gdiplusStarts, 1);
    EXPECT_EQ(m.loading.gdiplusShutdowns, 1);
    EXPECT_EQ(run.mainWnd, nullptr);
    EXPECT_EQ(g_pLoadingWnd, nullptr);
}

}  // namespace
