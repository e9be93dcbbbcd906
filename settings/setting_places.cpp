// Where a setting comes from: the three keys in their order, the printer as a whole, and the
// named printers.
#include "settings/setting_places.h"

#include "core/printer_target.h"
#include "settings/settings_store.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kPolicy = 0;
constexpr int kUser = 1;
constexpr int kMachine = 2;

constexpr char kPolicyKeyPath[] = "Software\\Policies\\Velmora Software\\Tagwright\\1.0";
constexpr char kMachineKeyPath[] = "Software\\Velmora Software\\Tagwright\\1.0";
// The MSI is 64-bit and writes the 64-bit view; a 32-bit build must read that view too, not
// the WOW6432Node copy it would be sent to. The program never writes the machine's keys.
constexpr REGSAM kMachineReadAccess = KEY_READ | KEY_WOW64_64KEY;

// More named printers than this in one key are not listed.
constexpr DWORD kMostNamesListed = 1000;

const SettingPlace kPlaces[kSettingPlaceCount] = {SettingPlace::Policy, SettingPlace::User,
                                                  SettingPlace::Machine};

const char* const kPrinterValues[] = {kPrinterTypeValue, kPortValue,   kBaudOrAddressValue,
                                      kDataBitsValue,    kParityValue, kStopBitsValue};

// An absent HKLM key is the usual case and no failure: its status is not kept.
HKEY OpenMachineKey(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, kMachineReadAccess, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool ReadFromKey(HKEY key, const char* name, char* value) {
    return key != nullptr && ReadSettingValue(key, name, value);
}

// The policy or the user has PrinterType: their values make the printer, not a machine one.
bool TypeStoredAboveMachine(const SettingPlaces* places, char* value) {
    return ReadFromKey(places->keys[kPolicy], kPrinterTypeValue, value) ||
           ReadFromKey(places->keys[kUser], kPrinterTypeValue, value);
}

const char* ParityWord(BYTE parity) {
    switch (parity) {
    case ODDPARITY:
        return "odd";
    case EVENPARITY:
        return "even";
    case MARKPARITY:
        return "mark";
    case SPACEPARITY:
        return "space";
    default:
        return "none";
    }
}

const char* StopBitsWord(BYTE stopBits) {
    return stopBits == TWOSTOPBITS ? "2" : stopBits == ONE5STOPBITS ? "1.5" : "1";
}

const char* PrinterTypeOf(TargetKind kind) {
    switch (kind) {
    case TargetKind::Socket:
        return "TCP/IP";
    case TargetKind::Parallel:
        return "Parallel";
    case TargetKind::Driver:
        return "USB";
    case TargetKind::RawQueue:
        return kRawQueuePrinterType;
    case TargetKind::Serial:
    case TargetKind::Stored:
    case TargetKind::Named:
        break;
    }
    return "Serial";
}

bool Is(const char* name, const char* wanted) {
    return std::strcmp(name, wanted) == 0;
}

// Appends text to the list in list (size bytes); what does not fit is cut.
void AppendToList(char* list, std::size_t size, const char* separator, const char* text) {
    std::size_t length = std::strlen(list);
    if (length + 1 < size) {
        std::snprintf(list + length, size - length, "%s%s", separator, text);
    }
}

// The "Printers" subkeys of the open keys, in their order.
void OpenNamedPrinterKeys(const SettingPlaces* places, HKEY* lists) {
    for (int i = 0; i < kSettingPlaceCount; ++i) {
        lists[i] = nullptr;
        if (places->keys[i] != nullptr &&
            RegOpenKeyExA(places->keys[i], kNamedPrintersKey, 0, kMachineReadAccess, &lists[i]) !=
                ERROR_SUCCESS) {
            lists[i] = nullptr;
        }
    }
}

// The names the keys hold, each once (a name in two keys is the first key's), into list.
void ListPrinterNames(const HKEY* lists, char* list, std::size_t size) {
    list[0] = '\0';
    char name[kTextBufferSize];
    char ignored[kTextBufferSize];
    for (int i = 0; i < kSettingPlaceCount; ++i) {
        for (DWORD index = 0; lists[i] != nullptr && index < kMostNamesListed; ++index) {
            DWORD nameLength = sizeof name;
            LSTATUS status = RegEnumValueA(lists[i], index, name, &nameLength, nullptr, nullptr,
                                           nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) {
                break;
            }
            bool earlier = false;
            for (int before = 0; before < i && !earlier; ++before) {
                earlier = ReadFromKey(lists[before], name, ignored);
            }
            if (status == ERROR_SUCCESS && !earlier) {
                AppendToList(list, size, list[0] == '\0' ? "" : ", ", name);
            }
        }
    }
}

} // namespace

