// The settings window: shows the printer settings from their places, switches the layout with
// the printer type and writes back on OK what the user's key may take.
#include "settings/settings_window.h"

#include "core/job_protocol.h"
#include "core/text_basics.h"
#include "resources/resource_ids.h"
#include "settings/info_windows.h"
#include "settings/setting_places.h"
#include "settings/settings_store.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kPrinterTypes[] = {"Serial", "Parallel", "TCP/IP", "USB", kRawQueuePrinterType};
const char* const kSerialPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                    "COM6", "COM7", "COM8", "COM9"};
const char* const kParallelPorts[] = {"LPT1", "LPT2"};
const char* const kDataBits[] = {"4", "5", "6", "7", "8"};
const char* const kParities[] = {"none", "even", "odd"};
const char* const kStopBits[] = {"1", "1.5", "2"};
const char* const kAttempts[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};
// In the order of ConfirmLevel; each stored as its word in lower case.
const char* const kConfirmEntries[] = {"Off", "Received", "Printed"};
const char* const kConfirmWords[] = {"off", "received", "printed"};

constexpr char kDefaultBaudRate[] = "9600";
constexpr char kAnyAddress[] = "0.0.0.0";
constexpr UINT kDefaultDelay = 1000;
// A typed port (no list entry selected) keeps at most 19 characters.
constexpr int kTypedPortBufferSize = 20;

// The field that shows each value.
struct ValueField {
    int id;
    const char* name;
};

const ValueField kValueFields[] = {
    {IDC_PRINTER_TYPE, kPrinterTypeValue},
    {IDC_PORT, kPortValue},
    {IDC_BAUD_OR_ADDRESS, kBaudOrAddressValue},
    {IDC_DATA_BITS, kDataBitsValue},
    {IDC_PARITY, kParityValue},
    {IDC_STOP_BITS, kStopBitsValue},
    {IDC_DELAY, kDelayValue},
    {IDC_ATTEMPTS, kAttemptsValue},
    {IDC_CHECK_STATUS, kCheckStatusValue},
    {IDC_TIMEOUT, kTimeoutValue},
    {IDC_CONFIRM, kConfirmValue},
};

// The keys the window reads, and the printer a stored "Printer" makes.
struct ShownPlaces {
    SettingPlaces places;
    StoredPrinter printer;
    bool userKey; // the user's key is open for writing
};

// False when no key could be opened; the caller closes what was, in any case.
bool OpenShownPlaces(ShownPlaces* shown, bool createWhenMissing) {
    shown->userKey = OpenSettingPlacesForEditing(&shown->places, createWhenMissing);
    char problem[kTextBufferSize];
    // The window shows no messages: a "Printer" that is no device URI is shown as absent.
    if (!FindStoredPrinter(&shown->places, &shown->printer, problem, sizeof problem)) {
        shown->printer.place = SettingPlace::None;
    }
    return SettingPlacesOpen(&shown->places);
}

bool ReadShown(const ShownPlaces* shown, const char* name, char* value,
               SettingPlace* place = nullptr) {
    SettingPlace found = SettingPlace::None;
    bool read = ReadShownSetting(&shown->places, &shown->printer, name, value, &found);
    if (place != nullptr) {
        *place = found;
    }
    return read;
}

bool Locked(const ShownPlaces* shown, const char* name) {
    char value[kTextBufferSize];
    SettingPlace place = SettingPlace::None;
    ReadShown(shown, name, value, &place);
    return place == SettingPlace::Policy;
}

// Whether OK writes a value's text to the user's key: never a locked value; a machine default
// only when the field now says otherwise; any other value as the window always did.
bool Writable(const ShownPlaces* shown, const char* name, const char* text) {
    char value[kTextBufferSize];
    SettingPlace place = SettingPlace::None;
    bool read = ReadShown(shown, name, value, &place);
    if (place == SettingPlace::Policy) {
        return false;
    }
    return place != SettingPlace::Machine || !read || strcmp(value, text) != 0;
}

