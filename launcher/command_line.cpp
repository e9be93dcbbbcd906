// The command-line scan: options in any order, the input file as the last token.
#include "launcher/command_line.h"

#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

// Options are compared byte for byte: "-S" is a file name, not the settings option.
bool ApplyOption(const char* token, LaunchOptions* options) {
    if (strcmp(token, "-s") == 0 || strcmp(token, "--settings") == 0) {
        options->settings = true;
        return true;
    }
    if (strcmp(token, "-?") == 0 || strcmp(token, "--about") == 0) {
        options->about = true;
        return true;
    }
    if (strcmp(token, "-n") == 0 || strcmp(token, "--nofile") == 0) {
        options->noFile = true;
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
}
