// The input file's name and the result file's name from the system's wide command line, for
// names the ANSI command line cannot spell.
#pragma once

#include "launcher/command_line.h"

// Takes the file's name (the last token) and the "--result" value again from the wide
// command line (the program's name first, as GetCommandLineW gives it), split by the rules
// of the ANSI scan. When the ANSI code page spells both exactly, options is left as the
// ANSI scan filled it. Otherwise both are replaced by their UTF-8 forms and
// options->job.utf8Path is set. A file name too long for its buffer in UTF-8 is left empty and
// a result file's name too long is refused through options->problem, as the ANSI scan does
// with names too long in ANSI; a problem the ANSI scan noted is then turned into UTF-8 too.
// Only names the ANSI scan found are replaced.
void ApplyWideCommandLine(LPCWSTR commandLine, LaunchOptions* options);
