// Substitute window system, window objects: their lookup, and messages from other
// threads handed to the thread that runs the dialog.
#include "platform/posix/user_window.h"

#include <cctype>

namespace substitute::user {
namespace {

bool OnOwnerThread(const UserWindow* window) {
    return std::this_thread::get_id() == window->owner;
}

} // namespace

std::mutex& StateLock() {
    static std::mutex lock;
    return lock;
}

HookState& Hooks() {
    static HookState hooks;
    return hooks;
}

std::shared_ptr<ThreadQueue> CurrentThreadQueue() {
    thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

// A window that no longer takes messages from other threads. Needs queue->lock.
bool IsGoneLocked(const UserWindow* window) {
    return window->destroyed || window->dialog->destroyed || window->dialog->ended;
}

// Hands `work` to the window's thread and waits for it; 0 at once when the window is gone.
LRESULT RunOnOwner(UserWindow* window, std::function<LRESULT()> work, bool isMessage, UINT message,
                   WPARAM wParam, LPARAM lParam) {
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
    return FindWindowAs<UserWindow>(window);
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

LRESULT UserWindow::Deliver(HWND /*target*/, UINT message, WPARAM wParam, LPARAM lParam) {
    return RunOnOwner(
        this, [this, message, wParam, lParam] { return Handle(*this, message, wParam, lParam); },
        true, message, wParam, lParam);
}

} // namespace substitute::user
