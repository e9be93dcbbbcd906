// Short texts of the program's own for the codes its paths can meet: some systems have no
// message text for a few of them (Wine for the unreachable and timed-out socket codes), and
// a message that ends after the code tells the user nothing.
#include "launcher/error_text.h"

namespace {

struct ErrorText {
    DWORD code;
    const char* text;
};

const ErrorText kFallbackTexts[] = {
    {ERROR_FILE_NOT_FOUND, "The file or setting was not found."},
    {ERROR_PATH_NOT_FOUND, "The path was not found."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The file is not open."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory."},
    {ERROR_WRITE_FAULT, "The device did not take the data."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another program."},
    {ERROR_FILE_TOO_LARGE, "The file is too large."},
    {ERROR_MORE_DATA, "The setting is too long."},
    {ERROR_CANCELLED, "The operation was cancelled."},
    {WSAEADDRINUSE, "The local address is already in use."},
    {WSAEADDRNOTAVAIL, "The address is not available."},
    {WSAENETDOWN, "The network is down."},
    {WSAENETUNREACH, "The network cannot be reached."},
    {WSAECONNABORTED, "The connection was aborted."},
    {WSAECONNRESET, "The connection was reset by the printer."},
    {WSAETIMEDOUT, "The printer did not answer in time."},
    {WSAECONNREFUSED, "The printer refused the connection."},
    {WSAEHOSTUNREACH, "The printer cannot be reached."},
};

} // namespace

const char* FallbackErrorText(DWORD code) {
    for (const ErrorText& entry : kFallbackTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}
