// Internal to the substitute layer: the file and device objects behind its file handles,
// shared by the file calls and the communications-port calls.
#pragma once

#include "platform/posix/machinery.h"

#include <string>
#include <sys/types.h>
#include <ctime>

namespace substitute {

// Share-mode bit that Windows checks when a file that is open is deleted.
constexpr DWORD kFileShareDelete = 0x00000004u;

struct FileObject : KernelObject {
    int fd = -1;
    std::string path;   // the POSIX path behind the handle
    std::string device; // upper-case device name ("COM1") when opened through a device name
    bool readable = false;
    bool writable = false;
    DWORD shareMode = 0;
    dev_t deviceId = 0;
    ino_t inode = 0;
    // A plain file standing in for a serial port: comm-state calls keep a DCB in memory.
    bool emulatedComm = false;
    // Comm time-outs set with SetCommTimeouts; until then a read or write waits as the
    // descriptor does.
    bool hasCommTimeouts = false;
    COMMTIMEOUTS commTimeouts{};
    ~FileObject() override;
};

// ReadFile on a handle with comm time-outs set: the byte count read, or -1 (errno set).
ssize_t ReadWithCommTimeouts(const FileObject& object, char* buffer, DWORD toRead);
// WriteFile on a handle with write time-outs set: the byte count written before the total
// time-out passed (0 when the device took nothing), or -1 (errno set).
ssize_t WriteWithCommTimeouts(const FileObject& object, const char* bytes, DWORD toWrite);

// The POSIX path of a wide name (given as UTF-8): Windows takes '\' as a folder separator too.
std::string PathOfWide(const std::string& utf8Name);
// 100-nanosecond intervals since 1601, as Windows counts file times.
FILETIME FileTimeOf(const struct timespec& time);

} // namespace substitute
