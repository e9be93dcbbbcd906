// Where a setting comes from: each value from the policy, the user's or the machine's key; the
// printer a job takes from them (a stored "Printer" among them) with its place in the result
// file; and --printer NAME through the named printers of the three keys.
#include "core/printer_target.h"
#include "launcher/job_records.h"
#include "launcher/run_loop.h"
#include "platform/testing.h"
#include "settings/setting_places.h"
#include "transport/job_worker.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Values = std::map<std::string, std::string>;

const std::string kPolicyKey =
    "HKEY_LOCAL_MACHINE\\Software\\Policies\\Velmora Software\\Tagwright\\1.0";
const std::string kUserKey = jobtest::kSettingsKey;
const std::string kMachineKey = "HKEY_LOCAL_MACHINE\\Software\\Velmora Software\\Tagwright\\1.0";

const char* const kValueNames[] = {"PrinterType", "Port",     "BaudorIPAddress", "DataBits",
                                   "Parity",      "StopBits", "Delay",           "Attempts",
                                   "CheckStatus", "Timeout",  "Confirm"};

void Store(const std::string& key, const Values& values) {
    substitute::CreateRegistryKey(key);
    for (const auto& [name, text] : values) {
        substitute::SetRegistryString(key, name, text);
    }
}

// A complete parallel printer on `port`, as the settings window writes one.
Values ParallelPrinter(const std::string& port) {
    return {{"PrinterType", "Parallel"},
            {"Port", port},
            {"BaudorIPAddress", "9600"},
            {"DataBits", "8"},
            {"Parity", "none"},
            {"StopBits", "1"},
            {"Delay", "0"},
            {"Attempts", "1"}};
}

