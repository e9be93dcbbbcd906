// The launch options and the in-place scan of the command line that fills them.
#pragma once

#include "core/job_protocol.h"

struct LaunchOptions {
    bool settings; // "-s" / "--settings"
    bool about;    // "-?" / "--about"
    bool noFile;   // "-n" / "--nofile"
    // The input file, zero-filled; handed to every job of the process, which may rewrite it.
    char path[kPathBufferSize];
};

// Splits the command line in place (separators and closing quotes become NUL) and fills
// options, which it clears first. Only the last token can name the file; a last token
// too long for the path buffer leaves the path empty rather than naming another file.
void ScanCommandLine(char* commandLine, LaunchOptions* options);
