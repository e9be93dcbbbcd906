// The parsers of the printer's answers to "~HS" and "~HQES" on any bytes, against a plain
// reading that splits the whole answer into lines first and then checks each line's words:
// the same kinds, flags, counts and bit groups, the same end of the wait, and nothing read
// outside the bytes given.
#include "fuzz/fuzz_check.h"
#include "transport/printer_status.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The answer's lines that hold more than framing and spaces, without those and without the
// line end; `cutShort` when the bytes end inside such a line.
struct Lines {
    std::vector<std::string> lines;
    bool cutShort = false;
};

Lines SplitLines(const std::string& bytes) {
    Lines result;
    const std::string edges(" \x02\x03", 3);
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t feed = bytes.find('\n', start);
        bool ended = feed != std::string::npos;
        std::string line = bytes.substr(start, ended ? feed - start : std::string::npos);
        start = ended ? feed + 1 : bytes.size();
        if (ended && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::size_t first = line.find_first_not_of(edges);
        if (first == std::string::npos) {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(edges) - first + 1);
        if (!ended) {
            result.cutShort = true;
            break;
        }
        result.lines.push_back(line);
    }
    return result;
}

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

DWORD Count(const std::string& digits) {
    std::size_t first = digits.find_first_not_of('0');
    std::string value = first == std::string::npos ? "0" : digits.substr(first);
    return value.size() > 9 ? 999999999u : static_cast<DWORD>(std::stoul(value));
}

HostStatus Garbled() {
    return HostStatus{HostStatusKind::Unknown, 0, 0, 0, false};
}

// Three lines from `from`, and nothing after them when `whole`.
HostStatus ReferenceHost(const Lines& split, std::size_t from) {
    const std::size_t counts[] = {12, 11, 2};
    if (split.lines.size() < from + 3) {
        return Garbled();
    }
    std::vector<std::string> fields[3];
    for (int i = 0; i < 3; ++i) {
        fields[i] = Split(split.lines[from + i], ',');
        if (fields[i].size() != counts[i] ||
            !std::all_of(fields[i].begin(), fields[i].end(), AllDigits)) {
            return Garbled();
        }
    }
    const std::string* flags[] = {&fields[0][1], &fields[1][3], &fields[1][2], &fields[0][2],
                                  &fields[0][7]};
    const DWORD reasons[] = {kPrinterPaperOut, kPrinterRibbonOut, kPrinterHeadOpen, kPrinterPaused,
                             0};
    HostStatus status{HostStatusKind::Ready, 0, Count(fields[0][4]), Count(fields[1][8]), false};
    for (int i = 0; i < 5; ++i) {
        if (*flags[i] != "0" && *flags[i] != "1") {
            return Garbled();
        }
        if (*flags[i] == "1") {
            status.reasons |= reasons[i];
        }
    }
    status.partialFormat = fields[0][7] == "1";
    status.kind = status.reasons != 0 ? HostStatusKind::NotReady : HostStatusKind::Ready;
    return status;
}

