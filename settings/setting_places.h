// Where a setting comes from: the policy key, the user's key and the machine-wide key, in the
// one order every reader of a setting follows, and the printers named in each of them.
//
// Each value (PrinterType, Port, BaudorIPAddress, DataBits, Parity, StopBits, Delay, Attempts,
// Timeout, CheckStatus, Confirm) comes from the first of these keys that has it:
//   1. policy:  HKLM\Software\Policies\Velmora Software\Tagwright\1.0; a value here is locked
//               (the settings window shows it greyed and never writes it);
//   2. user:    HKCU\Software\Velmora Software\Tagwright\1.0 (string 114), which the settings
//               window writes;
//   3. machine: HKLM\Software\Velmora Software\Tagwright\1.0, the machine-wide defaults.
// The printer (its type, port and line settings) is decided as a whole, the first that applies:
//   1. a policy "Printer" (a device URI, as --printer takes it) forces it;
//   2. where the policy or the user has "PrinterType": the values, each from its first key;
//   3. a machine "Printer";
//   4. the values, each from its first key (in practice the machine's).
// "Printer" is read from the two HKLM keys only; an empty one counts as absent. A "Printer" that
// is no device URI ends the job as a settings failure, with what is wrong. A printer given by a
// "Printer" needs no "Delay" (0 then, as for --printer); CheckStatus, Confirm, Timeout, Delay
// and Attempts still come from the keys.
// Named printers: values NAME = device URI in the subkey "Printers" of each key; a name is looked
// up in the policy's, then the user's, then the machine's.
#pragma once

#include "core/job_request.h"

#include <cstddef>

// The device URI that stands for the type, port and line settings (policy and machine keys).
inline constexpr char kStoredPrinterValue[] = "Printer";
// The subkey of named printers, in any of the three keys.
inline constexpr char kNamedPrintersKey[] = "Printers";

constexpr int kSettingPlaceCount = 3;

// The three keys in the order of the lookup: policy, user, machine; nullptr where a key is
// absent or was not opened.
struct SettingPlaces {
    HKEY keys[kSettingPlaceCount];
};

// Opens the three keys for reading, as a job does. False when none of them opens; the thread's
// last error is then the user's key's, as it was before there were other keys.
bool OpenSettingPlaces(SettingPlaces* places);

// Opens the keys as the settings window does: the user's with full access (created when missing
// and asked), the others for reading. False when the user's key cannot be had; the others are
// open all the same where they exist, and CloseSettingPlaces releases them.
bool OpenSettingPlacesForEditing(SettingPlaces* places, bool createWhenMissing);

// Closes every open key, the policy's first, and clears the record.
void CloseSettingPlaces(SettingPlaces* places);

// True when any key is open (a job for a printer named on the command line opens none).
bool SettingPlacesOpen(const SettingPlaces* places);

// The user's key, where the settings window writes; nullptr when it is not open.
HKEY UserSettingsKey(const SettingPlaces* places);

// Reads a value (as ReadSettingValue) from the first key that has it; *place (when not nullptr)
// says which. A value that is there but cannot be used (too long, unreadable) ends the search.
// False when no key has it: `value` holds "" and the thread's last error says why.
bool ReadPlacedSetting(const SettingPlaces* places, const char* name, char* value,
                       SettingPlace* place);

// CheckStatus from its first key is exactly "1".
bool PlacedStatusCheck(const SettingPlaces* places);

// Confirm from its first key; absent, unreadable or any other text is off. The thread's last
// error is left as it was.
ConfirmLevel PlacedConfirmLevel(const SettingPlaces* places);

// Where the printer comes from. place None: from the values (steps 2 and 4 above); else the
// key whose "Printer" forces or stands for it, parsed into target.
struct StoredPrinter {
    SettingPlace place;
    PrinterTarget target;
};

// Decides the printer as above. Reads "Printer" only from the HKLM keys, and "PrinterType" only
// where a machine "Printer" makes it matter, so that without the HKLM keys it reads nothing.
// False for a "Printer" that is no device URI: printer->place names its key, problem
// (problemSize bytes) says what is wrong, and the thread's last error is ERROR_INVALID_DATA.
bool FindStoredPrinter(const SettingPlaces* places, StoredPrinter* printer, char* problem,
                       std::size_t problemSize);

// The text a device URI stands for in a printer value (PrinterType, Port, BaudorIPAddress,
// DataBits, Parity, StopBits), as the settings window would write it, into text
// (kTextBufferSize bytes). False for another value, or one the URI does not set (a socket's
// parity).
bool TargetSettingText(const PrinterTarget* target, const char* name, char* text);

// True for the six values a "Printer" stands for.
bool IsPrinterValue(const char* name);

// A value as the settings window shows it: the text a "Printer" in force stands for, with that
// key as its place (also where the URI does not set it: locked all the same), else the value
// from its first key. False when there is no text; *place is None when no key has it.
bool ReadShownSetting(const SettingPlaces* places, const StoredPrinter* printer, const char* name,
                      char* value, SettingPlace* place);

// Looks `name` up among the named printers and parses its device URI into target; *place
// says whose name it was. False when no key names it (problem lists the names there are, cut
// to problemSize bytes) or its URI is none (problem says why). The texts are ANSI.
bool ResolveNamedPrinter(const char* name, PrinterTarget* target, SettingPlace* place,
                         char* problem, std::size_t problemSize);

// "policy", "user", "machine", "command line"; "" for None.
const char* SettingPlaceName(SettingPlace place);
