// Substitute window system: headless modal dialogs built from the resource script's
// templates, their controls, cross-thread SendMessageA handled on the dialog's thread, the
// dialog manager's keys, and the test hooks that drive dialogs as a user would.
#include "platform/posix/rc_tables.h"
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

using substitute::LogCall;
using substitute::TakeScriptedFailure;
using Clock = std::chrono::steady_clock;

enum class Kind { Dialog, Static, Icon, Edit, Button, ComboBox, Progress };

struct UserWindow;

// A unit of work for a dialog's thread: a message sent from another thread, or a test hook's
// action. The sender waits until `done`.
struct WorkItem {
    UserWindow* target = nullptr;
    std::function<LRESULT()> work;
    bool isMessage = false;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool done = false;
    LRESULT result = 0;
};

// The work waiting for one thread that runs dialogs; every modal loop on that thread,
// nested ones included, takes work from it.
struct ThreadQueue {
    std::mutex lock;
    std::condition_variable arrived;
    std::condition_variable handled;
    std::deque<std::shared_ptr<WorkItem>> items;
};

struct UserWindow : substitute::WindowObject {
    Kind kind = Kind::Static;
    HWND self = nullptr;
    UserWindow* dialog = nullptr; // the dialog a control belongs to; itself for a dialog
    int id = 0;
    DWORD style = 0;
    std::string text;
    bool enabled = true;
    bool visible = true;
    std::thread::id owner;
    std::shared_ptr<ThreadQueue> queue;
    // Guarded by queue->lock.
    bool ended = false;
    bool destroyed = false;
    INT_PTR result = 0;
    // Combo box.
    std::vector<std::string> entries;
    int selection = -1;
    std::size_t typedLimit = 0; // CB_LIMITTEXT; 0: none
    // Check box.
    WPARAM check = BST_UNCHECKED;
    int width = 0; // dialog units, from the template
    // Progress bar.
    int low = 0;
    int high = 100;
    int position = 0;
    // Dialog.
    int templateId = 0;
    const rc::DialogTemplate* source = nullptr;
    DLGPROC procedure = nullptr;
    std::vector<std::shared_ptr<UserWindow>> children;

    LRESULT Deliver(HWND target, UINT message, WPARAM wParam, LPARAM lParam) override;
};

// ---- Shared state -----------------------------------------------------------------------

std::mutex& StateLock() {
    static std::mutex lock;
    return lock;
}

struct HookState {
    substitute::DialogCallback opened;
    substitute::MessageCallback messageHandled;
    substitute::DialogCallback idle;
    unsigned stallMilliseconds = 10000;
    int stalled = 0;
    bool clobberLastError = false; // a dialog's clean-up leaves clobberedLastError
    DWORD clobberedLastError = 0;
    std::function<void(const std::string&)> reporter;
    std::vector<std::shared_ptr<UserWindow>> openDialogs;
};

HookState& Hooks() {
    static HookState hooks;
    return hooks;
}

