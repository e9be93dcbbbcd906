// Win32 declarations, shell: the notification icon, ShellExecuteW, pop-up menus, icons from
// the resources and registered window messages.
#pragma once

#include "platform/posix/win32_types.h"
#include "platform/posix/win32_user.h"

struct HICON__;
using HICON = HICON__*;
struct HMENU__;
using HMENU = HMENU__*;
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

#define WM_NULL 0x0000
#define WM_CONTEXTMENU 0x007B
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONUP 0x0205

#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u
#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_INFO 0x00000010u
#define NIIF_NONE 0x00000000u
#define NIIF_INFO 0x00000001u
#define NIIF_WARNING 0x00000002u
#define NIIF_ERROR 0x00000003u

// The fields of NOTIFYICONDATAA the program sets, with the SDK's names and sizes.
struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    UINT uTimeout;
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
};
using PNOTIFYICONDATAA = NOTIFYICONDATAA*;

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

#define SW_SHOWNORMAL 1
// Above 32 on success; the error code (at most 32) otherwise.
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT show);

#define MF_STRING 0x00000000u
#define MF_GRAYED 0x00000001u
#define MF_SEPARATOR 0x00000800u
#define TPM_RIGHTBUTTON 0x0002u
#define TPM_NONOTIFY 0x0080u
#define TPM_RETURNCMD 0x0100u

HMENU CreatePopupMenu();
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text);
// With TPM_RETURNCMD the command chosen (0: none); otherwise TRUE, the command then posted to
// the owner as WM_COMMAND.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect);
BOOL DestroyMenu(HMENU menu);
BOOL GetCursorPos(POINT* point);
BOOL SetForegroundWindow(HWND window);

// A message id (0xC000 to 0xFFFF) the same for every caller of the same name, ignoring case.
UINT RegisterWindowMessageA(LPCSTR name);

#define IMAGE_ICON 1u
#define LR_DEFAULTCOLOR 0x00000000u
#define SM_CXSMICON 49
#define SM_CYSMICON 50
int GetSystemMetrics(int index);
// Only icons named by an integer id are supported.
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
BOOL DestroyIcon(HICON icon);