bool OpenSettingPlaces(SettingPlaces* places) {
    places->keys[kPolicy] = OpenMachineKey(kPolicyKeyPath);
    places->keys[kUser] = nullptr;
    bool user = OpenSettingsKeyForReading(&places->keys[kUser]);
    DWORD userError = GetLastError();
    places->keys[kMachine] = OpenMachineKey(kMachineKeyPath);
    if (!user && !SettingPlacesOpen(places)) {
        SetLastError(userError);
        return false;
    }
    return true;
}

bool OpenSettingPlacesForEditing(SettingPlaces* places, bool createWhenMissing) {
    places->keys[kPolicy] = OpenMachineKey(kPolicyKeyPath);
    places->keys[kUser] = nullptr;
    bool user = OpenSettingsKeyForEditing(&places->keys[kUser], createWhenMissing);
    places->keys[kMachine] = OpenMachineKey(kMachineKeyPath);
    return user;
}

void CloseSettingPlaces(SettingPlaces* places) {
    for (HKEY& key : places->keys) {
        if (key != nullptr) {
            RegCloseKey(key);
            key = nullptr;
        }
    }
}

bool SettingPlacesOpen(const SettingPlaces* places) {
    for (HKEY key : places->keys) {
        if (key != nullptr) {
            return true;
        }
    }
    return false;
}

HKEY UserSettingsKey(const SettingPlaces* places) {
    return places->keys[kUser];
}

bool ReadPlacedSetting(const SettingPlaces* places, const char* name, char* value,
                       SettingPlace* place) {
    if (place != nullptr) {
        *place = SettingPlace::None;
    }
    value[0] = '\0';
    bool anyOpen = false;
    for (int i = 0; i < kSettingPlaceCount; ++i) {
        if (places->keys[i] == nullptr) {
            continue;
        }
        anyOpen = true;
        if (ReadSettingValue(places->keys[i], name, value)) {
            if (place != nullptr) {
                *place = kPlaces[i];
            }
            return true;
        }
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            return false;
        }
    }
    if (!anyOpen) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    return false;
}

bool PlacedStatusCheck(const SettingPlaces* places) {
    char value[kTextBufferSize];
    return ReadPlacedSetting(places, kCheckStatusValue, value, nullptr) &&
           std::strcmp(value, "1") == 0;
}

ConfirmLevel PlacedConfirmLevel(const SettingPlaces* places) {
    DWORD errorBefore = GetLastError();
    char value[kTextBufferSize];
    ConfirmLevel level = ConfirmLevel::Off;
    if (!ReadPlacedSetting(places, kConfirmValue, value, nullptr) ||
        !ParseConfirmLevel(value, &level)) {
        level = ConfirmLevel::Off;
    }
    SetLastError(errorBefore);
    return level;
}

