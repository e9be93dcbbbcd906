// The Help and About windows: template 103 filled with the help or the about texts.
#include "settings/info_windows.h"

#include "core/job_protocol.h"
#include "core/text_basics.h"
#include "resources/resource_ids.h"

namespace {

// A missing text shows as an empty one.
void LoadTableText(UINT stringId, char* text) {
    LoadTextOrEmpty(stringId, text, kTextBufferSize);
}

void FillInfoWindow(HWND window, UINT captionId, UINT bodyId) {
    char text[kTextBufferSize];
    LoadTableText(captionId, text);
    SetWindowTextA(window, text);
    LoadTableText(IDS_PRODUCT_VERSION, text);
    SetDlgItemTextA(window, IDC_INFO_TITLE, text);
    LoadTableText(IDS_COPYRIGHT, text);
    SetDlgItemTextA(window, IDC_INFO_COPYRIGHT, text);
    LoadTableText(bodyId, text);
    SetDlgItemTextA(window, IDC_INFO_TEXT, text);
}

void FillHelpWindow(HWND window) {
    FillInfoWindow(window, IDS_HELP_CAPTION, IDS_HELP_TEXT);
}

void FillAboutWindow(HWND window) {
    FillInfoWindow(window, IDS_ABOUT_CAPTION, IDS_ABOUT_TEXT);
}

// Escape (IDCANCEL) falls through to the default handling, which does nothing here: only OK,
// Enter and the close box close the window.
INT_PTR InfoWindow(HWND window, UINT message, WPARAM wParam, void (*fill)(HWND)) {
    switch (message) {
    case WM_INITDIALOG:
        fill(window);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EndDialog(window, 1);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        EndDialog(window, LOWORD(wParam));
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK HelpWindow(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    return InfoWindow(window, message, wParam, FillHelpWindow);
}

INT_PTR CALLBACK AboutWindow(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    return InfoWindow(window, message, wParam, FillAboutWindow);
}

} // namespace

int ShowHelpWindow(HINSTANCE instance) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_INFO), nullptr, HelpWindow, 0);
    return 1;
}

int ShowAboutWindow(HINSTANCE instance) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_INFO), nullptr, AboutWindow, 0);
    return 1;
}