std::shared_ptr<ThreadQueue> CurrentThreadQueue() {
    thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

bool OnOwnerThread(const UserWindow* window) {
    return std::this_thread::get_id() == window->owner;
}

// A window that no longer takes messages from other threads. Needs queue->lock.
bool IsGoneLocked(const UserWindow* window) {
    return window->destroyed || window->dialog->destroyed || window->dialog->ended;
}

// Hands `work` to the window's thread and waits for it; 0 at once when the window is gone.
LRESULT RunOnOwner(UserWindow* window, std::function<LRESULT()> work, bool isMessage = false,
                   UINT message = 0, WPARAM wParam = 0, LPARAM lParam = 0) {
    if (OnOwnerThread(window)) {
        return work();
    }
    auto item = std::make_shared<WorkItem>();
    item->target = window;
    item->work = std::move(work);
    item->isMessage = isMessage;
    item->message = message;
    item->wParam = wParam;
    item->lParam = lParam;
    ThreadQueue& queue = *window->queue;
    std::unique_lock<std::mutex> guard(queue.lock);
    if (IsGoneLocked(window)) {
        return 0;
    }
    queue.items.push_back(item);
    queue.arrived.notify_all();
    queue.handled.wait(guard, [&item] { return item->done; });
    return item->result;
}

// Releases every waiting sender whose target belongs to `dialog`. Needs queue->lock.
void DropWorkForLocked(ThreadQueue& queue, const UserWindow* dialog) {
    bool dropped = false;
    for (auto it = queue.items.begin(); it != queue.items.end();) {
        if ((*it)->target->dialog == dialog) {
            (*it)->done = true;
            (*it)->result = 0;
            it = queue.items.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    if (dropped) {
        queue.handled.notify_all();
    }
}

std::shared_ptr<UserWindow> WindowFrom(HWND window) {
    return substitute::FindWindowAs<UserWindow>(window);
}

std::shared_ptr<UserWindow> DialogFrom(HWND window) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    return found != nullptr && found->kind == Kind::Dialog ? found : nullptr;
}

std::shared_ptr<UserWindow> ChildOf(const UserWindow& dialog, int id) {
    for (const auto& child : dialog.children) {
        if (child->id == id || static_cast<WORD>(child->id) == static_cast<WORD>(id)) {
            return child;
        }
    }
    return nullptr;
}

int CopyText(const std::string& text, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    std::size_t count = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

std::string TextFrom(LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    return text == nullptr ? std::string() : std::string(text);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The list control's collation: alphabetical, ignoring case, character by character.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        int left = std::tolower(static_cast<unsigned char>(a[i]));
        int right = std::tolower(static_cast<unsigned char>(b[i]));
        if (left != right) {
            return left < right ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

// ---- Controls ---------------------------------------------------------------------------

bool IsEditableCombo(const UserWindow& combo) {
    return (combo.style & 0x3u) == CBS_DROPDOWN || (combo.style & 0x3u) == CBS_SIMPLE;
}

std::string ComboText(const UserWindow& combo) {
    if (IsEditableCombo(combo)) {
        return combo.text;
    }
    if (combo.selection >= 0 && combo.selection < static_cast<int>(combo.entries.size())) {
        return combo.entries[static_cast<std::size_t>(combo.selection)];
    }
    return std::string();
}

// How many characters typing puts into an editable combo box's field: its CB_LIMITTEXT,
// and without CBS_AUTOHSCROLL what fits in the field beside the drop button (an average
// character is 4 dialog units wide; Wine stops at 12 in a field 64 units wide).
std::size_t TypedCharacters(const UserWindow& combo) {
    std::size_t accepted = std::string::npos;
    if (combo.typedLimit != 0) {
        accepted = combo.typedLimit;
    }
    if ((combo.style & CBS_AUTOHSCROLL) == 0) {
        auto visible = static_cast<std::size_t>(std::max(1, (combo.width - 14) / 4));
        accepted = std::min(accepted, visible);
    }
    return accepted;
}

LRESULT Select(UserWindow& combo, WPARAM index) {
    int wanted = static_cast<int>(index);
    if (wanted < 0 || wanted >= static_cast<int>(combo.entries.size())) {
        combo.selection = -1;
        if (IsEditableCombo(combo)) {
            combo.text.clear();
        }
        return CB_ERR;
    }
    combo.selection = wanted;
    if (IsEditableCombo(combo)) {
        combo.text = combo.entries[static_cast<std::size_t>(wanted)];
    }
    return wanted;
}

LRESULT FindExact(const UserWindow& combo, WPARAM start, LPARAM lParam) {
    if (lParam == 0 || combo.entries.empty()) {
        return CB_ERR;
    }
    std::string wanted = TextFrom(lParam);
    int count = static_cast<int>(combo.entries.size());
    int after = static_cast<int>(start);
    if (after < -1 || after >= count) {
        after = -1;
    }
    for (int step = 1; step <= count; ++step) {
        int index = (after + step) % count;
        if (EqualIgnoringCase(combo.entries[static_cast<std::size_t>(index)], wanted)) {
            return index;
        }
    }
    return CB_ERR;
}

LRESULT HandleCombo(UserWindow& combo, UINT message, WPARAM wParam, LPARAM lParam) {
    int count = static_cast<int>(combo.entries.size());
    switch (message) {
    case CB_ADDSTRING: {
        std::string entry = TextFrom(lParam);
        int index = count;
        if ((combo.style & CBS_SORT) != 0) {
            index = 0;
            while (index < count &&
                   CompareIgnoringCase(combo.entries[static_cast<std::size_t>(index)], entry) <=
                       0) {
                ++index;
            }
        }
        combo.entries.insert(combo.entries.begin() + index, entry);
        if (combo.selection >= index) {
            ++combo.selection;
        }
        return index;
    }
    case CB_RESETCONTENT:
        combo.entries.clear();
        combo.selection = -1;
        combo.text.clear();
        return TRUE;
    case CB_SETCURSEL:
        return Select(combo, wParam);
    case CB_GETCURSEL:
        return combo.selection >= 0 ? combo.selection : CB_ERR;
    case CB_GETCOUNT:
        return count;
    case CB_GETLBTEXTLEN: {
        int index = static_cast<int>(wParam);
        if (index < 0 || index >= count) {
            return CB_ERR;
        }
        return static_cast<LRESULT>(combo.entries[static_cast<std::size_t>(index)].size());
    }
    case CB_GETLBTEXT: {
        int index = static_cast<int>(wParam);
        char* buffer = reinterpret_cast<char*>(lParam);
        if (index < 0 || index >= count || buffer == nullptr) {
            return CB_ERR;
        }
        // No size travels with this message: the caller sized the buffer with
        // CB_GETLBTEXTLEN, as on Windows.
        const std::string& entry = combo.entries[static_cast<std::size_t>(index)];
        std::memcpy(buffer, entry.c_str(), entry.size() + 1);
        return static_cast<LRESULT>(entry.size());
    }
    case CB_FINDSTRINGEXACT:
        return FindExact(combo, wParam, lParam);
    case CB_LIMITTEXT:
        // A drop-down list has no field to limit; the answer is TRUE all the same.
        if (IsEditableCombo(combo)) {
            combo.typedLimit = static_cast<std::size_t>(wParam);
        }
        return TRUE;
    case WM_SETTEXT:
        if (!IsEditableCombo(combo)) {
            return CB_ERR;
        }
        combo.text = TextFrom(lParam);
        combo.selection = -1;
        return TRUE;
    case WM_GETTEXT:
        return CopyText(ComboText(combo), reinterpret_cast<char*>(lParam),
                        static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(ComboText(combo).size());
    default:
        return 0;
    }
}

int Clamp(int value, int low, int high) {
    return std::max(low, std::min(value, high));
}

LRESULT HandleProgress(UserWindow& bar, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case PBM_SETRANGE: {
        LRESULT previous = MAKELONG(bar.low, bar.high);
        bar.low = LOWORD(lParam);
        bar.high = HIWORD(lParam);
        bar.position = Clamp(bar.position, bar.low, bar.high);
        return previous;
    }
    case PBM_SETRANGE32: {
        LRESULT previous = MAKELONG(bar.low, bar.high);
        bar.low = static_cast<int>(wParam);
        bar.high = static_cast<int>(lParam);
        bar.position = Clamp(bar.position, bar.low, bar.high);
        return previous;
    }
    case PBM_SETPOS: {
        int previous = bar.position;
        bar.position = Clamp(static_cast<int>(wParam), bar.low, bar.high);
        return previous;
    }
    case PBM_DELTAPOS: {
        int previous = bar.position;
        bar.position = Clamp(previous + static_cast<int>(wParam), bar.low, bar.high);
        return previous;
    }
    case PBM_GETPOS:
        return bar.position;
    default:
        return 0;
    }
}

LRESULT HandleText(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        window.text = TextFrom(lParam);
        return TRUE;
    case WM_GETTEXT:
        return CopyText(window.text, reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(window.text.size());
    default:
        return 0;
    }
}

LRESULT HandleDialog(UserWindow& dialog, UINT message, WPARAM wParam, LPARAM lParam);

// On the window's own thread.
LRESULT Handle(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (window.kind) {
    case Kind::Dialog:
        return HandleDialog(window, message, wParam, lParam);
    case Kind::ComboBox:
        return HandleCombo(window, message, wParam, lParam);
    case Kind::Progress:
        if (message >= WM_USER) {
            return HandleProgress(window, message, wParam, lParam);
        }
        return HandleText(window, message, wParam, lParam);
    case Kind::Button:
        if (message == BM_GETCHECK) {
            return static_cast<LRESULT>(window.check);
        }
        if (message == BM_SETCHECK) {
            window.check = wParam;
            return 0;
        }
        return HandleText(window, message, wParam, lParam);
    default:
        return HandleText(window, message, wParam, lParam);
    }
}

// ---- Dialogs ----------------------------------------------------------------------------

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
    dialog->self = substitute::AddWindow(dialog);
    for (auto& child : dialog->children) {
        child->self = substitute::AddWindow(child);
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
        substitute::RemoveWindow(child->self);
    }
    substitute::RemoveWindow(dialog->self);
    std::lock_guard<std::mutex> guard(StateLock());
    auto& open = Hooks().openDialogs;
    open.erase(std::remove(open.begin(), open.end(), dialog), open.end());
}

bool HasEnded(UserWindow& dialog) {
    std::lock_guard<std::mutex> guard(dialog.queue->lock);
    return dialog.ended;
}

void ReportStall(UserWindow& dialog, unsigned milliseconds) {
    std::function<void(const std::string&)> reporter;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        ++Hooks().stalled;
        reporter = Hooks().reporter;
    }
    std::string what = "dialog " + std::to_string(dialog.templateId) + " stalled: no message in " +
                       std::to_string(milliseconds) + " ms and nothing closed it; ended with -1";
    LogCall("DialogStalled", std::to_string(dialog.templateId));
    if (reporter) {
        reporter(what);
    } else {
        std::cerr << "substitute: " << what << std::endl;
    }
    std::lock_guard<std::mutex> guard(dialog.queue->lock);
    dialog.ended = true;
    dialog.result = -1;
    DropWorkForLocked(*dialog.queue, &dialog);
}

// Takes one piece of work for this thread, waiting up to `wait`; false when none came.
bool HandleOneItem(UserWindow& dialog, std::chrono::milliseconds wait) {
    ThreadQueue& queue = *dialog.queue;
    std::shared_ptr<WorkItem> item;
    {
        std::unique_lock<std::mutex> guard(queue.lock);
        queue.arrived.wait_for(guard, wait, [&] { return !queue.items.empty() || dialog.ended; });
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
        substitute::MessageCallback hook;
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

void RunModalLoop(UserWindow& dialog) {
    substitute::DialogCallback opened;
    {
        std::lock_guard<std::mutex> guard(StateLock());
        opened = Hooks().opened;
    }
    if (opened && !HasEnded(dialog)) {
        opened(dialog.self, dialog.templateId);
    }
    Clock::time_point lastActivity = Clock::now();
    while (!HasEnded(dialog)) {
        substitute::DialogCallback idle;
        unsigned stallMilliseconds = 0;
        {
            std::lock_guard<std::mutex> guard(StateLock());
            idle = Hooks().idle;
            stallMilliseconds = Hooks().stallMilliseconds;
        }
        auto wait = std::chrono::milliseconds(idle ? 1 : 20);
        if (HandleOneItem(dialog, wait)) {
            lastActivity = Clock::now();
            continue;
        }
        if (HasEnded(dialog)) {
            break;
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

HWND FirstTabStop(const UserWindow& dialog) {
    for (const auto& child : dialog.children) {
        if ((child->style & WS_TABSTOP) != 0 && child->enabled && child->visible) {
            return child->self;
        }
    }
    return nullptr;
}

} // namespace

LRESULT UserWindow::Deliver(HWND /*target*/, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunOnOwner(
        this, [this, message, wParam, lParam] { return Handle(*this, message, wParam, lParam); },
        true, message, wParam, lParam);
}

// ---- The Win32 calls --------------------------------------------------------------------

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

// ---- Test hooks -------------------------------------------------------------------------

namespace {

const int kInstallResetHook = [] {
    substitute::AddResetHook([] {
        std::lock_guard<std::mutex> guard(StateLock());
        HookState& hooks = Hooks();
        hooks.opened = nullptr;
        hooks.messageHandled = nullptr;
        hooks.idle = nullptr;
        hooks.stallMilliseconds = 10000;
        hooks.stalled = 0;
        hooks.clobberLastError = false;
        hooks.clobberedLastError = 0;
    });
    return 0;
}();

// Runs `action` on the dialog's thread while the dialog still takes input; false otherwise.
bool ActOn(HWND dialogHandle, const std::function<bool(UserWindow&)>& action) {
    std::shared_ptr<UserWindow> dialog = DialogFrom(dialogHandle);
    if (dialog == nullptr) {
        return false;
    }
    return RunOnOwner(dialog.get(), [&dialog, &action]() -> LRESULT {
               if (HasEnded(*dialog)) {
                   return FALSE;
               }
               return action(*dialog) ? TRUE : FALSE;
           }) != FALSE;
}

// Reads from the dialog's thread; `read` is not run when the dialog is gone.
void ReadFrom(HWND dialogHandle, const std::function<void(UserWindow&)>& read) {
    std::shared_ptr<UserWindow> dialog = DialogFrom(dialogHandle);
    if (dialog == nullptr) {
        return;
    }
    RunOnOwner(dialog.get(), [&dialog, &read]() -> LRESULT {
        read(*dialog);
        return 0;
    });
}

bool Usable(const std::shared_ptr<UserWindow>& control) {
    return control != nullptr && control->enabled && control->visible;
}

void Command(UserWindow& dialog, int id, WORD code, HWND control) {
    HandleDialog(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

} // namespace

namespace substitute {

void OnDialogOpened(DialogCallback callback) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().opened = std::move(callback);
}

void OnMessageHandled(MessageCallback callback) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().messageHandled = std::move(callback);
}

void OnDialogIdle(DialogCallback callback) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().idle = std::move(callback);
}

void LeaveLastErrorAfterDialogs(DWORD error) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().clobberLastError = true;
    Hooks().clobberedLastError = error;
}

void SetDialogStallTimeout(unsigned milliseconds) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().stallMilliseconds = milliseconds;
}

int StalledDialogs() {
    std::lock_guard<std::mutex> guard(StateLock());
    return Hooks().stalled;
}

void SetFailureReporter(std::function<void(const std::string&)> reporter) {
    std::lock_guard<std::mutex> guard(StateLock());
    Hooks().reporter = std::move(reporter);
}

bool PressButton(HWND dialog, int id) {
    return ActOn(dialog, [id](UserWindow& window) {
        std::shared_ptr<UserWindow> button = ChildOf(window, id);
        if (!Usable(button) || button->kind != Kind::Button) {
            return false;
        }
        // A click on an automatic check box turns its check over before the owner hears of it.
        if ((button->style & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
            button->check = button->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        }
        Command(window, button->id, BN_CLICKED, button->self);
        return true;
    });
}

bool PressEscape(HWND dialog) {
    return ActOn(dialog, [](UserWindow& window) {
        std::shared_ptr<UserWindow> cancel = ChildOf(window, IDCANCEL);
        Command(window, IDCANCEL, 0, cancel != nullptr ? cancel->self : nullptr);
        return true;
    });
}

bool PressEnter(HWND dialog) {
    return ActOn(dialog, [](UserWindow& window) {
        for (const auto& child : window.children) {
            if (child->kind == Kind::Button && (child->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                if (!child->enabled) {
                    return false;
                }
                Command(window, child->id, BN_CLICKED, child->self);
                return true;
            }
        }
        std::shared_ptr<UserWindow> ok = ChildOf(window, IDOK);
        Command(window, IDOK, 0, ok != nullptr ? ok->self : nullptr);
        return true;
    });
}

bool PressCloseBox(HWND dialog) {
    return ActOn(dialog, [](UserWindow& window) {
        if ((window.style & WS_SYSMENU) == 0) {
            return false;
        }
        HandleDialog(window, WM_CLOSE, 0, 0);
        return true;
    });
}

bool ChooseListEntry(HWND dialog, int id, const std::string& text) {
    return ActOn(dialog, [id, &text](UserWindow& window) {
        std::shared_ptr<UserWindow> list = ChildOf(window, id);
        if (!Usable(list) || list->kind != Kind::ComboBox) {
            return false;
        }
        auto found = std::find(list->entries.begin(), list->entries.end(), text);
        if (found == list->entries.end()) {
            found = std::find_if(
                list->entries.begin(), list->entries.end(),
                [&text](const std::string& entry) { return EqualIgnoringCase(entry, text); });
        }
        if (found == list->entries.end()) {
            return false;
        }
        Select(*list, static_cast<WPARAM>(found - list->entries.begin()));
        Command(window, list->id, CBN_SELCHANGE, list->self);
        return true;
    });
}

bool TypeText(HWND dialog, int id, const std::string& text) {
    return ActOn(dialog, [id, &text](UserWindow& window) {
        std::shared_ptr<UserWindow> field = ChildOf(window, id);
        if (!Usable(field)) {
            return false;
        }
        if (field->kind == Kind::Edit) {
            if ((field->style & ES_READONLY) != 0) {
                return false;
            }
            std::string typed;
            for (char c : text) {
                if ((field->style & ES_NUMBER) == 0 || (c >= '0' && c <= '9')) {
                    typed += c;
                }
            }
            field->text = typed;
            Command(window, field->id, EN_CHANGE, field->self);
            return true;
        }
        if (field->kind == Kind::ComboBox && IsEditableCombo(*field)) {
            field->text = text.substr(0, TypedCharacters(*field));
            field->selection = -1;
            Command(window, field->id, CBN_EDITCHANGE, field->self);
            return true;
        }
        return false;
    });
}

std::string ControlText(HWND dialog, int id) {
    std::string text;
    ReadFrom(dialog, [id, &text](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        if (control != nullptr) {
            text = control->kind == Kind::ComboBox ? ComboText(*control) : control->text;
        }
    });
    return text;
}

std::vector<std::string> ListEntries(HWND dialog, int id) {
    std::vector<std::string> entries;
    ReadFrom(dialog, [id, &entries](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        if (control != nullptr) {
            entries = control->entries;
        }
    });
    return entries;
}

int SelectedIndex(HWND dialog, int id) {
    int index = -1;
    ReadFrom(dialog, [id, &index](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        if (control != nullptr && control->kind == Kind::ComboBox) {
            index = control->selection;
        }
    });
    return index;
}

std::string SelectedText(HWND dialog, int id) {
    std::string text;
    ReadFrom(dialog, [id, &text](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        if (control != nullptr && control->kind == Kind::ComboBox && control->selection >= 0) {
            text = control->entries[static_cast<std::size_t>(control->selection)];
        }
    });
    return text;
}

bool IsControlEnabled(HWND dialog, int id) {
    bool enabled = false;
    ReadFrom(dialog, [id, &enabled](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        enabled = control != nullptr && control->enabled;
    });
    return enabled;
}

bool IsControlVisible(HWND dialog, int id) {
    bool visible = false;
    ReadFrom(dialog, [id, &visible](UserWindow& window) {
        std::shared_ptr<UserWindow> control = ChildOf(window, id);
        visible = control != nullptr && control->visible;
    });
    return visible;
}

std::string WindowCaption(HWND window) {
    std::shared_ptr<UserWindow> found = WindowFrom(window);
    if (found == nullptr) {
        return std::string();
    }
    std::string text;
    RunOnOwner(found.get(), [&found, &text]() -> LRESULT {
        text = found->text;
        return 0;
    });
    return text;
}

int DialogTemplateId(HWND dialog) {
    std::shared_ptr<UserWindow> found = DialogFrom(dialog);
    return found != nullptr ? found->templateId : 0;
}

std::vector<int> OpenDialogs() {
    std::lock_guard<std::mutex> guard(StateLock());
    std::vector<int> templates;
    for (const auto& dialog : Hooks().openDialogs) {
        templates.push_back(dialog->templateId);
    }
    return templates;
}

HWND FindOpenDialog(int templateId) {
    std::lock_guard<std::mutex> guard(StateLock());
    const auto& open = Hooks().openDialogs;
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        if ((*it)->templateId == templateId) {
            return (*it)->self;
        }
    }
    return nullptr;
}

} // namespace substitute
