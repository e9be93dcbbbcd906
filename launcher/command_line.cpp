// The command-line scan: options in any order, the input file as the last token.
#include "launcher/command_line.h"

#include "core/printer_target.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

// The options that take the next token as their value.
enum class ValueOption { None, Printer, Delay, Attempts, Timeout, Result, Confirm };

struct ValueOptionName {
    const char* name;
    ValueOption option;
};

const ValueOptionName kValueOptions[] = {
    {"--printer", ValueOption::Printer},   {"--delay", ValueOption::Delay},
    {"--attempts", ValueOption::Attempts}, {"--timeout", ValueOption::Timeout},
    {"--result", ValueOption::Result},     {"--confirm", ValueOption::Confirm},
};

struct NumberRange {
    ValueOption option;
    unsigned long lowest;
    unsigned long highest;
    const char* problem; // printf format taking the option's value
};

const NumberRange kNumberRanges[] = {
    {ValueOption::Delay, 0, 3600000,
     "--delay takes a whole number of milliseconds from 0 to 3600000, not \"%s\"."},
    {ValueOption::Attempts, 1, 1000,
     "--attempts takes a whole number of attempts from 1 to 1000, not \"%s\"."},
    {ValueOption::Timeout, 0, 86400,
     "--timeout takes a whole number of seconds from 0 (no limit) to 86400, not \"%s\"."},
};

// The first problem found is the one the user is told about.
void NoteProblem(LaunchOptions* options, const char* format, const char* value) {
    if (!options->refused) {
        snprintf(options->problem, sizeof(options->problem), format, value);
    }
    options->refused = true;
}

// Decimal digits only, within the option's range.
bool ReadOptionNumber(const NumberRange& range, const char* text, int* value) {
    if (text[0] == '\0') {
        return false;
    }
    unsigned long number = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(*digit - '0');
        if (number > range.highest) {
            return false;
        }
    }
    if (number < range.lowest) {
        return false;
    }
    *value = static_cast<int>(number);
    return true;
}

void ApplyNumberOption(ValueOption option, const char* value, LaunchOptions* options) {
    JobOverride* target = option == ValueOption::Delay      ? &options->job.delay
                          : option == ValueOption::Attempts ? &options->job.attempts
                                                            : &options->job.timeout;
    for (const NumberRange& range : kNumberRanges) {
        if (range.option != option) {
            continue;
        }
        if (ReadOptionNumber(range, value, &target->value)) {
            target->given = true;
        } else {
            NoteProblem(options, range.problem, value);
        }
    }
}

void ApplyValueOption(ValueOption option, const char* value, LaunchOptions* options) {
    switch (option) {
    case ValueOption::None:
        return;
    case ValueOption::Printer: {
        // A name is looked up among the named printers once the scan is over.
        PrinterTarget* target = &options->job.target;
        if (IsPrinterName(value)) {
            memset(target, 0, sizeof(*target));
            if (strlen(value) >= sizeof(target->name)) {
                NoteProblem(options, "--printer names a printer too long: \"%s\".", value);
                return;
            }
            target->kind = TargetKind::Named;
            snprintf(target->name, sizeof(target->name), "%s", value);
            return;
        }
        char problem[kTextBufferSize];
        if (!ParsePrinterTarget(value, target, problem, sizeof(problem))) {
            NoteProblem(options, "%s", problem);
        }
        return;
    }
    case ValueOption::Result:
        // A cut name could name another file, which would then be overwritten.
        if (value[0] == '\0' || strlen(value) > static_cast<size_t>(kMaxPathLength)) {
            NoteProblem(options, "--result takes the name of the file to write, not \"%s\".",
                        value);
        } else {
            snprintf(options->resultPath, sizeof(options->resultPath), "%s", value);
        }
        return;
    case ValueOption::Confirm:
        if (ParseConfirmLevel(value, &options->job.confirm)) {
            options->job.confirmGiven = true;
        } else {
            NoteProblem(options, "--confirm takes received, printed or off, not \"%s\".", value);
        }
        return;
    case ValueOption::Delay:
    case ValueOption::Attempts:
    case ValueOption::Timeout:
        ApplyNumberOption(option, value, options);
        return;
    }
}