bool ShownStatusCheck(const ShownPlaces* shown) {
    char value[kTextBufferSize];
    return ReadShown(shown, kCheckStatusValue, value) && strcmp(value, "1") == 0;
}

ConfirmLevel ShownConfirmLevel(const ShownPlaces* shown) {
    char value[kTextBufferSize];
    ConfirmLevel level = ConfirmLevel::Off;
    if (!ReadShown(shown, kConfirmValue, value) || !ParseConfirmLevel(value, &level)) {
        level = ConfirmLevel::Off;
    }
    return level;
}

LRESULT SendItem(HWND window, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(window, id, message, wParam, lParam);
}

void AddEntry(HWND window, int id, const char* text) {
    SendItem(window, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

template <size_t N>
void FillList(HWND window, int id, const char* const (&entries)[N], int selected) {
    SendItem(window, id, CB_RESETCONTENT, 0, 0);
    for (const char* entry : entries) {
        AddEntry(window, id, entry);
    }
    SendItem(window, id, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

int FindEntry(HWND window, int id, const char* text) {
    return static_cast<int>(SendItem(window, id, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(text)));
}

// A text that is not in the list leaves the selection as it was.
void SelectIfFound(HWND window, int id, const char* text) {
    int position = FindEntry(window, id, text);
    if (position != CB_ERR) {
        SendItem(window, id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    }
}

// A stored text that is not in the list leaves no entry selected, so that OK, which writes
// only a selected entry, keeps the stored text. True when it was found.
bool SelectStored(HWND window, int id, const char* text) {
    int position = FindEntry(window, id, text);
    SendItem(window, id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    return position != CB_ERR;
}

// The selected entry's text into text (kTextBufferSize bytes); false without a selection.
bool SelectedEntry(HWND window, int id, char* text) {
    text[0] = '\0';
    LRESULT position = SendItem(window, id, CB_GETCURSEL, 0, 0);
    if (position == CB_ERR) {
        return false;
    }
    // CB_GETLBTEXT takes no buffer size: the length is checked first.
    LRESULT length = SendItem(window, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(position), 0);
    if (length == CB_ERR || length < 0 || length >= kTextBufferSize) {
        return false;
    }
    if (SendItem(window, id, CB_GETLBTEXT, static_cast<WPARAM>(position),
                 reinterpret_cast<LPARAM>(text)) == CB_ERR) {
        text[0] = '\0';
        return false;
    }
    return true;
}

void EnableItem(HWND window, int id, BOOL enable) {
    EnableWindow(GetDlgItem(window, id), enable);
}

// Only a printer on a serial port or the network can answer: for its status before the label
// and for confirmation after it.
void EnableStatusCheck(HWND window, BOOL enable) {
    EnableItem(window, IDC_CHECK_STATUS, enable);
    EnableItem(window, IDC_CONFIRM, enable);
}

void EnableLineLists(HWND window, BOOL enable) {
    EnableItem(window, IDC_DATA_BITS, enable);
    EnableItem(window, IDC_PARITY, enable);
    EnableItem(window, IDC_STOP_BITS, enable);
}

void AddPortFileEntries(HWND window) {
    char entry[kTextBufferSize];
    PortFileReader reader;
    OpenPortFile(&reader);
    while (NextPortEntry(&reader, entry)) {
        AddEntry(window, IDC_PORT, entry);
    }
    ClosePortFile(&reader);
}

// The names of the local printers, in the spooler's order. A list that cannot be had
// leaves the port list empty; the user sees no printer to choose and no message.
void AddPrinterNames(HWND window) {
    DWORD needed = 0;
    DWORD returned = 0;
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &returned) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return;
    }
    if (needed == 0) {
        return; // no printers installed
    }
    HANDLE heap = GetProcessHeap();
    LPBYTE block = static_cast<LPBYTE>(HeapAlloc(heap, HEAP_ZERO_MEMORY, needed));
    if (block == nullptr) {
        return;
    }
    returned = 0;
    if (EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, block, needed, &needed, &returned)) {
        const PRINTER_INFO_5A* printers = reinterpret_cast<const PRINTER_INFO_5A*>(block);
        DWORD capacity = needed / static_cast<DWORD>(sizeof(PRINTER_INFO_5A));
        for (DWORD i = 0; i < returned && i < capacity; ++i) {
            const char* name = printers[i].pPrinterName;
            if (name != nullptr && strlen(name) < static_cast<size_t>(kTextBufferSize)) {
                AddEntry(window, IDC_PORT, name);
            }
        }
    }
    HeapFree(heap, 0, block);
}

// The port in the field when no entry is selected: the stored port whole when the field
// still holds it, else what was typed, cut to what the field accepts.
void TypedPort(HWND window, const ShownPlaces* shown, char* text, int cutSize) {
    GetDlgItemTextA(window, IDC_PORT, text, kTextBufferSize);
    char stored[kTextBufferSize];
    if (ReadShown(shown, kPortValue, stored) && strcmp(text, stored) == 0) {
        return;
    }
    text[cutSize - 1] = '\0';
}

void WriteSelectedEntry(HWND window, const ShownPlaces* shown, int id, const char* name,
                        char* text) {
    if (SelectedEntry(window, id, text) && Writable(shown, name, text)) {
        WriteSettingValue(UserSettingsKey(&shown->places), name, text);
    }
}

// A value of the policy's is shown greyed, whatever the layout enabled.
void GreyLockedFields(HWND window, const ShownPlaces* shown) {
    for (const ValueField& field : kValueFields) {
        if (Locked(shown, field.name)) {
            EnableItem(window, field.id, FALSE);
        }
    }
}

} // namespace

void FillSettingsDefaults(HWND window) {
    char caption[kTextBufferSize];
    LoadTextOrEmpty(IDS_SETTINGS_CAPTION, caption, kTextBufferSize);
    SetWindowTextA(window, caption);
    FillList(window, IDC_PRINTER_TYPE, kPrinterTypes, 0);
    FillList(window, IDC_PORT, kSerialPorts, 0);
    SendItem(window, IDC_PORT, CB_LIMITTEXT, kTypedPortBufferSize - 1, 0);
    FillList(window, IDC_DATA_BITS, kDataBits, 4);
    FillList(window, IDC_PARITY, kParities, 1); // sorted: "even", "none", "odd"
    FillList(window, IDC_STOP_BITS, kStopBits, 0);
    SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, kDefaultBaudRate);
    SetDlgItemInt(window, IDC_DELAY, kDefaultDelay, FALSE);
    FillList(window, IDC_ATTEMPTS, kAttempts, 2);
    CheckDlgButton(window, IDC_CHECK_STATUS, BST_UNCHECKED);
    SetDlgItemTextA(window, IDC_TIMEOUT, "");
    FillList(window, IDC_CONFIRM, kConfirmEntries, 0);
}

void LoadSettingsIntoWindow(HWND window) {
    // Applies the Serial layout and creates the key when it is missing.
    ApplyPrinterTypeLayout(window);
    ShownPlaces shown{};
    if (!OpenShownPlaces(&shown, false)) {
        CloseSettingPlaces(&shown.places);
        return;
    }
    char value[kTextBufferSize];
    // An unknown type is a serial port to a job: the Serial layout stays, with no type
    // chosen, so that OK keeps the stored text.
    if (ReadShown(&shown, kPrinterTypeValue, value) &&
        SelectStored(window, IDC_PRINTER_TYPE, value)) {
        ApplyPrinterTypeLayout(window);
    }
    // The layout has selected the stored port if its list holds it; any other port is shown
    // as the field's text, to be saved back as it is.
    if (ReadShown(&shown, kPortValue, value) && FindEntry(window, IDC_PORT, value) == CB_ERR) {
        SendItem(window, IDC_PORT, CB_SETCURSEL, static_cast<WPARAM>(CB_ERR), 0);
        SetDlgItemTextA(window, IDC_PORT, value);
    }
    // After the layout, which resets this field for Serial and TCP/IP.
    if (ReadShown(&shown, kBaudOrAddressValue, value)) {
        SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, value);
    }
    if (ReadShown(&shown, kDataBitsValue, value)) {
        SelectStored(window, IDC_DATA_BITS, value);
    }
    if (ReadShown(&shown, kParityValue, value)) {
        SelectStored(window, IDC_PARITY, value);
    }
    if (ReadShown(&shown, kStopBitsValue, value)) {
        SelectStored(window, IDC_STOP_BITS, value);
    }
    if (ReadShown(&shown, kDelayValue, value)) {
        // A job pauses no time for a negative delay. Shown unsigned, it would read as some
        // 4 billion milliseconds, which OK would store and a job take as 24.8 days.
        int delay = SettingNumber(value);
        SetDlgItemInt(window, IDC_DELAY, delay > 0 ? static_cast<UINT>(delay) : 0, FALSE);
    }
    if (ReadShown(&shown, kAttemptsValue, value)) {
        SelectStored(window, IDC_ATTEMPTS, value);
    }
    if (ShownStatusCheck(&shown)) {
        CheckDlgButton(window, IDC_CHECK_STATUS, BST_CHECKED);
    }
    // Shown as stored, so that OK can tell an unchanged field from an edited one.
    if (ReadShown(&shown, kTimeoutValue, value)) {
        SetDlgItemTextA(window, IDC_TIMEOUT, value);
    }
    SendItem(window, IDC_CONFIRM, CB_SETCURSEL, static_cast<WPARAM>(ShownConfirmLevel(&shown)), 0);
    CloseSettingPlaces(&shown.places);
}

