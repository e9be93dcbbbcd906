// windriver: drives the windows of another Win32 process for the end-to-end tests under Wine.
//
// Each call does one thing and prints plain text that a shell script can compare. Windows
// are chosen by a selector:
//   "Caption"   a visible top-level window with exactly that caption
//   @dialog     any visible top-level dialog (class #32770)
//   @msgbox     a visible top-level message box: a dialog holding only labels and buttons
// Every wait is bounded by a time-out in milliseconds; a call that times out prints
// "timeout: ..." and exits with 2. Other failures print "error: ..." and exit with 1.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPollMs = 50;
constexpr UINT kMessageTimeoutMs = 5000;
constexpr DWORD kDefaultWaitMs = 10000;

int Fail(const std::string& text) {
    std::printf("error: %s\n", text.c_str());
    std::fflush(stdout);
    return 1;
}

std::string ClassOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// The text of a window of another process: WM_GETTEXT is marshalled across processes,
// whereas GetWindowTextA only sees the caption cached for top-level windows.
std::string TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
        return "";
    }
    std::vector<char> text(length + 2, '\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied);
    return std::string(text.data());
}

// Enumeration callbacks are named functions: a lambda is not CALLBACK (stdcall) on i686.
BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> found;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool IsMessageBox(HWND window) {
    if (ClassOf(window) != "#32770") {
        return false;
    }
    bool hasButton = false;
    for (HWND child : Children(window)) {
        std::string kind = ClassOf(child);
        if (_stricmp(kind.c_str(), "Button") == 0) {
            hasButton = true;
        } else if (_stricmp(kind.c_str(), "Static") != 0) {
            return false;
        }
    }
    return hasButton;
}

bool Matches(HWND window, const std::string& selector) {
    if (!IsWindowVisible(window)) {
        return false;
    }
    if (selector == "@dialog") {
        return ClassOf(window) == "#32770";
    }
    if (selector == "@msgbox") {
        return IsMessageBox(window);
    }
    char caption[1024] = {};
    GetWindowTextA(window, caption, sizeof caption);
    return selector == caption;
}

HWND FindNow(const std::string& selector) {
    for (HWND window : TopLevelWindows()) {
        if (Matches(window, selector)) {
            return window;
        }
    }
    return nullptr;
}

HWND WaitFor(const std::string& selector, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindNow(selector)) {
            return window;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return nullptr;
        }
        Sleep(kPollMs);
    }
}

DWORD ParseTimeout(const char* text) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return (end == text || *end != '\0') ? kDefaultWaitMs : static_cast<DWORD>(value);
}

// Finds the window or prints the time-out; the caller returns 2 when this yields null.
HWND Window(const std::string& selector, DWORD timeoutMs) {
    HWND window = WaitFor(selector, timeoutMs);
    if (!window) {
        std::printf("timeout: no window %s after %lu ms\n", selector.c_str(),
                    static_cast<unsigned long>(timeoutMs));
        std::fflush(stdout);
    }
    return window;
}

HWND Control(HWND dialog, const char* idText) {
    int id = std::atoi(idText);
    HWND control = GetDlgItem(dialog, id);
    if (!control) {
        std::printf("error: no control %d\n", id);
    }
    return control;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

// The entries of a combo box. CB_GETLBTEXT is asked in its wide form: across processes Wine
// hands the "A" form back unconverted (wide), so the narrow text would stop after one letter.
std::vector<std::string> ComboEntries(HWND combo) {
    std::vector<std::string> entries;
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::vector<wchar_t> wide(length > 0 ? static_cast<size_t>(length) + 2 : 2, L'\0');
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                            reinterpret_cast<LPARAM>(wide.data()), SMTO_ABORTIFHUNG,
                            kMessageTimeoutMs, &ignored);
        char text[1024] = {};
        WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, text, sizeof text - 1, nullptr, nullptr);
        entries.emplace_back(text);
    }
    return entries;
}

// The window that has the keyboard focus in the thread of the given window, or the window.
HWND FocusIn(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus &&
        (info.hwndFocus == window || IsChild(window, info.hwndFocus))) {
        return info.hwndFocus;
    }
    return window;
}

