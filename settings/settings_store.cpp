// The stored printer settings: registry key, value read and write rules, number
// conversion, and the port file "tcpport.dat".
#include "settings/settings_store.h"

#include "core/text_basics.h"
#include "resources/resource_ids.h"

#include <cstring>

namespace {

bool LoadSettingsKeyPath(char* keyPath) {
    LoadTextOrEmpty(IDS_SETTINGS_KEY, keyPath, kTextBufferSize);
    return keyPath[0] != '\0';
}

} // namespace

bool OpenSettingsKeyForReading(HKEY* key) {
    char keyPath[kTextBufferSize];
    // An empty path would open the root of the hive itself.
    if (!LoadSettingsKeyPath(keyPath)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return false;
    }
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &opened);
    if (status != ERROR_SUCCESS) {
        // The registry answers with its status and leaves the thread's last error alone.
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    *key = opened;
    return true;
}

bool OpenSettingsKeyForEditing(HKEY* key, bool createWhenMissing) {
    char keyPath[kTextBufferSize];
    if (!LoadSettingsKeyPath(keyPath)) {
        return false;
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_ALL_ACCESS, &opened) == ERROR_SUCCESS) {
        *key = opened;
        return true;
    }
    if (!createWhenMissing) {
        return false;
    }
    char noClass[] = "";
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, noClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &opened, &disposition) != ERROR_SUCCESS) {
        return false;
    }
    *key = opened;
    return true;
}

bool ReadSettingValue(HKEY key, const char* name, char* value) {
    DWORD type = REG_NONE;
    DWORD size = kTextBufferSize;
    LSTATUS status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    if (status != ERROR_SUCCESS) {
        // The registry answers with its status and leaves the thread's last error alone.
        value[0] = '\0';
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    if (size > static_cast<DWORD>(kTextBufferSize)) {
        size = kTextBufferSize;
    }
    if (std::memchr(value, '\0', size) == nullptr) {
        // Stored without its NUL: the text ends at the returned count, which must leave
        // room for the terminator.
        if (size >= static_cast<DWORD>(kTextBufferSize)) {
            value[0] = '\0';
            SetLastError(ERROR_MORE_DATA);
            return false;
        }
        value[size] = '\0';
    }
    return true;
}

void WriteSettingValue(HKEY key, const char* name, const char* text) {
    auto size = static_cast<DWORD>(std::strlen(text) + 1);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
}

int SettingNumber(const char* text) {
    const char* next = text;
    while (IsBlank(static_cast<unsigned char>(*next))) {
        ++next;
    }
    bool negative = false;
    if (*next == '+' || *next == '-') {
        negative = *next == '-';
        ++next;
    }
    // Bounded well above the 32-bit limits, so that long digit runs cannot overflow.
    long long magnitude = 0;
    while (*next >= '0' && *next <= '9') {
        if (magnitude < 10000000000LL) {
            magnitude = magnitude * 10 + (*next - '0');
        }
        ++next;
    }
    if (negative) {
        return magnitude >= 2147483648LL ? (-2147483647 - 1) : static_cast<int>(-magnitude);
    }
    return magnitude > 2147483647LL ? 2147483647 : static_cast<int>(magnitude);
}

void OpenPortFile(PortFileReader* reader) {
    reader->stream = std::fopen(kPortFileName, "r");
}

bool NextPortEntry(PortFileReader* reader, char* entry) {
    entry[0] = '\0';
    if (reader->stream == nullptr) {
        return false;
    }
    for (;;) {
        int c = std::fgetc(reader->stream);
        while (c != EOF && IsBlank(c)) {
            c = std::fgetc(reader->stream);
        }
        if (c == EOF) {
            return false;
        }
        int length = 0;
        bool overlong = false;
        while (c != EOF && !IsBlank(c)) {
            if (length < kTextBufferSize - 1) {
                entry[length++] = static_cast<char>(c);
            } else {
                overlong = true;
            }
            c = std::fgetc(reader->stream);
        }
        entry[length] = '\0';
        // A cut entry would be a port text nobody saved; it is passed over whole.
        if (!overlong) {
            return true;
        }
        entry[0] = '\0';
    }
}

void ClosePortFile(PortFileReader* reader) {
    if (reader->stream != nullptr) {
        std::fclose(reader->stream);
        reader->stream = nullptr;
    }
}

namespace {

// False when the file's last line has no line end, so that an append would run into it.
// Read in binary, where a seek back from the end is well defined.
bool PortFileEndsWithLineEnd() {
    FILE* stream = std::fopen(kPortFileName, "rb");
    if (stream == nullptr) {
        return true;
    }
    bool ends = true;
    if (std::fseek(stream, -1, SEEK_END) == 0) {
        ends = std::fgetc(stream) == '\n';
    }
    std::fclose(stream);
    return ends;
}

} // namespace

void RecordPortInFile(const char* portText) {
    PortFileReader reader{};
    OpenPortFile(&reader);
    char entry[kTextBufferSize];
    bool recorded = false;
    while (!recorded && NextPortEntry(&reader, entry)) {
        recorded =
            std::strcmp(entry, portText) == 0 || std::strcmp(entry, kDefaultNetworkPort) == 0;
    }
    ClosePortFile(&reader);
    if (recorded) {
        return;
    }
    bool startLine = !PortFileEndsWithLineEnd();
    FILE* stream = std::fopen(kPortFileName, "a+");
    if (stream == nullptr) {
        return;
    }
    if (startLine) {
        std::fputc('\n', stream);
    }
    std::fwrite(portText, 1, std::strlen(portText), stream);
    std::fputc('\n', stream);
    std::fclose(stream);
}
