// The settings window driven as a user would: defaults, stored values, the four layouts,
// the port file, the printer list, and what OK and Cancel write.
#include "platform/testing.h"
#include "resources/resource_ids.h"
#include "settings/settings_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char kKey[] = "Software\\Velmora Software\\Tagwright\\1.0";
const char* const kValueNames[] = {"PrinterType", "Port",     "BaudorIPAddress", "DataBits",
                                   "Parity",      "StopBits", "Delay",           "Attempts",
                                   "CheckStatus", "Timeout",  "Confirm"};
const std::vector<std::string> kComPorts = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                            "COM6", "COM7", "COM8", "COM9"};

using Values = std::map<std::string, std::string>;

// What the window shows, read as the user would read it.
struct Shown {
    std::string type, port, baudOrAddress, dataBits, parity, stopBits, delay, attempts;
    std::string portLabel, baudLabel;
    bool baudEnabled, dataBitsEnabled, parityEnabled, stopBitsEnabled;
    bool portEnabled, delayEnabled, attemptsEnabled;
    std::vector<std::string> ports;
};

Shown Read(HWND d) {
    Shown s;
    s.type = substitute::SelectedText(d, IDC_PRINTER_TYPE);
    s.port = substitute::ControlText(d, IDC_PORT);
    s.baudOrAddress = substitute::ControlText(d, IDC_BAUD_OR_ADDRESS);
    s.dataBits = substitute::SelectedText(d, IDC_DATA_BITS);
    s.parity = substitute::SelectedText(d, IDC_PARITY);
    s.stopBits = substitute::SelectedText(d, IDC_STOP_BITS);
    s.delay = substitute::ControlText(d, IDC_DELAY);
    s.attempts = substitute::SelectedText(d, IDC_ATTEMPTS);
    s.portLabel = substitute::ControlText(d, IDC_PORT_LABEL);
    s.baudLabel = substitute::ControlText(d, IDC_BAUD_OR_ADDRESS_LABEL);
    s.baudEnabled = substitute::IsControlEnabled(d, IDC_BAUD_OR_ADDRESS);
    s.dataBitsEnabled = substitute::IsControlEnabled(d, IDC_DATA_BITS);
    s.parityEnabled = substitute::IsControlEnabled(d, IDC_PARITY);
    s.stopBitsEnabled = substitute::IsControlEnabled(d, IDC_STOP_BITS);
    s.portEnabled = substitute::IsControlEnabled(d, IDC_PORT);
    s.delayEnabled = substitute::IsControlEnabled(d, IDC_DELAY);
    s.attemptsEnabled = substitute::IsControlEnabled(d, IDC_ATTEMPTS);
    s.ports = substitute::ListEntries(d, IDC_PORT);
    return s;
}

class SettingsWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        substitute::Reset();
        substitute::SetFailureReporter([](const std::string& what) { ADD_FAILURE() << what; });
        previousDirectory = fs::current_path();
        // The port file lives in the current directory: each test gets its own.
        directory = fs::temp_directory_path() /
                    ("tagwright-settings-" + std::to_string(getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        fs::current_path(directory);
        substitute::OnDialogOpened([this](HWND dialog, int templateId) {
            opened.push_back(templateId);
            if (templateId == IDD_SETTINGS && drive) {
                drive(dialog);
            } else if (templateId == IDD_INFO) {
                substitute::PressButton(dialog, IDOK);
            }
        });
    }
    void TearDown() override {
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        EXPECT_TRUE(substitute::OpenDialogs().empty());
        EXPECT_TRUE(substitute::MessageBoxes().empty());
        fs::current_path(previousDirectory);
        fs::remove_all(directory);
    }

    // Runs the window; `steps` acts on it and must end it.
    void Open(std::function<void(HWND)> steps) {
        drive = std::move(steps);
        EXPECT_EQ(ShowSettingsWindow(nullptr), 1);
        drive = nullptr;
    }

    void Store(const Values& values) {
        substitute::CreateRegistryKey(kKey);
        for (const auto& [name, text] : values) {
            substitute::SetRegistryString(kKey, name, text);
        }
    }
    Values Stored() {
        Values values;
        for (const char* name : kValueNames) {
            if (auto text = substitute::GetRegistryString(kKey, name)) {
                values[name] = *text;
            }
        }
        return values;
    }
    void WritePortFile(const std::string& content) {
        std::ofstream(directory / "tcpport.dat", std::ios::binary) << content;
    }
    std::string PortFile() {
        std::ifstream in(directory / "tcpport.dat", std::ios::binary);
        if (!in) {
            return "<missing>";
        }
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    fs::path previousDirectory;
    fs::path directory;
    std::function<void(HWND)> drive;
    std::vector<int> opened;
};

const Values kDefaults = {
    {"PrinterType", "Serial"}, {"Port", "COM1"},  {"BaudorIPAddress", "9600"}, {"DataBits", "8"},
    {"Parity", "none"},        {"StopBits", "1"}, {"Delay", "1000"},           {"Attempts", "3"}};

TEST_F(SettingsWindowTest, FirstOpeningShowsDefaultsAndOkWritesThem) {
    Shown shown;
    std::string caption;
    bool keyCreated = false;
    Open([&](HWND d) {
        keyCreated = substitute::RegistryKeyExists(kKey);
        caption = substitute::WindowCaption(d);
        shown = Read(d);
        EXPECT_EQ(
            substitute::ListEntries(d, IDC_PRINTER_TYPE),
            (std::vector<std::string>{"Serial", "Parallel", "TCP/IP", "USB", "Printer (RAW)"}));
        EXPECT_EQ(substitute::ListEntries(d, IDC_PARITY),
                  (std::vector<std::string>{"even", "none", "odd"}));
        EXPECT_EQ(substitute::ListEntries(d, IDC_DATA_BITS),
                  (std::vector<std::string>{"4", "5", "6", "7", "8"}));
        EXPECT_EQ(substitute::ListEntries(d, IDC_STOP_BITS),
                  (std::vector<std::string>{"1", "1.5", "2"}));
        EXPECT_EQ(substitute::ListEntries(d, IDC_ATTEMPTS),
                  (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
        EXPECT_TRUE(Stored().empty()); // opening writes nothing
        EXPECT_TRUE(substitute::PressButton(d, IDOK));
    });
    EXPECT_TRUE(keyCreated);
    EXPECT_EQ(caption, "Tagwright Settings");
    EXPECT_EQ(shown.type, "Serial");
    EXPECT_EQ(shown.port, "COM1");
    EXPECT_EQ(shown.ports, kComPorts);
    EXPECT_EQ(shown.baudOrAddress, "9600");
    EXPECT_EQ(shown.dataBits, "8");
    EXPECT_EQ(shown.parity, "none");
    EXPECT_EQ(shown.stopBits, "1");
    EXPECT_EQ(shown.delay, "1000");
    EXPECT_EQ(shown.attempts, "3");
    EXPECT_EQ(shown.portLabel, "Port");
    EXPECT_EQ(shown.baudLabel, "Baud Rate");
    EXPECT_TRUE(shown.baudEnabled && shown.dataBitsEnabled && shown.parityEnabled &&
                shown.stopBitsEnabled);
    EXPECT_EQ(Stored(), kDefaults);
    EXPECT_EQ(PortFile(), "COM1\n");
}

TEST_F(SettingsWindowTest, EachPrinterTypeHasItsLayout) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::InstallPrinter("Office Laser");
    WritePortFile("10.1.1.1\n9200\n");
    const struct {
        const char* type;
        std::vector<std::string> ports;
        const char* port;
        const char* portLabel;
        bool baudEnabled;
        const char* baudOrAddress;
        const char* baudLabel;
        bool lineListsEnabled;
    } cases[] = {
        {"Serial", kComPorts, "COM1", "Port", true, "9600", "Baud Rate", true},
        {"Parallel", {"LPT1", "LPT2"}, "LPT1", "Port", false, "9600", "Baud Rate", false},
        {"TCP/IP",
         {"10.1.1.1", "9100", "9200"},
         "10.1.1.1",
         "Port",
         true,
         "0.0.0.0",
         "IP Address",
         false},
        {"USB",
         {"Office Laser", "Zebra ZP450"},
         "Office Laser",
         "Printer Name",
         false,
         "9600",
         "Baud Rate",
         false},
        {"Printer (RAW)",
         {"Office Laser", "Zebra ZP450"},
         "Office Laser",
         "Printer Name",
         false,
         "9600",
         "Baud Rate",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        Shown shown;
        Open([&](HWND d) {
            // From the Serial layout, as the window opens.
            EXPECT_TRUE(substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, c.type));
            shown = Read(d);
            EXPECT_TRUE(substitute::PressButton(d, IDCANCEL));
        });
        EXPECT_EQ(shown.type, c.type);
        EXPECT_EQ(shown.ports, c.ports);
        EXPECT_EQ(shown.port, c.port);
        EXPECT_EQ(shown.portLabel, c.portLabel);
        EXPECT_EQ(shown.baudEnabled, c.baudEnabled);
        EXPECT_EQ(shown.baudOrAddress, c.baudOrAddress);
        EXPECT_EQ(shown.baudLabel, c.baudLabel);
        EXPECT_EQ(shown.dataBitsEnabled, c.lineListsEnabled);
        EXPECT_EQ(shown.parityEnabled, c.lineListsEnabled);
        EXPECT_EQ(shown.stopBitsEnabled, c.lineListsEnabled);
        EXPECT_TRUE(shown.portEnabled && shown.delayEnabled && shown.attemptsEnabled);
    }
    EXPECT_TRUE(Stored().empty());
    EXPECT_EQ(PortFile(), "10.1.1.1\n9200\n");
}

// The status box: ticked only by "1", usable for Serial and TCP/IP, and written only when
// it says otherwise than what is stored, so that an absent value stays absent and any other
// text stays as it was.
TEST_F(SettingsWindowTest, StatusCheckBox) {
    const struct {
        const char* name;
        const char* type;
        const char* stored; // nullptr: absent
        bool click;
        bool shownTicked;
        bool enabled;
        const char* saved; // nullptr: absent
    } cases[] = {
        {"absent, serial", "Serial", nullptr, false, false, true, nullptr},
        {"absent, ticked", "Serial", nullptr, true, false, true, "1"},
        {"1, network", "TCP/IP", "1", false, true, true, "1"},
        {"1, unticked", "TCP/IP", "1", true, true, true, "0"},
        {"0 kept", "Serial", "0", false, false, true, "0"},
        {"yes kept", "TCP/IP", "yes", false, false, true, "yes"},
        {"yes, ticked", "Serial", "yes", true, false, true, "1"},
        {"1, parallel", "Parallel", "1", false, true, false, "1"},
        {"absent, USB", "USB", nullptr, false, false, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::DeleteRegistryKey(kKey);
        Store({{"PrinterType", c.type}, {"Port", "9100"}});
        if (c.stored != nullptr) {
            Store({{"CheckStatus", c.stored}});
        }
        bool ticked = false;
        bool enabled = false;
        Open([&](HWND d) {
            ticked = IsDlgButtonChecked(d, IDC_CHECK_STATUS) == BST_CHECKED;
            enabled = substitute::IsControlEnabled(d, IDC_CHECK_STATUS);
            if (c.click) {
                EXPECT_TRUE(substitute::PressButton(d, IDC_CHECK_STATUS));
            }
            EXPECT_TRUE(substitute::PressButton(d, IDOK));
        });
        EXPECT_EQ(ticked, c.shownTicked);
        EXPECT_EQ(enabled, c.enabled);
        auto saved = substitute::GetRegistryString(kKey, "CheckStatus");
        EXPECT_EQ(saved.has_value(), c.saved != nullptr);
        if (saved && c.saved != nullptr) {
            EXPECT_EQ(*saved, c.saved);
        }
    }
}

TEST_F(SettingsWindowTest, SwitchingTcpIpSerialParallel) {
    Store({{"Port", "9100"}});
    WritePortFile("9100\n");
    std::vector<Shown> steps;
    Open([&](HWND d) {
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "TCP/IP");
        steps.push_back(Read(d));
        substitute::TypeText(d, IDC_BAUD_OR_ADDRESS, "192.168.0.50");
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "Parallel");
        steps.push_back(Read(d));
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "TCP/IP");
        steps.push_back(Read(d));
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "Serial");
        steps.push_back(Read(d));
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "Parallel");
        steps.push_back(Read(d));
        substitute::PressButton(d, IDCANCEL);
    });
    ASSERT_EQ(steps.size(), 5u);
    // TCP/IP: "9100" offered twice (the default and the file's), the stored port selected.
    EXPECT_EQ(steps[0].ports, (std::vector<std::string>{"9100", "9100"}));
    EXPECT_EQ(steps[0].port, "9100");
    EXPECT_EQ(steps[0].baudOrAddress, "0.0.0.0");
    EXPECT_EQ(steps[0].baudLabel, "IP Address");
    EXPECT_FALSE(steps[0].dataBitsEnabled || steps[0].parityEnabled || steps[0].stopBitsEnabled);
    // Parallel after TCP/IP: the label still reads "IP Address" above the disabled field.
    EXPECT_EQ(steps[1].baudLabel, "IP Address");
    EXPECT_FALSE(steps[1].baudEnabled);
    EXPECT_EQ(steps[1].baudOrAddress, "192.168.0.50");
    // An address is kept when TCP/IP is chosen again.
    EXPECT_EQ(steps[2].baudOrAddress, "192.168.0.50");
    EXPECT_TRUE(steps[2].baudEnabled);
    // Serial: the address is gone.
    EXPECT_EQ(steps[3].ports, kComPorts);
    EXPECT_EQ(steps[3].baudOrAddress, "9600");
    EXPECT_EQ(steps[3].baudLabel, "Baud Rate");
    EXPECT_TRUE(steps[3].dataBitsEnabled && steps[3].parityEnabled && steps[3].stopBitsEnabled);
    EXPECT_EQ(steps[4].ports, (std::vector<std::string>{"LPT1", "LPT2"}));
    EXPECT_EQ(steps[4].baudLabel, "Baud Rate");
    EXPECT_EQ(Stored(), (Values{{"Port", "9100"}}));
}

