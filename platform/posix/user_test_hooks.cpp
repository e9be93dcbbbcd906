// Substitute window system, test hooks: watching modal dialogs, and driving and reading
// them as a user would.
#include "platform/posix/user_window.h"

using namespace substitute::user;

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
        hooks.shown.clear();
        // A message left posted by one test would end the next one's message loop.
        std::shared_ptr<ThreadQueue> queue = CurrentThreadQueue();
        std::lock_guard<std::mutex> queueGuard(queue->lock);
        queue->posted.clear();
        queue->timers.clear();
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

std::vector<int> ShownDialogs() {
    std::lock_guard<std::mutex> guard(StateLock());
    return Hooks().shown;
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
