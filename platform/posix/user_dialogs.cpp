// Substitute window system, dialogs: built headless from the resource script's
// templates, their default handling, their modal loop (which also runs the work other threads
// hand it) and the stall guard that ends a dialog nothing closes.
#include "platform/posix/user_window.h"

#include <algorithm>
#include <chrono>
#include <iostream>

namespace substitute::user {

using Clock = std::chrono::steady_clock;

namespace {

Kind KindOf(const rc::ControlTemplate& control) {
    std::string name = control.className;
    if (name == "Button") {
        return Kind::Button;
    }
    if (name == "Edit") {
        return Kind::Edit;
    }
    if (name == "ComboBox") {
        return Kind::ComboBox;
    }
    if (name == "msctls_progress32") {
        return Kind::Progress;
    }
    return (control.style & SS_TYPEMASK) == SS_ICON ? Kind::Icon : Kind::Static;
}

void Report(const std::string& what) {
    std::function<void(const std::string&)> reporter;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        ++Hooks().stalled;
        reporter = Hooks().reporter;
    }
    if (reporter) {
        reporter(what);
    } else {
        std::cerr << "substitute: " << what << std::endl;
    }
}

void ReportStall(UserWindow& dialog, unsigned milliseconds) {
    LogCall("DialogStalled", std::to_string(dialog.templateId));
    Report("dialog " + std::to_string(dialog.templateId) + " stalled: no message in " +
           std::to_string(milliseconds) + " ms and nothing closed it; ended with -1");
    std::lock_guard<std::mutex> guard(dialog.queue->lock);
    dialog.ended = true;
    dialog.result = -1;
    DropWorkForLocked(*dialog.queue, &dialog);
}

// Takes one piece of work for this thread, waiting up to `wait` while `waitOver` (asked under
// the queue's lock) is false; false when none came.
bool HandleOneItem(ThreadQueue& queue, std::chrono::milliseconds wait,
                   const std::function<bool()>& waitOver) {
    std::shared_ptr<WorkItem> item;
    {
        std::unique_lock<std::mutex> guard(queue.lock);
        queue.arrived.wait_for(guard, wait, [&] { return !queue.items.empty() || waitOver(); });
        if (queue.items.empty()) {
            return false;
        }
        item = queue.items.front();
        queue.items.pop_front();
        if (IsGoneLocked(item->target)) {
            item->done = true;
            item->result = 0;
            queue.handled.notify_all();
            return true;
        }
    }
    LRESULT result = item->work();
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        item->done = true;
        item->result = result;
    }
    queue.handled.notify_all();
    if (item->isMessage) {
        MessageCallback hook;
        {
            std::lock_guard<std::mutex> guard(StateLock());
            hook = Hooks().messageHandled;
        }
        if (hook) {
            UserWindow* target = item->target->dialog;
            hook(target->self, target->templateId, item->message, item->wParam, item->lParam);
        }
    }
    return true;
}

} // namespace

LRESULT HandleDialog(UserWindow& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR handled = dialog.procedure(dialog.self, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        return handled;
    }
    if (handled != FALSE) {
        return 0;
    }
    switch (message) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
        return HandleText(dialog, message, wParam, lParam);
    case WM_CLOSE: {
        std::shared_ptr<UserWindow> cancel = ChildOf(dialog, IDCANCEL);
        if (cancel == nullptr || cancel->enabled) {
            HandleDialog(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel != nullptr ? cancel->self : nullptr));
        }
        return 0;
    }
    default:
        return 0;
    }
}

std::shared_ptr<UserWindow> BuildDialog(const rc::DialogTemplate& source, DLGPROC procedure) {
    auto dialog = std::make_shared<UserWindow>();
    dialog->kind = Kind::Dialog;
    dialog->dialog = dialog.get();
    dialog->id = 0;
    dialog->style = source.style;
    dialog->text = source.caption != nullptr ? source.caption : "";
    dialog->enabled = (source.style & WS_DISABLED) == 0;
    dialog->owner = std::this_thread::get_id();
    dialog->queue = CurrentThreadQueue();
    dialog->templateId = source.id;
    dialog->source = &source;
    dialog->procedure = procedure;
    dialog->label = "dialog:" + std::to_string(source.id);
    for (int i = 0; i < source.controlCount; ++i) {
        const rc::ControlTemplate& control = source.controls[i];
        auto child = std::make_shared<UserWindow>();
        child->kind = KindOf(control);
        child->dialog = dialog.get();
        child->id = control.id;
        child->style = control.style;
        child->width = control.cx;
        child->text = child->kind == Kind::ComboBox ? "" : control.text;
        child->enabled = (control.style & WS_DISABLED) == 0;
        child->visible = (control.style & WS_VISIBLE) != 0;
        child->owner = dialog->owner;
        child->queue = dialog->queue;
        child->label =
            std::string("control:") + control.className + ":" + std::to_string(control.id);
        dialog->children.push_back(child);
    }
    dialog->self = AddWindow(dialog);
    for (auto& child : dialog->children) {
        child->self = AddWindow(child);
    }
    return dialog;
}

