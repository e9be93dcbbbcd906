// Test hooks of the substitute shell: the notification icons shown now, what ShellExecuteW
// opened, the pop-up menus shown and the command a user chooses in them, and an Explorer that
// restarts. Reset forgets all of it.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

namespace substitute {

// One icon in the notification area, as Shell_NotifyIconA left it.
struct NotifyIconRecord {
    HWND window;
    UINT id;
    UINT callbackMessage;
    HICON icon;
    std::string tip;
    std::string balloonTitle; // the last balloon's, "" before any
    std::string balloonText;
    DWORD balloonFlags;
    int balloons; // how many were shown
};
std::vector<NotifyIconRecord> NotifyIcons();

// Explorer ends and starts again: every icon is gone until its owner adds it again.
void RestartTaskbar();

struct ShellExecuteRecord {
    std::string verb; // UTF-8
    std::string file; // UTF-8
    std::string parameters;
    INT show;
};
std::vector<ShellExecuteRecord> ShellExecutes();

struct MenuItemRecord {
    UINT flags;
    UINT_PTR id;
    std::string text;
};
// The items of every menu TrackPopupMenu showed, in order.
std::vector<std::vector<MenuItemRecord>> ShownMenus();
// The command the user chooses in the menus shown from now on (0, the default: none, the
// menu dismissed).
void ChooseMenuCommand(UINT_PTR id);

} // namespace substitute
