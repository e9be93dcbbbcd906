// Confirmation after the label: the conversation against a scripted printer on the virtual
// clock, then a network job against the loopback printer.
#include "platform/testing.h"
#include "transport/job_worker.h"
#include "transport/print_confirmation.h"

#include "job_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string HostAnswer(int formats, int labels, char pause = '0', char partial = '0') {
    char first[64];
    char second[64];
    std::snprintf(first, sizeof first, "030,0,%c,1245,%03d,0,0,%c,000,0,0,0", pause, formats,
                  partial);
    std::snprintf(second, sizeof second, "001,0,0,0,1,2,6,0,%08d,1,000", labels);
    return std::string("\x02") + first + "\x03\r\n\x02" + second + "\x03\r\n\x02" +
           "1234,0\x03\r\n";
}

std::string ErrorAnswer(const char* flagAndGroups) {
    return std::string("\x02\r\n  PRINTER STATUS\r\n   ERRORS:         ") + flagAndGroups +
           "\r\n   WARNINGS:       0 00000000 00000000\r\n\x03\r\n";
}

const std::string kClear = ErrorAnswer("0 00000000 00000000");
const std::string kMediaOut = ErrorAnswer("1 00000000 00000001");

// What the printer does at one "~HS" and the "~HQES" after it: its answers ("" is silence),
// or the end of the connection (-1 none, 0 an orderly close, else the error).
struct Step {
    std::string host;
    std::string errors;
    int end = -1;
};

// Answers in chunks of a few bytes, so that an answer is read in pieces; a read that finds
// nothing waits its whole time on the virtual clock.
struct ScriptedPrinter {
    std::vector<Step> steps;
    std::vector<std::string> queries;
    std::size_t hostQueries = 0;
    std::string pending;
    int end = -1;

    const Step& Current() const {
        std::size_t at = hostQueries == 0 ? 0 : hostQueries - 1;
        return steps[std::min(at, steps.size() - 1)];
    }
};

bool ScriptedWrite(void* context, const char* bytes, DWORD count, DWORD* error) {
    auto* printer = static_cast<ScriptedPrinter*>(context);
    if (printer->end > 0) {
        *error = static_cast<DWORD>(printer->end);
        return false;
    }
    std::string query(bytes, count);
    printer->queries.push_back(query);
    if (query == "~HS") {
        ++printer->hostQueries;
        printer->pending += printer->Current().host;
        printer->end = printer->Current().end;
    } else {
        printer->pending += printer->Current().errors;
    }
    return true;
}

int ScriptedRead(void* context, char* buffer, DWORD capacity, DWORD wait, DWORD* error) {
    auto* printer = static_cast<ScriptedPrinter*>(context);
    if (printer->pending.empty()) {
        if (printer->end >= 0) {
            *error = static_cast<DWORD>(printer->end);
            return -1;
        }
        Sleep(wait);
        return 0;
    }
    std::size_t count = std::min<std::size_t>({printer->pending.size(), capacity, 7});
    printer->pending.copy(buffer, count);
    printer->pending.erase(0, count);
    return static_cast<int>(count);
}

std::vector<Step> Counting(int from, int to, int pollsPerLabel) {
    std::vector<Step> steps;
    for (int labels = from; labels >= to; --labels) {
        for (int i = 0; i < pollsPerLabel; ++i) {
            steps.push_back({HostAnswer(0, labels), ""});
        }
    }
    return steps;
}

