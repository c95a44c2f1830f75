// Finding supervisors and asking them through their hidden windows.
#include "ctl/win32/supervisors.h"

#include "control/protocol.h"
#include "platform/platform.h"

namespace {

constexpr char kReplyWindowClass[] = "phpkeeper.ControlReply";
// A supervisor answers from its message loop at once; one that takes this long is hung.
constexpr UINT kAnswerTimeoutMs = 5000;

struct PendingReply {
    HWND from = nullptr;
    std::optional<std::string> text;
    const std::function<void(const std::string&)>* whileHeld = nullptr;
};

// Only the reply of the supervisor that was asked is taken, and only once.
LRESULT onReply(HWND window, HWND from, const COPYDATASTRUCT* data) {
    auto* pending = reinterpret_cast<PendingReply*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (pending == nullptr || pending->text || from != pending->from || data == nullptr ||
        data->dwData != control::kReplyTag || (data->cbData != 0 && data->lpData == nullptr)) {
        return FALSE;
    }
    pending->text = std::string(static_cast<const char*>(data->lpData), data->cbData);
    if (pending->whileHeld != nullptr && *pending->whileHeld) {
        (*pending->whileHeld)(*pending->text);
    }
    return TRUE;
}

LRESULT CALLBACK replyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        return onReply(window, reinterpret_cast<HWND>(wParam),
                       reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A message-only window: it receives the replies and is never seen or enumerated.
HWND replyWindow() {
    static HWND window = [] {
        WNDCLASSEXA windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = replyWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kReplyWindowClass;
        RegisterClassExA(&windowClass);
        return CreateWindowExA(0, kReplyWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               windowClass.hInstance, nullptr);
    }();
    return window;
}

}  // namespace

std::vector<Supervisor> findSupervisors() {
    std::vector<Supervisor> found;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, platform::kMainWindowClass, nullptr)) !=
           nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        found.push_back(
            {window, processId, UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, processId))});
    }
    return found;
}

std::optional<std::string> ask(const Supervisor& supervisor, const std::string& request,
                               const std::function<void(const std::string&)>& whileHeld) {
    const HWND window = replyWindow();
    if (window == nullptr) {
        return std::nullopt;
    }
    PendingReply pending;
    pending.from = supervisor.window;
    pending.whileHeld = &whileHeld;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&pending));
    COPYDATASTRUCT data = {};
    data.dwData = control::kRequestTag;
    data.cbData = static_cast<DWORD>(request.size());
    data.lpData = const_cast<char*>(request.data());
    DWORD_PTR answered = 0;
    // The reply is sent back while this call waits; a thread waiting in SendMessage still takes
    // messages sent to its windows, so it reaches replyWindowProc before this returns.
    SendMessageTimeoutA(supervisor.window, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                        reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, kAnswerTimeoutMs,
                        &answered);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return pending.text;
}

// Without a handle to the process the window's end is the best sign.
bool waitForEnd(const Supervisor& supervisor, DWORD timeoutMs) {
    if (supervisor.process) {
        return WaitForSingleObject(supervisor.process.handle, timeoutMs) == WAIT_OBJECT_0;
    }
    const DWORD started = GetTickCount();
    while (IsWindow(supervisor.window)) {
        if (GetTickCount() - started >= timeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}