void ApplyPrinterTypeLayout(HWND window) {
    char type[kTextBufferSize];
    bool hasType = SelectedEntry(window, IDC_PRINTER_TYPE, type);
    SetDlgItemTextA(window, IDC_PORT_LABEL, "Port");
    // A printer queue's name may be long; any other typed port is held to what OK keeps.
    bool rawQueue = hasType && strcmp(type, kRawQueuePrinterType) == 0;
    SendItem(window, IDC_PORT, CB_LIMITTEXT,
             static_cast<WPARAM>(rawQueue ? kTextBufferSize - 1 : kTypedPortBufferSize - 1), 0);
    ShownPlaces shown{};
    if (!OpenShownPlaces(&shown, true) || !shown.userKey) {
        CloseSettingPlaces(&shown.places);
        return;
    }
    // Only a network job has a time-out.
    EnableItem(window, IDC_TIMEOUT, hasType && strcmp(type, "TCP/IP") == 0 ? TRUE : FALSE);
    if (hasType && strcmp(type, "Serial") == 0) {
        FillList(window, IDC_PORT, kSerialPorts, 0);
        EnableItem(window, IDC_BAUD_OR_ADDRESS, TRUE);
        SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, kDefaultBaudRate);
        SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS_LABEL, "Baud Rate");
        EnableLineLists(window, TRUE);
        EnableStatusCheck(window, TRUE);
    } else if (hasType && strcmp(type, "Parallel") == 0) {
        FillList(window, IDC_PORT, kParallelPorts, 0);
        EnableItem(window, IDC_BAUD_OR_ADDRESS, FALSE);
        EnableLineLists(window, FALSE);
        EnableStatusCheck(window, FALSE);
    } else if (hasType && strcmp(type, "TCP/IP") == 0) {
        SendItem(window, IDC_PORT, CB_RESETCONTENT, 0, 0);
        AddEntry(window, IDC_PORT, kDefaultNetworkPort);
        AddPortFileEntries(window);
        SendItem(window, IDC_PORT, CB_SETCURSEL, 0, 0);
        EnableItem(window, IDC_BAUD_OR_ADDRESS, TRUE);
        char address[kTextBufferSize];
        GetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, address, kTextBufferSize);
        // A baud rate is no address; something that looks like one is kept.
        if (strchr(address, '.') == nullptr) {
            SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, kAnyAddress);
        }
        SetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS_LABEL, "IP Address");
        EnableLineLists(window, FALSE);
        EnableStatusCheck(window, TRUE);
    } else if (hasType && (strcmp(type, "USB") == 0 || strcmp(type, kRawQueuePrinterType) == 0)) {
        SendItem(window, IDC_PORT, CB_RESETCONTENT, 0, 0);
        AddPrinterNames(window);
        SendItem(window, IDC_PORT, CB_SETCURSEL, 0, 0);
        SetDlgItemTextA(window, IDC_PORT_LABEL, "Printer Name");
        EnableItem(window, IDC_BAUD_OR_ADDRESS, FALSE);
        EnableLineLists(window, FALSE);
        EnableStatusCheck(window, FALSE);
    }
    char port[kTextBufferSize];
    if (ReadShown(&shown, kPortValue, port)) {
        SelectIfFound(window, IDC_PORT, port);
    }
    GreyLockedFields(window, &shown);
    CloseSettingPlaces(&shown.places);
}

