// Test hooks of the substitute files and devices: device names mapped to paths, reported
// sizes and short writes.
//
// Files are POSIX files. Their POSIX names are UTF-8, as Windows keeps names in wide text: a
// wide name (CreateFileW, DeleteFileW, ...) is its UTF-8 form, in which '\' separates folders
// as '/' does; an ANSI name (CreateFileA, DeleteFileA) is converted from ISO 8859-1, so
// "caf\xE9" and L"caf\u00E9" name one file and an ASCII name is used as it is. A device name
// ("COM1", "LPT1", also written "\\.\COM1"; compared ignoring case) opens the path it has been
// mapped to; an unmapped COM1..COM9 / LPT1..LPT9, or any unmapped "\\.\" name (COM10 and
// above exist only there), does not exist (ERROR_FILE_NOT_FOUND), nor does a mapped device
// whose path is missing when it is opened with OPEN_EXISTING. A handle with write time-outs
// (SetCommTimeouts) writes through poll: a device that takes nothing, such as a pty held by
// XOFF, makes WriteFile return TRUE after the total time-out with what was written by then.
// Handles are labelled "file:<name as given>" or "device:<NAME>". Share modes are enforced
// between the handles of this process (ERROR_SHARING_VIOLATION), and DeleteFileA/W and
// MoveFileExW refuse a file that is open without FILE_SHARE_DELETE, as Windows does.
// FILE_APPEND_DATA without write data appends every write. A successful OPEN_ALWAYS or
// CREATE_ALWAYS of an existing file leaves ERROR_ALREADY_EXISTS as the last error.
// CreateFileA/W, ReadFile, WriteFile, GetFileSize, FlushFileBuffers, DeleteFileA/W,
// CreateDirectoryW and GetFileAttributesExW log "<Call> <name or label>", a wide name in UTF-8
// (ReadFile and WriteFile add the byte count asked for), MoveFileExW "MoveFileExW <from> <to>";
// each also fails as scripted under its own name.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace substitute {

// Points a device name at a path (a pty slave, a plain file, /dev/null ...).
void MapDevice(const std::string& name, const std::string& path);

// Points a device name at a plain file that accepts the comm-state calls: GetCommState
// returns the DCB last applied (initially a 9600 8N1 port with XON/XOFF characters), and
// SetCommState validates and stores it as a serial driver would.
void MapCommDevice(const std::string& name, const std::string& path);

// From now until Reset, GetFileSize reports this size for every plain file, whatever it
// holds (a file of 4 GiB or more without writing one); reads still see the real bytes.
void ReportFileSize(std::uint64_t size);

// The next WriteFile calls each accept at most the given number of bytes (0: the call
// succeeds and writes nothing), in order; later calls write everything.
void ScriptWriteCounts(const std::vector<DWORD>& counts);
// Every WriteFile accepts at most this many bytes (0xFFFFFFFF: no limit, the default).
void LimitWriteSize(DWORD maxBytes);

} // namespace substitute
