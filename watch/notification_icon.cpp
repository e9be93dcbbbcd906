// The watcher's notification icon: its hidden window, tooltip, menu and balloons, and the icon
// put back when Explorer starts again.
#include "watch/notification_icon.h"

#include "core/file_names.h"
#include "core/text_basics.h"
#include "resources/resource_ids.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr UINT kIconId = 1;
constexpr UINT WM_WATCH_ICON = WM_APP + 20;
constexpr int kTipSize = sizeof(NOTIFYICONDATAA{}.szTip);
constexpr int kInfoSize = sizeof(NOTIFYICONDATAA{}.szInfo);
constexpr int kInfoTitleSize = sizeof(NOTIFYICONDATAA{}.szInfoTitle);
constexpr int kLineSize = 256;
constexpr int kComposedSize = kPathBufferSize + 3 * kLineSize;
constexpr char kFailedFolder[] = "failed";

// One watcher per process, so one icon. Its buffers live here rather than on the stack of the
// watcher's thread.
struct IconState {
    HWND window;
    HICON icon;
    HANDLE stopEvent;
    UINT taskbarCreated;
    bool shown;                   // the icon is in the notification area
    char folder[kPathBufferSize]; // UTF-8
    char tip[kTipSize];           // ANSI, as last composed
    char composed[kComposedSize]; // UTF-8
    char shownFolder[kPathBufferSize];
    WCHAR wide[kComposedSize];
};
IconState g_icon;
bool g_started = false;

// UTF-8 text (length bytes) as ANSI in out, always terminated; false when it does not fit.
bool AnsiFromUtf8(const char* text, int length, char* out, int outSize) {
    out[0] = '\0';
    if (length == 0) {
        return true;
    }
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, length, g_icon.wide, kComposedSize);
    if (wideLength == 0) {
        return false;
    }
    int written =
        WideCharToMultiByte(CP_ACP, 0, g_icon.wide, wideLength, out, outSize - 1, nullptr, nullptr);
    if (written == 0) {
        out[0] = '\0';
        return false;
    }
    out[written] = '\0';
    return true;
}

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// UTF-8 text as ANSI, its end cut at a character's start where it does not fit.
void FitAnsi(const char* text, char* out, int outSize) {
    int length = static_cast<int>(std::strlen(text));
    if (length > outSize - 1) {
        length = outSize - 1;
    }
    while (length > 0 && IsContinuation(text[length])) {
        --length;
    }
    while (length > 0 && !AnsiFromUtf8(text, length, out, outSize)) {
        do {
            --length;
        } while (length > 0 && IsContinuation(text[length]));
    }
    if (length == 0) {
        out[0] = '\0';
    }
}

// A string-table text in UTF-8.
void LoadUtf8(UINT stringId, char* text, int size) {
    char ansi[kLineSize];
    LoadTextOrEmpty(stringId, ansi, kLineSize);
    if (!TextAsUtf8(ansi, false, text, size)) {
        text[0] = '\0';
    }
}

// The tooltip with the folder's last `skip` bytes left out, "..." in their place.
void ComposeTip(const WatchStatus* status, int skip) {
    char format[kLineSize];
    char state[kLineSize] = "";
    char count[kLineSize] = "";
    LoadUtf8(IDS_WATCH_TIP, format, kLineSize);
    if (status->state == WatchState::Retrying) {
        LoadUtf8(IDS_WATCH_TIP_RETRYING, state, kLineSize);
    } else if (status->state == WatchState::WaitingForPrinter) {
        LoadUtf8(IDS_WATCH_TIP_HELD, state, kLineSize);
    }
    if (status->waiting > 0) {
        char countFormat[kLineSize];
        LoadUtf8(IDS_WATCH_TIP_WAITING, countFormat, kLineSize);
        std::snprintf(count, kLineSize, countFormat, status->waiting);
    }
    std::snprintf(g_icon.shownFolder, kPathBufferSize, "%s%s", skip > 0 ? "..." : "",
                  status->folder + skip);
    int length = std::snprintf(g_icon.composed, kComposedSize, format, g_icon.shownFolder);
    for (const char* line : {state, count}) {
        if (line[0] != '\0' && length >= 0 && length < kComposedSize) {
            length += std::snprintf(g_icon.composed + length,
                                    static_cast<std::size_t>(kComposedSize - length), "\n%s", line);
        }
    }
}

