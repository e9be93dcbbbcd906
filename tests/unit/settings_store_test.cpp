// The settings store: opening the key, the value read and write rules, the number
// conversion, and the port file with RecordPortInFile.
#include "settings/settings_store.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

using Lines = std::vector<std::string>;
const char* const kKey = jobtest::kSettingsKey;

class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { substitute::Reset(); }
    void TearDown() override { EXPECT_EQ(substitute::OpenHandles(), Lines{}); }
    jobtest::ScratchFolder folder;
};

TEST_F(SettingsStoreTest, ReadingOpensTheKeyFromTheStringTableWithoutCreatingIt) {
    HKEY key = nullptr;
    EXPECT_FALSE(OpenSettingsKeyForReading(&key));
    EXPECT_FALSE(OpenSettingsKeyForEditing(&key, false));
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(substitute::RegistryKeyExists(kKey));
    EXPECT_EQ(jobtest::CallsStartingWith({"RegOpenKeyExA", "RegCreateKeyExA"}),
              (Lines{std::string("RegOpenKeyExA ") + kKey, std::string("RegOpenKeyExA ") + kKey}));

    ASSERT_TRUE(OpenSettingsKeyForEditing(&key, true));
    EXPECT_TRUE(substitute::RegistryKeyExists(kKey));
    WriteSettingValue(key, kPortValue, "COM2");
    RegCloseKey(key);

    // Read-only: the value reads, a write is refused without a word.
    ASSERT_TRUE(OpenSettingsKeyForReading(&key));
    WriteSettingValue(key, kPortValue, "LPT1");
    char value[kTextBufferSize];
    EXPECT_TRUE(ReadSettingValue(key, kPortValue, value));
    EXPECT_STREQ(value, "COM2");
    RegCloseKey(key);
}

TEST_F(SettingsStoreTest, KeyPathThatCannotBeLoadedOpensNothing) {
    substitute::SetRegistryString("", "Port", "COM1");
    substitute::CreateRegistryKey(kKey);
    HKEY key = nullptr;
    substitute::FailNext("LoadStringA", ERROR_RESOURCE_NAME_NOT_FOUND, 3);
    EXPECT_FALSE(OpenSettingsKeyForReading(&key));
    EXPECT_FALSE(OpenSettingsKeyForEditing(&key, false));
    EXPECT_FALSE(OpenSettingsKeyForEditing(&key, true));
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(jobtest::CallsStartingWith({"RegOpenKeyExA", "RegCreateKeyExA"}), Lines{});
}