void DestroyDialog(const std::shared_ptr<UserWindow>& dialog) {
    {
        ThreadQueue& queue = *dialog->queue;
        std::lock_guard<std::mutex> guard(queue.lock);
        dialog->destroyed = true;
        for (auto& child : dialog->children) {
            child->destroyed = true;
        }
        DropWorkForLocked(queue, dialog.get());
    }
    for (auto& child : dialog->children) {
        RemoveWindow(child->self);
    }
    RemoveWindow(dialog->self);
    std::lock_guard<std::mutex> guard(StateLock());
    auto& open = Hooks().openDialogs;
    open.erase(std::remove(open.begin(), open.end(), dialog), open.end());
}

bool HasEnded(UserWindow& dialog) {
    std::lock_guard<std::mutex> guard(dialog.queue->lock);
    return dialog.ended;
}

void RunModalLoop(UserWindow& dialog) {
    DialogCallback opened;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        opened = Hooks().opened;
    }
    if (!HasEnded(dialog)) {
        RecordShown(dialog);
        if (opened) {
            opened(dialog.self, dialog.templateId);
        }
    }
    Clock::time_point lastActivity = Clock::now();
    while (!HasEnded(dialog)) {
        DialogCallback idle;
        unsigned stallMilliseconds = 0;
        {
            std::lock_guard<std::mutex> guard(StateLock());
            idle = Hooks().idle;
            stallMilliseconds = Hooks().stallMilliseconds;
        }
        auto wait = std::chrono::milliseconds(idle ? 1 : 20);
        if (HandleOneItem(*dialog.queue, wait, [&dialog] { return dialog.ended; })) {
            lastActivity = Clock::now();
            continue;
        }
        if (HasEnded(dialog)) {
            break;
        }
        MSG timer{};
        if (TakeDueTimer(*dialog.queue, &timer)) {
            DispatchMessageA(&timer);
            lastActivity = Clock::now();
            continue;
        }
        if (idle) {
            idle(dialog.self, dialog.templateId);
        }
        if (Clock::now() - lastActivity > std::chrono::milliseconds(stallMilliseconds) &&
            !HasEnded(dialog)) {
            ReportStall(dialog, stallMilliseconds);
        }
    }
}

BOOL WaitForPostedMessage(MSG* message) {
    std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
    Clock::time_point lastActivity = Clock::now();
    for (;;) {
        // As on Windows, messages sent from other threads are handled before a posted one is
        // taken.
        if (HandleOneItem(*queue, std::chrono::milliseconds(20),
                          [&queue] { return !queue->posted.empty(); })) {
            lastActivity = Clock::now();
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(queue->lock);
            if (!queue->posted.empty()) {
                *message = queue->posted.front();
                queue->posted.pop_front();
                return message->message == WM_QUIT ? FALSE : TRUE;
            }
        }
        // As on Windows, a timer comes after every posted message.
        if (TakeDueTimer(*queue, message)) {
            return TRUE;
        }
        unsigned stallMilliseconds = 0;
        {
            std::lock_guard<std::mutex> guard(StateLock());
            stallMilliseconds = Hooks().stallMilliseconds;
        }
        if (Clock::now() - lastActivity > std::chrono::milliseconds(stallMilliseconds)) {
            LogCall("MessageLoopStalled");
            Report("message loop stalled: nothing sent or posted in " +
                   std::to_string(stallMilliseconds) + " ms; GetMessageA returned -1");
            SetLastError(ERROR_SEM_TIMEOUT);
            return -1;
        }
    }
}

BOOL PeekPostedMessage(MSG* message) {
    std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
    while (HandleOneItem(*queue, std::chrono::milliseconds(0), [] { return true; })) {
    }
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (!queue->posted.empty()) {
            *message = queue->posted.front();
            queue->posted.pop_front();
            return TRUE;
        }
    }
    return TakeDueTimer(*queue, message) ? TRUE : FALSE;
}

bool HasInput() {
    std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (!queue->posted.empty() || !queue->items.empty()) {
            return true;
        }
    }
    DWORD now = GetTickCount();
    for (const Timer& timer : queue->timers) {
        if (now - timer.started >= timer.elapse && WindowFrom(timer.window) != nullptr) {
            return true;
        }
    }
    return false;
}

bool TakeDueTimer(ThreadQueue& queue, MSG* message) {
    std::vector<Timer>& timers = queue.timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [](const Timer& t) { return WindowFrom(t.window) == nullptr; }),
                 timers.end());
    DWORD now = GetTickCount();
    for (Timer& timer : timers) {
        if (now - timer.started >= timer.elapse) {
            timer.started = now;
            *message = MSG{timer.window, WM_TIMER, timer.id, 0, now, {0, 0}};
            return true;
        }
    }
    return false;
}

void RecordShown(const UserWindow& dialog) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().shown.push_back(dialog.templateId);
}

HWND FirstTabStop(const UserWindow& dialog) {
    for (const auto& child : dialog.children) {
        if ((child->style & WS_TABSTOP) != 0 && child->enabled && child->visible) {
            return child->self;
        }
    }
    return nullptr;
}

} // namespace substitute::user
