// Substitute window system, controls: edit and static text, buttons, the combo box
// (sorted or not, find-exact ignoring case, selection, edit text, typing limit) and the
// progress bar, each handling its messages on its dialog's thread.
#include "platform/posix/user_window.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace substitute::user {

namespace {

int CopyText(const std::string& text, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    std::size_t count = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

std::string TextFrom(LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    return text == nullptr ? std::string() : std::string(text);
}

// The list control's collation: alphabetical, ignoring case, character by character.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        int left = std::tolower(static_cast<unsigned char>(a[i]));
        int right = std::tolower(static_cast<unsigned char>(b[i]));
        if (left != right) {
            return left < right ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

LRESULT FindExact(const UserWindow& combo, WPARAM start, LPARAM lParam) {
    if (lParam == 0 || combo.entries.empty()) {
        return CB_ERR;
    }
    std::string wanted = TextFrom(lParam);
    int count = static_cast<int>(combo.entries.size());
    int after = static_cast<int>(start);
    if (after < -1 || after >= count) {
        after = -1;
    }
    for (int step = 1; step <= count; ++step) {
        int index = (after + step) % count;
        if (EqualIgnoringCase(combo.entries[static_cast<std::size_t>(index)], wanted)) {
            return index;
        }
    }
    return CB_ERR;
}

LRESULT HandleCombo(UserWindow& combo, UINT message, WPARAM wParam, LPARAM lParam) {
    int count = static_cast<int>(combo.entries.size());
    switch (message) {
    case CB_ADDSTRING: {
        std::string entry = TextFrom(lParam);
        int index = count;
        if ((combo.style & CBS_SORT) != 0) {
            index = 0;
            while (index < count &&
                   CompareIgnoringCase(combo.entries[static_cast<std::size_t>(index)], entry) <=
                       0) {
                ++index;
            }
        }
        combo.entries.insert(combo.entries.begin() + index, entry);
        if (combo.selection >= index) {
            ++combo.selection;
        }
        return index;
    }
    case CB_RESETCONTENT:
        combo.entries.clear();
        combo.selection = -1;
        combo.text.clear();
        return TRUE;
    case CB_SETCURSEL:
        return Select(combo, wParam);
    case CB_GETCURSEL:
        return combo.selection >= 0 ? combo.selection : CB_ERR;
    case CB_GETCOUNT:
        return count;
    case CB_GETLBTEXTLEN: {
        int index = static_cast<int>(wParam);
        if (index < 0 || index >= count) {
            return CB_ERR;
        }
        return static_cast<LRESULT>(combo.entries[static_cast<std::size_t>(index)].size());
    }
    case CB_GETLBTEXT: {
        int index = static_cast<int>(wParam);
        char* buffer = reinterpret_cast<char*>(lParam);
        if (index < 0 || index >= count || buffer == nullptr) {
            return CB_ERR;
        }
        // No size travels with this message: the caller sized the buffer with
        // CB_GETLBTEXTLEN, as on Windows.
        const std::string& entry = combo.entries[static_cast<std::size_t>(index)];
        std::memcpy(buffer, entry.c_str(), entry.size() + 1);
        return static_cast<LRESULT>(entry.size());
    }
    case CB_FINDSTRINGEXACT:
        return FindExact(combo, wParam, lParam);
    case CB_LIMITTEXT:
        // A drop-down list has no field to limit; the answer is TRUE all the same.
        if (IsEditableCombo(combo)) {
            combo.typedLimit = static_cast<std::size_t>(wParam);
        }
        return TRUE;
    case WM_SETTEXT:
        if (!IsEditableCombo(combo)) {
            return CB_ERR;
        }
        combo.text = TextFrom(lParam);
        combo.selection = -1;
        return TRUE;
    case WM_GETTEXT:
        return CopyText(ComboText(combo), reinterpret_cast<char*>(lParam),
                        static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(ComboText(combo).size());
    default:
        return 0;
    }
}

int Clamp(int value, int low, int high) {
    return std::max(low, std::min(value, high));
}

LRESULT HandleProgress(UserWindow& bar, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case PBM_SETRANGE: {
        LRESULT previous = MAKELONG(bar.low, bar.high);
        bar.low = LOWORD(lParam);
        bar.high = HIWORD(lParam);
        bar.position = Clamp(bar.position, bar.low, bar.high);
        return previous;
    }
    case PBM_SETRANGE32: {
        LRESULT previous = MAKELONG(bar.low, bar.high);
        bar.low = static_cast<int>(wParam);
        bar.high = static_cast<int>(lParam);
        bar.position = Clamp(bar.position, bar.low, bar.high);
        return previous;
    }
    case PBM_SETPOS: {
        int previous = bar.position;
        bar.position = Clamp(static_cast<int>(wParam), bar.low, bar.high);
        return previous;
    }
    case PBM_DELTAPOS: {
        int previous = bar.position;
        bar.position = Clamp(previous + static_cast<int>(wParam), bar.low, bar.high);
        return previous;
    }
    case PBM_GETPOS:
        return bar.position;
    default:
        return 0;
    }
}

} // namespace

bool IsEditableCombo(const UserWindow& combo) {
    return (combo.style & 0x3u) == CBS_DROPDOWN || (combo.style & 0x3u) == CBS_SIMPLE;
}

std::string ComboText(const UserWindow& combo) {
    if (IsEditableCombo(combo)) {
        return combo.text;
    }
    if (combo.selection >= 0 && combo.selection < static_cast<int>(combo.entries.size())) {
        return combo.entries[static_cast<std::size_t>(combo.selection)];
    }
    return std::string();
}

// How many characters typing puts into an editable combo box's field: its CB_LIMITTEXT,
// and without CBS_AUTOHSCROLL what fits in the field beside the drop button (an average
// character is 4 dialog units wide; Wine stops at 12 in a field 64 units wide).
std::size_t TypedCharacters(const UserWindow& combo) {
    std::size_t accepted = std::string::npos;
    if (combo.typedLimit != 0) {
        accepted = combo.typedLimit;
    }
    if ((combo.style & CBS_AUTOHSCROLL) == 0) {
        auto visible = static_cast<std::size_t>(std::max(1, (combo.width - 14) / 4));
        accepted = std::min(accepted, visible);
    }
    return accepted;
}

LRESULT Select(UserWindow& combo, WPARAM index) {
    int wanted = static_cast<int>(index);
    if (wanted < 0 || wanted >= static_cast<int>(combo.entries.size())) {
        combo.selection = -1;
        if (IsEditableCombo(combo)) {
            combo.text.clear();
        }
        return CB_ERR;
    }
    combo.selection = wanted;
    if (IsEditableCombo(combo)) {
        combo.text = combo.entries[static_cast<std::size_t>(wanted)];
    }
    return wanted;
}

LRESULT HandleText(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        window.text = TextFrom(lParam);
        return TRUE;
    case WM_GETTEXT:
        return CopyText(window.text, reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(window.text.size());
    default:
        return 0;
    }
}

// On the window's own thread.
LRESULT Handle(UserWindow& window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (window.kind) {
    case Kind::Dialog:
        return HandleDialog(window, message, wParam, lParam);
    case Kind::ComboBox:
        return HandleCombo(window, message, wParam, lParam);
    case Kind::Progress:
        if (message >= WM_USER) {
            return HandleProgress(window, message, wParam, lParam);
        }
        return HandleText(window, message, wParam, lParam);
    case Kind::Button:
        if (message == BM_GETCHECK) {
            return static_cast<LRESULT>(window.check);
        }
        if (message == BM_SETCHECK) {
            window.check = wParam;
            return 0;
        }
        return HandleText(window, message, wParam, lParam);
    default:
        return HandleText(window, message, wParam, lParam);
    }
}

} // namespace substitute::user
