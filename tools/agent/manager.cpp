// Substitute agent manager: records its command line, optionally starts the agent server beside
// it, shows a window of the agent's class after a short delay and runs until that window is
// closed or the configured time has passed. Settings (agent.ini, [Agent]): WindowDelayMs (500),
// RunSeconds (6), ExitCode (0), StartServer (1), NoWindow (0), and Crash (0) with CrashDelayMs
// (500): CrashDelayMs after its window shows, Crash=1 dies of an unhandled access violation,
// Crash=2 ends itself abruptly with exit code 259, the value that reads as "still running".
#include "agent_common.h"

namespace {

constexpr UINT_PTR kEndTimer = 1;
constexpr UINT_PTR kCrashTimer = 2;

// Ends the process with the exception's code, as on a machine where no debugger takes crashes.
// Wine's own debugger would otherwise attach and keep this program's file open for a moment
// after the process has ended.
LONG WINAPI EndWithoutDebugger(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

void Crash(int how) {
    agent::Record(L"QVManagerVESK.exe", L"crashing=" + std::to_wstring(how));
    if (how == 2) ::TerminateProcess(::GetCurrentProcess(), STILL_ACTIVE);
    ::SetUnhandledExceptionFilter(EndWithoutDebugger);
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == kEndTimer) ::DestroyWindow(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(window, &ps);
            RECT r;
            ::GetClientRect(window, &r);
            ::FillRect(dc, &r, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
            ::DrawTextW(dc, L"Remote support session (test agent)", -1, &r,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            ::EndPaint(window, &ps);
            return 0;
        }
        case WM_DESTROY:
            agent::Record(L"QVManagerVESK.exe", L"window closed");
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    agent::Record(L"QVManagerVESK.exe", std::wstring(L"cmdline=") + ::GetCommandLineW());
    agent::Record(L"QVManagerVESK.exe", L"files=" + agent::FolderListing());
    agent::Record(L"QVManagerVESK.exe", L"logfiles=" + agent::FolderListing(L"log"));
    if (agent::Setting(L"StartServer", 1)) {
        const std::wstring server = agent::OwnFolder() + L"\\QVServerVESK.exe";
        agent::Start(L"\"" + server + L"\" " + std::to_wstring(::GetCurrentProcessId()),
                     agent::OwnFolder());
    }
    const int exitCode = agent::Setting(L"ExitCode", 0);
    const int runSeconds = agent::Setting(L"RunSeconds", 6);
    if (agent::Setting(L"NoWindow", 0)) {
        ::Sleep(static_cast<DWORD>(runSeconds) * 1000);
        return exitCode;
    }
    ::Sleep(static_cast<DWORD>(agent::Setting(L"WindowDelayMs", 500)));

    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"QuintrovaRemoteAttendedSupport";
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"Remote support (test agent)",
                                    WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 420, 160, nullptr,
                                    nullptr, instance, nullptr);
    agent::Record(L"QVManagerVESK.exe", window ? L"window shown" : L"window failed");
    ::SetTimer(window, kEndTimer, static_cast<UINT>(runSeconds) * 1000, nullptr);
    if (agent::Setting(L"Crash", 0))
        ::SetTimer(window, kCrashTimer, static_cast<UINT>(agent::Setting(L"CrashDelayMs", 500)),
                   nullptr);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Outside the window procedure, where nothing of the system's catches it.
        if (msg.message == WM_TIMER && msg.wParam == kCrashTimer)
            Crash(agent::Setting(L"Crash", 0));
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    agent::Record(L"QVManagerVESK.exe", L"ended");
    return exitCode;
}
