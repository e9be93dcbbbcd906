// Substitute registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE as in-memory trees of keys
// and typed values, with key handles in the handle table and a text file form for loading
// and saving the user's hive.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace substitute {
namespace {

struct RegistryValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct RegistryKey {
    std::string name;
    std::string path; // from the hive's root, as the tree spells it
    bool deleted = false;
    std::map<std::string, std::shared_ptr<RegistryKey>> children; // by lower-case name
    std::map<std::string, RegistryValue> values;                  // by lower-case name
};

struct KeyObject : KernelObject {
    std::shared_ptr<RegistryKey> key;
    REGSAM access = 0;
    bool machine = false;
};

constexpr char kMachineHiveName[] = "HKEY_LOCAL_MACHINE";
// What a user who is no administrator may ask of the machine's keys; the view flags aside.
constexpr REGSAM kMachineAccess = KEY_READ;
constexpr REGSAM kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

std::shared_ptr<RegistryKey> NewMachineRoot() {
    auto root = std::make_shared<RegistryKey>();
    root->path = kMachineHiveName;
    return root;
}

struct Registry {
    std::mutex lock;
    std::shared_ptr<RegistryKey> root = std::make_shared<RegistryKey>();
    std::shared_ptr<RegistryKey> machineRoot = NewMachineRoot();
};

Registry& Hive() {
    static Registry registry;
    return registry;
}

std::string Lower(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

void MarkDeleted(RegistryKey& key) {
    key.deleted = true;
    for (auto& child : key.children) {
        MarkDeleted(*child.second);
    }
}

// Caller holds the hive lock. Null when a key on the way is missing and create is false.
std::shared_ptr<RegistryKey> Walk(std::shared_ptr<RegistryKey> from, const std::string& subKey,
                                  bool create, bool* created) {
    std::shared_ptr<RegistryKey> key = std::move(from);
    for (const std::string& part : SplitPath(subKey)) {
        auto found = key->children.find(Lower(part));
        if (found != key->children.end()) {
            key = found->second;
            continue;
        }
        if (!create) {
            return nullptr;
        }
        auto child = std::make_shared<RegistryKey>();
        child->name = part;
        child->path = key->path.empty() ? part : key->path + "\\" + part;
        key->children[Lower(part)] = child;
        key = child;
        if (created != nullptr) {
            *created = true;
        }
    }
    return key;
}

// Resolves a root argument: a predefined hive or an open key handle. *machine: the key is
// in HKEY_LOCAL_MACHINE.
LSTATUS ResolveRoot(HKEY root, std::shared_ptr<RegistryKey>* key, REGSAM* access,
                    bool* machine = nullptr) {
    bool inMachine = false;
    if (root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE) {
        inMachine = root == HKEY_LOCAL_MACHINE;
        *key = inMachine ? Hive().machineRoot : Hive().root;
        *access = inMachine ? kMachineAccess : KEY_ALL_ACCESS;
    } else {
        auto object = FindHandleAs<KeyObject>(reinterpret_cast<HANDLE>(root));
        if (object == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        if (object->key->deleted) {
            return ERROR_KEY_DELETED;
        }
        *key = object->key;
        *access = object->access;
        inMachine = object->machine;
    }
    if (machine != nullptr) {
        *machine = inMachine;
    }
    return ERROR_SUCCESS;
}

HKEY NewKeyHandle(const std::shared_ptr<RegistryKey>& key, REGSAM access, bool machine) {
    auto object = std::make_shared<KeyObject>();
    object->key = key;
    object->access = access;
    object->machine = machine;
    object->label = "key:" + key->path;
    return reinterpret_cast<HKEY>(AddHandle(object));
}

// The hive a test hook's path names ("HKEY_LOCAL_MACHINE\..." or the user's) and the path
// below it. Caller holds the hive lock.
std::shared_ptr<RegistryKey> HiveOfPath(const std::string& keyPath, std::string* below) {
    const std::string prefix = std::string(kMachineHiveName) + "\\";
    if (Lower(keyPath.substr(0, prefix.size())) == Lower(prefix)) {
        *below = keyPath.substr(prefix.size());
        return Hive().machineRoot;
    }
    *below = keyPath;
    return Hive().root;
}

// Text form of names, paths and data: printable bytes as they are, the rest as %XX.
std::string Escape(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '%' || c == '=' || c == '[' || c == ']' ||
            c == '#') {
            result += '%';
            result += kHex[byte >> 4];
            result += kHex[byte & 0x0F];
        } else {
            result += c;
        }
    }
    return result;
}

bool Unescape(const std::string& text, std::string* result) {
    result->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *result += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            return false;
        }
        *result += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

void SaveKey(const RegistryKey& key, std::ostream& out) {
    if (!key.path.empty()) {
        out << '[' << Escape(key.path) << "]\n";
        for (const auto& entry : key.values) {
            const RegistryValue& value = entry.second;
            out << Escape(value.name) << '=' << value.type << ':' << Escape(value.data) << '\n';
        }
    }
    for (const auto& child : key.children) {
        SaveKey(*child.second, out);
    }
}

void ResetRegistry() {
    Registry& hive = Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    MarkDeleted(*hive.root);
    MarkDeleted(*hive.machineRoot);
    hive.root = std::make_shared<RegistryKey>();
    hive.machineRoot = NewMachineRoot();
}

[[maybe_unused]] const bool registered = [] {
    AddResetHook(ResetRegistry);
    return true;
}();

} // namespace
} // namespace substitute

