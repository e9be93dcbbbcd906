// Internal to the substitute window system, shared by its pieces: the window and
// dialog record, the work queue of a thread that runs dialogs, the test hooks' state, and the
// functions the controls, the dialogs, the Win32 calls and the test hooks call in each other.
// Only the window system's own files include this.
#pragma once

#include "platform/posix/machinery.h"
#include "platform/posix/rc_tables.h"
#include "platform/testing.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace substitute::user {

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

// A timer of SetTimer: due when GetTickCount has moved `elapse` past `started`.
struct Timer {
    HWND window;
    UINT_PTR id;
    DWORD elapse;
    DWORD started;
};

// The work waiting for one thread that runs dialogs; every modal loop on that thread,
// nested ones included, takes work from it.
struct ThreadQueue {
    std::mutex lock;
    std::condition_variable arrived;
    std::condition_variable handled;
    std::deque<std::shared_ptr<WorkItem>> items;
    std::deque<MSG> posted;    // PostMessageA, PostQuitMessage; taken by GetMessageA
    std::vector<Timer> timers; // only this thread touches them
};

struct UserWindow : WindowObject {
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

struct HookState {
    DialogCallback opened;
    MessageCallback messageHandled;
    DialogCallback idle;
    unsigned stallMilliseconds = 10000;
    int stalled = 0;
    bool clobberLastError = false; // a dialog's clean-up leaves clobberedLastError
    DWORD clobberedLastError = 0;
    std::function<void(const std::string&)> reporter;
    std::vector<std::shared_ptr<UserWindow>> openDialogs;
    std::vector<int> shown; // templates of the dialogs shown so far
};

// ---- The window objects (user_window.cpp) ------------------------------------------------

// Guards the test hooks' state.
std::mutex& StateLock();
HookState& Hooks();

std::shared_ptr<ThreadQueue> CurrentThreadQueue();
// A window that no longer takes messages from other threads. Needs queue->lock.
bool IsGoneLocked(const UserWindow* window);
// Hands `work` to the window's thread and waits for it; 0 at once when the window is gone.
LRESULT RunOnOwner(UserWindow* window, std::function<LRESULT()> work, bool isMessage = false,
                   UINT message = 0, WPARAM wParam = 0, LPARAM lParam = 0);
// Releases every waiting sender whose target belongs to `dialog`. Needs queue->lock.
void DropWorkForLocked(ThreadQueue& queue, const UserWindow* dialog);
std::shared_ptr<UserWindow> WindowFrom(HWND window);
std::shared_ptr<UserWindow> DialogFrom(HWND window);
std::shared_ptr<UserWindow> ChildOf(const UserWindow& dialog, int id);
bool EqualIgnoringCase(const std::string& a, const std::string& b);

// ---- Controls (user_controls.cpp) ----------------------------------------------------------

bool IsEditableCombo(const UserWindow& combo);
// The text a combo box shows: its field when editable, else its selected entry.
std::string ComboText(const UserWindow& combo);
// How many characters typing puts into an editable combo box's field.
std::size_t TypedCharacters(const UserWindow& combo);
LRESULT Select(UserWindow& combo, WPARAM index);
LRESULT HandleText(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam);
// A message to any window, on the window's own thread.
LRESULT Handle(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Dialogs (user_dialogs.cpp) ------------------------------------------------------------

LRESULT HandleDialog(UserWindow& dialog, UINT message, WPARAM wParam, LPARAM lParam);
std::shared_ptr<UserWindow> BuildDialog(const rc::DialogTemplate& source, DLGPROC procedure);
void DestroyDialog(const std::shared_ptr<UserWindow>& dialog);
bool HasEnded(UserWindow& dialog);
void RunModalLoop(UserWindow& dialog);
// Handles the work other threads hand this thread until a message is posted to it, then takes
// that message: GetMessageA.
BOOL WaitForPostedMessage(MSG* message);
// PeekMessageA with PM_REMOVE: handles what other threads sent, then takes a posted message or
// a due timer; FALSE when there is none.
BOOL PeekPostedMessage(MSG* message);
// Whether this thread has a message posted, sent or due: what MsgWaitForMultipleObjects wakes for.
bool HasInput();
// The first timer of this thread that is due, restarted, as the WM_TIMER message it gives;
// false when none is due. Timers of windows that are gone are dropped.
bool TakeDueTimer(ThreadQueue& queue, MSG* message);
// Notes a dialog that appeared on the screen.
void RecordShown(const UserWindow& dialog);
HWND FirstTabStop(const UserWindow& dialog);

} // namespace substitute::user
