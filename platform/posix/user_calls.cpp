// Substitute window system, the Win32 calls: dialogs, controls, texts and SendMessageA.
#include "platform/posix/user_window.h"

#include <algorithm>
#include <cstring>

using namespace substitute::user;
using substitute::LogCall;
using substitute::TakeScriptedFailure;

INT_PTR DialogBoxParamA(HINSTANCE /*instance*/, LPCSTR templateName, HWND /*owner*/,
                        DLGPROC procedure, LPARAM initParam) {
    DWORD error = 0;
    if (TakeScriptedFailure("DialogBoxParamA", &error)) {
        LogCall("DialogBoxParamA", "failed");
        SetLastError(error);
        return -1;
    }
    const rc::DialogTemplate* source = nullptr;
    if (templateName != nullptr && IS_INTRESOURCE(templateName)) {
        source = rc::FindDialog(LOWORD(reinterpret_cast<UINT_PTR>(templateName)));
    }
    if (source == nullptr) {
        LogCall("DialogBoxParamA", "no such template");
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    if (procedure == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    LogCall("DialogBoxParamA", std::to_string(source->id));
    std::shared_ptr<UserWindow> dialog = BuildDialog(*source, procedure);
    {
        std::lock_guard<std::mutex> guard(StateLock());
        Hooks().openDialogs.push_back(dialog);
    }
    HandleDialog(*dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(FirstTabStop(*dialog)),
                 initParam);
    RunModalLoop(*dialog);
    INT_PTR result = 0;
    {
        std::lock_guard<std::mutex> guard(dialog->queue->lock);
        result = dialog->result;
    }
    DestroyDialog(dialog);
    LogCall("DialogClosed", std::to_string(source->id) + " " + std::to_string(result));
    bool clobber = false;
    DWORD clobbered = 0;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        clobber = Hooks().clobberLastError;
        clobbered = Hooks().clobberedLastError;
    }
    if (clobber) {
        SetLastError(clobbered);
    }
    return result;
}

HWND CreateDialogParamA(HINSTANCE /*instance*/, LPCSTR templateName, HWND /*owner*/,
                        DLGPROC procedure, LPARAM initParam) {
    DWORD error = 0;
    if (TakeScriptedFailure("CreateDialogParamA", &error)) {
        LogCall("CreateDialogParamA", "failed");
        SetLastError(error);
        return nullptr;
    }
    const rc::DialogTemplate* source = nullptr;
    if (templateName != nullptr && IS_INTRESOURCE(templateName)) {
        source = rc::FindDialog(LOWORD(reinterpret_cast<UINT_PTR>(templateName)));
    }
    if (source == nullptr || procedure == nullptr) {
        LogCall("CreateDialogParamA", "no such template");
        SetLastError(source == nullptr ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    LogCall("CreateDialogParamA", std::to_string(source->id));
    std::shared_ptr<UserWindow> dialog = BuildDialog(*source, procedure);
    dialog->visible = (source->style & WS_VISIBLE) != 0;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        Hooks().openDialogs.push_back(dialog);
    }
    HandleDialog(*dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(FirstTabStop(*dialog)),
                 initParam);
    if (dialog->visible) {
        RecordShown(*dialog);
    }
    return dialog->self;
}

BOOL DestroyWindow(HWND window) {
    std::shared_ptr<UserWindow> dialog = DialogFrom(window);
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    DestroyDialog(dialog);
    LogCall("DestroyWindow", std::to_string(dialog->templateId));
    return TRUE;
}

BOOL GetMessageA(LPMSG message, HWND window, UINT /*filterMin*/, UINT /*filterMax*/) {
    if (message == nullptr || window != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD error = 0;
    if (TakeScriptedFailure("GetMessageA", &error)) {
        SetLastError(error);
        return -1;
    }
    return WaitForPostedMessage(message);
}

BOOL PeekMessageA(LPMSG message, HWND window, UINT /*filterMin*/, UINT /*filterMax*/, UINT remove) {
    if (message == nullptr || window != nullptr || remove != PM_REMOVE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return PeekPostedMessage(message);
}

BOOL TranslateMessage(const MSG* /*message*/) {
    return FALSE; // no keyboard: nothing to translate
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD /*wakeMask*/) {
    LogCall("MsgWaitForMultipleObjects", std::to_string(count));
    DWORD error = 0;
    if (TakeScriptedFailure("MsgWaitForMultipleObjects", &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    if (waitAll != FALSE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return substitute::WaitForAnyObject(count, handles, milliseconds, [] { return HasInput(); });
}

LRESULT DispatchMessageA(const MSG* message) {
    if (message == nullptr) {
        return 0;
    }
    std::shared_ptr<UserWindow> window = WindowFrom(message->hwnd);
    if (window == nullptr) {
        return 0;
    }
    return Handle(*window, message->message, message->wParam, message->lParam);
}

// Only the window's own thread may set or kill its timers, as on Windows.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr || procedure != nullptr) {
        SetLastError(found == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (found->owner != std::this_thread::get_id()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    LogCall("SetTimer", std::to_string(id) + " " + std::to_string(elapse));
    std::vector<Timer>& timers = found->queue->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const Timer& t) { return t.window == window && t.id == id; }),
                 timers.end());
    timers.push_back(Timer{window, id, elapse, GetTickCount()});
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
    std::vector<Timer>& timers = queue->timers;
    auto kept = std::remove_if(timers.begin(), timers.end(),
                               [&](const Timer& t) { return t.window == window && t.id == id; });
    if (kept == timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timers.erase(kept, timers.end());
    LogCall("KillTimer", std::to_string(id));
    return TRUE;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadQueue& queue = *found->queue;
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.posted.push_back(MSG{window, message, wParam, lParam, 0, {0, 0}});
    queue.arrived.notify_all();
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    LogCall("PostQuitMessage", std::to_string(exitCode));
    std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->posted.push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, 0, {0, 0}});
    queue->arrived.notify_all();
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<substitute::WindowObject> target = substitute::FindWindow(window);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return target->Deliver(window, message, wParam, lParam);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    std::shared_ptr<UserWindow> window = DialogFrom(dialog);
    DWORD error = 0;
    if (TakeScriptedFailure("EndDialog", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(window->queue->lock);
        if (window->destroyed) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        window->ended = true;
        window->result = result;
        DropWorkForLocked(*window->queue, window.get());
        window->queue->arrived.notify_all();
    }
    LogCall("EndDialog", std::to_string(window->templateId) + " " + std::to_string(result));
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    DWORD error = 0;
    if (TakeScriptedFailure("GetDlgItem", &error)) {
        SetLastError(error);
        return nullptr;
    }
    std::shared_ptr<UserWindow> window = DialogFrom(dialog);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::shared_ptr<UserWindow> child = ChildOf(*window, id);
    if (child == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return child->self;
}

int GetDlgCtrlID(HWND control) {
    std::shared_ptr<UserWindow> window = WindowFrom(control);
    if (window == nullptr || window->kind == Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return window->id;
}

HWND GetParent(HWND window) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // Dialogs of this program have no owner.
    return found->kind == Kind::Dialog ? nullptr : found->dialog->self;
}

BOOL IsWindow(HWND window) {
    return substitute::FindWindow(window) != nullptr ? TRUE : FALSE;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        return 0;
    }
    return SendMessageA(control, message, wParam, lParam);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    if (GetDlgItem(dialog, id) == nullptr) {
        return FALSE;
    }
    SendDlgItemMessageA(dialog, id, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
    return static_cast<UINT>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
    DWORD error = 0;
    if (TakeScriptedFailure("SetWindowTextA", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (substitute::FindWindow(window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    LRESULT result = SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return result == CB_ERR ? FALSE : TRUE;
}

int GetWindowTextA(HWND window, LPSTR buffer, int size) {
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
    DWORD error = 0;
    if (TakeScriptedFailure("GetWindowTextA", &error)) {
        SetLastError(error);
        return 0;
    }
    if (substitute::FindWindow(window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(size),
                                         reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthA(HWND window) {
    if (substitute::FindWindow(window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    HWND control = GetDlgItem(dialog, id);
    return control == nullptr ? FALSE : SetWindowTextA(control, text);
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(control, buffer, size));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    char text[16];
    if (isSigned != FALSE) {
        std::snprintf(text, sizeof(text), "%d", static_cast<int>(value));
    } else {
        std::snprintf(text, sizeof(text), "%u", value);
    }
    return SetDlgItemTextA(dialog, id, text);
}

// As the dialog manager converts: leading blanks, a minus sign when signed, then decimal
// digits up to the first other character; nothing converted or a value out of range fails.
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
    if (translated != nullptr) {
        *translated = FALSE;
    }
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        return 0;
    }
    int length = GetWindowTextLengthA(control);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    GetWindowTextA(control, text.data(), length + 1);
    text.resize(std::strlen(text.c_str()));
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
        ++at;
    }
    bool negative = false;
    if (isSigned != FALSE && at < text.size() && text[at] == '-') {
        negative = true;
        ++at;
    }
    unsigned long long value = 0;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value > 0xFFFFFFFFull) {
            return 0;
        }
        ++at;
        ++digits;
    }
    if (digits == 0) {
        return 0;
    }
    if (isSigned != FALSE) {
        if ((!negative && value > 0x7FFFFFFFull) || (negative && value > 0x80000000ull)) {
            return 0;
        }
        if (translated != nullptr) {
            *translated = TRUE;
        }
        long long signedValue =
            negative ? -static_cast<long long>(value) : static_cast<long long>(value);
        return static_cast<UINT>(static_cast<int>(signedValue));
    }
    if (translated != nullptr) {
        *translated = TRUE;
    }
    return static_cast<UINT>(value);
}

BOOL EnableWindow(HWND window, BOOL enable) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(RunOnOwner(found.get(), [&found, enable]() -> LRESULT {
        bool wasDisabled = !found->enabled;
        found->enabled = enable != FALSE;
        return wasDisabled ? TRUE : FALSE;
    }));
}

BOOL IsWindowEnabled(HWND window) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(
        RunOnOwner(found.get(), [&found]() -> LRESULT { return found->enabled ? TRUE : FALSE; }));
}

BOOL ShowWindow(HWND window, int command) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(RunOnOwner(found.get(), [&found, command]() -> LRESULT {
        bool wasVisible = found->visible;
        found->visible = command != SW_HIDE;
        if (found->kind == Kind::Dialog && found->visible && !wasVisible) {
            RecordShown(*found);
        }
        return wasVisible ? TRUE : FALSE;
    }));
}

BOOL IsWindowVisible(HWND window) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        return FALSE;
    }
    return static_cast<BOOL>(RunOnOwner(found.get(), [&found]() -> LRESULT {
        return found->visible && found->dialog->visible ? TRUE : FALSE;
    }));
}
