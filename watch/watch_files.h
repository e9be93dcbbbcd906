// The moves of a watched folder's files between the folder and its subfolders, and the
// record written beside a file that failed without a job of its own.
#pragma once

#include "core/job_protocol.h"

// folder "\" sub "\" name into out (size units); sub or name may be nullptr. False when it
// does not fit.
bool JoinWatchPath(WCHAR* out, int size, LPCWSTR folder, LPCWSTR sub, LPCWSTR name);

// Wide text in UTF-8 into out (size bytes); false, with out holding "", when it does not fit.
bool WideToUtf8(LPCWSTR text, char* out, int size);

// Creates the printing, printed and failed folders where they are missing.
bool MakeWatchFolders(LPCWSTR folder);

// The claim: folder\name renamed into printing\, never over a file there. False when another
// watcher, or a person, took it first (or it is gone).
bool ClaimFile(LPCWSTR folder, LPCWSTR name);

// Moves printing\name into sub (printed or failed) under its own name, or "name (2)" and on
// where that is taken; the name it got into finalName (kWatchNameSize units).
bool MoveOutOfPrinting(LPCWSTR folder, LPCWSTR name, LPCWSTR sub, WCHAR* finalName);

// Puts printing\name back into the folder, to be taken again; false when a file of that name
// has come since, or it cannot be moved.
bool ReturnToFolder(LPCWSTR folder, LPCWSTR name);

// Writes a result object for a file that failed without a job of its own (fileUtf8 and
// reasonUtf8 in UTF-8) to path, whole or not at all.
bool WriteFailureRecord(LPCWSTR path, const char* fileUtf8, const char* reasonUtf8);

// Why a file left in printing\ by a watcher that did not end is not sent again.
inline constexpr char kInterruptedReason[] = "interrupted: it may have been printed";

// Moves every file left in printing\ to failed\ with its record (kInterruptedReason), sending
// none; fileFailed, when not nullptr, hears of each. Returns how many were moved.
int RecoverInterrupted(LPCWSTR folder,
                       void (*fileFailed)(void* context, const char* name, const char* reason),
                       void* context);
