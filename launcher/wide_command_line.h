// The input file's, the result file's and the watched folder's names from the system's wide command
// line, for names the ANSI command line cannot spell.
#pragma once

#include "launcher/command_line.h"

// Takes the file's name (the last token), the "--result" value and the "--watch" folder
// again from the wide command line (the program's name first, as GetCommandLineW gives it),
// split by the rules of the ANSI scan. When the ANSI code page spells all three exactly and
// the ANSI scan found the same names, options is left as the ANSI scan filled it. Otherwise
// all three are replaced by the wide scan's names in UTF-8 ("" where it found none) and
// options->job.utf8Path is set; the ANSI scan's problem is turned into UTF-8 too, cut
// between whole characters if it must be. A file name too long for its buffer in UTF-8 is
// left empty, as the ANSI scan does with names too long in ANSI; a result file's or a
// folder's name too long, and a name holding a lone surrogate, refuse the command line.
void ApplyWideCommandLine(LPCWSTR commandLine, LaunchOptions* options);
