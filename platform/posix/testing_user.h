// Test hooks of the substitute window system: dialogs driven as a user would drive them, and the
// message boxes the program showed.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

namespace substitute {

// ---- Watching modal dialogs ------------------------------------------------------------
// Each hook runs on the dialog's own thread, inside its modal loop, so it may drive the
// dialog directly (PressButton ...) and may itself open further modal dialogs. There is one
// callback per hook: setting another replaces it, nullptr removes it, Reset removes all.

// Runs when a modal loop starts, after WM_INITDIALOG (not for a dialog that already ended
// during WM_INITDIALOG).
using DialogCallback = std::function<void(HWND dialog, int templateId)>;
void OnDialogOpened(DialogCallback callback);

// Runs after each message that another thread sent to a dialog or to one of its controls
// (a worker's WM_JOB_STATUS, for instance) has been handled; `dialog` is the dialog the
// message reached, `templateId` its template.
using MessageCallback =
    std::function<void(HWND dialog, int templateId, UINT message, WPARAM wParam, LPARAM lParam)>;
void OnMessageHandled(MessageCallback callback);

// Runs while the innermost modal loop has nothing to handle, about once a millisecond, with
// that loop's dialog.
void OnDialogIdle(DialogCallback callback);

// A modal loop that handles no message from another thread for this long (10 s by default,
// restored by Reset) ends its dialog with -1 and reports "dialog <id> stalled" through the
// failure reporter, so that a test that never closes a dialog fails instead of hanging.
// GetMessageA waiting that long reports "message loop stalled" and returns -1.
void SetDialogStallTimeout(unsigned milliseconds);
int StalledDialogs();
// From now until Reset, the clean-up of every modal dialog leaves this last error, as a
// system's own clean-up may: proves that a caller takes its codes from its own records.
void LeaveLastErrorAfterDialogs(DWORD error);
// Receives the stall reports; the unit tests install one that fails the running test.
// Without one the report goes to stderr. Reset leaves it in place.
void SetFailureReporter(std::function<void(const std::string& what)> reporter);

// ---- Acting as the user ----------------------------------------------------------------
// Each returns false and does nothing when a user could not do it: no such dialog or
// control, the control disabled or hidden, the dialog already ended. Called from another
// thread, the action is carried out on the dialog's thread and the caller waits for it.

// WM_COMMAND(MAKEWPARAM(id, BN_CLICKED), button) to the dialog.
bool PressButton(HWND dialog, int id);
// WM_COMMAND(IDCANCEL, the control with id IDCANCEL if any), as the dialog manager does.
bool PressEscape(HWND dialog);
// WM_COMMAND with the default push button's id (false when that button is disabled), or
// IDOK when the dialog has no default push button.
bool PressEnter(HWND dialog);
// WM_CLOSE; false when the template has no WS_SYSMENU (no close box). A dialog procedure
// returning FALSE gets the default handling: WM_COMMAND IDCANCEL.
bool PressCloseBox(HWND dialog);
// Selects the list entry with this text (exact; failing that, ignoring case) and sends
// WM_COMMAND(MAKEWPARAM(id, CBN_SELCHANGE), list).
bool ChooseListEntry(HWND dialog, int id, const std::string& text);
// Replaces the text of an edit field or of an editable combo box's field as typed keys do,
// then sends EN_CHANGE or CBN_EDITCHANGE. Refused by read-only fields and drop-down lists;
// a field that accepts digits only drops the other characters. Typing into a combo box's
// field clears its list selection and stops where the field stops a user: at its
// CB_LIMITTEXT, and without CBS_AUTOHSCROLL at the field's visible width.
bool TypeText(HWND dialog, int id, const std::string& text);

// ---- Reading ---------------------------------------------------------------------------
std::string ControlText(HWND dialog, int id); // "" when there is no such control
std::vector<std::string> ListEntries(HWND dialog, int id);
int SelectedIndex(HWND dialog, int id);        // -1 when nothing is selected
std::string SelectedText(HWND dialog, int id); // "" when nothing is selected
bool IsControlEnabled(HWND dialog, int id);
std::string WindowCaption(HWND window);
int DialogTemplateId(HWND dialog); // 0 when `dialog` is not an open dialog
// Templates of the dialogs open now, in the order they were opened (innermost last).
std::vector<int> OpenDialogs();
// The most recently opened dialog from this template that is still open, or nullptr.
HWND FindOpenDialog(int templateId);
// Templates of the dialogs shown on the screen so far, in order: every modal dialog whose
// loop started, and each modeless one when created with WS_VISIBLE or shown by ShowWindow.
// Emptied by Reset.
std::vector<int> ShownDialogs();

// ---- Message boxes ---------------------------------------------------------------------
// MessageBoxA and MessageBoxW record each box and return IDOK at once; the record holds a
// MessageBoxA's texts byte for byte and a MessageBoxW's in UTF-8. The call log names the
// call: "MessageBoxA <caption>" or "MessageBoxW <caption>".
struct MessageBoxRecord {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    bool onFirstThread; // shown by the process's first thread (the one that ran main)
};
std::vector<MessageBoxRecord> MessageBoxes();
// Runs on the showing thread each time a box is shown, before the call returns.
void OnMessageBox(std::function<void(const MessageBoxRecord& box)> callback);

} // namespace substitute
