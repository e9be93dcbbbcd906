// Substitute comm state: GetCommState / SetCommState over termios on a tty,
// or over a DCB kept in memory for a plain file mapped as a comm device; the time-outs
// GetCommTimeouts / SetCommTimeouts keep on the handle, which ReadFile and WriteFile honour.
#include "platform/posix/file_object.h"
#include "platform/testing.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace substitute {
namespace {

struct CommState {
    std::mutex lock;
    std::map<std::string, DCB> emulated; // device name -> DCB of a plain file standing in
    std::map<std::string, DCB> applied;  // tty path -> DCB last applied (members termios lacks)
    bool haveLastSet = false;
    DCB lastSet{};
    bool haveLastTimeouts = false;
    COMMTIMEOUTS lastTimeouts{};
};

CommState& State() {
    static CommState state;
    return state;
}

// What a serial driver reports for a port nobody has configured yet.
DCB DefaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

struct BaudCode {
    DWORD rate;
    speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
};

bool SpeedCode(DWORD rate, speed_t* code) {
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

DWORD SpeedRate(speed_t code) {
    for (const BaudCode& entry : kBaudCodes) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

// The combinations a serial driver refuses with ERROR_INVALID_PARAMETER.
bool DcbAcceptable(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        return false;
    }
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) {
        return false;
    }
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) {
        return false;
    }
    return true;
}

// Unix98 pty slaves (majors 136 to 143) force 8 data bits without parity whatever is set.
bool IsPseudoTerminal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    unsigned int majorNumber = major(info.st_rdev);
    return majorNumber >= 136 && majorNumber <= 143;
}

std::shared_ptr<FileObject> FindPort(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return nullptr;
    }
    return FindHandleAs<FileObject>(handle);
}