void PrintWindowLine(HWND window) {
    char caption[1024] = {};
    GetWindowTextA(window, caption, sizeof caption);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    std::printf("%p pid=%lu class=%s visible=%d caption=%s\n", static_cast<void*>(window),
                static_cast<unsigned long>(pid), ClassOf(window).c_str(),
                IsWindowVisible(window) ? 1 : 0, caption);
}

int CmdList() {
    for (HWND window : TopLevelWindows()) {
        if (IsWindowVisible(window)) {
            PrintWindowLine(window);
        }
    }
    return 0;
}

// The file name of the program that runs process pid, "" when it cannot be asked.
std::string ImageOf(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return "";
    }
    char path[MAX_PATH] = {};
    DWORD size = sizeof path;
    std::string name;
    if (QueryFullProcessImageNameA(process, 0, path, &size)) {
        name = path;
        std::size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos) {
            name = name.substr(slash + 1);
        }
    }
    CloseHandle(process);
    return name;
}

// Every window of the processes running `image`, hidden and message-only ones included: a
// program that claims to have no window at all is taken at its word only when this is empty.
int CmdWindowsOf(const std::string& image) {
    std::vector<HWND> windows = TopLevelWindows();
    HWND messageOnly = nullptr;
    while ((messageOnly = FindWindowExA(HWND_MESSAGE, messageOnly, nullptr, nullptr)) != nullptr) {
        windows.push_back(messageOnly);
    }
    for (HWND window : windows) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (_stricmp(ImageOf(pid).c_str(), image.c_str()) == 0) {
            PrintWindowLine(window);
        }
    }
    return 0;
}

int CmdWait(const std::string& selector, DWORD timeoutMs) {
    HWND window = Window(selector, timeoutMs);
    if (!window) {
        return 2;
    }
    char caption[1024] = {};
    GetWindowTextA(window, caption, sizeof caption);
    std::printf("found: %s\n", caption);
    return 0;
}

int CmdWaitGone(const std::string& selector, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (FindNow(selector)) {
        if (GetTickCount() - start >= timeoutMs) {
            std::printf("timeout: window %s still open after %lu ms\n", selector.c_str(),
                        static_cast<unsigned long>(timeoutMs));
            return 2;
        }
        Sleep(kPollMs);
    }
    std::printf("gone: %s\n", selector.c_str());
    return 0;
}

// Prints each visible top-level window not in `seen` yet, and adds it there.
void NoteNewWindows(std::vector<HWND>* seen) {
    for (HWND window : TopLevelWindows()) {
        bool known = false;
        for (HWND old : *seen) {
            known = known || old == window;
        }
        if (IsWindowVisible(window) && !known) {
            seen->push_back(window);
            std::printf("seen: ");
            PrintWindowLine(window);
        }
    }
}

// Watches the screen until the file `stopFile` exists or the time is up: prints "watching"
// once it has looked the first time, then each visible top-level window it sees, once, as
// "seen: ..." (a program that must show nothing can then be started and checked).
int CmdWatch(DWORD timeoutMs, const char* stopFile) {
    std::vector<HWND> seen;
    DWORD start = GetTickCount();
    NoteNewWindows(&seen);
    std::printf("watching\n");
    std::fflush(stdout);
    while (GetFileAttributesA(stopFile) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start >= timeoutMs) {
            std::printf("timeout: %s did not appear in %lu ms\n", stopFile,
                        static_cast<unsigned long>(timeoutMs));
            std::fflush(stdout);
            return 2;
        }
        Sleep(kPollMs);
        NoteNewWindows(&seen);
        std::fflush(stdout);
    }
    // One last look: a window shown just before the end.
    NoteNewWindows(&seen);
    std::printf("watched\n");
    return 0;
}

int CmdControls(HWND dialog) {
    for (HWND child : Children(dialog)) {
        std::printf("id=%d class=%s enabled=%d visible=%d text=%s\n", GetDlgCtrlID(child),
                    ClassOf(child).c_str(), IsWindowEnabled(child) ? 1 : 0,
                    IsWindowVisible(child) ? 1 : 0, TextOf(child).c_str());
    }
    return 0;
}

