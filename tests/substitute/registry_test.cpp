// Substitute registry: query sizes and errors, paths ignoring case, key handles and their
// release, access rights, deleted keys, scripted failures, and the text file form.
#include "platform/testing.h"

#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using Lines = std::vector<std::string>;
constexpr char kKey[] = "Software\\Velmora Software\\Tagwright\\1.0";

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_EQ(substitute::OpenHandles(), Lines{}); }
};

TEST_F(RegistryTest, QueryReportsSizeTypeAndShortBuffers) {
    substitute::SetRegistryString(kKey, "Port", "COM1");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    struct Case {
        const char* name;
        bool withData;
        DWORD capacity;
        LSTATUS status;
        DWORD sizeOut;
    };
    const Case cases[] = {
        {"Port", true, 2048, ERROR_SUCCESS, 5}, {"Port", true, 5, ERROR_SUCCESS, 5},
        {"Port", true, 4, ERROR_MORE_DATA, 5},  {"Port", false, 0, ERROR_SUCCESS, 5},
        {"port", true, 2048, ERROR_SUCCESS, 5}, {"Absent", true, 2048, ERROR_FILE_NOT_FOUND, 2048},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " " << c.capacity);
        char data[2048];
        std::memset(data, '#', sizeof(data));
        DWORD type = 99;
        DWORD size = c.capacity;
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, &type,
                                   c.withData ? reinterpret_cast<LPBYTE>(data) : nullptr, &size),
                  c.status);
        EXPECT_EQ(size, c.sizeOut);
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        }
        if (c.status == ERROR_SUCCESS && c.withData) {
            EXPECT_EQ(std::string(data, 5), std::string("COM1\0", 5));
            EXPECT_EQ(data[5], '#');
        }
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeyHandlesAreLabelledByTheTreesSpellingAndReleasedOnce) {
    substitute::CreateRegistryKey(kKey);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\velmora software\\TAGWRIGHT\\1.0", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(substitute::OpenHandles(), Lines{std::string("key:") + kKey});
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(substitute::CallLog().back(), std::string("RegCloseKey key:") + kKey);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
}