bool FindStoredPrinter(const SettingPlaces* places, StoredPrinter* printer, char* problem,
                       std::size_t problemSize) {
    printer->place = SettingPlace::None;
    std::memset(&printer->target, 0, sizeof printer->target);
    if (problemSize > 0) {
        problem[0] = '\0';
    }
    DWORD errorBefore = GetLastError();
    char value[kTextBufferSize];
    char type[kTextBufferSize];
    if (ReadFromKey(places->keys[kPolicy], kStoredPrinterValue, value) && value[0] != '\0') {
        printer->place = SettingPlace::Policy;
    } else if (ReadFromKey(places->keys[kMachine], kStoredPrinterValue, value) &&
               value[0] != '\0' && !TypeStoredAboveMachine(places, type)) {
        printer->place = SettingPlace::Machine;
    }
    SetLastError(errorBefore);
    if (printer->place == SettingPlace::None) {
        return true;
    }
    if (!ParsePrinterTarget(value, &printer->target, problem, problemSize)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

bool IsPrinterValue(const char* name) {
    for (const char* printerValue : kPrinterValues) {
        if (Is(name, printerValue)) {
            return true;
        }
    }
    return false;
}

bool TargetSettingText(const PrinterTarget* target, const char* name, char* text) {
    bool socket = target->kind == TargetKind::Socket;
    bool serial = target->kind == TargetKind::Serial;
    if (Is(name, kPrinterTypeValue)) {
        std::snprintf(text, kTextBufferSize, "%s", PrinterTypeOf(target->kind));
    } else if (Is(name, kPortValue)) {
        if (socket) {
            std::snprintf(text, kTextBufferSize, "%u", static_cast<unsigned>(target->port));
        } else {
            std::snprintf(text, kTextBufferSize, "%s", target->name);
        }
    } else if (Is(name, kBaudOrAddressValue) && (socket || serial)) {
        if (socket) {
            std::snprintf(text, kTextBufferSize, "%s", target->host);
        } else {
            std::snprintf(text, kTextBufferSize, "%lu",
                          static_cast<unsigned long>(target->baudRate));
        }
    } else if (Is(name, kDataBitsValue) && serial) {
        std::snprintf(text, kTextBufferSize, "%u", static_cast<unsigned>(target->dataBits));
    } else if (Is(name, kParityValue) && serial) {
        std::snprintf(text, kTextBufferSize, "%s", ParityWord(target->parity));
    } else if (Is(name, kStopBitsValue) && serial) {
        std::snprintf(text, kTextBufferSize, "%s", StopBitsWord(target->stopBits));
    } else {
        text[0] = '\0';
        return false;
    }
    return true;
}

bool ReadShownSetting(const SettingPlaces* places, const StoredPrinter* printer, const char* name,
                      char* value, SettingPlace* place) {
    if (printer->place != SettingPlace::None && IsPrinterValue(name)) {
        *place = printer->place;
        return TargetSettingText(&printer->target, name, value);
    }
    return ReadPlacedSetting(places, name, value, place);
}

bool ResolveNamedPrinter(const char* name, PrinterTarget* target, SettingPlace* place,
                         char* problem, std::size_t problemSize) {
    *place = SettingPlace::None;
    SettingPlaces places{};
    OpenSettingPlaces(&places);
    HKEY lists[kSettingPlaceCount];
    OpenNamedPrinterKeys(&places, lists);
    char uri[kTextBufferSize];
    for (int i = 0; i < kSettingPlaceCount && *place == SettingPlace::None; ++i) {
        if (ReadFromKey(lists[i], name, uri)) {
            *place = kPlaces[i];
        }
    }
    bool resolved = false;
    if (*place != SettingPlace::None) {
        char why[kTextBufferSize];
        resolved = ParsePrinterTarget(uri, target, why, sizeof why);
        if (!resolved) {
            std::snprintf(problem, problemSize, "The named printer \"%s\" of the %s settings: %s",
                          name, SettingPlaceName(*place), why);
        }
    } else {
        char names[kTextBufferSize];
        ListPrinterNames(lists, names, sizeof names);
        std::snprintf(problem, problemSize,
                      "--printer \"%s\" is neither a device URI (socket://HOST[:PORT], "
                      "serial:PORT, parallel:PORT, driver:PRINTER, raw:PRINTER) nor a named "
                      "printer; %s%s.",
                      name,
                      names[0] == '\0' ? "no printers are named in the settings"
                                       : "the named printers are: ",
                      names);
    }
    for (HKEY list : lists) {
        if (list != nullptr) {
            RegCloseKey(list);
        }
    }
    CloseSettingPlaces(&places);
    return resolved;
}

const char* SettingPlaceName(SettingPlace place) {
    switch (place) {
    case SettingPlace::Policy:
        return "policy";
    case SettingPlace::User:
        return "user";
    case SettingPlace::Machine:
        return "machine";
    case SettingPlace::CommandLine:
        return "command line";
    case SettingPlace::None:
        break;
    }
    return "";
}