std::string Utf8Of(const std::wstring& text) {
    if (text.empty()) {
        return "";
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> utf8(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    return std::string(utf8.data());
}

// A message box's text in UTF-8, whatever the ANSI code page can spell of it (a file name in
// Chinese under a Western code page).
std::wstring WideTextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                             &length)) {
        return L"";
    }
    std::vector<wchar_t> text(length + 2, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied);
    return std::wstring(text.data());
}

// Caption and text are printed in UTF-8.
int CmdMessageBox(HWND box, bool pressOk) {
    wchar_t caption[1024] = {};
    GetWindowTextW(box, caption, 1024);
    std::wstring text;
    for (HWND child : Children(box)) {
        if (_stricmp(ClassOf(child).c_str(), "Static") == 0) {
            std::wstring candidate = WideTextOf(child);
            if (candidate.size() > text.size()) {
                text = candidate;
            }
        }
    }
    std::printf("caption: %s\ntext: %s\n", Utf8Of(caption).c_str(), Utf8Of(text).c_str());
    if (pressOk) {
        HWND ok = GetDlgItem(box, IDOK);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    }
    std::fflush(stdout);
    return 0;
}

int CmdPress(HWND dialog, const char* idText) {
    HWND button = Control(dialog, idText);
    if (!button) {
        return 1;
    }
    if (!IsWindowEnabled(button)) {
        return Fail("control is disabled");
    }
    // Posted, as a click is: a button that opens a modal window must not block the driver.
    int id = GetDlgCtrlID(button);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    std::printf("pressed: %d\n", id);
    return 0;
}

int CmdCombo(HWND dialog, const char* idText) {
    HWND combo = Control(dialog, idText);
    if (!combo) {
        return 1;
    }
    std::vector<std::string> entries = ComboEntries(combo);
    for (size_t i = 0; i < entries.size(); ++i) {
        std::printf("entry %u: %s\n", static_cast<unsigned>(i), entries[i].c_str());
    }
    LRESULT selected = Send(combo, CB_GETCURSEL, 0, 0);
    if (selected >= 0 && static_cast<size_t>(selected) < entries.size()) {
        std::printf("selected: %d %s\n", static_cast<int>(selected),
                    entries[static_cast<size_t>(selected)].c_str());
    } else {
        std::printf("selected: none\n");
    }
    std::printf("text: %s\n", TextOf(combo).c_str());
    std::printf("enabled: %d\n", IsWindowEnabled(combo) ? 1 : 0);
    return 0;
}

// Chooses an entry as a user does: the list selects it, then the dialog hears CBN_SELCHANGE.
int CmdChoose(HWND dialog, const char* idText, const char* entry) {
    HWND combo = Control(dialog, idText);
    if (!combo) {
        return 1;
    }
    if (!IsWindowEnabled(combo)) {
        return Fail("control is disabled");
    }
    std::vector<std::string> entries = ComboEntries(combo);
    int position = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == entry) {
            position = static_cast<int>(i);
            break;
        }
    }
    if (position < 0) {
        return Fail(std::string("no entry ") + entry);
    }
    Send(combo, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    int id = GetDlgCtrlID(combo);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    std::printf("chosen: %d %s\n", position, entry);
    return 0;
}

// Replaces the field's text by typing it: select all, then one WM_CHAR per character, so
// that the control's own filters (digits only, length limits) apply as for a user.
int CmdType(HWND dialog, const char* idText, const char* text) {
    HWND control = Control(dialog, idText);
    if (!control) {
        return 1;
    }
    if (!IsWindowEnabled(control)) {
        return Fail("control is disabled");
    }
    HWND edit = control;
    if (_stricmp(ClassOf(control).c_str(), "ComboBox") == 0) {
        edit = FindWindowExA(control, nullptr, "Edit", nullptr);
        if (!edit) {
            return Fail("combo box has no edit field");
        }
    }
    Send(edit, EM_SETSEL, 0, -1);
    Send(edit, WM_CLEAR, 0, 0);
    for (const char* p = text; *p; ++p) {
        Send(edit, WM_CHAR, static_cast<unsigned char>(*p), 1);
    }
    std::printf("typed: %s\n", TextOf(control).c_str());
    return 0;
}