namespace {

// The field is written only when the user changed it: an unchanged field, even one that
// shows a stored text a job reads differently, keeps the stored value byte for byte, and an
// empty field writes nothing where nothing is stored. A field emptied by the user stores the
// empty text (no limit); one that is not a number writes nothing. A locked one writes nothing.
void SaveTimeout(HWND window, const ShownPlaces* shown, char* text) {
    char entered[kTextBufferSize];
    GetDlgItemTextA(window, IDC_TIMEOUT, entered, kTextBufferSize);
    SettingPlace place = SettingPlace::None;
    bool stored = ReadShown(shown, kTimeoutValue, text, &place);
    if (place == SettingPlace::Policy || (!stored && entered[0] == '\0') ||
        (stored && strcmp(text, entered) == 0)) {
        return;
    }
    HKEY key = UserSettingsKey(&shown->places);
    if (entered[0] == '\0') {
        WriteSettingValue(key, kTimeoutValue, "");
        return;
    }
    BOOL converted = FALSE;
    UINT seconds = GetDlgItemInt(window, IDC_TIMEOUT, &converted, FALSE);
    if (converted) {
        snprintf(text, kTextBufferSize, "%u", seconds);
        WriteSettingValue(key, kTimeoutValue, text);
    }
}

// The six values of the printer as the fields give them; `given` false where a list has no
// entry selected (the stored text is then kept).
struct PrinterFields {
    char texts[6][kTextBufferSize];
    bool given[6];
};

void ReadPrinterFields(HWND window, const ShownPlaces* shown, PrinterFields* fields) {
    fields->given[0] = SelectedEntry(window, IDC_PRINTER_TYPE, fields->texts[0]);
    // A printer queue's name is kept whole, however long; other typed ports are cut.
    int typedPortSize = strcmp(fields->texts[0], kRawQueuePrinterType) == 0 ? kTextBufferSize
                                                                            : kTypedPortBufferSize;
    if (!SelectedEntry(window, IDC_PORT, fields->texts[1])) {
        TypedPort(window, shown, fields->texts[1], typedPortSize);
    }
    fields->given[1] = true;
    GetDlgItemTextA(window, IDC_BAUD_OR_ADDRESS, fields->texts[2], kTextBufferSize);
    fields->given[2] = true;
    const int lists[] = {IDC_DATA_BITS, IDC_PARITY, IDC_STOP_BITS};
    for (int i = 0; i < 3; ++i) {
        fields->given[3 + i] = SelectedEntry(window, lists[i], fields->texts[3 + i]);
    }
}

// The printer's values are written as a whole where a machine "Printer" makes the printer:
// all of them once a field says otherwise than the text the URI stands for, or none (a field
// the URI does not set, such as a socket's parity, counts for nothing). A policy "Printer"
// locks them all.
bool PrinterFieldsChanged(const ShownPlaces* shown, const PrinterFields* fields) {
    char value[kTextBufferSize];
    for (int i = 0; i < 6; ++i) {
        if (fields->given[i] && ReadShown(shown, kValueFields[i].name, value) &&
            strcmp(value, fields->texts[i]) != 0) {
            return true;
        }
    }
    return false;
}

void SavePrinterFields(HWND window, const ShownPlaces* shown) {
    PrinterFields fieldTexts{};
    PrinterFields* fields = &fieldTexts;
    ReadPrinterFields(window, shown, fields);
    SettingPlace from = shown->printer.place;
    bool whole = from == SettingPlace::Machine && PrinterFieldsChanged(shown, fields);
    for (int i = 0; i < 6 && from != SettingPlace::Policy; ++i) {
        const char* name = kValueFields[i].name;
        if (!fields->given[i] ||
            (from == SettingPlace::Machine ? !whole : !Writable(shown, name, fields->texts[i]))) {
            continue;
        }
        WriteSettingValue(UserSettingsKey(&shown->places), name, fields->texts[i]);
        if (i == 1) {
            RecordPortInFile(fields->texts[i]);
        }
    }
}

} // namespace