using substitute::LogCall;
using substitute::TakeScriptedFailure;

namespace {

// What RegOpenKeyExA and RegCreateKeyExA share: the log entry, scripted failures, the root,
// and the walk to the key (creating it when asked and the root allows it).
LSTATUS OpenOrCreateKey(const char* call, HKEY root, LPCSTR subKey, REGSAM access, PHKEY result,
                        bool create, bool* created) {
    std::string path = subKey == nullptr ? std::string() : std::string(subKey);
    LogCall(call, root == HKEY_LOCAL_MACHINE
                      ? std::string(substitute::kMachineHiveName) + "\\" + path
                      : path);
    DWORD error = 0;
    if (TakeScriptedFailure(call, &error)) {
        return static_cast<LSTATUS>(error);
    }
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::shared_ptr<substitute::RegistryKey> from;
    REGSAM rootAccess = 0;
    bool machine = false;
    LSTATUS status = substitute::ResolveRoot(root, &from, &rootAccess, &machine);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // The machine's keys are read-only to the user: asking for more is refused, found or not.
    if (machine && (access & ~(substitute::kMachineAccess | substitute::kViewFlags)) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::shared_ptr<substitute::RegistryKey> key = substitute::Walk(from, path, false, nullptr);
    if (key == nullptr) {
        if (!create) {
            return ERROR_FILE_NOT_FOUND;
        }
        if ((rootAccess & KEY_CREATE_SUB_KEY) == 0) {
            return ERROR_ACCESS_DENIED;
        }
        key = substitute::Walk(from, path, true, created);
    }
    *result = substitute::NewKeyHandle(key, access & ~substitute::kViewFlags, machine);
    return ERROR_SUCCESS;
}

// The checks every value call makes, hive lock held: the key resolves and grants `needed`.
LSTATUS ResolveForAccess(HKEY key, REGSAM needed,
                         std::shared_ptr<substitute::RegistryKey>* target) {
    REGSAM access = 0;
    LSTATUS status = substitute::ResolveRoot(key, target, &access);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return (access & needed) == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result) {
    return OpenOrCreateKey("RegOpenKeyExA", root, subKey, access, result, false, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD /*reserved*/, LPSTR /*keyClass*/,
                        DWORD /*options*/, REGSAM access, void* /*security*/, PHKEY result,
                        LPDWORD disposition) {
    bool created = false;
    LSTATUS status =
        OpenOrCreateKey("RegCreateKeyExA", root, subKey, access, result, true, &created);
    if (status == ERROR_SUCCESS && disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return status;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    std::string valueName = name == nullptr ? std::string() : std::string(name);
    LogCall("RegQueryValueExA", valueName);
    DWORD error = 0;
    if (TakeScriptedFailure("RegQueryValueExA", &error)) {
        return static_cast<LSTATUS>(error);
    }
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::shared_ptr<substitute::RegistryKey> target;
    LSTATUS status = ResolveForAccess(key, KEY_QUERY_VALUE, &target);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    auto found = target->values.find(substitute::Lower(valueName));
    if (found == target->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const substitute::RegistryValue& value = found->second;
    auto length = static_cast<DWORD>(value.data.size());
    if (type != nullptr) {
        *type = value.type;
    }
    if (data == nullptr) {
        if (size != nullptr) {
            *size = length;
        }
        return ERROR_SUCCESS;
    }
    if (*size < length) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, value.data.data(), length);
    *size = length;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                       DWORD size) {
    std::string valueName = name == nullptr ? std::string() : std::string(name);
    LogCall("RegSetValueExA", valueName);
    DWORD error = 0;
    if (TakeScriptedFailure("RegSetValueExA", &error)) {
        return static_cast<LSTATUS>(error);
    }
    if (data == nullptr && size != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::shared_ptr<substitute::RegistryKey> target;
    LSTATUS status = ResolveForAccess(key, KEY_SET_VALUE, &target);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    substitute::RegistryValue& value = target->values[substitute::Lower(valueName)];
    value.name = valueName;
    value.type = type;
    value.data.assign(reinterpret_cast<const char*>(data), size);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD size) {
    LogCall("RegEnumValueA", std::to_string(index));
    DWORD error = 0;
    if (TakeScriptedFailure("RegEnumValueA", &error)) {
        return static_cast<LSTATUS>(error);
    }
    if (name == nullptr || nameLength == nullptr || reserved != nullptr ||
        (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::shared_ptr<substitute::RegistryKey> target;
    LSTATUS status = ResolveForAccess(key, KEY_QUERY_VALUE, &target);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // In the order of their lower-case names: Windows promises no order either.
    if (index >= target->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto entry = target->values.begin();
    std::advance(entry, index);
    const substitute::RegistryValue& value = entry->second;
    // The name's room counts its NUL; on success the length returned does not.
    if (*nameLength <= value.name.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameLength = static_cast<DWORD>(value.name.size());
    if (type != nullptr) {
        *type = value.type;
    }
    auto length = static_cast<DWORD>(value.data.size());
    if (data != nullptr && *size < length) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) {
        std::memcpy(data, value.data.data(), length);
    }
    if (size != nullptr) {
        *size = length;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
        LogCall("RegCloseKey",
                key == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : substitute::kMachineHiveName);
        return ERROR_SUCCESS;
    }
    auto object = substitute::FindHandleAs<substitute::KeyObject>(reinterpret_cast<HANDLE>(key));
    LogCall("RegCloseKey", object ? object->label : std::string("invalid"));
    DWORD error = 0;
    if (TakeScriptedFailure("RegCloseKey", &error)) {
        return static_cast<LSTATUS>(error);
    }
    if (object == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    substitute::RemoveHandle(reinterpret_cast<HANDLE>(key));
    return ERROR_SUCCESS;
}

namespace substitute {

void CreateRegistryKey(const std::string& keyPath) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    substitute::Walk(HiveOfPath(keyPath, &below), below, true, nullptr);
}

bool RegistryKeyExists(const std::string& keyPath) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    return substitute::Walk(HiveOfPath(keyPath, &below), below, false, nullptr) != nullptr;
}

bool DeleteRegistryKey(const std::string& keyPath) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    std::shared_ptr<substitute::RegistryKey> root = HiveOfPath(keyPath, &below);
    std::vector<std::string> parts = substitute::SplitPath(below);
    if (parts.empty()) {
        return false;
    }
    std::string leaf = parts.back();
    parts.pop_back();
    std::string parentPath;
    for (const std::string& part : parts) {
        parentPath += part + "\\";
    }
    auto parent = substitute::Walk(root, parentPath, false, nullptr);
    if (parent == nullptr) {
        return false;
    }
    auto found = parent->children.find(substitute::Lower(leaf));
    if (found == parent->children.end()) {
        return false;
    }
    substitute::MarkDeleted(*found->second);
    parent->children.erase(found);
    return true;
}

void SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                      const std::string& bytes) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    auto key = substitute::Walk(HiveOfPath(keyPath, &below), below, true, nullptr);
    substitute::RegistryValue& value = key->values[substitute::Lower(name)];
    value.name = name;
    value.type = type;
    value.data = bytes;
}

void SetRegistryString(const std::string& keyPath, const std::string& name,
                       const std::string& text) {
    SetRegistryValue(keyPath, name, REG_SZ, text + std::string(1, '\0'));
}

bool DeleteRegistryValue(const std::string& keyPath, const std::string& name) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    auto key = substitute::Walk(HiveOfPath(keyPath, &below), below, false, nullptr);
    return key != nullptr && key->values.erase(substitute::Lower(name)) > 0;
}

bool GetRegistryValue(const std::string& keyPath, const std::string& name, DWORD* type,
                      std::string* bytes) {
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    std::string below;
    auto key = substitute::Walk(HiveOfPath(keyPath, &below), below, false, nullptr);
    if (key == nullptr) {
        return false;
    }
    auto found = key->values.find(substitute::Lower(name));
    if (found == key->values.end()) {
        return false;
    }
    if (type != nullptr) {
        *type = found->second.type;
    }
    if (bytes != nullptr) {
        *bytes = found->second.data;
    }
    return true;
}

std::optional<std::string> GetRegistryString(const std::string& keyPath, const std::string& name) {
    std::string bytes;
    if (!GetRegistryValue(keyPath, name, nullptr, &bytes)) {
        return std::nullopt;
    }
    return bytes.substr(0, bytes.find('\0'));
}

bool LoadRegistry(const std::string& filePath) {
    std::ifstream in(filePath, std::ios::binary);
    if (!in) {
        return false;
    }
    auto root = std::make_shared<substitute::RegistryKey>();
    std::shared_ptr<substitute::RegistryKey> current;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            std::string path;
            if (line.back() != ']' ||
                !substitute::Unescape(line.substr(1, line.size() - 2), &path)) {
                return false;
            }
            current = substitute::Walk(root, path, true, nullptr);
            continue;
        }
        std::string::size_type equals = line.find('=');
        std::string::size_type colon = line.find(':', equals == std::string::npos ? 0 : equals);
        if (current == nullptr || equals == std::string::npos || colon == std::string::npos ||
            colon == equals + 1) {
            return false;
        }
        std::string typeText = line.substr(equals + 1, colon - equals - 1);
        if (typeText.size() > 9 || typeText.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        substitute::RegistryValue value;
        if (!substitute::Unescape(line.substr(0, equals), &value.name) ||
            !substitute::Unescape(line.substr(colon + 1), &value.data)) {
            return false;
        }
        value.type = static_cast<DWORD>(std::strtoul(typeText.c_str(), nullptr, 10));
        current->values[substitute::Lower(value.name)] = value;
    }
    substitute::Registry& hive = substitute::Hive();
    std::lock_guard<std::mutex> guard(hive.lock);
    substitute::MarkDeleted(*hive.root);
    hive.root = root;
    return true;
}

bool SaveRegistry(const std::string& filePath) {
    std::ostringstream text;
    {
        substitute::Registry& hive = substitute::Hive();
        std::lock_guard<std::mutex> guard(hive.lock);
        text << "# registry of the substitute layer: [key] then name=type:data\n";
        substitute::SaveKey(*hive.root, text);
    }
    std::ofstream out(filePath, std::ios::binary | std::ios::trunc);
    out << text.str();
    return static_cast<bool>(out);
}

} // namespace substitute