int CmdKey(HWND dialog, const std::string& key) {
    WPARAM code = 0;
    if (key == "escape") {
        code = VK_ESCAPE;
    } else if (key == "enter") {
        code = VK_RETURN;
    } else {
        return Fail("unknown key " + key);
    }
    // Posted to the focused control, where the dialog's own message loop sees the key.
    HWND target = FocusIn(dialog);
    PostMessageA(target, WM_KEYDOWN, code, 1);
    PostMessageA(target, WM_KEYUP, code, static_cast<LPARAM>(0xC0000001u));
    std::printf("key: %s\n", key.c_str());
    return 0;
}

int CmdClose(HWND window) {
    // The close box: WM_SYSCOMMAND SC_CLOSE, which the default handling turns into WM_CLOSE.
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    std::printf("closed\n");
    return 0;
}

int CmdRun(DWORD timeoutMs, int argc, char** argv) {
    std::string commandLine;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (i > 0) {
            commandLine += ' ';
        }
        if (arg.empty() || arg.find_first_of(" \t\"") != std::string::npos) {
            commandLine += '"' + arg + '"';
        } else {
            commandLine += arg;
        }
    }
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return Fail("CreateProcess failed: " + std::to_string(GetLastError()));
    }
    CloseHandle(process.hThread);
    DWORD waited = WaitForSingleObject(process.hProcess, timeoutMs);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, kMessageTimeoutMs);
        CloseHandle(process.hProcess);
        std::printf("timeout: process still running after %lu ms, terminated\n",
                    static_cast<unsigned long>(timeoutMs));
        return 2;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    std::printf("exit %lu\n", static_cast<unsigned long>(code));
    return 0;
}

int CmdRegGet(const char* subkey, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::printf("absent key\n");
        return 0;
    }
    char data[4096] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        std::printf("absent\n");
    } else {
        std::printf("%s %s\n", type == REG_SZ ? "REG_SZ" : "other", data);
        std::printf("bytes: %lu\n", static_cast<unsigned long>(size));
    }
    return 0;
}

int CmdRegSet(const char* subkey, const char* name, const char* value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return Fail("cannot create key");
    }
    LONG status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : Fail("cannot set value");
}

int CmdRegDelete(const char* subkey, const char* name) {
    if (name) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
            return 0;
        }
        RegDeleteValueA(key, name);
        RegCloseKey(key);
        return 0;
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, subkey);
    return 0;
}

int CmdPrinters() {
    DWORD needed = 0;
    DWORD count = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 1);
    if (needed > 0 &&
        EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, block.data(), needed, &needed, &count)) {
        auto* info = reinterpret_cast<PRINTER_INFO_5A*>(block.data());
        for (DWORD i = 0; i < count; ++i) {
            std::printf("printer: %s\n", info[i].pPrinterName);
        }
    }
    char name[1024] = {};
    DWORD size = sizeof name;
    if (GetDefaultPrinterA(name, &size)) {
        std::printf("default: %s\n", name);
    } else {
        std::printf("default: none\n");
    }
    return 0;
}

int CmdSetDefaultPrinter(const char* name) {
    return SetDefaultPrinterA(name) ? 0 : Fail("SetDefaultPrinter failed");
}

// Holds the named mutex for `ms` milliseconds, as another instance's job holds its turn:
// prints "held" once it owns it, then releases it and ends.
int CmdHoldMutex(const char* name, DWORD ms) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex) {
        return Fail("CreateMutex failed");
    }
    DWORD wait = WaitForSingleObject(mutex, kDefaultWaitMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return Fail("the mutex is held elsewhere");
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    std::printf("released\n");
    return 0;
}

void Usage() {
    std::printf("usage: windriver <command> ...\n"
                "  list                             windows-of <program.exe>\n"
                "  wait <selector> [ms]             wait-gone <selector> [ms]\n"
                "  controls <selector> [ms]         text <selector> <id> [ms]\n"
                "  msgbox <selector> [ms]           msgbox-ok <selector> [ms]\n"
                "  press <selector> <id> [ms]       combo <selector> <id> [ms]\n"
                "  choose <selector> <id> <entry> [ms]\n"
                "  type <selector> <id> <text> [ms]\n"
                "  key <selector> escape|enter [ms] close <selector> [ms]\n"
                "  run <ms> <program> [args...]\n"
                "  watch <ms> <stop file>           (visible windows until the file exists)\n"
                "  reg-get <subkey> <name>          reg-set <subkey> <name> <text>\n"
                "  reg-delete <subkey> [name]       printers\n"
                "  set-default-printer <name>\n"
                "  hold-mutex <name> <ms>           (prints \"held\" once it owns it)\n"
                "selector: a caption, @dialog or @msgbox\n");
}