std::vector<Step> Joined(std::vector<Step> first, const std::vector<Step>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(PrintConfirmationTest, ConversationWithAScriptedPrinter) {
    const std::string ready = HostAnswer(0, 0);
    const struct {
        const char* name;
        ConfirmLevel level;
        std::vector<Step> steps;
        ConfirmationEnd end;
        DWORD code;
        Confirmed confirmed;
        PrinterState printer;
        std::size_t hostQueries;
        std::size_t errorQueries;
    } cases[] = {
        {"received: the first answer",
         ConfirmLevel::Received,
         {{HostAnswer(1, 3), ""}},
         ConfirmationEnd::Confirmed,
         0,
         Confirmed::Received,
         {true, 0, 3, 1},
         1,
         0},
        {"ready then printing then done",
         ConfirmLevel::Printed,
         {{HostAnswer(1, 0, '0', '1'), ""},
          {HostAnswer(0, 3), ""},
          {HostAnswer(0, 1), ""},
          {ready, ""}},
         ConfirmationEnd::Confirmed,
         0,
         Confirmed::Printed,
         {true, 0, 0, 0},
         4,
         0},
        {"media out after two of five copies",
         ConfirmLevel::Printed,
         {{HostAnswer(1, 0), ""},
          {HostAnswer(0, 5), ""},
          {HostAnswer(0, 4), ""},
          {HostAnswer(0, 3), ""},
          {"", kMediaOut}},
         ConfirmationEnd::Held,
         kPrinterMediaOut,
         Confirmed::Received,
         {true, kPrinterMediaOut, 3, 0},
         5,
         1},
        {"paused with the label",
         ConfirmLevel::Received,
         {{HostAnswer(0, 2, '1'), ""}},
         ConfirmationEnd::Held,
         kPrinterPaused,
         Confirmed::Received,
         {true, kPrinterPaused, 2, 0},
         1,
         0},
        {"silent to both queries",
         ConfirmLevel::Printed,
         {{"", ""}},
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedNoAnswer,
         Confirmed::No,
         {},
         1,
         1},
        {"silent to ~HS, report clear",
         ConfirmLevel::Received,
         {{"", kClear}},
         ConfirmationEnd::Confirmed,
         0,
         Confirmed::Received,
         {true, 0, 0, 0},
         1,
         1},
        {"answer cut short, no report",
         ConfirmLevel::Received,
         {{ready.substr(0, 30), ""}},
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedNoAnswer,
         Confirmed::No,
         {},
         1,
         1},
        {"answer cut short, report clear",
         ConfirmLevel::Received,
         {{ready.substr(0, 30), kClear}},
         ConfirmationEnd::Confirmed,
         0,
         Confirmed::Received,
         {true, 0, 0, 0},
         1,
         1},
        // Another host's labels arrive (the count rises) and go: each fall is progress, so the
        // job waits far beyond its 3 s patience while the printer keeps printing.
        {"busy with someone else's labels, making progress",
         ConfirmLevel::Printed,
         Joined(Joined(Counting(4, 2, 2), Counting(30, 1, 2)), {{ready, ""}}),
         ConfirmationEnd::Confirmed,
         0,
         Confirmed::Printed,
         {true, 0, 0, 0},
         67,
         0},
        {"stops making progress",
         ConfirmLevel::Printed,
         {{HostAnswer(0, 5), ""}, {HostAnswer(0, 4), ""}, {HostAnswer(0, 4), ""}},
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedNoProgress,
         Confirmed::Received,
         {true, 0, 4, 0},
         8,
         0},
        // However long it keeps printing, the job asks a bounded number of times.
        {"keeps making progress past the bound",
         ConfirmLevel::Printed,
         Counting(1300, 1, 1),
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedNoProgress,
         Confirmed::Received,
         {true, 0, 1300 - kMaxConfirmationPolls + 1, 0},
         kMaxConfirmationPolls,
         0},
        {"closes before it answers",
         ConfirmLevel::Received,
         {{"", "", 0}},
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedConnectionEnded,
         Confirmed::No,
         {},
         1,
         0},
        {"resets before it answers",
         ConfirmLevel::Received,
         {{"", "", WSAECONNRESET}},
         ConfirmationEnd::Failed,
         WSAECONNRESET,
         Confirmed::No,
         {},
         1,
         0},
        {"resets once it has the label",
         ConfirmLevel::Printed,
         {{HostAnswer(0, 2), ""}, {"", "", WSAECONNRESET}},
         ConfirmationEnd::Unconfirmed,
         kUnconfirmedConnectionEnded,
         Confirmed::Received,
         {true, 0, 2, 0},
         2,
         0},
    };
    constexpr DWORD kPatience = 3000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        g_jobOutcome = JobOutcome{};
        ScriptedPrinter printer{c.steps, {}, 0, "", -1};
        ConfirmationChannel channel{ScriptedWrite, ScriptedRead, &printer};
        DWORD started = GetTickCount();
        Confirmation confirmation = ConfirmPrint(&channel, c.level, kPatience);
        DWORD spent = GetTickCount() - started;
        EXPECT_EQ(static_cast<int>(confirmation.end), static_cast<int>(c.end));
        EXPECT_EQ(confirmation.code, c.code);
        EXPECT_EQ(static_cast<int>(g_jobOutcome.confirmed), static_cast<int>(c.confirmed));
        EXPECT_EQ(g_jobOutcome.printer.reported, c.printer.reported);
        EXPECT_EQ(g_jobOutcome.printer.reasons, c.printer.reasons);
        EXPECT_EQ(g_jobOutcome.printer.labelsRemaining, c.printer.labelsRemaining);
        EXPECT_EQ(g_jobOutcome.printer.formatsInBuffer, c.printer.formatsInBuffer);
        EXPECT_EQ(std::count(printer.queries.begin(), printer.queries.end(), "~HS"),
                  static_cast<long>(c.hostQueries));
        EXPECT_EQ(std::count(printer.queries.begin(), printer.queries.end(), "~HQES"),
                  static_cast<long>(c.errorQueries));
        // Each poll but the first comes after its pause; a quiet query waits out its 2 s.
        auto sleeps = substitute::Sleeps();
        EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 500u),
                  static_cast<long>(c.hostQueries - 1));
        if (c.end == ConfirmationEnd::Unconfirmed && c.code == kUnconfirmedNoProgress &&
            c.hostQueries < kMaxConfirmationPolls) {
            EXPECT_GE(spent, kPatience);
            EXPECT_LT(spent, kPatience + 1000);
        }
    }
    g_jobOutcome = JobOutcome{};
}

