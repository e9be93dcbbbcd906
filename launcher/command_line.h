// The launch options and the in-place scan of the command line that fills them.
#pragma once

#include "core/job_request.h"

struct LaunchOptions {
    bool settings; // "-s" / "--settings"
    bool about;    // "-?" / "--about"
    bool noFile;   // "-n" / "--nofile"
    // "-q" / "--quiet", "--printer TARGET", "--delay MS", "--attempts N", "--timeout S",
    // "--confirm received|printed|off".
    JobOptions job;
    // "--result FILE": where the job's outcome is written as JSON; "" when not asked for.
    char resultPath[kPathBufferSize];
    // "--watch FOLDER": the folder whose files are printed as they come, in the encoding of
    // the path; "" when not asked for. "--stop" asks its watcher to end; "--keep" keeps the
    // printed files in its printed folder.
    char watchFolder[kPathBufferSize];
    bool stopWatch;
    bool keep;
    // Why the command line cannot be understood, for the user; "" when it can. Nothing is
    // sent and no file is deleted when it is set.
    char problem[kTextBufferSize];
    // Set with the first problem, so that the refusal stands even if its text were lost.
    bool refused;
    // The input file, zero-filled; handed to every job of the process, which may rewrite it.
    char path[kPathBufferSize];
};

// Splits the command line in place (separators and closing quotes become NUL) and fills
// options, which it clears first. Only the last token can name the file; a last token
// too long for the path buffer leaves the path empty rather than naming another file.
// An option that takes a value takes the next token, whatever it is.
void ScanCommandLine(char* commandLine, LaunchOptions* options);

// The names of the options whose value is the next token ("--printer", ...), by index from 0;
// nullptr past the last. Every scan of a command line takes them alike.
const char* ValueOptionAt(int index);

// The names of the options that stand alone ("-s", "--quiet", ...), by index from 0; nullptr
// past the last. No such token names the file.
const char* FlagOptionAt(int index);