TEST_F(SettingsStoreTest, WriteStoresTheTextWithOneNul) {
    HKEY key = nullptr;
    ASSERT_TRUE(OpenSettingsKeyForEditing(&key, true));
    WriteSettingValue(key, kDelayValue, "1000");
    WriteSettingValue(key, kPortValue, "");
    RegCloseKey(key);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(substitute::GetRegistryValue(kKey, "Delay", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, std::string("1000\0", 5));
    ASSERT_TRUE(substitute::GetRegistryValue(kKey, "Port", &type, &bytes));
    EXPECT_EQ(bytes, std::string(1, '\0'));
}

TEST_F(SettingsStoreTest, ValuesReadToTheirFirstNulOrReturnedCountWithinTheBuffer) {
    struct Case {
        const char* name;
        DWORD type;
        std::string stored;
        bool present;
        std::string text;
    };
    const Case cases[] = {
        {"plain", REG_SZ, std::string("Serial\0", 7), true, "Serial"},
        {"empty data", REG_SZ, "", true, ""},
        {"no NUL", REG_SZ, "COM1", true, "COM1"},
        {"inner NUL", REG_SZ, std::string("ab\0cd\0", 6), true, "ab"},
        {"other type", REG_DWORD, std::string("\x05\0\0\0", 4), true, "\x05"},
        {"2047 characters", REG_SZ, std::string(2047, 'a') + '\0', true, std::string(2047, 'a')},
        {"2047 without NUL", REG_SZ, std::string(2047, 'b'), true, std::string(2047, 'b')},
        {"2048 characters", REG_SZ, std::string(2048, 'c') + '\0', false, ""},
        {"2048 without NUL", REG_SZ, std::string(2048, 'd'), false, ""},
        {"far too long", REG_SZ, std::string(5000, 'e') + '\0', false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::SetRegistryValue(kKey, "Port", c.type, c.stored);
        HKEY key = nullptr;
        ASSERT_TRUE(OpenSettingsKeyForReading(&key));
        // The buffer sits inside a larger block whose tail must stay untouched.
        std::vector<char> block(kTextBufferSize + 64, '#');
        EXPECT_EQ(ReadSettingValue(key, kPortValue, block.data()), c.present);
        EXPECT_EQ(std::string(block.data()), c.text);
        EXPECT_EQ(std::string(block.begin() + kTextBufferSize, block.end()), std::string(64, '#'));
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    ASSERT_TRUE(OpenSettingsKeyForReading(&key));
    char value[kTextBufferSize] = "left over";
    EXPECT_FALSE(ReadSettingValue(key, "Absent", value));
    EXPECT_STREQ(value, "");
    substitute::FailNext("RegQueryValueExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadSettingValue(key, kPortValue, value));
    RegCloseKey(key);
}

TEST_F(SettingsStoreTest, NumbersConvertAsStrtolWithSaturation) {
    struct Case {
        const char* text;
        int number;
    };
    const Case cases[] = {
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {"2x", 2},
        {"1.5", 1},
        {" \t\n\v\f\r42", 42},
        {"+7", 7},
        {"-5", -5},
        {"0009", 9},
        {"- 5", 0},
        {"+-1", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {"9600", 9600},
        {"70000", 70000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SettingNumber(c.text), c.number) << '"' << c.text << '"';
    }
}

Lines ReadEntries() {
    PortFileReader reader{};
    OpenPortFile(&reader);
    Lines entries;
    char entry[kTextBufferSize];
    for (int guard = 0; guard < 100 && NextPortEntry(&reader, entry); ++guard) {
        entries.push_back(entry);
    }
    ClosePortFile(&reader);
    return entries;
}

TEST_F(SettingsStoreTest, PortFileEntriesAreRunsWithoutWhiteSpace) {
    EXPECT_EQ(ReadEntries(), Lines{}); // no file at all
    struct Case {
        std::string content;
        Lines entries;
    };
    const Case cases[] = {
        {"", {}},
        {" \n\t\r\n ", {}},
        {"COM1\n9100\n", {"COM1", "9100"}},
        {"a b\tc\r\nd", {"a", "b", "c", "d"}},
        {"\n\nCOM1", {"COM1"}},
        {std::string(2047, 'x') + "\n", {std::string(2047, 'x')}},
        // An entry too long for the buffer is passed over whole.
        {std::string(2048, 'y') + " COM2\n", {"COM2"}},
        {"COM3 " + std::string(6000, 'z'), {"COM3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 20));
        jobtest::WriteBytes(kPortFileName, c.content);
        EXPECT_EQ(ReadEntries(), c.entries);
    }
}

TEST_F(SettingsStoreTest, RecordPortInFileAppendsOnlyWhatTheScanDoesNotMeet) {
    struct Case {
        const char* name;
        const char* before; // nullptr: no file
        Lines saves;
        std::string after;
    };
    const Case cases[] = {
        {"first save creates the file", nullptr, {"COM1"}, "COM1\n"},
        {"same text twice is recorded once", nullptr, {"COM1", "COM1"}, "COM1\n"},
        {"first entry 9100 stops every scan", "9100\n", {"COM4", "LPT1"}, "9100\n"},
        {"9100 is recorded the first time", "COM1\n", {"9100", "COM2"}, "COM1\n9100\n"},
        {"text with a blank is recorded again",
         nullptr,
         {"Zebra ZP450", "Zebra ZP450"},
         "Zebra ZP450\nZebra ZP450\n"},
        {"empty text records an empty line", nullptr, {"", "COM1"}, "\nCOM1\n"},
        {"white space only counts as empty", " \n\t", {"COM7"}, " \n\t\nCOM7\n"},
        // An entry is never run into a last line without its line end.
        {"last line without a line end", "9200", {"COM2", "COM3"}, "9200\nCOM2\nCOM3\n"},
        {"last line ended the Windows way", "9200\r\n", {"COM2"}, "9200\r\nCOM2\n"},
        {"empty file", "", {"COM2"}, "COM2\n"},
        {"comparison is case-sensitive", "com1\n", {"COM1"}, "com1\nCOM1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(kPortFileName);
        if (c.before != nullptr) {
            jobtest::WriteBytes(kPortFileName, c.before);
        }
        for (const std::string& save : c.saves) {
            RecordPortInFile(save.c_str());
        }
        EXPECT_EQ(jobtest::ReadBytes(kPortFileName), c.after);
    }
    // The empty line recorded above is skipped by readers.
    jobtest::WriteBytes(kPortFileName, "\nCOM1\n");
    EXPECT_EQ(ReadEntries(), Lines{"COM1"});
}

TEST_F(SettingsStoreTest, PortFileThatCannotBeWrittenRecordsNothing) {
    std::filesystem::create_directory(kPortFileName);
    RecordPortInFile("COM1");
    EXPECT_TRUE(std::filesystem::is_directory(kPortFileName));
    EXPECT_EQ(ReadEntries(), Lines{});
}

} // namespace