// Runs a command on a window found by selector, with an optional time-out after `fixed`
// arguments.
template <typename Action> int OnWindow(int argc, char** argv, int fixed, Action action) {
    if (argc < 2 + fixed) {
        Usage();
        return 1;
    }
    DWORD timeoutMs = argc > 2 + fixed ? ParseTimeout(argv[2 + fixed]) : kDefaultWaitMs;
    HWND window = Window(argv[2], timeoutMs);
    if (!window) {
        return 2;
    }
    int result = action(window);
    std::fflush(stdout);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return 1;
    }
    std::string command = argv[1];
    int result = 1;
    if (command == "list") {
        result = CmdList();
    } else if (command == "windows-of" && argc == 3) {
        result = CmdWindowsOf(argv[2]);
    } else if (command == "wait" && argc >= 3) {
        result = CmdWait(argv[2], argc > 3 ? ParseTimeout(argv[3]) : kDefaultWaitMs);
    } else if (command == "wait-gone" && argc >= 3) {
        result = CmdWaitGone(argv[2], argc > 3 ? ParseTimeout(argv[3]) : kDefaultWaitMs);
    } else if (command == "controls") {
        result = OnWindow(argc, argv, 1, [](HWND w) { return CmdControls(w); });
    } else if (command == "text") {
        result = OnWindow(argc, argv, 2, [&](HWND w) {
            HWND control = Control(w, argv[3]);
            if (!control) {
                return 1;
            }
            std::printf("%s\n", TextOf(control).c_str());
            return 0;
        });
    } else if (command == "enabled") {
        result = OnWindow(argc, argv, 2, [&](HWND w) {
            HWND control = Control(w, argv[3]);
            if (!control) {
                return 1;
            }
            std::printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
            return 0;
        });
    } else if (command == "msgbox") {
        result = OnWindow(argc, argv, 1, [](HWND w) { return CmdMessageBox(w, false); });
    } else if (command == "msgbox-ok") {
        result = OnWindow(argc, argv, 1, [](HWND w) { return CmdMessageBox(w, true); });
    } else if (command == "press") {
        result = OnWindow(argc, argv, 2, [&](HWND w) { return CmdPress(w, argv[3]); });
    } else if (command == "combo") {
        result = OnWindow(argc, argv, 2, [&](HWND w) { return CmdCombo(w, argv[3]); });
    } else if (command == "choose") {
        result = OnWindow(argc, argv, 3, [&](HWND w) { return CmdChoose(w, argv[3], argv[4]); });
    } else if (command == "type") {
        result = OnWindow(argc, argv, 3, [&](HWND w) { return CmdType(w, argv[3], argv[4]); });
    } else if (command == "key") {
        result = OnWindow(argc, argv, 2, [&](HWND w) { return CmdKey(w, argv[3]); });
    } else if (command == "close") {
        result = OnWindow(argc, argv, 1, [](HWND w) { return CmdClose(w); });
    } else if (command == "watch" && argc == 4) {
        result = CmdWatch(ParseTimeout(argv[2]), argv[3]);
    } else if (command == "run" && argc >= 4) {
        result = CmdRun(ParseTimeout(argv[2]), argc - 3, argv + 3);
    } else if (command == "reg-get" && argc == 4) {
        result = CmdRegGet(argv[2], argv[3]);
    } else if (command == "reg-set" && argc == 5) {
        result = CmdRegSet(argv[2], argv[3], argv[4]);
    } else if (command == "reg-delete" && argc >= 3) {
        result = CmdRegDelete(argv[2], argc > 3 ? argv[3] : nullptr);
    } else if (command == "printers") {
        result = CmdPrinters();
    } else if (command == "set-default-printer" && argc == 3) {
        result = CmdSetDefaultPrinter(argv[2]);
    } else if (command == "hold-mutex" && argc == 4) {
        result = CmdHoldMutex(argv[2], ParseTimeout(argv[3]));
    } else {
        Usage();
    }
    std::fflush(stdout);
    return result;
}