// The window opens in the stored type's layout.
TEST_F(SettingsWindowTest, OpeningWithStoredTcpIpSettings) {
    const Values stored = {
        {"PrinterType", "TCP/IP"}, {"Port", "9100"},   {"BaudorIPAddress", "10.0.0.7"},
        {"DataBits", "7"},         {"Parity", "even"}, {"StopBits", "2"},
        {"Delay", "250"},          {"Attempts", "10"}};
    Store(stored);
    WritePortFile("9100\n");
    Shown shown;
    Open([&](HWND d) {
        shown = Read(d);
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(shown.type, "TCP/IP");
    EXPECT_EQ(shown.port, "9100");
    EXPECT_EQ(shown.baudOrAddress, "10.0.0.7");
    EXPECT_EQ(shown.portLabel, "Port");
    EXPECT_EQ(shown.baudLabel, "IP Address");
    EXPECT_TRUE(shown.baudEnabled);
    EXPECT_FALSE(shown.dataBitsEnabled || shown.parityEnabled || shown.stopBitsEnabled);
    EXPECT_EQ(shown.ports, (std::vector<std::string>{"9100", "9100"}));
    EXPECT_EQ(shown.dataBits, "7");
    EXPECT_EQ(shown.parity, "even");
    EXPECT_EQ(shown.stopBits, "2");
    EXPECT_EQ(shown.delay, "250");
    EXPECT_EQ(shown.attempts, "10");
    EXPECT_EQ(Stored(), stored);
    EXPECT_EQ(PortFile(), "9100\n");
}

// Opening the window and pressing OK stores what was stored, for every printer type and for
// stored texts the window's lists do not hold. The only changes are those listed per row.
TEST_F(SettingsWindowTest, OpenAndOkStoresWhatWasStored) {
    const Values serial = {
        {"PrinterType", "Serial"}, {"Port", "COM3"},   {"BaudorIPAddress", "19200"},
        {"DataBits", "7"},         {"Parity", "even"}, {"StopBits", "1.5"},
        {"Delay", "250"},          {"Attempts", "5"}};
    auto with = [](Values values, const Values& changes) {
        for (const auto& [name, text] : changes) {
            values[name] = text;
        }
        return values;
    };
    const std::string longName = "Zebra ZP450 Label Printer (Copy 2) on the second floor";
    const std::string longest(2047, 'p');
    struct Layout {
        const char* type;      // shown selected in the type list; "" for none
        const char* portLabel; // "Port" or "Printer Name"
        const char* baudLabel; // "Baud Rate" or "IP Address"
        bool lineLists;        // data bits, parity, stop bits enabled
    };
    const Layout kSerial{"Serial", "Port", "Baud Rate", true};
    const Layout kParallel{"Parallel", "Port", "Baud Rate", false};
    const Layout kNetwork{"TCP/IP", "Port", "IP Address", false};
    const Layout kUsb{"USB", "Printer Name", "Baud Rate", false};
    const struct {
        const char* name;
        const char* portFile; // nullptr: none
        Values stored;
        Values changed; // what OK writes differently
        Layout layout;
        std::string port;  // the port field
        bool portSelected; // an entry of the list, not text
    } cases[] = {
        {"serial", nullptr, serial, {}, kSerial, "COM3", true},
        {"parallel",
         nullptr,
         with(serial, {{"PrinterType", "Parallel"}, {"Port", "LPT2"}}),
         {},
         kParallel,
         "LPT2",
         true},
        {"TCP/IP port the port file holds",
         "9100\n9200\n",
         with(serial,
              {{"PrinterType", "TCP/IP"}, {"Port", "9200"}, {"BaudorIPAddress", "10.0.0.7"}}),
         {},
         kNetwork,
         "9200",
         true},
        {"TCP/IP port without a port file",
         nullptr,
         with(serial,
              {{"PrinterType", "TCP/IP"}, {"Port", "9200"}, {"BaudorIPAddress", "10.0.0.7"}}),
         {},
         kNetwork,
         "9200",
         false},
        {"TCP/IP address without a dot",
         nullptr,
         with(serial, {{"PrinterType", "TCP/IP"}, {"Port", "9100"}, {"BaudorIPAddress", "9600"}}),
         {},
         kNetwork,
         "9100",
         true},
        {"USB printer name with a space",
         "Zebra ZP450\n",
         with(serial, {{"PrinterType", "USB"}, {"Port", "Zebra ZP450"}}),
         {},
         kUsb,
         "Zebra ZP450",
         true},
        {"USB printer not installed, longer than a typed port",
         nullptr,
         with(serial, {{"PrinterType", "USB"}, {"Port", longName}}),
         {},
         kUsb,
         longName,
         false},
        {"USB, empty name",
         nullptr,
         with(serial, {{"PrinterType", "USB"}, {"Port", ""}}),
         {},
         kUsb,
         "",
         false},
        {"serial port in no list, longest value",
         "COM1\n",
         with(serial, {{"Port", longest}, {"BaudorIPAddress", longest}}),
         {},
         kSerial,
         longest,
         false},
        {"parallel device path",
         nullptr,
         with(serial, {{"PrinterType", "Parallel"}, {"Port", "\\\\.\\LPT7"}}),
         {},
         kParallel,
         "\\\\.\\LPT7",
         false},
        {"texts no list holds",
         nullptr,
         with(serial, {{"PrinterType", "Ethernet"},
                       {"DataBits", "9"},
                       {"Parity", "mark"},
                       {"StopBits", "1.0"},
                       {"Attempts", "0"},
                       {"BaudorIPAddress", " 9600 baud "}}),
         {},
         {"", "Port", "Baud Rate", true},
         "COM3",
         true},
        {"texts in another case take the list's own",
         nullptr,
         with(serial, {{"PrinterType", "parallel"}, {"Port", "lpt1"}, {"Parity", "Odd"}}),
         {{"PrinterType", "Parallel"}, {"Port", "LPT1"}, {"Parity", "odd"}},
         kParallel,
         "LPT1",
         true},
        {"negative delay",
         nullptr,
         with(serial, {{"Delay", "-5"}}),
         {{"Delay", "0"}},
         kSerial,
         "COM3",
         true},
        {"delay as a job reads it",
         nullptr,
         with(serial, {{"Delay", " 0250ms"}}),
         {{"Delay", "250"}},
         kSerial,
         "COM3",
         true},
        {"delay beyond the signed range",
         nullptr,
         with(serial, {{"Delay", "99999999999"}}),
         {{"Delay", "2147483647"}},
         kSerial,
         "COM3",
         true},
        {"delay without digits",
         nullptr,
         with(serial, {{"Delay", "x"}}),
         {{"Delay", "0"}},
         kSerial,
         "COM3",
         true},
        {"values absent get the defaults",
         nullptr,
         {{"PrinterType", "Parallel"}, {"Port", "LPT1"}},
         {{"BaudorIPAddress", "9600"},
          {"DataBits", "8"},
          {"Parity", "none"},
          {"StopBits", "1"},
          {"Delay", "1000"},
          {"Attempts", "3"}},
         kParallel,
         "LPT1",
         true},
    };
    substitute::InstallPrinter("Office Laser");
    substitute::InstallPrinter("Zebra ZP450");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(directory / "tcpport.dat");
        if (c.portFile != nullptr) {
            WritePortFile(c.portFile);
        }
        Store(c.stored);
        Shown shown;
        int portSelection = -1;
        Open([&](HWND d) {
            shown = Read(d);
            portSelection = substitute::SelectedIndex(d, IDC_PORT);
            EXPECT_TRUE(substitute::PressButton(d, IDOK));
        });
        EXPECT_EQ(shown.type, c.layout.type);
        EXPECT_EQ(shown.portLabel, c.layout.portLabel);
        EXPECT_EQ(shown.baudLabel, c.layout.baudLabel);
        EXPECT_EQ(shown.dataBitsEnabled, c.layout.lineLists);
        EXPECT_EQ(shown.parityEnabled, c.layout.lineLists);
        EXPECT_EQ(shown.stopBitsEnabled, c.layout.lineLists);
        EXPECT_EQ(shown.port, c.port);
        EXPECT_EQ(portSelection != -1, c.portSelected);
        EXPECT_EQ(Stored(), with(c.stored, c.changed));
        substitute::DeleteRegistryKey(kKey);
    }
}

// Look-ups ignore case and what is written is the list's own text; a text no list holds is
// kept.
TEST_F(SettingsWindowTest, StoredTextsAreFoundIgnoringCase) {
    Store({{"PrinterType", "tcp/ip"},
           {"Port", "com3"},
           {"Parity", "Even"},
           {"DataBits", "9"},
           {"Attempts", "0"},
           {"Delay", "-5"}});
    Shown shown;
    Open([&](HWND d) {
        shown = Read(d);
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(shown.type, "TCP/IP");
    EXPECT_EQ(shown.baudLabel, "IP Address");
    EXPECT_EQ(shown.port, "com3"); // not among the TCP/IP ports: shown as it is
    EXPECT_EQ(shown.parity, "even");
    EXPECT_EQ(shown.dataBits, ""); // "9" is not in the list
    EXPECT_EQ(shown.attempts, "");
    EXPECT_EQ(shown.delay, "0"); // a job pauses no time for it
    Values saved = Stored();
    EXPECT_EQ(saved["PrinterType"], "TCP/IP");
    EXPECT_EQ(saved["Port"], "com3");
    EXPECT_EQ(saved["Parity"], "even");
    EXPECT_EQ(saved["DataBits"], "9");
    EXPECT_EQ(saved["Attempts"], "0");
    EXPECT_EQ(saved["Delay"], "0");
}

TEST_F(SettingsWindowTest, StoredPortInNoListIsShownAndSavedAsItIs) {
    Store({{"Port", "COM12"}});
    std::string port;
    Open([&](HWND d) {
        port = substitute::ControlText(d, IDC_PORT);
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(port, "COM12");
    EXPECT_EQ(Stored()["Port"], "COM12");
}

// The port list at load is the stored type's own; a stored port it lacks is shown as text.
TEST_F(SettingsWindowTest, PortFileEntriesAreNotAddedAtLoad) {
    Store({{"Port", "LPT7"}});
    WritePortFile("com1\nLPT7  lpt7\n\tCOM1 9100\n");
    std::vector<std::string> ports;
    std::string port;
    Open([&](HWND d) {
        ports = substitute::ListEntries(d, IDC_PORT);
        port = substitute::ControlText(d, IDC_PORT);
        substitute::PressButton(d, IDCANCEL);
    });
    EXPECT_EQ(ports, kComPorts);
    EXPECT_EQ(port, "LPT7");
}

// Without a stored port the file is not read at load.
TEST_F(SettingsWindowTest, PortFileIgnoredWithoutStoredPort) {
    Store({{"PrinterType", "Serial"}});
    WritePortFile("LPT7\n");
    std::vector<std::string> ports;
    Open([&](HWND d) {
        ports = substitute::ListEntries(d, IDC_PORT);
        substitute::PressButton(d, IDCANCEL);
    });
    EXPECT_EQ(ports, kComPorts);
}

TEST_F(SettingsWindowTest, TypedPortIsCutToNineteenCharacters) {
    const struct {
        std::string typed;
        std::string saved;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJKLMNOPQRS"},
        {"ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOPQRS"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("typed [" + c.typed + "]");
        std::string field;
        Open([&](HWND d) {
            EXPECT_TRUE(substitute::TypeText(d, IDC_PORT, c.typed));
            field = substitute::ControlText(d, IDC_PORT);
            substitute::PressButton(d, IDOK);
        });
        // The field takes as much as is saved, no less.
        EXPECT_EQ(field, c.saved);
        EXPECT_EQ(Stored()["Port"], c.saved);
    }
    EXPECT_EQ(PortFile(), "ABCDEFGHIJKLMNOPQRS\n\\\\.\\COM12\n\n");
    // A long stored port is kept whole only while the field still holds it.
    const std::string longName = "Zebra ZP450 Label Printer (Copy 2)";
    Store({{"PrinterType", "USB"}, {"Port", longName}});
    Open([&](HWND d) {
        EXPECT_TRUE(substitute::TypeText(d, IDC_PORT, longName));
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(Stored()["Port"], longName.substr(0, 19));
}

// A printer queue's name, chosen or typed, is saved whole however long; a typed USB name is
// cut as any typed port is.
TEST_F(SettingsWindowTest, RawQueueNameIsSavedWhole) {
    const std::string longName = "Label Printer " + std::string(220, 'q');
    substitute::InstallPrinter(longName);
    substitute::InstallPrinter("Zebra ZP450");
    const struct {
        const char* type;
        bool choose; // choose the long name from the list, else type it
        std::string saved;
    } cases[] = {
        {"Printer (RAW)", true, longName},
        {"Printer (RAW)", false, longName},
        {"USB", true, longName},
        {"USB", false, longName.substr(0, 19)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + (c.choose ? " chosen" : " typed"));
        Open([&](HWND d) {
            EXPECT_TRUE(substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, c.type));
            if (c.choose) {
                EXPECT_TRUE(substitute::ChooseListEntry(d, IDC_PORT, longName));
            } else {
                EXPECT_TRUE(substitute::TypeText(d, IDC_PORT, longName));
            }
            substitute::PressButton(d, IDOK);
        });
        EXPECT_EQ(Stored()["PrinterType"], c.type);
        EXPECT_EQ(Stored()["Port"], c.saved);
    }
}

TEST_F(SettingsWindowTest, DelayField) {
    const struct {
        std::string typed;
        const char* saved; // nullptr: the stored 250 stays
    } cases[] = {
        {"", nullptr},           {"007", "7"}, {"0", "0"}, {"4294967295", "4294967295"},
        {"4294967296", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("typed [" + c.typed + "]");
        Store({{"Delay", "250"}});
        Open([&](HWND d) {
            EXPECT_TRUE(substitute::TypeText(d, IDC_DELAY, c.typed));
            substitute::PressButton(d, IDOK);
        });
        EXPECT_EQ(Stored()["Delay"], c.saved ? c.saved : "250");
    }
}

TEST_F(SettingsWindowTest, TimeoutField) {
    const struct {
        const char* name;
        const char* stored; // nullptr: absent
        const char* type;   // chosen by the user; nullptr: as opened
        const char* typed;  // nullptr: field untouched
        bool enabled;
        const char* saved; // nullptr: absent
    } cases[] = {
        {"absent, untouched", nullptr, nullptr, nullptr, false, nullptr},
        {"absent, TCP/IP chosen", nullptr, "TCP/IP", nullptr, true, nullptr},
        {"empty stays empty", "", "TCP/IP", nullptr, true, ""},
        {"odd text kept byte for byte", " 012s", "TCP/IP", nullptr, true, " 012s"},
        {"typed", nullptr, "TCP/IP", "30", true, "30"},
        {"retyped", "15", "TCP/IP", "007", true, "7"},
        {"cleared", "15", "TCP/IP", "", true, ""},
        {"kept while another type is chosen", "15", "Serial", nullptr, false, "15"},
        {"too large for a number", "15", "TCP/IP", "4294967296", true, "15"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::DeleteRegistryKey(kKey);
        Store({{"PrinterType", "Parallel"}});
        if (c.stored != nullptr) {
            Store({{"Timeout", c.stored}});
        }
        bool enabled = !c.enabled;
        std::string shown;
        Open([&](HWND d) {
            if (c.type != nullptr) {
                substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, c.type);
            }
            if (c.typed != nullptr) {
                EXPECT_TRUE(substitute::TypeText(d, IDC_TIMEOUT, c.typed));
            }
            enabled = substitute::IsControlEnabled(d, IDC_TIMEOUT);
            shown = substitute::ControlText(d, IDC_TIMEOUT);
            substitute::PressButton(d, IDOK);
        });
        EXPECT_EQ(enabled, c.enabled);
        if (c.typed == nullptr) {
            EXPECT_EQ(shown, c.stored != nullptr ? c.stored : "");
        }
        Values stored = Stored();
        if (c.saved == nullptr) {
            EXPECT_EQ(stored.count("Timeout"), 0u);
        } else {
            EXPECT_EQ(stored["Timeout"], c.saved);
        }
    }
}

// The Confirm list: enabled for the types that can hear back, showing what a job would read,
// and written, in lower case, only when the user chose otherwise.
TEST_F(SettingsWindowTest, ConfirmList) {
    const struct {
        const char* name;
        const char* stored; // nullptr: absent
        const char* type;   // chosen by the user
        const char* chosen; // nullptr: list untouched
        bool enabled;
        const char* shown;
        const char* saved; // nullptr: absent
    } cases[] = {
        {"absent, untouched", nullptr, "TCP/IP", nullptr, true, "Off", nullptr},
        {"absent, Off chosen", nullptr, "Serial", "Off", true, "Off", nullptr},
        {"chosen for TCP/IP", nullptr, "TCP/IP", "Printed", true, "Printed", "printed"},
        {"chosen for Serial", "off", "Serial", "Received", true, "Received", "received"},
        {"any case read, kept untouched", "PRINTED", "TCP/IP", nullptr, true, "Printed", "PRINTED"},
        {"odd text shown as Off, kept", "sometimes", "TCP/IP", "Off", true, "Off", "sometimes"},
        {"turned off", "received", "TCP/IP", "Off", true, "Off", "off"},
        {"disabled for Parallel", "received", "Parallel", nullptr, false, "Received", "received"},
        {"disabled for USB", nullptr, "USB", nullptr, false, "Off", nullptr},
        {"disabled for a raw queue", nullptr, "Printer (RAW)", nullptr, false, "Off", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::DeleteRegistryKey(kKey);
        Store({{"PrinterType", "Parallel"}});
        if (c.stored != nullptr) {
            Store({{"Confirm", c.stored}});
        }
        bool enabled = !c.enabled;
        std::string shown;
        Open([&](HWND d) {
            substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, c.type);
            if (c.chosen != nullptr) {
                substitute::ChooseListEntry(d, IDC_CONFIRM, c.chosen);
            }
            enabled = substitute::IsControlEnabled(d, IDC_CONFIRM);
            shown = substitute::ControlText(d, IDC_CONFIRM);
            substitute::PressButton(d, IDOK);
        });
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(shown, c.shown);
        Values stored = Stored();
        if (c.saved == nullptr) {
            EXPECT_EQ(stored.count("Confirm"), 0u);
        } else {
            EXPECT_EQ(stored["Confirm"], c.saved);
        }
    }
}

TEST_F(SettingsWindowTest, UsbWithPrintersSelectsTheStoredOne) {
    substitute::InstallPrinter("Zebra ZP450");
    substitute::InstallPrinter("Office Laser");
    Store({{"Port", "zebra zp450"}});
    Shown shown;
    Open([&](HWND d) {
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "USB");
        shown = Read(d);
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(shown.port, "Zebra ZP450");
    EXPECT_EQ(shown.portLabel, "Printer Name");
    EXPECT_EQ(Stored()["PrinterType"], "USB");
    EXPECT_EQ(Stored()["Port"], "Zebra ZP450");
    // A name of two words is recorded whole.
    EXPECT_EQ(PortFile(), "Zebra ZP450\n");
    const auto log = substitute::CallLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("HeapFree", 0) == 0; }),
              1);
}

TEST_F(SettingsWindowTest, UsbWithoutPrinters) {
    Shown shown;
    Open([&](HWND d) {
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "USB");
        shown = Read(d);
        substitute::TypeText(d, IDC_PORT, "My Zebra");
        substitute::PressButton(d, IDOK);
    });
    EXPECT_TRUE(shown.ports.empty());
    EXPECT_EQ(shown.port, "");
    EXPECT_EQ(shown.portLabel, "Printer Name");
    EXPECT_EQ(Stored()["Port"], "My Zebra");
}

// Whichever step of the enumeration fails, the list stays empty, the block is released and
// nothing is shown.
TEST_F(SettingsWindowTest, PrinterListFailures) {
    const struct {
        const char* call;
        int skip;
    } cases[] = {{"EnumPrintersA", 0}, {"HeapAlloc", 0}, {"EnumPrintersA", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " after " + std::to_string(c.skip));
        substitute::InstallPrinter("Zebra " + std::string(c.call) + std::to_string(c.skip));
        Shown shown;
        Open([&](HWND d) {
            substitute::FailNext(c.call, ERROR_ACCESS_DENIED, 1, c.skip);
            substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "USB");
            shown = Read(d);
            substitute::PressButton(d, IDCANCEL);
        });
        EXPECT_TRUE(shown.ports.empty());
        EXPECT_EQ(shown.portLabel, "Printer Name");
        EXPECT_FALSE(shown.baudEnabled || shown.dataBitsEnabled);
        EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
    }
}

TEST_F(SettingsWindowTest, CancelAndCloseBoxSaveNothing) {
    Store({{"Port", "COM2"}, {"Delay", "5"}});
    for (bool closeBox : {false, true}) {
        Open([&](HWND d) {
            substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "Parallel");
            substitute::TypeText(d, IDC_DELAY, "77");
            EXPECT_TRUE(closeBox ? substitute::PressCloseBox(d)
                                 : substitute::PressButton(d, IDCANCEL));
        });
        EXPECT_EQ(Stored(), (Values{{"Port", "COM2"}, {"Delay", "5"}}));
        EXPECT_EQ(PortFile(), "<missing>");
    }
}

// Without the key the window keeps its defaults and closes after OK as if it had saved.
TEST_F(SettingsWindowTest, KeyThatCannotBeOpenedOrCreated) {
    substitute::FailNext("RegOpenKeyExA", ERROR_ACCESS_DENIED, 100);
    substitute::FailNext("RegCreateKeyExA", ERROR_ACCESS_DENIED, 100);
    Shown shown;
    Open([&](HWND d) {
        substitute::ChooseListEntry(d, IDC_PRINTER_TYPE, "TCP/IP");
        shown = Read(d);
        substitute::PressButton(d, IDOK);
    });
    EXPECT_EQ(shown.ports, kComPorts); // the Serial layout stays
    EXPECT_EQ(shown.baudOrAddress, "9600");
    EXPECT_EQ(shown.portLabel, "Port");
    EXPECT_FALSE(substitute::RegistryKeyExists(kKey));
    EXPECT_EQ(PortFile(), "<missing>");
}

TEST_F(SettingsWindowTest, HelpButtonOpensHelpWindow) {
    Open([&](HWND d) {
        EXPECT_TRUE(substitute::PressButton(d, IDC_HELP_BUTTON));
        substitute::PressButton(d, IDCANCEL);
    });
    EXPECT_EQ(opened, (std::vector<int>{IDD_SETTINGS, IDD_INFO}));
}

} // namespace