// The tooltip for status in g_icon.tip: the folder keeps its end, from a separator where one
// leaves something, so that the tip never runs past its 128 bytes.
void SetTip(const WatchStatus* status) {
    const char* folder = status->folder;
    int folderLength = static_cast<int>(std::strlen(folder));
    ComposeTip(status, 0);
    if (AnsiFromUtf8(g_icon.composed, static_cast<int>(std::strlen(g_icon.composed)), g_icon.tip,
                     kTipSize)) {
        return;
    }
    int skip = folderLength > kTipSize ? folderLength - kTipSize : 1;
    for (; skip < folderLength; ++skip) {
        if (IsContinuation(folder[skip])) {
            continue;
        }
        ComposeTip(status, skip);
        if (AnsiFromUtf8(g_icon.composed, static_cast<int>(std::strlen(g_icon.composed)),
                         g_icon.tip, kTipSize)) {
            break;
        }
    }
    const char* separator = std::strchr(folder + skip, '\\');
    if (separator != nullptr && separator[1] != '\0') {
        ComposeTip(status, static_cast<int>(separator - folder));
    }
    FitAnsi(g_icon.composed, g_icon.tip, kTipSize);
}

NOTIFYICONDATAA IconData(UINT flags) {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    data.hWnd = g_icon.window;
    data.uID = kIconId;
    data.uFlags = flags;
    return data;
}

void AddIcon() {
    NOTIFYICONDATAA data = IconData(NIF_ICON | NIF_TIP | NIF_MESSAGE);
    data.uCallbackMessage = WM_WATCH_ICON;
    data.hIcon = g_icon.icon;
    std::memcpy(data.szTip, g_icon.tip, sizeof data.szTip);
    g_icon.shown = Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
}

void UpdateTip() {
    if (!g_icon.shown) {
        AddIcon();
        return;
    }
    NOTIFYICONDATAA data = IconData(NIF_TIP);
    std::memcpy(data.szTip, g_icon.tip, sizeof data.szTip);
    if (Shell_NotifyIconA(NIM_MODIFY, &data) == FALSE) {
        // The notification area lost the icon without a word: it is put back.
        AddIcon();
    }
}

// title: a string id; text: UTF-8.
void ShowBalloon(UINT titleId, const char* text, DWORD iconFlags) {
    if (!g_icon.shown) {
        return;
    }
    NOTIFYICONDATAA data = IconData(NIF_INFO);
    char title[kLineSize];
    LoadUtf8(titleId, title, kLineSize);
    FitAnsi(title, data.szInfoTitle, kInfoTitleSize);
    FitAnsi(text, data.szInfo, kInfoSize);
    data.dwInfoFlags = iconFlags;
    data.uTimeout = 10000;
    Shell_NotifyIconA(NIM_MODIFY, &data);
}

// Opens the watched folder, or its failed folder, in Explorer.
void OpenFolder(bool failed) {
    int length = failed ? std::snprintf(g_icon.composed, kComposedSize, "%s\\%s", g_icon.folder,
                                        kFailedFolder)
                        : std::snprintf(g_icon.composed, kComposedSize, "%s", g_icon.folder);
    if (length < 0 || length >= kPathBufferSize ||
        MultiByteToWideChar(CP_UTF8, 0, g_icon.composed, -1, g_icon.wide, kComposedSize) == 0) {
        return;
    }
    ShellExecuteW(g_icon.window, L"open", g_icon.wide, nullptr, nullptr, SW_SHOWNORMAL);
}