// Each value from the first key that has it, whichever value it is, and the place it names.
TEST(SettingPlaces, EachValueComesFromTheFirstKeyThatHasIt) {
    const struct {
        const char* name;
        bool policy, user, machine;
        SettingPlace from;
    } rows[] = {
        {"all three", true, true, true, SettingPlace::Policy},
        {"user and machine", false, true, true, SettingPlace::User},
        {"policy and machine", true, false, true, SettingPlace::Policy},
        {"machine alone", false, false, true, SettingPlace::Machine},
        {"none", false, false, false, SettingPlace::None},
    };
    const std::pair<SettingPlace, std::string> keys[] = {{SettingPlace::Policy, kPolicyKey},
                                                         {SettingPlace::User, kUserKey},
                                                         {SettingPlace::Machine, kMachineKey}};
    for (const auto& row : rows) {
        for (const char* name : kValueNames) {
            SCOPED_TRACE(std::string(row.name) + ": " + name);
            substitute::Reset();
            const bool present[] = {row.policy, row.user, row.machine};
            for (int i = 0; i < 3; ++i) {
                substitute::CreateRegistryKey(keys[i].second);
                if (present[i]) {
                    substitute::SetRegistryString(keys[i].second, name,
                                                  SettingPlaceName(keys[i].first));
                }
            }
            SettingPlaces places{};
            ASSERT_TRUE(OpenSettingPlaces(&places));
            char value[kTextBufferSize];
            SettingPlace place = SettingPlace::Policy;
            SetLastError(0xdeadbeef);
            EXPECT_EQ(ReadPlacedSetting(&places, name, value, &place),
                      row.from != SettingPlace::None);
            EXPECT_EQ(place, row.from);
            EXPECT_STREQ(value, SettingPlaceName(row.from));
            if (row.from == SettingPlace::None) {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
            }
            CloseSettingPlaces(&places);
            EXPECT_EQ(substitute::OpenHandles(), Lines{});
        }
    }
    // A user's value too long to read is the user's all the same: the machine's is not taken.
    substitute::Reset();
    substitute::SetRegistryString(kUserKey, "Port", std::string(kTextBufferSize, 'x'));
    substitute::SetRegistryString(kMachineKey, "Port", "LPT1");
    SettingPlaces places{};
    ASSERT_TRUE(OpenSettingPlaces(&places));
    char value[kTextBufferSize];
    EXPECT_FALSE(ReadPlacedSetting(&places, "Port", value, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    CloseSettingPlaces(&places);
    // No key at all: the user's key's own refusal, as before there were other keys.
    substitute::Reset();
    EXPECT_FALSE(OpenSettingPlaces(&places));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(substitute::OpenHandles(), Lines{});
}

struct PrinterCase {
    const char* name;
    Values policy, user, machine;  // a key is created only when it has values
    const char* commandLineTarget; // nullptr: none
    JobResult result;
    const char* device; // where the label went; "" nowhere
    SettingPlace place;
    const char* target;  // the job's outcome
    const char* problem; // part of the stored printer's problem; "" none
};

// The printer a job takes: the precedence of a stored "Printer" over and under the values, the
// place the result file names, and a "Printer" that is no device URI.
TEST(SettingPlaces, JobTakesItsPrinterFromThePlacesInOrder) {
    const PrinterCase cases[] = {
        {"the user's printer, a machine Printer beside it",
         {},
         ParallelPrinter("LPT1"),
         {{"Printer", "parallel:LPT2"}},
         nullptr,
         JobResult::Done,
         "lpt1",
         SettingPlace::User,
         "parallel:LPT1",
         ""},
        {"a machine Printer where the user has no PrinterType",
         {},
         {{"Delay", "0"}},
         {{"Printer", "parallel:LPT2"}},
         nullptr,
         JobResult::Done,
         "lpt2",
         SettingPlace::Machine,
         "parallel:LPT2",
         ""},
        {"a machine Printer, no user key, no Delay anywhere",
         {},
         {},
         {{"Printer", "serial:COM9?baud=19200"}},
         nullptr,
         JobResult::Done,
         "com9",
         SettingPlace::Machine,
         "serial:COM9?baud=19200&bits=8&parity=none&stop=1",
         ""},
        {"the machine's eight values, no user key",
         {},
         {},
         ParallelPrinter("LPT2"),
         nullptr,
         JobResult::Done,
         "lpt2",
         SettingPlace::Machine,
         "parallel:LPT2",
         ""},
        {"a policy Printer forces its printer",
         {{"Printer", "parallel:LPT2"}},
         ParallelPrinter("LPT1"),
         {},
         nullptr,
         JobResult::Done,
         "lpt2",
         SettingPlace::Policy,
         "parallel:LPT2",
         ""},
        {"policy values over the user's",
         {{"PrinterType", "Parallel"}, {"Port", "LPT2"}},
         ParallelPrinter("LPT1"),
         {},
         nullptr,
         JobResult::Done,
         "lpt2",
         SettingPlace::Policy,
         "parallel:LPT2",
         ""},
        {"a machine Printer that is no device URI",
         {},
         {},
         {{"Printer", "LPT2"}},
         nullptr,
         JobResult::SettingsError,
         "",
         SettingPlace::Machine,
         "",
         "\"LPT2\" is not one of"},
        {"a policy Printer that is no device URI",
         {{"Printer", "socket://"}},
         ParallelPrinter("LPT1"),
         {},
         nullptr,
         JobResult::SettingsError,
         "",
         SettingPlace::Policy,
         "",
         "socket://"},
        {"a target on the command line",
         {{"Printer", "parallel:LPT2"}},
         {},
         {},
         "parallel:LPT1",
         JobResult::Done,
         "lpt1",
         SettingPlace::CommandLine,
         "parallel:LPT1",
         ""},
    };
    for (const PrinterCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_jobOptions = JobOptions{};
        g_jobOutcome = JobOutcome{};
        HWND window = jobtest::StartJobTest();
        jobtest::ScratchFolder folder;
        // A port named by a device URI must exist.
        for (const char* device : {"lpt1", "lpt2", "com9"}) {
            jobtest::WriteBytes(folder / device, "");
        }
        substitute::MapDevice("LPT1", folder / "lpt1");
        substitute::MapDevice("LPT2", folder / "lpt2");
        substitute::MapCommDevice("COM9", folder / "com9");
        const std::pair<const Values*, std::string> keys[] = {
            {&c.policy, kPolicyKey}, {&c.user, kUserKey}, {&c.machine, kMachineKey}};
        for (const auto& [values, key] : keys) {
            if (!values->empty()) {
                Store(key, *values);
            }
        }
        if (c.commandLineTarget != nullptr) {
            char problem[kTextBufferSize];
            ASSERT_TRUE(ParsePrinterTarget(c.commandLineTarget, &g_jobOptions.target, problem,
                                           sizeof problem));
        }
        std::string input = folder / "label.zpl";
        jobtest::WriteBytes(input, "^XA^XZ");
        jobtest::PathBuffer path(input);

        EXPECT_EQ(JobWorker(path.text), static_cast<DWORD>(c.result));

        for (const char* device : {"lpt1", "lpt2", "com9"}) {
            EXPECT_EQ(jobtest::ReadBytes(folder / device),
                      std::string(device) == c.device ? "^XA^XZ" : "")
                << device;
        }
        EXPECT_EQ(g_jobOutcome.settings, c.place);
        EXPECT_STREQ(g_jobOutcome.target, c.target);
        EXPECT_NE(std::string(g_jobOutcome.printerProblem).find(c.problem), std::string::npos)
            << g_jobOutcome.printerProblem;
        EXPECT_EQ(c.problem[0] == '\0', g_jobOutcome.printerProblem[0] == '\0');
        if (c.result == JobResult::SettingsError) {
            EXPECT_EQ(jobtest::Reports(window).back(), "done 13,1");
        }
        // The result file names the place.
        FinishedJob finished{"printed", 1, 0, "", path.text, false, 10};
        RecordFinishedJob(&finished, (folder / "result.json").c_str());
        EXPECT_NE(jobtest::ReadBytes(folder / "result.json")
                      .find(std::string("\"settings\":\"") + SettingPlaceName(c.place) + "\"}"),
                  std::string::npos);
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
    }
    g_jobOptions = JobOptions{};
    g_jobOutcome = JobOutcome{};
    substitute::Reset();
}

struct NamedCase {
    const char* name;
    Values policy, user, machine; // the "Printers" subkeys
    const char* argument;         // --printer's value, quoted as given
    int exitCode;
    const char* device;
    SettingPlace place;
    const char* messagePart; // of the refusal; "" when printed
};

std::vector<std::string> g_messages;

void KeepMessage(const FinishedJob* job, const char* /*resultPath*/) {
    g_messages.emplace_back(job->message);
}

// --printer NAME through the whole program: the policy's names over the user's over the
// machine's, names that look like schemes or hold spaces, and the refusals (exit code 2).
TEST(SettingPlaces, PrinterNamesResolveInTheOrderOfTheKeys) {
    const NamedCase cases[] = {
        {"policy over user over machine",
         {{"Shipping", "parallel:LPT2"}},
         {{"Shipping", "parallel:LPT1"}},
         {{"Shipping", "serial:COM9"}},
         "Shipping",
         1,
         "lpt2",
         SettingPlace::Policy,
         ""},
        {"user over machine, any case",
         {},
         {{"Shipping", "parallel:LPT1"}},
         {{"shipping", "parallel:LPT2"}},
         "SHIPPING",
         1,
         "lpt1",
         SettingPlace::User,
         ""},
        {"machine alone",
         {},
         {},
         {{"Shipping", "serial:COM9?baud=19200"}},
         "Shipping",
         1,
         "com9",
         SettingPlace::Machine,
         ""},
        {"a name with a space",
         {},
         {{"Small labels", "parallel:LPT1"}},
         {},
         "\"Small labels\"",
         1,
         "lpt1",
         SettingPlace::User,
         ""},
        {"a name that is also a scheme",
         {},
         {{"socket", "parallel:LPT1"}},
         {},
         "socket",
         1,
         "lpt1",
         SettingPlace::User,
         ""},
        {"a scheme with its colon is a device URI",
         {},
         {{"socket", "parallel:LPT1"}},
         {},
         "socket:",
         2,
         "",
         SettingPlace::None,
         "\"socket:\" is not one of"},
        {"an unknown name lists each name once",
         {{"Alpha", "parallel:LPT1"}},
         {{"Bravo", "parallel:LPT1"}, {"Shipping", "parallel:LPT1"}},
         {{"shipping", "parallel:LPT2"}},
         "Nope",
         2,
         "",
         SettingPlace::None,
         "\"Nope\" is neither a device URI (socket://HOST[:PORT], serial:PORT, parallel:PORT, "
         "driver:PRINTER, raw:PRINTER) nor a named printer; the named printers are: Alpha, "
         "Bravo, Shipping."},
        {"an unknown name and no names",
         {},
         {},
         {},
         "Shipping",
         2,
         "",
         SettingPlace::None,
         "nor a named printer; no printers are named in the settings."},
        {"a bad device URI under a name",
         {},
         {{"Shipping", "lpt1"}},
         {{"Shipping", "parallel:LPT2"}},
         "Shipping",
         2,
         "",
         SettingPlace::None,
         "The named printer \"Shipping\" of the user settings: The printer target \"lpt1\""},
    };
    for (const NamedCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_jobOptions = JobOptions{};
        g_jobOutcome = JobOutcome{};
        substitute::Reset();
        substitute::UseVirtualClock(true);
        jobtest::ScratchFolder folder;
        // A port named by a device URI must exist.
        for (const char* device : {"lpt1", "lpt2", "com9"}) {
            jobtest::WriteBytes(folder / device, "");
        }
        substitute::MapDevice("LPT1", folder / "lpt1");
        substitute::MapDevice("LPT2", folder / "lpt2");
        substitute::MapCommDevice("COM9", folder / "com9");
        Store(kUserKey, {{"Delay", "0"}});
        const std::pair<const Values*, std::string> keys[] = {
            {&c.policy, kPolicyKey}, {&c.user, kUserKey}, {&c.machine, kMachineKey}};
        for (const auto& [values, key] : keys) {
            if (!values->empty()) {
                Store(key + "\\Printers", *values);
            }
        }
        std::string input = folder / "label.zpl";
        jobtest::WriteBytes(input, "^XA^XZ");
        std::string commandLine = std::string("-q --printer ") + c.argument + " " + input;
        substitute::SetCommandLineW(L"tagwright.exe " +
                                    std::wstring(commandLine.begin(), commandLine.end()));
        g_messages.clear();
        g_recordFinishedJob = KeepMessage;

        EXPECT_EQ(TagwrightMain(nullptr, commandLine.data()), c.exitCode);

        g_recordFinishedJob = RecordFinishedJob;
        for (const char* device : {"lpt1", "lpt2", "com9"}) {
            EXPECT_EQ(jobtest::ReadBytes(folder / device),
                      std::string(device) == c.device ? "^XA^XZ" : "")
                << device;
        }
        EXPECT_EQ(jobtest::Exists(input), c.exitCode != 1);
        EXPECT_EQ(g_jobOutcome.settings, c.place);
        ASSERT_EQ(g_messages.size(), 1u);
        EXPECT_NE(g_messages[0].find(c.messagePart), std::string::npos) << g_messages[0];
        EXPECT_TRUE(substitute::JoinThreads());
        EXPECT_EQ(substitute::OpenHandles(), Lines{});
    }
    g_jobOptions = JobOptions{};
    g_jobOutcome = JobOutcome{};
    substitute::Reset();
}

// A stored "Printer" that is no device URI: a settings failure (quiet: exit 4) whose message
// names the key and what is wrong, the label kept.
TEST(SettingPlaces, BadStoredPrinterIsASettingsFailureThatSaysWhy) {
    g_jobOptions = JobOptions{};
    g_jobOutcome = JobOutcome{};
    substitute::Reset();
    substitute::UseVirtualClock(true);
    jobtest::ScratchFolder folder;
    Store(kMachineKey, {{"Printer", "LPT2"}});
    std::string input = folder / "label.zpl";
    jobtest::WriteBytes(input, "^XA^XZ");
    std::string commandLine = "-q " + input;
    substitute::SetCommandLineW(L"tagwright.exe " +
                                std::wstring(commandLine.begin(), commandLine.end()));
    g_messages.clear();
    g_recordFinishedJob = KeepMessage;

    EXPECT_EQ(TagwrightMain(nullptr, commandLine.data()), 4);

    g_recordFinishedJob = RecordFinishedJob;
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].rfind("The printer stored as Printer in the machine settings cannot "
                                  "be used: The printer target \"LPT2\" is not one of",
                                  0),
              0u)
        << g_messages[0];
    EXPECT_TRUE(jobtest::Exists(input));
    EXPECT_TRUE(substitute::JoinThreads());
    EXPECT_EQ(substitute::OpenHandles(), Lines{});
    g_jobOptions = JobOptions{};
    g_jobOutcome = JobOutcome{};
    substitute::Reset();
}

} // namespace
