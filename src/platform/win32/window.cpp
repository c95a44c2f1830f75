// The hidden main window: it carries the supervision timer and the message loop, and its
// window procedure only dispatches.
#include <windows.h>

#include <atomic>

#include "control/protocol.h"
#include "platform/platform.h"
#include "platform/win32/notices.h"

namespace {

constexpr UINT_PTR kSupervisionTimerId = 1;
// A tool that asked and then hung cannot hold the supervisor for longer than this.
constexpr UINT kReplyTimeoutMs = 2000;
constexpr int kWindowWidth = 380;
constexpr int kWindowHeight = 250;
// A fixed border with caption, system menu and minimize box; never shown.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kLoopFailedExitCode = 3;

platform::WindowHandlers Handlers{};
HWND MainWindow = nullptr;
// Read by the wait callbacks on pool threads. Set before the first worker starts, which is
// before CreateWindowEx returns.
std::atomic<HWND> NoticeWindow{nullptr};

LRESULT onCreate(HWND window) {
    // The timer is armed before the first launch, so the first check is due one period after
    // the window was built however long the launch takes.
    if (SetTimer(window, kSupervisionTimerId, platform::kSupervisionPeriodMs, nullptr) == 0) {
        return -1;
    }
    NoticeWindow = window;
    Handlers.onCreated();
    return 0;
}

LRESULT onDestroy(HWND window) {
    NoticeWindow = nullptr;
    KillTimer(window, kSupervisionTimerId);
    PostQuitMessage(0);
    return 0;
}

// The reply goes to the window the request names, never to our own, which would take it for a
// request of its own. SMTO_BLOCK keeps another request from being answered inside this one.
void sendReply(HWND window, HWND asker, const Text& reply) {
    if (asker == nullptr || asker == window || !IsWindow(asker)) {
        return;
    }
    COPYDATASTRUCT data = {};
    data.dwData = control::kReplyTag;
    data.cbData = static_cast<DWORD>(reply.size());
    data.lpData = const_cast<char*>(reply.data());
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                        reinterpret_cast<LPARAM>(&data), SMTO_BLOCK | SMTO_ABORTIFHUNG,
                        kReplyTimeoutMs, &ignored);
}

// Any program of the desktop can send this; what is not a request of ours, or is larger than
// any request, is not looked at.
LRESULT onCopyData(HWND window, HWND asker, const COPYDATASTRUCT* data) {
    if (data == nullptr || data->dwData != control::kRequestTag ||
        data->cbData > control::kMaxRequestBytes ||
        (data->cbData != 0 && data->lpData == nullptr)) {
        return FALSE;
    }
    const Text request(static_cast<const char*>(data->lpData), data->cbData);
    const platform::RequestAnswer answer = Handlers.onRequest(request);
    sendReply(window, asker, answer.reply);
    if (answer.endSupervisor) {
        DestroyWindow(window);
    }
    return TRUE;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return onCreate(window);
        case WM_TIMER:
            if (wParam == kSupervisionTimerId) {
                Handlers.onTick();
                return 0;
            }
            break;
        case kWorkerEndedMessage:
            Handlers.onWorkerEnded(static_cast<ProcessId>(wParam));
            return 0;
        case WM_COPYDATA:
            return onCopyData(window, reinterpret_cast<HWND>(wParam),
                              reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_DESTROY:
            return onDestroy(window);
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool registerMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = platform::kMainWindowClass;
    return RegisterClassExA(&windowClass) != 0;
}

}  // namespace

void postWorkerEnded(DWORD processId) {
    const HWND window = NoticeWindow;
    if (window != nullptr) {
        PostMessageA(window, kWorkerEndedMessage, processId, 0);
    }
}

namespace platform {

bool buildMainWindow(WindowHandlers handlers) {
    Handlers = handlers;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!registerMainWindowClass(instance)) {
        return false;
    }
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
    // No WS_VISIBLE and no ShowWindow: the window never appears, so it has no taskbar button.
    MainWindow = CreateWindowExA(0, kMainWindowClass, "", kWindowStyle, left, top, kWindowWidth,
                                 kWindowHeight, nullptr, nullptr, instance, nullptr);
    return MainWindow != nullptr;
}

int runMessageLoop() {
    MSG message = {};
    BOOL got = FALSE;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // A quit message posted to the thread ends the loop with the window still there.
    if (IsWindow(MainWindow)) {
        DestroyWindow(MainWindow);
    }
    MainWindow = nullptr;
    return got == 0 ? static_cast<int>(message.wParam) : kLoopFailedExitCode;
}

}  // namespace platform