void ShowMenu(HWND window) {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    struct Item {
        UINT command;
        UINT text;
    };
    static const Item kItems[] = {{IDM_WATCH_OPEN_FOLDER, IDS_WATCH_MENU_OPEN_FOLDER},
                                  {IDM_WATCH_OPEN_FAILED, IDS_WATCH_MENU_OPEN_FAILED},
                                  {IDM_WATCH_STOP, IDS_WATCH_MENU_STOP}};
    bool built = true;
    for (const Item& item : kItems) {
        char text[kLineSize];
        LoadTextOrEmpty(item.text, text, kLineSize);
        if (item.command == IDM_WATCH_STOP) {
            built = built && AppendMenuA(menu, MF_SEPARATOR, 0, nullptr) != FALSE;
        }
        built = built && AppendMenuA(menu, MF_STRING, item.command, text) != FALSE;
    }
    UINT command = 0;
    if (built) {
        POINT at{0, 0};
        GetCursorPos(&at);
        // Without it the menu stays open when the user clicks elsewhere.
        SetForegroundWindow(window);
        command = static_cast<UINT>(TrackPopupMenu(
            menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, window, nullptr));
        // Lets the next click on the icon open the menu again.
        PostMessageA(window, WM_NULL, 0, 0);
    }
    DestroyMenu(menu);
    if (command == IDM_WATCH_OPEN_FOLDER || command == IDM_WATCH_OPEN_FAILED) {
        OpenFolder(command == IDM_WATCH_OPEN_FAILED);
    } else if (command == IDM_WATCH_STOP) {
        SetEvent(g_icon.stopEvent);
    }
}

INT_PTR CALLBACK WatchPresenceProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_WATCH_ICON) {
        UINT mouse = LOWORD(lParam);
        if (mouse == WM_RBUTTONUP || mouse == WM_CONTEXTMENU) {
            ShowMenu(window);
        } else if (mouse == WM_LBUTTONDBLCLK) {
            OpenFolder(false);
        }
        return TRUE;
    }
    if (message == WM_ENDSESSION) {
        // Sent to the window, never posted to the watcher's queue: the watcher sees the event
        // once the file in hand is done with.
        if (wParam != FALSE) {
            SetEvent(g_icon.stopEvent);
        }
        return TRUE;
    }
    if (message == g_icon.taskbarCreated && g_icon.taskbarCreated != 0) {
        // Explorer started again with an empty notification area.
        AddIcon();
        return TRUE;
    }
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

void OnStatusChanged(void* /*context*/, const WatchStatus* status) {
    if (status == nullptr || status->folder == nullptr) {
        return;
    }
    SetTip(status);
    UpdateTip();
}

void OnFileFailed(void* /*context*/, const char* fileName, const char* reason) {
    char format[kLineSize];
    LoadUtf8(IDS_WATCH_FAILED_TEXT, format, kLineSize);
    std::snprintf(g_icon.composed, kComposedSize, format, fileName != nullptr ? fileName : "",
                  reason != nullptr ? reason : "");
    ShowBalloon(IDS_WATCH_FAILED_TITLE, g_icon.composed, NIIF_ERROR);
}

void OnPrinterUnreachable(void* /*context*/, const char* reason) {
    ShowBalloon(IDS_WATCH_UNREACHABLE_TITLE, reason != nullptr ? reason : "", NIIF_WARNING);
}

} // namespace

bool StartNotificationIcon(HINSTANCE instance, const char* folder, HANDLE stopEvent,
                           WatchPresence* presence) {
    if (g_started || presence == nullptr || folder == nullptr ||
        std::strlen(folder) >= sizeof g_icon.folder) {
        return false;
    }
    std::memset(&g_icon, 0, sizeof g_icon);
    std::memcpy(g_icon.folder, folder, std::strlen(folder) + 1);
    g_icon.stopEvent = stopEvent;
    g_icon.taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    g_icon.window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_WATCH_PRESENCE), nullptr,
                                       WatchPresenceProc, 0);
    if (g_icon.window == nullptr) {
        return false;
    }
    g_icon.icon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_TAGWRIGHT),
                                                IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (g_icon.icon == nullptr) {
        DestroyWindow(g_icon.window);
        return false;
    }
    WatchStatus start{g_icon.folder, WatchState::Watching, 0, ""};
    SetTip(&start);
    AddIcon();
    g_started = true;
    presence->context = &g_icon;
    presence->statusChanged = OnStatusChanged;
    presence->fileFailed = OnFileFailed;
    presence->printerUnreachable = OnPrinterUnreachable;
    return true;
}

void EndNotificationIcon(WatchPresence* presence) {
    if (!g_started) {
        return;
    }
    if (g_icon.shown) {
        NOTIFYICONDATAA data = IconData(0);
        Shell_NotifyIconA(NIM_DELETE, &data);
        g_icon.shown = false;
    }
    DestroyIcon(g_icon.icon);
    DestroyWindow(g_icon.window);
    g_started = false;
    if (presence != nullptr) {
        presence->context = nullptr;
    }
}
