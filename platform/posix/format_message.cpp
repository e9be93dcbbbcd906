// Substitute FormatMessageA, the system message table: FormatMessageA with the English texts of
// Windows for the error codes the program can meet; like Windows, no text for the others.
#include "platform/posix/machinery.h"

#include "platform/testing.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

struct SystemMessage {
    DWORD code;
    const char* text;
};

const SystemMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {20, "The system cannot find the device specified."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {53, "The network path was not found."},
    {55, "The specified network resource or device is no longer available."},
    {63, "Your file waiting to be printed was deleted."},
    {67, "The network name cannot be found."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {161, "The specified path is invalid."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1400, "Invalid window handle."},
    {1421, "Control ID not found."},
    {1460, "This operation returned because the timeout period expired."},
    {1722, "The RPC server is unavailable."},
    {1797, "The printer driver is unknown."},
    {1801, "The printer name is invalid."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1815, "The specified resource language ID cannot be found in the image file."},
    {3003, "A StartDocPrinter call was not issued."},
    {3012, "The printer was not found."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access "
            "permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer "
            "argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation "
            "in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or "
            "some other network limit, or the buffer used to receive a datagram into was "
            "smaller than the datagram itself."},
    {10041, "A protocol was specified in the socket function call that does not support the "
            "semantics of the socket type requested."},
    {10043, "The requested protocol has not been configured into the system, or no "
            "implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally "
            "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure "
            "while the operation was in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055, "An operation on a socket could not be performed because the system lacked "
            "sufficient buffer space or because a queue was full."},
    {10056, "A connect request was made on an already connected socket."},
    {10057, "A request to send or receive data was disallowed because the socket is not "
            "connected and (when sending on a datagram socket using a sendto call) no address "
            "was supplied."},
    {10058, "A request to send or receive data was disallowed because the socket had already "
            "been shut down in that direction with a previous shutdown call."},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to "
            "provide network services is currently unavailable."},
    {10092, "The Windows Sockets version requested is not supported."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
};

// Codes whose text a test has taken away, as some systems lack a few.
std::mutex g_withoutTextLock;
std::set<DWORD> g_withoutText;

[[maybe_unused]] const bool kResetRegistered = [] {
    substitute::AddResetHook([] {
        std::lock_guard<std::mutex> guard(g_withoutTextLock);
        g_withoutText.clear();
    });
    return true;
}();

const char* FindMessage(DWORD code) {
    {
        std::lock_guard<std::mutex> guard(g_withoutTextLock);
        if (g_withoutText.count(code) != 0) {
            return nullptr;
        }
    }
    for (const SystemMessage& message : kMessages) {
        if (message.code == code) {
            return message.text;
        }
    }
    return nullptr;
}

} // namespace

namespace substitute {

void RemoveSystemText(DWORD code) {
    std::lock_guard<std::mutex> guard(g_withoutTextLock);
    g_withoutText.insert(code);
}

} // namespace substitute

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/,
                     LPSTR buffer, DWORD size, void* /*arguments*/) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("FormatMessageA", &error)) {
        SetLastError(error);
        return 0;
    }
    // Only the system table into a caller's buffer; every text here is free of inserts.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (flags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING |
                  FORMAT_MESSAGE_FROM_HMODULE)) != 0 ||
        buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* known = FindMessage(messageId);
    if (known == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = known;
    // With the maximum-width mask Windows joins the lines and ends the text with a blank.
    text += (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK ? " " : "\r\n";
    if (size == 0 || text.size() + 1 > size) {
        // Windows fails rather than cutting the text.
        if (size > 0) {
            buffer[0] = '\0';
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