bool IsHex(const std::string& text) {
    return text.size() == 8 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// "LABEL:" spaces* flag (spaces+ group){2}
bool FlagLine(const std::string& line, const std::string& label, int* flag, DWORD* groups) {
    if (line.compare(0, label.size(), label) != 0) {
        return false;
    }
    std::string rest = line.substr(label.size());
    std::size_t first = rest.find_first_not_of(' ');
    if (first == std::string::npos || (rest[first] != '0' && rest[first] != '1')) {
        return false;
    }
    *flag = rest[first] - '0';
    rest = rest.substr(first + 1);
    for (int group = 0; group < 2; ++group) {
        std::size_t digits = rest.find_first_not_of(' ');
        if (digits == 0 || digits == std::string::npos) {
            return false;
        }
        std::string word = rest.substr(digits, 8);
        if (!IsHex(word)) {
            return false;
        }
        groups[group] = static_cast<DWORD>(std::stoul(word, nullptr, 16));
        rest = rest.substr(digits + 8);
    }
    return rest.empty();
}

ErrorReport NoReport(ErrorReportKind kind) {
    return ErrorReport{kind, {0, 0}, {0, 0}, false};
}

// The two lines after PRINTER STATUS, from `from`.
ErrorReport ReferenceErrorLines(const Lines& split, std::size_t from) {
    ErrorReport report = NoReport(ErrorReportKind::Unknown);
    int errorFlag = 0;
    int warningFlag = 0;
    if (split.lines.size() < from + 2 ||
        !FlagLine(split.lines[from], "ERRORS:", &errorFlag, report.errors) ||
        !FlagLine(split.lines[from + 1], "WARNINGS:", &warningFlag, report.warnings) ||
        (errorFlag == 0 && (report.errors[0] != 0 || report.errors[1] != 0))) {
        return NoReport(ErrorReportKind::Unknown);
    }
    report.kind = errorFlag == 1 ? ErrorReportKind::Faulted : ErrorReportKind::Clear;
    report.warningFlag = warningFlag == 1;
    return report;
}

bool Exhausted(const Lines& split, std::size_t used) {
    return split.lines.size() == used && !split.cutShort;
}

HostStatus ReferenceHostAlone(const std::string& bytes) {
    if (bytes.empty()) {
        return HostStatus{HostStatusKind::Silent, 0, 0, 0, false};
    }
    Lines split = SplitLines(bytes);
    return Exhausted(split, 3) ? ReferenceHost(split, 0) : Garbled();
}

ErrorReport ReferenceErrorsAlone(const std::string& bytes) {
    if (bytes.empty()) {
        return NoReport(ErrorReportKind::Silent);
    }
    Lines split = SplitLines(bytes);
    if (!Exhausted(split, 3) || split.lines[0] != "PRINTER STATUS") {
        return NoReport(ErrorReportKind::Unknown);
    }
    return ReferenceErrorLines(split, 1);
}

PrinterReport ReferenceBoth(const std::string& bytes, bool* finished) {
    PrinterReport report{NoReport(ErrorReportKind::Silent),
                         HostStatus{HostStatusKind::Silent, 0, 0, 0, false}};
    *finished = false;
    if (bytes.empty()) {
        return report;
    }
    Lines split = SplitLines(bytes);
    std::size_t hostFrom = 0;
    if (!split.lines.empty() && split.lines[0] == "PRINTER STATUS") {
        report.errors = ReferenceErrorLines(split, 1);
        if (report.errors.kind == ErrorReportKind::Unknown) {
            report.host = Garbled();
            return report;
        }
        hostFrom = 3;
    }
    if (Exhausted(split, hostFrom)) {
        if (hostFrom == 0) {
            report.errors = NoReport(ErrorReportKind::Unknown);
            report.host = Garbled();
        }
    } else {
        report.host = Exhausted(split, hostFrom + 3) ? ReferenceHost(split, hostFrom) : Garbled();
        if (report.host.kind == HostStatusKind::Unknown && hostFrom == 0) {
            report.errors = NoReport(ErrorReportKind::Unknown);
        }
    }
    *finished =
        report.errors.kind == ErrorReportKind::Faulted ||
        (report.host.kind != HostStatusKind::Unknown && report.host.kind != HostStatusKind::Silent);
    return report;
}

void CheckHost(const HostStatus& actual, const HostStatus& expected, const char* what) {
    fuzz::Check(actual.kind == expected.kind, what);
    fuzz::Check(actual.reasons == expected.reasons, what);
    fuzz::Check(actual.formatsInBuffer == expected.formatsInBuffer, what);
    fuzz::Check(actual.labelsRemaining == expected.labelsRemaining, what);
    fuzz::Check(actual.partialFormat == expected.partialFormat, what);
}

void CheckErrors(const ErrorReport& actual, const ErrorReport& expected, const char* what) {
    fuzz::Check(actual.kind == expected.kind, what);
    fuzz::Check(std::memcmp(actual.errors, expected.errors, sizeof actual.errors) == 0, what);
    fuzz::Check(std::memcmp(actual.warnings, expected.warnings, sizeof actual.warnings) == 0, what);
    fuzz::Check(actual.warningFlag == expected.warningFlag, what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input, so that a read past its end is caught.
    std::unique_ptr<char[]> bytes(new char[size == 0 ? 1 : size]);
    std::memcpy(bytes.get(), data, size);
    const std::string text(bytes.get(), size);

    CheckHost(ParseHostStatus(bytes.get(), size), ReferenceHostAlone(text), "~HS answer");
    CheckErrors(ParseErrorReport(bytes.get(), size), ReferenceErrorsAlone(text), "~HQES answer");

    bool finished = false;
    bool expectedFinished = false;
    PrinterReport both = ParsePrinterReport(bytes.get(), size, &finished);
    PrinterReport expected = ReferenceBoth(text, &expectedFinished);
    CheckErrors(both.errors, expected.errors, "both answers: ~HQES");
    CheckHost(both.host, expected.host, "both answers: ~HS");
    fuzz::Check(finished == expectedFinished, "both answers: end of the wait");

    // A refusal never names a bit the answer did not have, and refuses whenever an error or a
    // condition was reported.
    DWORD refusal = PrinterRefusal(both);
    bool reported =
        both.errors.kind == ErrorReportKind::Faulted || both.host.kind == HostStatusKind::NotReady;
    fuzz::Check((refusal != 0) == reported, "refused exactly when something was reported");
    fuzz::Check((g_printerUnnamedErrors[0] & ~both.errors.errors[0]) == 0 &&
                    (g_printerUnnamedErrors[1] & ~both.errors.errors[1]) == 0,
                "unnamed bits are the answer's own");
    return 0;
}
