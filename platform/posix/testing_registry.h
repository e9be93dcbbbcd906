// Test hooks of the substitute registry.
//
// Two hives, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, held in memory and emptied by Reset.
// Key paths below are relative to the user's hive ("Software\Velmora Software\Tagwright\1.0")
// unless they start with "HKEY_LOCAL_MACHINE\", and are compared ignoring case. The machine's
// keys are read-only, as to a user who is no administrator: an open or create asking for more
// than KEY_READ (KEY_WOW64_64KEY and KEY_WOW64_32KEY aside) fails with ERROR_ACCESS_DENIED.
// Open keys are handles labelled "key:<path>" (the path as the tree spells it, a machine key's
// after "HKEY_LOCAL_MACHINE\"), so leaks show in OpenHandles. The calls log
// "RegOpenKeyExA <subkey>" (from the machine's root: "RegOpenKeyExA HKEY_LOCAL_MACHINE\<subkey>"),
// "RegCreateKeyExA <subkey>", "RegQueryValueExA <name>", "RegSetValueExA <name>",
// "RegEnumValueA <index>" (values in the order of their lower-case names) and
// "RegCloseKey key:<path>", and each honours a failure scripted under its own name by returning
// that status.
#pragma once

#include "platform/win32.h"

#include <optional>
#include <string>

namespace substitute {

// Creates the key (and the keys above it) when missing.
void CreateRegistryKey(const std::string& keyPath);
bool RegistryKeyExists(const std::string& keyPath);
// Removes the key with everything below it; handles still open on it see ERROR_KEY_DELETED.
bool DeleteRegistryKey(const std::string& keyPath);

// Stores a REG_SZ value as the program writes one: the text and one terminating NUL.
void SetRegistryString(const std::string& keyPath, const std::string& name,
                       const std::string& text);
// Stores exactly these bytes with this type (a REG_SZ without NUL, an over-long value ...).
void SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                      const std::string& bytes);
bool DeleteRegistryValue(const std::string& keyPath, const std::string& name);

// The stored bytes and type; false when the key or the value is missing.
bool GetRegistryValue(const std::string& keyPath, const std::string& name, DWORD* type,
                      std::string* bytes);
// The stored text up to its first NUL; nothing when the key or the value is missing.
std::optional<std::string> GetRegistryString(const std::string& keyPath, const std::string& name);

// Replace the whole user's hive from, or write it to, a text file: "[key path]" lines followed by
// "name=type:data" lines, with '%', '=', '[', ']', '#' and non-printable bytes as %XX.
bool LoadRegistry(const std::string& filePath);
bool SaveRegistry(const std::string& filePath);

} // namespace substitute