void SaveSettingsFromWindow(HWND window) {
    ShownPlaces shown{};
    if (!OpenShownPlaces(&shown, true) || !shown.userKey) {
        CloseSettingPlaces(&shown.places);
        return;
    }
    HKEY key = UserSettingsKey(&shown.places);
    SavePrinterFields(window, &shown);
    char text[kTextBufferSize];
    BOOL converted = FALSE;
    UINT delay = GetDlgItemInt(window, IDC_DELAY, &converted, FALSE);
    snprintf(text, kTextBufferSize, "%u", delay);
    if (converted && Writable(&shown, kDelayValue, text)) {
        WriteSettingValue(key, kDelayValue, text);
    }
    WriteSelectedEntry(window, &shown, IDC_ATTEMPTS, kAttemptsValue, text);
    // Written only when the box says otherwise than the value shown, so that a value never
    // stored stays absent and any other text than "1" stays as it was while unticked.
    bool wanted = IsDlgButtonChecked(window, IDC_CHECK_STATUS) == BST_CHECKED;
    if (wanted != ShownStatusCheck(&shown) && !Locked(&shown, kCheckStatusValue)) {
        WriteSettingValue(key, kCheckStatusValue, wanted ? "1" : "0");
    }
    SaveTimeout(window, &shown, text);
    // Written only when the list says otherwise than the value shown means, so that a value
    // never stored stays absent and one a job reads as off stays as it was while "Off" shows.
    LRESULT confirm = SendItem(window, IDC_CONFIRM, CB_GETCURSEL, 0, 0);
    if (confirm >= 0 && confirm < 3 &&
        static_cast<ConfirmLevel>(confirm) != ShownConfirmLevel(&shown) &&
        !Locked(&shown, kConfirmValue)) {
        WriteSettingValue(key, kConfirmValue, kConfirmWords[confirm]);
    }
    CloseSettingPlaces(&shown.places);
}

INT_PTR CALLBACK SettingsWindow(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    if (message == WM_INITDIALOG) {
        FillSettingsDefaults(window);
        LoadSettingsIntoWindow(window);
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    switch (LOWORD(wParam)) {
    case IDOK:
        SaveSettingsFromWindow(window);
        EndDialog(window, IDOK);
        return TRUE;
    case IDCANCEL:
        EndDialog(window, IDCANCEL);
        return TRUE;
    case IDC_HELP_BUTTON:
        ShowHelpWindow(g_instance);
        return TRUE;
    case IDC_PRINTER_TYPE:
        if (HIWORD(wParam) == CBN_SELCHANGE) {
            ApplyPrinterTypeLayout(window);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

int ShowSettingsWindow(HINSTANCE instance) {
    g_instance = instance;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, SettingsWindow, 0);
    return 1;
}
