// Substitute shell: a notification area that records its icons (tip, last balloon), a
// ShellExecuteW that records what it opened, pop-up menus whose choice a test scripts,
// registered window messages, and icons from the resources as handles.
#include "platform/posix/code_pages.h"
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using substitute::MenuItemRecord;
using substitute::NotifyIconRecord;

struct MenuObject : substitute::KernelObject {
    std::vector<MenuItemRecord> items;
};

struct IconObject : substitute::KernelObject {};

struct ShellState {
    std::mutex lock;
    std::vector<NotifyIconRecord> icons;
    std::vector<substitute::ShellExecuteRecord> opened;
    std::vector<std::vector<MenuItemRecord>> shownMenus;
    UINT_PTR chosenCommand = 0;
    std::map<std::string, UINT> registered;
};

ShellState& State() {
    static ShellState state;
    return state;
}

void ResetShell() {
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.icons.clear();
    state.opened.clear();
    state.shownMenus.clear();
    state.chosenCommand = 0;
}

[[maybe_unused]] const bool registered = [] {
    substitute::AddResetHook(ResetShell);
    return true;
}();

std::string Bounded(const CHAR* text, std::size_t size) {
    return substitute::Utf8FromAnsi(std::string(text, std::find(text, text + size, '\0')));
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("Shell_NotifyIconA", &error)) {
        return Fail(error);
    }
    if (data == nullptr || data->cbSize != sizeof(NOTIFYICONDATAA)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = std::find_if(state.icons.begin(), state.icons.end(), [data](const auto& icon) {
        return icon.window == data->hWnd && icon.id == data->uID;
    });
    substitute::LogCall("Shell_NotifyIconA", std::to_string(message));
    if (message == NIM_DELETE) {
        if (found == state.icons.end()) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        state.icons.erase(found);
        return TRUE;
    }
    if (message != NIM_ADD && message != NIM_MODIFY) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // As the shell does: adding an icon twice, or changing one never added, fails.
    if ((message == NIM_ADD) != (found == state.icons.end())) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (message == NIM_ADD) {
        state.icons.push_back(
            NotifyIconRecord{data->hWnd, data->uID, 0, nullptr, "", "", "", 0, 0});
        found = state.icons.end() - 1;
    }
    if ((data->uFlags & NIF_MESSAGE) != 0) {
        found->callbackMessage = data->uCallbackMessage;
    }
    if ((data->uFlags & NIF_ICON) != 0) {
        found->icon = data->hIcon;
    }
    if ((data->uFlags & NIF_TIP) != 0) {
        found->tip = Bounded(data->szTip, sizeof data->szTip);
    }
    if ((data->uFlags & NIF_INFO) != 0) {
        found->balloonTitle = Bounded(data->szInfoTitle, sizeof data->szInfoTitle);
        found->balloonText = Bounded(data->szInfo, sizeof data->szInfo);
        found->balloonFlags = data->dwInfoFlags;
        ++found->balloons;
    }
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND /*owner*/, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR /*directory*/, INT show) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("ShellExecuteW", &error)) {
        SetLastError(error);
        return reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(error <= 32 ? error : 31));
    }
    substitute::ShellExecuteRecord record{substitute::Utf8FromWide(verb),
                                          substitute::Utf8FromWide(file),
                                          substitute::Utf8FromWide(parameters), show};
    substitute::LogCall("ShellExecuteW", record.verb + " " + record.file);
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.opened.push_back(record);
    return reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(42));
}

HMENU CreatePopupMenu() {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("CreatePopupMenu", &error)) {
        SetLastError(error);
        return nullptr;
    }
    auto menu = std::make_shared<MenuObject>();
    menu->label = "menu:popup";
    return static_cast<HMENU>(substitute::AddHandle(menu));
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
    auto found = substitute::FindHandleAs<MenuObject>(menu);
    if (found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("AppendMenuA", &error)) {
        return Fail(error);
    }
    bool separator = (flags & MF_SEPARATOR) != 0;
    found->items.push_back(MenuItemRecord{
        flags, id, separator || text == nullptr ? std::string() : substitute::Utf8FromAnsi(text)});
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int /*x*/, int /*y*/, int /*reserved*/, HWND owner,
                    const RECT* /*rect*/) {
    auto found = substitute::FindHandleAs<MenuObject>(menu);
    if (found == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    UINT_PTR chosen = 0;
    {
        ShellState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.shownMenus.push_back(found->items);
        chosen = state.chosenCommand;
    }
    // A grayed item, or one the menu does not have, cannot be chosen.
    bool offered = std::any_of(found->items.begin(), found->items.end(), [chosen](const auto& i) {
        return i.id == chosen && (i.flags & (MF_SEPARATOR | MF_GRAYED)) == 0;
    });
    if (!offered) {
        chosen = 0;
    }
    substitute::LogCall("TrackPopupMenu", std::to_string(chosen));
    if ((flags & TPM_RETURNCMD) != 0) {
        return static_cast<BOOL>(chosen);
    }
    if (chosen != 0) {
        PostMessageA(owner, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
    }
    return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
    if (substitute::FindHandleAs<MenuObject>(menu) == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    substitute::RemoveHandle(menu);
    return TRUE;
}

BOOL GetCursorPos(POINT* point) {
    if (point == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *point = POINT{100, 100};
    return TRUE;
}

BOOL SetForegroundWindow(HWND window) {
    substitute::LogCall("SetForegroundWindow");
    return IsWindow(window);
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.registered.find(key);
    if (found != state.registered.end()) {
        return found->second;
    }
    UINT id = 0xC000u + static_cast<UINT>(state.registered.size());
    state.registered.emplace(key, id);
    return id;
}

int GetSystemMetrics(int index) {
    return index == SM_CXSMICON || index == SM_CYSMICON ? 16 : 0;
}

HANDLE LoadImageA(HINSTANCE /*instance*/, LPCSTR name, UINT type, int /*cx*/, int /*cy*/,
                  UINT /*flags*/) {
    if (name == nullptr || !IS_INTRESOURCE(name) || type != IMAGE_ICON) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("LoadImageA", &error)) {
        SetLastError(error);
        return nullptr;
    }
    auto icon = std::make_shared<IconObject>();
    icon->label = "icon:" + std::to_string(LOWORD(reinterpret_cast<UINT_PTR>(name)));
    return substitute::AddHandle(icon);
}

BOOL DestroyIcon(HICON icon) {
    if (substitute::FindHandleAs<IconObject>(icon) == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    substitute::RemoveHandle(icon);
    return TRUE;
}

namespace substitute {

std::vector<NotifyIconRecord> NotifyIcons() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().icons;
}

void RestartTaskbar() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().icons.clear();
}

std::vector<ShellExecuteRecord> ShellExecutes() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().opened;
}

std::vector<std::vector<MenuItemRecord>> ShownMenus() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().shownMenus;
}

void ChooseMenuCommand(UINT_PTR id) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().chosenCommand = id;
}

} // namespace substitute