TEST_F(RegistryTest, CreateMakesTheWholePathAndTellsWhetherItWasNew) {
    char noClass[] = "";
    std::vector<DWORD> dispositions;
    for (int i = 0; i < 2; ++i) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        dispositions.push_back(disposition);
        const char text[] = "Serial";
        EXPECT_EQ(RegSetValueExA(key, "PrinterType", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                 sizeof(text)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    EXPECT_EQ(dispositions, (std::vector<DWORD>{REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY}));
    EXPECT_TRUE(substitute::RegistryKeyExists("software\\velmora software"));
    EXPECT_EQ(substitute::GetRegistryString(kKey, "printertype"), "Serial");
}

TEST_F(RegistryTest, ReadOnlyHandlesCannotWriteAndDeletedKeysAreGone) {
    substitute::SetRegistryString(kKey, "Port", "COM1");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    const char text[] = "LPT1";
    EXPECT_EQ(RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(substitute::GetRegistryString(kKey, "Port"), "COM1");
    EXPECT_TRUE(substitute::DeleteRegistryKey("Software\\Velmora Software"));
    char data[16];
    DWORD size = sizeof(data);
    EXPECT_EQ(
        RegQueryValueExA(key, "Port", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
        ERROR_KEY_DELETED);
    EXPECT_FALSE(substitute::RegistryKeyExists(kKey));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, CallsReturnScriptedStatusesAndLeaveTheLastErrorAlone) {
    substitute::SetRegistryString(kKey, "Port", "COM1");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    char noClass[] = "";
    struct Case {
        const char* call;
        std::function<LSTATUS()> run;
    };
    const Case cases[] = {
        {"RegOpenKeyExA",
         [&] {
             HKEY other = nullptr;
             return RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &other);
         }},
        {"RegCreateKeyExA",
         [&] {
             HKEY other = nullptr;
             return RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr,
                                    &other, nullptr);
         }},
        {"RegQueryValueExA",
         [&] {
             char data[8];
             DWORD size = sizeof(data);
             return RegQueryValueExA(key, "Port", nullptr, nullptr, reinterpret_cast<LPBYTE>(data),
                                     &size);
         }},
        {"RegSetValueExA",
         [&] {
             return RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("X"), 2);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        substitute::FailNext(c.call, ERROR_ACCESS_DENIED);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(c.run(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    }
    EXPECT_EQ(substitute::GetRegistryString(kKey, "Port"), "COM1");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST_F(RegistryTest, SavedHiveLoadsBackByteForByte) {
    scratch::ScratchFolder folder;
    std::string odd = std::string("50%=[x]#\n\r\t", 11) + std::string(1, '\0') + "\xff" + "end";
    substitute::SetRegistryString(kKey, "PrinterType", "TCP/IP");
    substitute::SetRegistryValue(kKey, "Odd=Name[1]", REG_BINARY, odd);
    substitute::SetRegistryValue(kKey, "NoNul", REG_SZ, "9100");
    substitute::CreateRegistryKey("Software\\Empty Key");
    ASSERT_TRUE(substitute::SaveRegistry(folder / "hive.txt"));

    substitute::Reset();
    EXPECT_FALSE(substitute::RegistryKeyExists(kKey));
    ASSERT_TRUE(substitute::LoadRegistry(folder / "hive.txt"));

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(substitute::GetRegistryValue(kKey, "odd=name[1]", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(bytes, odd);
    ASSERT_TRUE(substitute::GetRegistryValue(kKey, "PrinterType", &type, &bytes));
    EXPECT_EQ(bytes, std::string("TCP/IP\0", 7));
    ASSERT_TRUE(substitute::GetRegistryValue(kKey, "NoNul", &type, &bytes));
    EXPECT_EQ(bytes, "9100");
    EXPECT_TRUE(substitute::RegistryKeyExists("software\\empty key"));

    // A malformed file is refused and leaves the hive as it was.
    scratch::WriteBytes(folder / "bad.txt", "[Software\\X]\nName=notanumber:abc\n");
    EXPECT_FALSE(substitute::LoadRegistry(folder / "bad.txt"));
    scratch::WriteBytes(folder / "bad.txt", "Name=1:value before any key\n");
    EXPECT_FALSE(substitute::LoadRegistry(folder / "bad.txt"));
    EXPECT_FALSE(substitute::LoadRegistry(folder / "missing.txt"));
    EXPECT_EQ(substitute::GetRegistryString(kKey, "PrinterType"), "TCP/IP");
}

// The machine's hive is apart from the user's, read-only to the program, and its handles and
// log entries say which hive they are in.
TEST_F(RegistryTest, MachineHiveIsSeparateAndReadOnly) {
    const std::string machineKey = std::string("HKEY_LOCAL_MACHINE\\") + kKey;
    substitute::SetRegistryString(machineKey, "Port", "LPT1");
    EXPECT_FALSE(substitute::RegistryKeyExists(kKey));
    EXPECT_EQ(substitute::GetRegistryString(machineKey, "port"), "LPT1");

    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(substitute::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\New"));
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    substitute::ClearCallLog();
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{"key:" + machineKey});
    const char text[] = "COM1";
    EXPECT_EQ(RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 5),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(substitute::CallLog().front(), "RegOpenKeyExA " + machineKey);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(substitute::GetRegistryString(machineKey, "Port"), "LPT1");
    EXPECT_TRUE(substitute::DeleteRegistryKey(machineKey));
    EXPECT_FALSE(substitute::RegistryKeyExists(machineKey));
}

// Values one by one until ERROR_NO_MORE_ITEMS; a name or data buffer too small says so.
TEST_F(RegistryTest, EnumValuesGivesEachNameAndDataOnce) {
    substitute::SetRegistryString(kKey, "Shipping", "socket://10.1.2.3");
    substitute::SetRegistryString(kKey, "Small labels", "serial:COM3");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    const struct {
        DWORD index;
        DWORD nameRoom;
        DWORD dataRoom;
        LSTATUS status;
        std::string name;
        std::string data;
    } cases[] = {
        {0, 64, 64, ERROR_SUCCESS, "Shipping", std::string("socket://10.1.2.3\0", 18)},
        {1, 64, 64, ERROR_SUCCESS, "Small labels", std::string("serial:COM3\0", 12)},
        {2, 64, 64, ERROR_NO_MORE_ITEMS, "", ""},
        {0, 8, 64, ERROR_MORE_DATA, "", ""},
        {0, 9, 64, ERROR_SUCCESS, "Shipping", std::string("socket://10.1.2.3\0", 18)},
        {1, 64, 11, ERROR_MORE_DATA, "Small labels", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.index) + "/" + std::to_string(c.nameRoom));
        char name[64] = {};
        BYTE data[64] = {};
        DWORD nameLength = c.nameRoom;
        DWORD size = c.dataRoom;
        DWORD type = REG_NONE;
        EXPECT_EQ(RegEnumValueA(key, c.index, name, &nameLength, nullptr, &type, data, &size),
                  c.status);
        if (c.status == ERROR_NO_MORE_ITEMS || c.name.empty()) {
            continue;
        }
        EXPECT_EQ(std::string(name), c.name);
        EXPECT_EQ(nameLength, c.name.size());
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), c.data);
        }
    }
    substitute::FailNext("RegEnumValueA", ERROR_ACCESS_DENIED);
    char name[64];
    DWORD nameLength = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

} // namespace