TEST(PrintConfirmationTest, PatienceIsTheTimeoutOrThirtySeconds) {
    EXPECT_EQ(ConfirmationPatience(0), 30000u);
    EXPECT_EQ(ConfirmationPatience(-5), 30000u);
    EXPECT_EQ(ConfirmationPatience(7), 7000u);
    EXPECT_EQ(ConfirmationPatience(86400), 86400000u);
}

// A network job with Confirm stored asks "~HS" on the label's connection after the last
// byte, and ends with what the loopback printer answered; held and unconfirmed labels are
// deleted all the same, and the job closes right after the answer.
TEST(PrintConfirmationTest, NetworkJobAsksOnTheLabelsConnection) {
    const struct {
        const char* name;
        const char* confirm;
        std::string host;   // "" silent
        std::string errors; // "" silent
        std::string done;
        Confirmed confirmed;
        const char* queries;
    } cases[] = {
        {"received", "Received", HostAnswer(0, 1), "", "done 0,0", Confirmed::Received, "~HS"},
        {"printed", "printed", HostAnswer(0, 0), "", "done 0,0", Confirmed::Printed, "~HS"},
        {"held, media out", "received", "", kMediaOut, "done 16,16", Confirmed::Received,
         "~HS~HQES"},
        {"unconfirmed, silent", "received", "", "", "done 1,17", Confirmed::No, "~HS~HQES"},
        {"off: the closing wait", "sometimes", HostAnswer(0, 0), "", "done 0,0", Confirmed::Closed,
         ""},
    };
    const std::string label = jobtest::SampleBytes(3000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        substitute::Reset();
        substitute::UseVirtualClock(true);
        jobtest::ScratchFolder folder;
        HWND window = jobtest::CreateJournalWindow();
        g_progressWindow = window;
        std::string input = folder / "label.zpl";
        jobtest::WriteBytes(input, label);
        jobtest::SetPortSettings("TCP/IP", std::to_string(substitute::FreeLocalPort()));
        jobtest::SetSetting("BaudorIPAddress", "192.168.1.50");
        jobtest::SetSetting("Confirm", c.confirm);
        unsigned short listener = substitute::StartLoopbackListener();
        ASSERT_NE(listener, 0);
        substitute::RedirectConnections(listener);
        if (!c.host.empty()) {
            substitute::AnswerHostStatus(c.host);
        }
        if (!c.errors.empty()) {
            substitute::AnswerErrorReport(c.errors);
        }
        jobtest::PathBuffer path(input);
        JobWorker(path.text);

        EXPECT_EQ(jobtest::Reports(window).back(), c.done);
        EXPECT_FALSE(jobtest::Exists(input)) << "a label the printer has is not sent again";
        EXPECT_EQ(static_cast<int>(g_jobOutcome.confirmed), static_cast<int>(c.confirmed));
        ASSERT_TRUE(substitute::WaitForReceivedConnections(1));
        auto received = substitute::ReceivedConnections();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_TRUE(received[0].bytes == label + c.queries) << received[0].bytes.size();
        EXPECT_TRUE(substitute::OpenHandles().empty());
        substitute::DestroyTestWindow(window);
        g_progressWindow = nullptr;
        substitute::Reset();
    }
    g_jobOutcome = JobOutcome{};
}

} // namespace
