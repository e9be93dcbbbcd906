// The settings window over the three keys: a policy's value shown greyed and never written, a
// machine default shown and written to the user's key only once changed, and a stored
// "Printer" shown in the printer's fields.
#include "platform/testing.h"
#include "resources/resource_ids.h"
#include "settings/settings_window.h"

#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <strings.h>

namespace {

using Values = std::map<std::string, std::string>;

const std::string kUserKey = "Software\\Velmora Software\\Tagwright\\1.0";
const std::string kPolicyKey =
    "HKEY_LOCAL_MACHINE\\Software\\Policies\\Velmora Software\\Tagwright\\1.0";
const std::string kMachineKey = "HKEY_LOCAL_MACHINE\\Software\\Velmora Software\\Tagwright\\1.0";

void Store(const std::string& key, const Values& values) {
    substitute::CreateRegistryKey(key);
    for (const auto& [name, text] : values) {
        substitute::SetRegistryString(key, name, text);
    }
}

// What a field shows, the check box as "1" or "0".
std::string Shown(HWND d, int id) {
    if (id == IDC_CHECK_STATUS) {
        return IsDlgButtonChecked(d, id) == BST_CHECKED ? "1" : "0";
    }
    return substitute::ControlText(d, id);
}

bool SameText(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Runs the window once: `steps` sees it open, then OK is pressed.
void OpenAndPressOk(const std::function<void(HWND)>& steps) {
    substitute::OnDialogOpened([&](HWND dialog, int templateId) {
        if (templateId == IDD_SETTINGS) {
            steps(dialog);
            EXPECT_TRUE(substitute::PressButton(dialog, IDOK));
        }
    });
    EXPECT_EQ(ShowSettingsWindow(nullptr), 1);
    substitute::OnDialogOpened(nullptr);
}

struct ValueRow {
    const char* name;
    int id;
    const char* held;               // the policy's or the machine's text
    const char* users;              // the user's own text, which a locked value leaves alone
    std::function<bool(HWND)> edit; // false: the field refused it
    const char* edited;             // what the edit stores
    Values context;                 // more machine values the field needs to be usable
};

// Each value three times: locked by the policy, a machine default left alone, and one changed.
TEST(SettingsWindowPlaces, LockedValuesAreGreyedAndMachineDefaultsWrittenOnlyWhenChanged) {
    auto choose = [](int id, const char* text) {
        return [id, text](HWND d) { return substitute::ChooseListEntry(d, id, text); };
    };
    auto type = [](int id, const char* text) {
        return [id, text](HWND d) { return substitute::TypeText(d, id, text); };
    };
    const ValueRow rows[] = {
        {"PrinterType",
         IDC_PRINTER_TYPE,
         "Parallel",
         "Serial",
         choose(IDC_PRINTER_TYPE, "USB"),
         "USB",
         {}},
        {"Port", IDC_PORT, "COM3", "COM2", choose(IDC_PORT, "COM5"), "COM5", {}},
        {"BaudorIPAddress",
         IDC_BAUD_OR_ADDRESS,
         "19200",
         "1200",
         type(IDC_BAUD_OR_ADDRESS, "4800"),
         "4800",
         {}},
        {"DataBits", IDC_DATA_BITS, "7", "8", choose(IDC_DATA_BITS, "6"), "6", {}},
        {"Parity", IDC_PARITY, "even", "none", choose(IDC_PARITY, "odd"), "odd", {}},
        {"StopBits", IDC_STOP_BITS, "2", "1", choose(IDC_STOP_BITS, "1.5"), "1.5", {}},
        {"Delay", IDC_DELAY, "250", "100", type(IDC_DELAY, "0"), "0", {}},
        {"Attempts", IDC_ATTEMPTS, "5", "3", choose(IDC_ATTEMPTS, "2"), "2", {}},
        {"CheckStatus",
         IDC_CHECK_STATUS,
         "1",
         "0",
         [](HWND d) { return substitute::PressButton(d, IDC_CHECK_STATUS); },
         "0",
         {}},
        {"Timeout",
         IDC_TIMEOUT,
         "30",
         "10",
         type(IDC_TIMEOUT, "45"),
         "45",
         {{"PrinterType", "TCP/IP"}}},
        {"Confirm", IDC_CONFIRM, "printed", "off", choose(IDC_CONFIRM, "Received"), "received", {}},
    };
    for (const ValueRow& row : rows) {
        for (const std::string how : {"locked", "machine, left alone", "machine, changed"}) {
            SCOPED_TRACE(std::string(row.name) + ", " + how);
            substitute::Reset();
            scratch::ScratchFolder folder;
            bool locked = how == "locked";
            bool change = how == "machine, changed";
            Store(kMachineKey, row.context);
            if (locked) {
                Store(kPolicyKey, {{row.name, row.held}});
                Store(kUserKey, {{row.name, row.users}});
            } else {
                Store(kMachineKey, {{row.name, row.held}});
            }
            std::string shown;
            bool enabled = true;
            OpenAndPressOk([&](HWND d) {
                shown = Shown(d, row.id);
                enabled = substitute::IsControlEnabled(d, row.id);
                // A greyed field takes no edit; the user tries all the same.
                if (locked || change) {
                    EXPECT_EQ(row.edit(d), change);
                }
            });
            EXPECT_TRUE(SameText(shown, row.held)) << shown;
            EXPECT_EQ(enabled, !locked);
            std::optional<std::string> stored = substitute::GetRegistryString(kUserKey, row.name);
            if (locked) {
                EXPECT_EQ(stored, std::string(row.users));
            } else if (change) {
                EXPECT_EQ(stored, std::string(row.edited));
            } else {
                EXPECT_EQ(stored, std::nullopt);
            }
            EXPECT_EQ(substitute::GetRegistryString(locked ? kPolicyKey : kMachineKey, row.name),
                      std::string(row.held));
            EXPECT_EQ(substitute::OpenHandles(), std::vector<std::string>{});
        }
    }
}

// A "Printer" fills the printer's fields: a policy's greys all six and none is written; a
// machine's is written as a whole once any of them changes, and not at all while none does.
TEST(SettingsWindowPlaces, StoredPrinterFillsThePrinterFields) {
    const char* const printerValues[] = {"PrinterType", "Port",   "BaudorIPAddress",
                                         "DataBits",    "Parity", "StopBits"};
    const int printerFields[] = {IDC_PRINTER_TYPE, IDC_PORT,   IDC_BAUD_OR_ADDRESS,
                                 IDC_DATA_BITS,    IDC_PARITY, IDC_STOP_BITS};
    const struct {
        const char* name;
        std::string key;
        bool changePort;
        bool greyed;
        std::optional<std::string> storedPort; // the user's Port after OK
    } cases[] = {
        {"policy", kPolicyKey, false, true, std::nullopt},
        {"machine, left alone", kMachineKey, false, false, std::nullopt},
        {"machine, port changed", kMachineKey, true, false, "9200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::Reset();
        scratch::ScratchFolder folder;
        scratch::WriteBytes(folder / "tcpport.dat", "9200\n");
        Store(c.key, {{"Printer", "socket://10.1.2.3:9101"}});
        std::string type, port, address;
        int greyed = 0;
        OpenAndPressOk([&](HWND d) {
            type = substitute::SelectedText(d, IDC_PRINTER_TYPE);
            port = substitute::ControlText(d, IDC_PORT);
            address = substitute::ControlText(d, IDC_BAUD_OR_ADDRESS);
            for (int id : printerFields) {
                greyed += substitute::IsControlEnabled(d, id) ? 0 : 1;
            }
            if (c.changePort) {
                EXPECT_TRUE(substitute::ChooseListEntry(d, IDC_PORT, "9200"));
            }
        });
        EXPECT_EQ(type, "TCP/IP");
        EXPECT_EQ(port, "9101");
        EXPECT_EQ(address, "10.1.2.3");
        // The TCP/IP layout greys the line settings by itself; a policy greys the rest too.
        EXPECT_EQ(greyed, c.greyed ? 6 : 3);
        EXPECT_EQ(substitute::GetRegistryString(kUserKey, "Port"), c.storedPort);
        for (const char* name : printerValues) {
            EXPECT_EQ(substitute::GetRegistryString(kUserKey, name).has_value(),
                      c.storedPort.has_value())
                << name;
        }
    }
}

} // namespace