// Fills the members a termios record carries; the others come from `base`.
DCB DcbFromTermios(const termios& line, const DCB& base) {
    DCB dcb = base;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = SpeedRate(cfgetospeed(&line));
    switch (line.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((line.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else if ((line.c_cflag & CMSPAR) != 0) {
        dcb.Parity = (line.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (line.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    if ((line.c_cflag & CSTOPB) == 0) {
        dcb.StopBits = ONESTOPBIT;
    } else {
        dcb.StopBits = base.StopBits == ONE5STOPBITS ? ONE5STOPBITS : TWOSTOPBITS;
    }
    dcb.fBinary = 1;
    dcb.fParity = (line.c_iflag & INPCK) != 0 ? 1 : 0;
    dcb.fOutX = (line.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (line.c_iflag & IXOFF) != 0 ? 1 : 0;
    dcb.fOutxCtsFlow = (line.c_cflag & CRTSCTS) != 0 ? 1 : 0;
    if ((line.c_cflag & CRTSCTS) != 0) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (base.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb.XonChar = static_cast<char>(line.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    return dcb;
}

// A serial port passes bytes unchanged: raw mode, plus the DCB's framing and flow control.
void ApplyDcbToTermios(const DCB& dcb, speed_t speed, termios* line) {
    line->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK);
    line->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    line->c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    line->c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY:
        line->c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        line->c_cflag |= PARENB;
        break;
    case MARKPARITY:
        line->c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        line->c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != ONESTOPBIT) {
        line->c_cflag |= CSTOPB;
    }
    if (dcb.fParity != 0) {
        line->c_iflag |= INPCK;
    }
    if (dcb.fOutX != 0) {
        line->c_iflag |= IXON;
    }
    if (dcb.fInX != 0) {
        line->c_iflag |= IXOFF;
    }
    if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        line->c_cflag |= CRTSCTS;
    }
    line->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    line->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    line->c_cc[VMIN] = 1;
    line->c_cc[VTIME] = 0;
    cfsetispeed(line, speed);
    cfsetospeed(line, speed);
}

void ResetComm() {
    CommState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.emulated.clear();
    state.applied.clear();
    state.haveLastSet = false;
    state.lastSet = DCB{};
    state.haveLastTimeouts = false;
    state.lastTimeouts = COMMTIMEOUTS{};
}

[[maybe_unused]] const bool registered = [] {
    AddResetHook(ResetComm);
    return true;
}();

} // namespace

// A read as a serial driver times it: MAXDWORD interval with zero totals returns what is
// there; MAXDWORD interval and multiplier return as soon as a byte is there, or after the
// constant; otherwise the read gathers bytes until it has them all or the total has passed
// (the interval is not modelled). A total of zero waits without limit for every byte.
ssize_t ReadWithCommTimeouts(const FileObject& object, char* buffer, DWORD toRead) {
    const COMMTIMEOUTS& t = object.commTimeouts;
    bool returnAtFirst = t.ReadIntervalTimeout == MAXDWORD;
    long long total = -1;
    if (returnAtFirst && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        total = 0;
    } else if (returnAtFirst && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
        total = t.ReadTotalTimeoutConstant;
    } else {
        returnAtFirst = false;
        long long all = static_cast<long long>(t.ReadTotalTimeoutMultiplier) * toRead +
                        t.ReadTotalTimeoutConstant;
        total = all == 0 ? -1 : all;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
    DWORD done = 0;
    while (done < toRead) {
        int wait = -1;
        if (total >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0
                       ? static_cast<int>(std::min<long long>(left.count(), 0x7FFFFFFF))
                       : 0;
        }
        pollfd entry{object.fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            break; // timed out: what has come so far
        }
        ssize_t got = ::read(object.fd, buffer + done, toRead - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<DWORD>(got);
        if (returnAtFirst) {
            break;
        }
    }
    return static_cast<ssize_t>(done);
}

// A write as a serial driver times it: the total (multiplier times the bytes, plus the
// constant) bounds the whole call, and what was written by then is the call's result, as
// with a driver whose output is held by XOFF. Returns the byte count written, or -1.
ssize_t WriteWithCommTimeouts(const FileObject& object, const char* bytes, DWORD toWrite) {
    const COMMTIMEOUTS& t = object.commTimeouts;
    long long total = static_cast<long long>(t.WriteTotalTimeoutMultiplier) * toWrite +
                      t.WriteTotalTimeoutConstant;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
    int flags = ::fcntl(object.fd, F_GETFL);
    ::fcntl(object.fd, F_SETFL, flags | O_NONBLOCK);
    DWORD done = 0;
    ssize_t result = 0;
    while (done < toWrite) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        int wait =
            left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), 0x7FFFFFFF)) : 0;
        pollfd entry{object.fd, POLLOUT, 0};
        int ready = ::poll(&entry, 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            result = ready < 0 && done == 0 ? -1 : 0;
            break; // timed out: what went so far
        }
        ssize_t put = ::write(object.fd, bytes + done, toWrite - done);
        if (put < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (put <= 0) {
            result = done == 0 ? -1 : 0;
            break;
        }
        done += static_cast<DWORD>(put);
    }
    int code = errno;
    ::fcntl(object.fd, F_SETFL, flags);
    errno = code;
    return result < 0 ? -1 : static_cast<ssize_t>(done);
}
} // namespace substitute

using substitute::LogCall;
using substitute::TakeScriptedFailure;

namespace {

// What both comm calls check first, after logging: a scripted failure, the handle and the
// record. Null (with the last error set) when the call fails there.
std::shared_ptr<substitute::FileObject> CommCallPort(const char* call, HANDLE file,
                                                     const DCB* dcb) {
    std::shared_ptr<substitute::FileObject> port = substitute::FindPort(file);
    LogCall(call, port ? port->label : std::string("invalid"));
    DWORD error = 0;
    if (TakeScriptedFailure(call, &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (port == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

} // namespace

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    std::shared_ptr<substitute::FileObject> port = CommCallPort("GetCommState", file, dcb);
    if (port == nullptr) {
        return FALSE;
    }
    substitute::CommState& state = substitute::State();
    if (port->emulatedComm) {
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.emulated.find(port->device);
        *dcb = found != state.emulated.end() ? found->second : substitute::DefaultDcb();
        dcb->DCBlength = sizeof(DCB);
        return TRUE;
    }
    termios line{};
    if (!isatty(port->fd) || tcgetattr(port->fd, &line) != 0) {
        // A disk file has no line settings: the request is not one its driver knows.
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    DCB base = substitute::DefaultDcb();
    bool applied = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.applied.find(port->path);
        if (found != state.applied.end()) {
            base = found->second;
            applied = true;
        }
    }
    *dcb = substitute::DcbFromTermios(line, base);
    // A pty cannot hold the framing; it reports what the program applied, as a port would.
    if (applied && substitute::IsPseudoTerminal(port->fd)) {
        dcb->ByteSize = base.ByteSize;
        dcb->Parity = base.Parity;
    }
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    substitute::CommState& state = substitute::State();
    // Kept even when the call fails: tests compare it with the diagnostic log.
    if (dcb != nullptr) {
        std::lock_guard<std::mutex> guard(state.lock);
        state.lastSet = *dcb;
        state.haveLastSet = true;
    }
    std::shared_ptr<substitute::FileObject> port = CommCallPort("SetCommState", file, dcb);
    if (port == nullptr) {
        return FALSE;
    }
    if (port->emulatedComm) {
        if (!substitute::DcbAcceptable(*dcb)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::lock_guard<std::mutex> guard(state.lock);
        state.emulated[port->device] = *dcb;
        return TRUE;
    }
    termios line{};
    if (!isatty(port->fd) || tcgetattr(port->fd, &line) != 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    speed_t speed = B0;
    if (!substitute::DcbAcceptable(*dcb) || !substitute::SpeedCode(dcb->BaudRate, &speed)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    substitute::ApplyDcbToTermios(*dcb, speed, &line);
    int result = tcsetattr(port->fd, TCSANOW, &line);
    if (result != 0 && errno == EINVAL && substitute::IsPseudoTerminal(port->fd)) {
        line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
        result = tcsetattr(port->fd, TCSANOW, &line);
    }
    if (result != 0) {
        SetLastError(errno == EIO ? static_cast<DWORD>(ERROR_IO_DEVICE)
                                  : static_cast<DWORD>(ERROR_GEN_FAILURE));
        return FALSE;
    }
    // The RTS line follows the DCB where the device has modem lines; a pty has none.
    int rts = TIOCM_RTS;
    if (dcb->fRtsControl == RTS_CONTROL_DISABLE) {
        ioctl(port->fd, TIOCMBIC, &rts);
    } else if (dcb->fRtsControl == RTS_CONTROL_ENABLE) {
        ioctl(port->fd, TIOCMBIS, &rts);
    }
    std::lock_guard<std::mutex> guard(state.lock);
    state.applied[port->path] = *dcb;
    return TRUE;
}

namespace substitute {

namespace {
std::string DeviceKey(const std::string& name) {
    std::string upper = name;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (upper.compare(0, 4, "\\\\.\\") == 0) {
        upper.erase(0, 4);
    }
    return upper;
}
} // namespace

void CommStateOf(const std::string& name, DCB* dcb) {
    substitute::CommState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.emulated.find(DeviceKey(name));
    *dcb = found != state.emulated.end() ? found->second : substitute::DefaultDcb();
}

void SetCommStateOf(const std::string& name, const DCB& dcb) {
    substitute::CommState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.emulated[DeviceKey(name)] = dcb;
}

bool LastSetCommState(DCB* dcb) {
    substitute::CommState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.haveLastSet) {
        return false;
    }
    *dcb = state.lastSet;
    return true;
}

bool LastSetCommTimeouts(COMMTIMEOUTS* timeouts) {
    substitute::CommState& state = substitute::State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.haveLastTimeouts) {
        return false;
    }
    *timeouts = state.lastTimeouts;
    return true;
}

} // namespace substitute

namespace {

// The time-out calls work on what the state calls work on: a tty, or an emulated comm device.
std::shared_ptr<substitute::FileObject> TimeoutCallPort(const char* call, HANDLE file,
                                                        const COMMTIMEOUTS* timeouts) {
    std::shared_ptr<substitute::FileObject> port = substitute::FindPort(file);
    LogCall(call, port ? port->label : std::string("invalid"));
    DWORD error = 0;
    if (TakeScriptedFailure(call, &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (port == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!port->emulatedComm && !isatty(port->fd)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    return port;
}

} // namespace

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    std::shared_ptr<substitute::FileObject> port =
        TimeoutCallPort("GetCommTimeouts", file, timeouts);
    if (port == nullptr) {
        return FALSE;
    }
    *timeouts = port->hasCommTimeouts ? port->commTimeouts : COMMTIMEOUTS{};
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts != nullptr) {
        substitute::CommState& state = substitute::State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.lastTimeouts = *timeouts;
        state.haveLastTimeouts = true;
    }
    std::shared_ptr<substitute::FileObject> port =
        TimeoutCallPort("SetCommTimeouts", file, timeouts);
    if (port == nullptr) {
        return FALSE;
    }
    // A driver refuses a constant of MAXDWORD with both the interval and multiplier at MAXDWORD.
    if (timeouts->ReadIntervalTimeout == MAXDWORD &&
        timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    port->commTimeouts = *timeouts;
    port->hasCommTimeouts = true;
    return TRUE;
}