ValueOption FindValueOption(const char* token) {
    for (const ValueOptionName& entry : kValueOptions) {
        if (strcmp(token, entry.name) == 0) {
            return entry.option;
        }
    }
    return ValueOption::None;
}

// The options that stand alone, each setting one flag.
enum class FlagOption { Settings, About, NoFile, Quiet };

struct FlagOptionName {
    const char* name;
    FlagOption option;
};

const FlagOptionName kFlagOptions[] = {
    {"-s", FlagOption::Settings}, {"--settings", FlagOption::Settings},
    {"-?", FlagOption::About},    {"--about", FlagOption::About},
    {"-n", FlagOption::NoFile},   {"--nofile", FlagOption::NoFile},
    {"-q", FlagOption::Quiet},    {"--quiet", FlagOption::Quiet},
};

// Options are compared byte for byte: "-S" is a file name, not the settings option.
bool ApplyOption(const char* token, LaunchOptions* options) {
    for (const FlagOptionName& entry : kFlagOptions) {
        if (strcmp(token, entry.name) != 0) {
            continue;
        }
        switch (entry.option) {
        case FlagOption::Settings:
            options->settings = true;
            break;
        case FlagOption::About:
            options->about = true;
            break;
        case FlagOption::NoFile:
            options->noFile = true;
            break;
        case FlagOption::Quiet:
            options->job.quiet = true;
            break;
        }
        return true;
    }
    return false;
}

} // namespace

void ScanCommandLine(char* commandLine, LaunchOptions* options) {
    memset(options, 0, sizeof(*options));
    if (commandLine == nullptr) {
        return;
    }
    char* cursor = commandLine;
    char* const end = commandLine + strlen(commandLine);
    ValueOption awaitingValue = ValueOption::None;
    const char* awaitingName = "";
    while (cursor < end) {
        char* token = cursor;
        if (*cursor == '"') {
            token = cursor + 1;
            char* closing = token;
            while (closing < end && *closing != '"') {
                ++closing;
            }
            // An unclosed quote runs to the end of the command line.
            if (closing < end) {
                *closing = '\0';
                cursor = closing + 1;
            } else {
                cursor = end;
            }
        } else {
            char* separator = cursor;
            while (separator < end && !IsSeparator(*separator)) {
                ++separator;
            }
            // Exactly one separator per token: a second one starts an empty token.
            if (separator < end) {
                *separator = '\0';
                cursor = separator + 1;
            } else {
                cursor = end;
            }
        }
        if (awaitingValue != ValueOption::None) {
            ApplyValueOption(awaitingValue, token, options);
            awaitingValue = ValueOption::None;
            continue;
        }
        awaitingValue = FindValueOption(token);
        if (awaitingValue != ValueOption::None) {
            awaitingName = token;
            continue;
        }
        if (ApplyOption(token, options)) {
            continue;
        }
        if (cursor < end) {
            continue; // a file name that is not last is ignored
        }
        // A cut path could name another file, which would then be sent and deleted.
        size_t length = strlen(token);
        if (length <= static_cast<size_t>(kMaxPathLength)) {
            memcpy(options->path, token, length);
            options->path[length] = '\0';
        }
    }
    if (awaitingValue != ValueOption::None) {
        NoteProblem(options, "%s needs a value after it.", awaitingName);
    }
}

const char* FlagOptionAt(int index) {
    constexpr int kCount = static_cast<int>(sizeof(kFlagOptions) / sizeof(kFlagOptions[0]));
    return index >= 0 && index < kCount ? kFlagOptions[index].name : nullptr;
}

const char* ValueOptionAt(int index) {
    constexpr int kCount = static_cast<int>(sizeof(kValueOptions) / sizeof(kValueOptions[0]));
    return index >= 0 && index < kCount ? kValueOptions[index].name : nullptr;
}
