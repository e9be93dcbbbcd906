// Internal to the substitute layer: the dialog templates and string table of
// resources/tagwright.rc, derived from it at build time
// by scripts/rc_to_tables.py (the definitions live in the generated rc_tables.cpp).
#pragma once

#include "platform/posix/win32_types.h"

#include <cstddef>

namespace rc {

// One control statement of a dialog template, with the style the resource compiler gives it.
struct ControlTemplate {
    const char* statement; // "EDITTEXT", "CONTROL", "RTEXT" ...
    const char* className; // "Button", "Edit", "Static", "ComboBox", "msctls_progress32"
    const char* text;      // "" when the statement has none
    int imageId;           // resource id given as the text of an icon control, else 0
    int id;
    DWORD style;
    DWORD exStyle;
    int x, y, cx, cy;
};

struct DialogTemplate {
    int id;
    DWORD style;
    DWORD exStyle;
    const char* caption; // nullptr when the template has no CAPTION
    int fontSize;
    const char* fontName;
    int x, y, cx, cy;
    const ControlTemplate* controls;
    int controlCount;
};

struct StringResource {
    UINT id;
    const char* text;
    std::size_t length;
};

extern const DialogTemplate kDialogs[];
extern const int kDialogCount;
extern const StringResource kStrings[];
extern const int kStringCount;

// nullptr when the resource script has no such template or string.
const DialogTemplate* FindDialog(int id);
const StringResource* FindString(UINT id);

} // namespace rc
